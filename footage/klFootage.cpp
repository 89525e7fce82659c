#include "footage/klFootage.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>

#include <algorithm>

namespace Kiln::Footage {

FrameRate FrameRate::fromDouble(double fps)
{
    if (!std::isfinite(fps) || fps <= 0 || fps > 1000)
        throw FootageError("", "frame rate must be a number above 0 and at most 1000");
    // Common broadcast rates are n * 1000/1001; everything else is taken to 1/1000 of a frame.
    for (int base : {24, 30, 48, 60, 120}) {
        if (std::fabs(fps - base * 1000.0 / 1001.0) < 0.005) return FrameRate{base * 1000, 1001};
    }
    if (std::fabs(fps - std::round(fps)) < 1e-9) return FrameRate{int(std::round(fps)), 1};
    int num = int(std::lround(fps * 1000.0)), den = 1000;
    for (int d : {2, 5}) {
        while (num % d == 0 && den % d == 0) {
            num /= d;
            den /= d;
        }
    }
    return FrameRate{num, den};
}

PixelAspect PixelAspect::fromDouble(double aspect)
{
    // Beyond 1e6:1 a frame would be shown wider than any screen; such a value is taken as not said.
    if (!std::isfinite(aspect) || aspect <= 0 || aspect > 1e6 || aspect < 1e-6) return {};
    // The ratio with the smallest denominator up to 1000 within 1/10000 of the value.
    for (int den = 1; den <= 1000; ++den) {
        const long num = std::lround(aspect * den);
        if (num > 0 && std::fabs(double(num) / den - aspect) <= 1e-4 * aspect) return {int(num), den};
    }
    return {int(std::lround(aspect * 10000)), 10000};
}

double FootageInfo::frameTime(int index) const
{
    if (timing.variable() && index >= 0 && size_t(index) < timing.ticks.size())
        return startSeconds + double(timing.ticks[size_t(index)]) * timing.tickNum / timing.tickDen;
    return startSeconds + double(index) * rate.den / rate.num;
}

namespace {
std::atomic<int> codecThreadLimit{0};

std::mutex imageFilesMutex;
const ImageFileFunctions* imageFilesLoaded = nullptr;  // under imageFilesMutex

// Beside the program, in ../lib/ as installed, else where this build puts it.
std::vector<std::string> imageFilesPlaces()
{
    const std::string dir = executableDirectory();
    std::vector<std::string> places{dir + "/watchcam_images.so", dir + "/../lib/watchcam_images.so"};
#ifdef WATCHCAM_IMAGES_MODULE
    places.push_back(WATCHCAM_IMAGES_MODULE);
#endif
    return places;
}

const ImageFileFunctions& imageFiles(const std::string& reported)
{
    std::lock_guard<std::mutex> lock(imageFilesMutex);
    if (imageFilesLoaded) return *imageFilesLoaded;
    std::string why;
    for (const std::string& place : imageFilesPlaces()) {
        struct stat s { };
        if (stat(place.c_str(), &s) != 0) continue;
        void* handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept open for the program's life
        const char* error = handle ? nullptr : dlerror();
        if (handle) {
            using Layout = uint64_t (*)();
            const auto layout = reinterpret_cast<Layout>(dlsym(handle, "kiln_image_files_layout"));
            using Entry = const ImageFileFunctions* (*)();
            if (layout == nullptr || layout() != imageFilesLayout()) {
                // Calling it could read the settings it is handed wrongly: the next place may hold ours.
                dlclose(handle);
                why += (why.empty() ? "" : "; ") + place +
                       ": a module of another build of watchcam (rebuild it, or remove it)";
                continue;
            }
            if (auto entry = reinterpret_cast<Entry>(dlsym(handle, "kiln_image_files"))) {
                imageFilesLoaded = entry();
                imageFilesLoaded->limitThreads(codecThreadLimit.load());
                return *imageFilesLoaded;
            }
            error = "no entry kiln_image_files";
        }
        why += (why.empty() ? "" : "; ") + place + ": " + (error ? error : "cannot load");
    }
    if (why.empty()) {
        for (const std::string& place : imageFilesPlaces()) why += (why.empty() ? "" : ", ") + place;
        why = "not found (looked at " + why + ")";
    }
    throw FootageError(reported, "cannot load the image file module watchcam_images.so: " + why);
}
}  // namespace

void limitCodecThreads(int threads)
{
    codecThreadLimit = std::max(0, threads);
    std::lock_guard<std::mutex> lock(imageFilesMutex);
    if (imageFilesLoaded) imageFilesLoaded->limitThreads(codecThreadLimit.load());
}

std::unique_ptr<FootageReader> openImageReader(const FootagePath& path, FrameRate rate)
{
    return imageFiles(path.path).openReader(path, rate);
}

std::unique_ptr<FootageWriter> createImageWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer)
{
    return imageFiles(target.path).createWriter(target, settings, namer);
}

int codecThreads() { return codecThreadLimit.load(); }

std::unique_ptr<FootageReader> openReader(const FootagePath& path, FrameRate rate)
{
    if (path.kind != Kind::Sequence) {
        struct stat s { };
        if (stat(path.path.c_str(), &s) != 0)
            throw FootageError(path.path, std::string("cannot open: ") + std::strerror(errno));
        if (!S_ISREG(s.st_mode)) throw FootageError(path.path, "not a regular file");
    }
    if (path.kind == Kind::Video) return openVideoReader(path);
    return openImageReader(path, rate);
}

std::unique_ptr<FootageWriter> createWriter(const FootagePath& target, const WriterSettings& settings,
                                            const FileNamer& namer)
{
    if (settings.width <= 0 || settings.height <= 0)
        throw FootageError(target.path, "nothing to write: empty frames");
    if (target.kind == Kind::Video) return createVideoWriter(target, settings, namer);
    return createImageWriter(target, settings, namer);
}

}  // namespace Kiln::Footage
