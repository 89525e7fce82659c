// Stills and image sequences through OpenImageIO; PNG is read with libpng directly, whose own reports
// would otherwise reach standard error beside the renderer's one line. Built as a module of its own that
// the footage layer loads on first use (see klFootage.h).
#include "footage/klCompression.h"
#include "footage/klFootage.h"
#include "footage/klPixelConvert.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

namespace Kiln::Footage {

namespace {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

template <class T>
TypeDesc typeOf();
template <>
TypeDesc typeOf<uint8_t>()
{
    return TypeDesc::UINT8;
}
template <>
TypeDesc typeOf<uint16_t>()
{
    return TypeDesc::UINT16;
}
template <>
TypeDesc typeOf<float>()
{
    return TypeDesc::FLOAT;
}

// OpenImageIO errors come as several lines; the user gets one.
std::string oneLine(std::string text, const char* fallback)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text.empty() ? std::string(fallback) : text;
}

Depth depthOfFormat(TypeDesc format)
{
    if (format.basetype == TypeDesc::HALF || format.basetype == TypeDesc::FLOAT ||
        format.basetype == TypeDesc::DOUBLE)
        return Depth::Float;
    return format.size() > 1 ? Depth::Sixteen : Depth::Eight;
}

// Channels taken from a file: gray, gray+alpha, RGB or RGBA (extra channels such as depth are ignored).
int channelsUsed(const ImageSpec& spec)
{
    if (spec.nchannels >= 4 && spec.alpha_channel == 3) return 4;
    if (spec.nchannels >= 3) return 3;
    return spec.nchannels;
}

struct Picture {
    int width = 0, height = 0, channels = 0;
    Depth native = Depth::Eight;
    bool alpha = false;
    double pixelAspect = 1;
};

bool isPng(const std::string& file)
{
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = file.substr(dot + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == "png";
}

// ---- PNG ------------------------------------------------------------------------------------------------
// One PNG file being read. libpng reports a failure by jumping back to the setjmp in the function that
// called it; every libpng call below sits in such a function, which turns the report into a FootageError.
class PngFile {
public:
    PngFile(const std::string& file, long frame) : file_(file), frame_(frame)
    {
        fp_ = std::fopen(file.c_str(), "rb");
        if (!fp_) throw FootageError(file, std::string("cannot open: ") + std::strerror(errno), frame);
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &PngFile::onError, &PngFile::onWarning);
        info_ = png_ ? png_create_info_struct(png_) : nullptr;
        if (!info_) throw FootageError(file, "out of memory", frame);
    }
    ~PngFile()
    {
        png_destroy_read_struct(&png_, &info_, nullptr);
        std::fclose(fp_);
    }
    PngFile(const PngFile&) = delete;
    PngFile& operator=(const PngFile&) = delete;

    // Reads the header and sets up 8 or 16-bit gray, gray+alpha, RGB or RGBA samples in machine order.
    Picture header()
    {
        Picture p;
        if (setjmp(png_jmpbuf(png_))) fail();
        unsigned char signature[8] = {};
        if (std::fread(signature, 1, 8, fp_) != 8 || png_sig_cmp(signature, 0, 8) != 0)
            throw FootageError(file_, "not a PNG file, or damaged", frame_);
        png_init_io(png_, fp_);
        png_set_sig_bytes(png_, 8);
        png_read_info(png_, info_);
        png_set_expand(png_);  // palettes to RGB, gray below 8 bits to 8, transparency to alpha
        if (png_get_bit_depth(png_, info_) == 16) png_set_swap(png_);
        png_set_interlace_handling(png_);
        png_read_update_info(png_, info_);
        p.width = int(png_get_image_width(png_, info_));
        p.height = int(png_get_image_height(png_, info_));
        p.channels = png_get_channels(png_, info_);
        p.native = png_get_bit_depth(png_, info_) == 16 ? Depth::Sixteen : Depth::Eight;
        p.alpha = p.channels == 2 || p.channels == 4;
        png_uint_32 x = 0, y = 0;
        int unit = 0;
        if (png_get_pHYs(png_, info_, &x, &y, &unit) && x > 0 && y > 0) p.pixelAspect = double(y) / double(x);
        return p;
    }

    // The samples of the picture whose header() was read, row after row, then the rest of the file: a file
    // cut short anywhere is an error.
    void read(void* samples, size_t rowBytes, int height)
    {
        std::vector<png_bytep> rows(static_cast<size_t>(height));
        for (int y = 0; y < height; ++y)
            rows[size_t(y)] = static_cast<png_bytep>(samples) + size_t(y) * rowBytes;
        if (setjmp(png_jmpbuf(png_))) fail();
        png_read_image(png_, rows.data());
        png_read_end(png_, nullptr);
    }

private:
    static void onError(png_structp png, png_const_charp message)
    {
        auto* self = static_cast<PngFile*>(png_get_error_ptr(png));
        self->message_ = message ? message : "";
        png_longjmp(png, 1);
    }
    static void onWarning(png_structp, png_const_charp) { }  // ancillary details the picture does not need

    [[noreturn]] void fail()
    {
        const bool cut = std::feof(fp_) || message_.find("end of file") != std::string::npos ||
                         message_.find("Read Error") != std::string::npos;
        throw FootageError(file_, cut ? "the file is truncated" : "damaged PNG: " + message_, frame_);
    }

    std::string file_;
    long frame_;
    std::FILE* fp_ = nullptr;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    std::string message_;
};

// A sample as OpenImageIO converts it between types: full scale to full scale.
template <class To, class From>
To rescaled(From v)
{
    if constexpr (std::is_same_v<To, From>)
        return v;
    else if constexpr (std::is_same_v<To, float>)
        return float(v) / float(std::numeric_limits<From>::max());
    else if constexpr (std::is_same_v<To, uint16_t>)
        return uint16_t(v * 257u);
    else
        return uint8_t((uint32_t(v) * 255u + 32767u) / 65535u);
}

template <class T>
Image readPng(const std::string& file, long frame, const Picture& expected, Depth depth)
{
    PngFile png(file, frame);
    const Picture p = png.header();
    if (p.width != expected.width || p.height != expected.height || p.channels != expected.channels)
        throw FootageError(file,
                           "picture is " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                               " with " + std::to_string(p.channels) + " channels, the first frame is " +
                               std::to_string(expected.width) + "x" + std::to_string(expected.height) +
                               " with " + std::to_string(expected.channels),
                           frame);
    const size_t count = size_t(p.width) * size_t(p.height) * size_t(p.channels);
    auto convert = [&](auto fileZero) {
        using F = decltype(fileZero);
        std::vector<F> samples(count);
        png.read(samples.data(), size_t(p.width) * size_t(p.channels) * sizeof(F), p.height);
        Image image = Image::make(p.width, p.height, depth);
        const size_t rowSamples = size_t(p.width) * size_t(p.channels);
        std::vector<T> row(rowSamples);
        for (int y = 0; y < p.height; ++y) {
            const F* in = samples.data() + size_t(y) * rowSamples;
            for (size_t i = 0; i < rowSamples; ++i) row[i] = rescaled<T>(in[i]);
            rowToHost(row.data(), p.channels, image.row<T>(y), p.width);
        }
        return image;
    };
    return p.native == Depth::Sixteen ? convert(uint16_t{}) : convert(uint8_t{});
}

// Pixels travel as the file holds them: alpha is never multiplied in or divided out on the way.
std::unique_ptr<ImageInput> openPicture(const std::string& file)
{
    ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    return ImageInput::open(file, &config);
}

Picture probe(const std::string& file, long frame)
{
    if (isPng(file)) {
        PngFile png(file, frame);
        return png.header();
    }
    auto in = openPicture(file);
    if (!in) throw FootageError(file, oneLine(OIIO::geterror(), "cannot open"), frame);
    const ImageSpec& spec = in->spec();
    Picture p;
    p.width = spec.width;
    p.height = spec.height;
    p.channels = channelsUsed(spec);
    p.native = depthOfFormat(spec.format);
    p.alpha = p.channels == 2 || p.channels == 4;
    p.pixelAspect = spec.get_float_attribute("PixelAspectRatio", 1.0f);
    if (p.width <= 0 || p.height <= 0 || p.channels <= 0)
        throw FootageError(file, "the picture is empty", frame);
    return p;
}

// Into `image`, whose memory is reused when it fits; `scratch` holds the file's samples on the way.
void readPicture(const std::string& file, long frame, const Picture& expected, Depth depth, Image& image,
                 std::vector<unsigned char>& scratch)
{
    if (isPng(file)) {
        image = withHostType(
            depth, [&](auto zero) { return readPng<decltype(zero)>(file, frame, expected, depth); });
        return;
    }
    auto in = openPicture(file);
    if (!in) throw FootageError(file, oneLine(OIIO::geterror(), "cannot open"), frame);
    const ImageSpec& spec = in->spec();
    if (spec.width != expected.width || spec.height != expected.height)
        throw FootageError(file,
                           "picture is " + std::to_string(spec.width) + "x" + std::to_string(spec.height) +
                               ", the first frame is " + std::to_string(expected.width) + "x" +
                               std::to_string(expected.height),
                           frame);
    const int channels = channelsUsed(spec);
    withHostType(depth, [&](auto zero) {
        using T = decltype(zero);
        scratch.resize(size_t(spec.width) * size_t(spec.height) * size_t(channels) * sizeof(T));
        T* samples = reinterpret_cast<T*>(scratch.data());
        if (!in->read_image(0, 0, 0, channels, typeOf<T>(), samples))
            throw FootageError(file, oneLine(in->geterror(), "cannot read the picture"), frame);
        // Some readers (JPEG, TIFF) fill what a cut-off or damaged file lacks, and only say so.
        if (const std::string said = in->geterror(); !said.empty())
            throw FootageError(file,
                               "the file is truncated or damaged: " +
                                   said.substr(0, std::min(said.find('\n'), size_t(160))),
                               frame);
        pictureIntoHost<T, T>(samples, spec.width, spec.height, channels, size_t(spec.width) * channels,
                              depth, image);
    });
}

}  // namespace

