#include "footage/klFootagePath.h"

#include "footage/klFootageError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

const char* const kStillExtensions[] = {"png", "tif", "tiff", "exr", "dpx", "jpg", "jpeg"};
const char* const kVideoExtensions[] = {"mp4", "mov", "mkv", "nut", "webm"};

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string fileNameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string supportedList()
{
    std::string s = "stills: ";
    for (const char* e : kStillExtensions) s += std::string(e) + " ";
    s += "- video: ";
    for (const char* e : kVideoExtensions) s += std::string(e) + " ";
    s.pop_back();
    return s;
}

// Finds the frame field in a file name: "%04d", "%d" or a run of '#'. Returns false when there is none.
bool findFrameField(const std::string& name, size_t& at, size_t& length, int& padding,
                    const std::string& path)
{
    const size_t percent = name.find('%');
    const size_t hash = name.find('#');
    if (percent != std::string::npos) {
        size_t i = percent + 1;
        std::string digits;
        while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) digits += name[i++];
        // "%4d" would pad with spaces: only zero padding makes file names that sort and match.
        if (i >= name.size() || name[i] != 'd' || (!digits.empty() && digits[0] != '0') || digits.size() > 3)
            throw FootageError(path, "bad frame field: write it as %04d, %d or ####");
        padding = digits.empty() ? 0 : std::stoi(digits);
        if (padding > 12) throw FootageError(path, "frame field wider than 12 digits");
        at = percent;
        length = i + 1 - percent;
        if (name.find('%', i) != std::string::npos || name.find('#') != std::string::npos)
            throw FootageError(path, "more than one frame field in the name");
        return true;
    }
    if (hash != std::string::npos) {
        size_t i = hash;
        while (i < name.size() && name[i] == '#') ++i;
        padding = int(i - hash);
        if (padding > 12) throw FootageError(path, "frame field wider than 12 digits");
        at = hash;
        length = i - hash;
        if (name.find('#', i) != std::string::npos)
            throw FootageError(path, "more than one frame field in the name");
        return true;
    }
    return false;
}

}  // namespace

bool isStillExtension(const std::string& e)
{
    return std::any_of(std::begin(kStillExtensions), std::end(kStillExtensions),
                       [&](const char* s) { return e == s; });
}

bool isVideoExtension(const std::string& e)
{
    return std::any_of(std::begin(kVideoExtensions), std::end(kVideoExtensions),
                       [&](const char* s) { return e == s; });
}

std::string FootagePath::frameFile(int number) const
{
    if (kind != Kind::Sequence) return path;
    std::string digits = std::to_string(number);
    if (int(digits.size()) < padding) digits.insert(0, size_t(padding) - digits.size(), '0');
    return prefix + digits + suffix;
}

namespace {
FootagePath parse(const std::string& path, bool input);
}

FootagePath parseFootagePath(const std::string& path) { return parse(path, false); }

FootagePath parseInputPath(const std::string& path) { return parse(path, true); }

namespace {

FootagePath parse(const std::string& path, bool input)
{
    if (path.empty()) throw FootageError("", "empty file name");
    FootagePath result;
    result.path = path;
    const std::string name = fileNameOf(path);
    const size_t dot = name.rfind('.');
    if (input && (dot == std::string::npos || dot == 0 || dot + 1 == name.size())) {
        // No extension to go by: a video, whatever FFmpeg finds in it.
        result.kind = Kind::Video;
        return result;
    }
    if (dot == std::string::npos || dot + 1 == name.size())
        throw FootageError(path, "no file extension to tell the format by (" + supportedList() + ")");
    result.extension = lower(name.substr(dot + 1));
    if (dot == 0) throw FootageError(path, "no file name before the extension ." + result.extension);

    size_t at = 0, length = 0;
    int padding = 0;
    const bool sequence = findFrameField(name, at, length, padding, path);
    if (sequence && at + length > dot)
        throw FootageError(path, "the frame field must come before the extension");

    if (isVideoExtension(result.extension)) {
        if (sequence) throw FootageError(path, "a video file has no frame field; sequences are stills");
        result.kind = Kind::Video;
    } else if (isStillExtension(result.extension)) {
        result.kind = sequence ? Kind::Sequence : Kind::Still;
    } else if (input && !sequence) {
        // Read by content: transport streams (.ts, .m2ts, .mts), AVI and whatever else FFmpeg demuxes.
        result.kind = Kind::Video;
    } else {
        throw FootageError(path,
                           "unsupported file type '." + result.extension + "' (" + supportedList() + ")");
    }
    if (sequence) {
        const std::string dir = path.substr(0, path.size() - name.size());
        result.prefix = dir + name.substr(0, at);
        result.suffix = name.substr(at + length);
        result.padding = padding;
    }
    return result;
}

}  // namespace

bool FootagePath::namesFile(const std::string& n, int& number) const
{
    number = 0;
    if (kind != Kind::Sequence) return n == fileNameOf(path);
    const std::string namePrefix = fileNameOf(prefix + "x");
    const std::string head = namePrefix.substr(0, namePrefix.size() - 1);
    if (n.size() <= head.size() + suffix.size()) return false;
    if (n.compare(0, head.size(), head) != 0) return false;
    if (n.compare(n.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    const std::string digits = n.substr(head.size(), n.size() - head.size() - suffix.size());
    if (digits.empty() || digits.size() > 9) return false;
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    number = std::stoi(digits);
    return fileNameOf(frameFile(number)) == n;
}

std::vector<int> findSequenceFrames(const FootagePath& seq)
{
    const std::string dir = directoryOf(seq.prefix + "x");
    std::vector<int> frames;
    DIR* d = opendir(dir.c_str());
    if (!d) throw FootageError(seq.path, std::string("cannot list the directory: ") + std::strerror(errno));
    int number = 0;
    while (const dirent* entry = readdir(d))
        if (seq.namesFile(entry->d_name, number)) frames.push_back(number);
    closedir(d);
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string executableDirectory()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    return directoryOf(std::string(buffer, size_t(n)));
}

std::string temporaryName(const std::string& finalPath, long pid)
{
    const size_t slash = finalPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    const std::string name = finalPath.substr(dir.size());
    const size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    return dir + "." + stem + ".tmp-" + std::to_string(pid) + ext;
}

std::string finalNameOf(const std::string& name)
{
    const size_t mark = name.rfind(".tmp-");
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark == 0) return "";
    size_t end = mark + 5;
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
    if (end == mark + 5 || (end < name.size() && name[end] != '.')) return "";
    return name.substr(1, mark - 1) + name.substr(end);
}

}  // namespace Kiln::Footage
