// Stills and image sequences through OpenImageIO.
#include "cli/klFootage.h"
#include "cli/klPixelConvert.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace Kiln::Footage {

namespace {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

template <class T> TypeDesc typeOf();
template <> TypeDesc typeOf<uint8_t>() { return TypeDesc::UINT8; }
template <> TypeDesc typeOf<uint16_t>() { return TypeDesc::UINT16; }
template <> TypeDesc typeOf<float>() { return TypeDesc::FLOAT; }

// OpenImageIO errors come as several lines; the user gets one.
std::string oneLine(std::string text, const char* fallback) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text.empty() ? std::string(fallback) : text;
}

Depth depthOfFormat(TypeDesc format) {
  if (format.basetype == TypeDesc::HALF || format.basetype == TypeDesc::FLOAT || format.basetype == TypeDesc::DOUBLE)
    return Depth::Float;
  return format.size() > 1 ? Depth::Sixteen : Depth::Eight;
}

// Channels taken from a file: gray, gray+alpha, RGB or RGBA (extra channels such as depth are ignored).
int channelsUsed(const ImageSpec& spec) {
  if (spec.nchannels >= 4 && spec.alpha_channel == 3) return 4;
  if (spec.nchannels >= 3) return 3;
  return spec.nchannels;
}

struct Picture {
  int width = 0, height = 0, channels = 0;
  Depth native = Depth::Eight;
  bool alpha = false;
};

// Pixels travel as the file holds them: alpha is never multiplied in or divided out on the way.
std::unique_ptr<ImageInput> openPicture(const std::string& file) {
  ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  return ImageInput::open(file, &config);
}

Picture probe(const std::string& file, long frame) {
  auto in = openPicture(file);
  if (!in) throw FootageError(file, oneLine(OIIO::geterror(), "cannot open"), frame);
  const ImageSpec& spec = in->spec();
  Picture p;
  p.width = spec.width;
  p.height = spec.height;
  p.channels = channelsUsed(spec);
  p.native = depthOfFormat(spec.format);
  p.alpha = p.channels == 2 || p.channels == 4;
  if (p.width <= 0 || p.height <= 0 || p.channels <= 0) throw FootageError(file, "the picture is empty", frame);
  return p;
}

Image readPicture(const std::string& file, long frame, const Picture& expected, Depth depth) {
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
  return withHostType(depth, [&](auto zero) {
    using T = decltype(zero);
    std::vector<T> samples(size_t(spec.width) * size_t(spec.height) * size_t(channels));
    if (!in->read_image(0, 0, 0, channels, typeOf<T>(), samples.data()))
      throw FootageError(file, oneLine(in->geterror(), "cannot read the picture"), frame);
    return pictureToHost<T, T>(samples.data(), spec.width, spec.height, channels, size_t(spec.width) * channels, depth);
  });
}

class ImageReader final : public FootageReader {
public:
  ImageReader(const FootagePath& path, FrameRate rate) : path_(path), name_(path.path) {
    info_.rate = rate;
    if (path.kind == Kind::Sequence) {
      const std::vector<int> frames = findSequenceFrames(path);
      if (frames.empty()) throw FootageError(path.path, "no frames of this sequence on disk");
      for (size_t i = 1; i < frames.size(); ++i)
        if (frames[i] != frames[i - 1] + 1)
          throw FootageError(path.frameFile(frames[i - 1] + 1), "missing from the sequence", frames[i - 1] + 1);
      info_.firstFrame = frames.front();
      info_.frameCount = int(frames.size());
    }
    first_ = probe(path.frameFile(info_.firstFrame), frameLabel(0));
    info_.width = first_.width;
    info_.height = first_.height;
    info_.nativeDepth = first_.native;
    info_.hasAlpha = first_.alpha;
  }

  const FootageInfo& info() const override { return info_; }
  const std::string& name() const override { return name_; }

  Image read(int index, Depth depth) override {
    const int number = info_.firstFrame + index;
    return readPicture(path_.frameFile(number), frameLabel(index), first_, depth);
  }

private:
  long frameLabel(int index) const {
    return path_.kind == Kind::Sequence ? long(info_.firstFrame + index) : FootageError::noFrame;
  }