struct PictureAttributes {
    OIIO::ParamValueList list;
};

namespace {

// Attributes that describe how a file is stored, or that no longer hold for a rendered picture (its size,
// resolution, rate and pixel aspect are written afresh). The rest -- dates, camera, colour space, a
// frame's own timecode -- go to the output frame of the same number.
bool describesTheFile(const std::string& name)
{
    if (name == "oiio:ColorSpace" || name == "oiio:Gamma") return false;  // what the values mean: kept
    static const char* const exact[] = {"compression",
                                        "planarconfig",
                                        "Software",
                                        "XResolution",
                                        "YResolution",
                                        "ResolutionUnit",
                                        "PixelAspectRatio",
                                        "FramesPerSecond",
                                        "Orientation",
                                        "openexr:lineOrder",
                                        "openexr:chunkCount",
                                        "openexr:version",
                                        "openexr:dwaCompressionLevel",
                                        "openexr:roundingmode",
                                        "dpx:FrameRate"};
    for (const char* e : exact)
        if (name == e) return true;
    for (const char* prefix : {"tiff:", "jpeg:", "png:", "oiio:", "dpx:Packing", "dpx:EndOf",
                               "dpx:ImageDescriptor", "dpx:DataSign", "dpx:Version", "dpx:DittoKey"})
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

std::shared_ptr<const PictureAttributes> attributesOf(const ImageSpec& spec)
{
    auto a = std::make_shared<PictureAttributes>();
    for (const OIIO::ParamValue& p : spec.extra_attribs)
        if (!describesTheFile(p.name().string())) a->list.push_back(p);
    return a;
}

class ImageReader final : public FootageReader {
public:
    ImageReader(const FootagePath& path, FrameRate rate) : path_(path), name_(path.path)
    {
        info_.rate = rate;
        if (path.kind == Kind::Sequence) {
            const std::vector<int> frames = findSequenceFrames(path);
            if (frames.empty()) throw FootageError(path.path, "no frames of this sequence on disk");
            for (size_t i = 1; i < frames.size(); ++i)
                if (frames[i] != frames[i - 1] + 1)
                    throw FootageError(path.frameFile(frames[i - 1] + 1), "missing from the sequence",
                                       frames[i - 1] + 1);
            info_.firstFrame = frames.front();
            info_.frameCount = int(frames.size());
        }
        first_ = probe(path.frameFile(info_.firstFrame), frameLabel(0));
        info_.width = first_.width;
        info_.height = first_.height;
        info_.nativeDepth = first_.native;
        info_.hasAlpha = first_.alpha;
        info_.pixelAspect = PixelAspect::fromDouble(first_.pixelAspect);
    }

    const FootageInfo& info() const override { return info_; }
    const std::string& name() const override { return name_; }

    Image read(int index, Depth depth) override
    {
        Image image;
        readInto(index, depth, image);
        return image;
    }

    void readInto(int index, Depth depth, Image& image) override
    {
        readPicture(path_.frameFile(info_.firstFrame + index), frameLabel(index), first_, depth, image,
                    scratch_);
    }

    // PNG files say little worth keeping, and their reader prints its complaints: not asked.
    std::shared_ptr<const PictureAttributes> attributes(int index) override
    {
        const std::string file = path_.frameFile(info_.firstFrame + index);
        if (isPng(file)) return nullptr;
        auto in = openPicture(file);
        if (!in) {
            OIIO::geterror();
            return nullptr;
        }
        return attributesOf(in->spec());
    }

private:
    long frameLabel(int index) const
    {
        return path_.kind == Kind::Sequence ? long(info_.firstFrame + index) : FootageError::noFrame;
    }

    FootagePath path_;
    std::string name_;
    FootageInfo info_;
    Picture first_;
    std::vector<unsigned char> scratch_;
};

// The sample type a format is written with at each depth: what it can hold closest to the frames.
TypeDesc fileType(const std::string& ext, Depth depth)
{
    if (ext == "jpg" || ext == "jpeg") return TypeDesc::UINT8;
    if (ext == "exr") return depth == Depth::Float ? TypeDesc::FLOAT : TypeDesc::HALF;
    if (ext == "png" || ext == "dpx") return depth == Depth::Eight ? TypeDesc::UINT8 : TypeDesc::UINT16;
    return depth == Depth::Eight     ? TypeDesc::UINT8
           : depth == Depth::Sixteen ? TypeDesc::UINT16
                                     : TypeDesc::FLOAT;
}

bool holdsAlpha(const std::string& ext) { return ext != "jpg" && ext != "jpeg"; }

void writeFile(const std::string& file, const std::vector<unsigned char>& bytes, const std::string& reported,
               long label)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw FootageError(reported, std::string("cannot create the file: ") + std::strerror(errno), label);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            throw FootageError(reported, std::string("cannot write: ") + std::strerror(error), label);
        }
        done += size_t(n);
    }
    if (::close(fd) != 0)
        throw FootageError(reported, std::string("cannot write: ") + std::strerror(errno), label);
}

class ImageWriter final : public FootageWriter {
public:
    ImageWriter(const FootagePath& target, const WriterSettings& settings, const FileNamer& namer)
        : target_(target), settings_(settings), namer_(namer), next_(settings.firstFrame)
    {
        channels_ = settings.alpha && holdsAlpha(target.extension) ? 4 : 3;
    }

    void write(const Image& frame, const PictureAttributes* attributes) override
    {
        const int number = next_++;
        const long label = target_.kind == Kind::Sequence ? long(number) : FootageError::noFrame;
        const std::string reported = target_.frameFile(number);
        if (target_.kind == Kind::Still && number != settings_.firstFrame)
            throw FootageError(reported, "a single picture holds one frame", number);
        if (frame.width != settings_.width || frame.height != settings_.height ||
            frame.depth != settings_.depth)
            throw FootageError(reported, "frame size or depth changed during the render", label);

        const std::string file = namer_(number);
        // Encoded in memory and written here: some codec libraries end the process on a failed write (a full
        // disk), and others do not report one at all.
        std::vector<unsigned char> encoded;
        encoded.reserve(lastEncodedSize_ +
                        lastEncodedSize_ / 8);  // files of a sequence come out alike in size
        OIIO::Filesystem::IOVecOutput memory(encoded);
        auto out = ImageOutput::create(file, &memory);
        if (!out) throw FootageError(reported, oneLine(OIIO::geterror(), "cannot create a writer"), label);
        ImageSpec spec(frame.width, frame.height, channels_, fileType(target_.extension, frame.depth));
        if (attributes)
            for (const OIIO::ParamValue& p : attributes->list) spec.attribute(p.name(), p.type(), p.data());
        if (channels_ == 4) spec.alpha_channel = 3;
        spec.attribute("oiio:UnassociatedAlpha", 1);
        describe(spec);
        if (!out->open(file, spec))
            throw FootageError(reported, oneLine(out->geterror(), "cannot create the file"), label);
        withHostType(frame.depth, [&](auto zero) {
            using T = decltype(zero);
            // Every sample is written below: memory of the frame before is reused as it is.
            samples_.resize(size_t(frame.width) * size_t(frame.height) * size_t(channels_) * sizeof(T));
            T* samples = reinterpret_cast<T*>(samples_.data());
            for (int y = 0; y < frame.height; ++y)
                rowToFile<T, T>(frame.row<T>(y), samples + size_t(y) * frame.width * channels_, channels_,
                                frame.width);
            if (!out->write_image(typeOf<T>(), samples))
                throw FootageError(reported, oneLine(out->geterror(), "cannot write the picture"), label);
        });
        if (!out->close())
            throw FootageError(reported, oneLine(out->geterror(), "cannot finish the file"), label);
        writeFile(file, encoded, reported, label);
        lastEncodedSize_ = encoded.size();
    }