  FootagePath path_;
  std::string name_;
  FootageInfo info_;
  Picture first_;
};

// The sample type a format is written with at each depth: what it can hold closest to the frames.
TypeDesc fileType(const std::string& ext, Depth depth) {
  if (ext == "jpg" || ext == "jpeg") return TypeDesc::UINT8;
  if (ext == "exr") return depth == Depth::Float ? TypeDesc::FLOAT : TypeDesc::HALF;
  if (ext == "png" || ext == "dpx")
    return depth == Depth::Eight ? TypeDesc::UINT8 : TypeDesc::UINT16;
  return depth == Depth::Eight ? TypeDesc::UINT8 : depth == Depth::Sixteen ? TypeDesc::UINT16 : TypeDesc::FLOAT;
}

bool holdsAlpha(const std::string& ext) { return ext != "jpg" && ext != "jpeg"; }

void writeFile(const std::string& file, const std::vector<unsigned char>& bytes, const std::string& reported, long label) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw FootageError(reported, std::string("cannot create the file: ") + std::strerror(errno), label);
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
  if (::close(fd) != 0) throw FootageError(reported, std::string("cannot write: ") + std::strerror(errno), label);
}

class ImageWriter final : public FootageWriter {
public:
  ImageWriter(const FootagePath& target, const WriterSettings& settings, const FileNamer& namer)
      : target_(target), settings_(settings), namer_(namer), next_(settings.firstFrame) {
    channels_ = settings.alpha && holdsAlpha(target.extension) ? 4 : 3;
  }

  void write(const Image& frame) override {
    const int number = next_++;
    const long label = target_.kind == Kind::Sequence ? long(number) : FootageError::noFrame;
    const std::string reported = target_.frameFile(number);
    if (target_.kind == Kind::Still && number != settings_.firstFrame)
      throw FootageError(reported, "a single picture holds one frame", number);
    if (frame.width != settings_.width || frame.height != settings_.height || frame.depth != settings_.depth)
      throw FootageError(reported, "frame size or depth changed during the render", label);

    const std::string file = namer_(number);
    // Encoded in memory and written here: some codec libraries end the process on a failed write (a full
    // disk), and others do not report one at all.
    std::vector<unsigned char> encoded;
    OIIO::Filesystem::IOVecOutput memory(encoded);
    auto out = ImageOutput::create(file, &memory);
    if (!out) throw FootageError(reported, oneLine(OIIO::geterror(), "cannot create a writer"), label);
    ImageSpec spec(frame.width, frame.height, channels_, fileType(target_.extension, frame.depth));
    if (channels_ == 4) spec.alpha_channel = 3;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!out->open(file, spec)) throw FootageError(reported, oneLine(out->geterror(), "cannot create the file"), label);
    withHostType(frame.depth, [&](auto zero) {
      using T = decltype(zero);
      std::vector<T> samples(size_t(frame.width) * size_t(frame.height) * size_t(channels_));
      for (int y = 0; y < frame.height; ++y)
        rowToFile<T, T>(frame.row<T>(y), samples.data() + size_t(y) * frame.width * channels_, channels_, frame.width);
      if (!out->write_image(typeOf<T>(), samples.data()))
        throw FootageError(reported, oneLine(out->geterror(), "cannot write the picture"), label);
    });
    if (!out->close()) throw FootageError(reported, oneLine(out->geterror(), "cannot finish the file"), label);
    writeFile(file, encoded, reported, label);
  }

  void finish() override {}

private:
  FootagePath target_;
  WriterSettings settings_;
  FileNamer namer_;
  int next_;
  int channels_ = 3;
};

}  // namespace

std::unique_ptr<FootageReader> openImageReader(const FootagePath& path, FrameRate rate) {
  return std::make_unique<ImageReader>(path, rate);
}

std::unique_ptr<FootageWriter> createImageWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer) {
  return std::make_unique<ImageWriter>(target, settings, namer);
}

}  // namespace Kiln::Footage