    void finish() override { }

private:
    // Pixel aspect where the format holds it (PNG and TIFF as a resolution ratio, which keeps it exact),
    // the frame rate of sequences and the compression (klCompression.h).
    void describe(ImageSpec& spec) const
    {
        const std::string& ext = target_.extension;
        const std::string compression = compressionFor(ext, settings_.compression);
        if (ext == "exr" || ext == "tif" || ext == "tiff") spec.attribute("compression", compression);
        if (ext == "png") spec.attribute("png:compressionLevel", compression == "none" ? 0 : 6);
        const PixelAspect aspect = settings_.pixelAspect;
        if (ext == "exr" || ext == "dpx" || ext == "tif" || ext == "tiff" || ext == "png") {
            spec.attribute("PixelAspectRatio", float(aspect.value()));
            if (!aspect.square() && ext != "exr" && ext != "dpx") {
                spec.attribute("XResolution", float(aspect.den));
                spec.attribute("YResolution", float(aspect.num));
            }
        }
        if (ext == "exr") {
            const int rate[2] = {settings_.rate.num, settings_.rate.den};
            spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
        }
        if (ext == "dpx") spec.attribute("dpx:FrameRate", float(settings_.rate.value()));
    }

    FootagePath target_;
    WriterSettings settings_;
    FileNamer namer_;
    int next_;
    int channels_ = 3;
    std::vector<unsigned char> samples_;  // the frame as the file's samples
    size_t lastEncodedSize_ = 0;
};

std::unique_ptr<FootageReader> openReader(const FootagePath& path, FrameRate rate)
{
    return std::make_unique<ImageReader>(path, rate);
}

std::unique_ptr<FootageWriter> createWriter(const FootagePath& target, const WriterSettings& settings,
                                            const FileNamer& namer)
{
    return std::make_unique<ImageWriter>(target, settings, namer);
}

// OpenImageIO's own pool and the OpenEXR pool it sets up (0 means one a processor to both).
void limitThreads(int threads)
{
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

const ImageFileFunctions functions{openReader, createWriter, limitThreads};

}  // namespace

}  // namespace Kiln::Footage

extern "C" __attribute__((visibility("default"))) const Kiln::Footage::ImageFileFunctions* kiln_image_files()
{
    return &Kiln::Footage::functions;
}

extern "C" __attribute__((visibility("default"))) uint64_t kiln_image_files_layout()
{
    return Kiln::Footage::imageFilesLayout();
}
