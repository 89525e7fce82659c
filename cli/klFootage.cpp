#include "cli/klFootage.h"

#include <OpenImageIO/imageio.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

#include <algorithm>

namespace Kiln::Footage {

FrameRate FrameRate::fromDouble(double fps) {
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

PixelAspect PixelAspect::fromDouble(double aspect) {
  if (!std::isfinite(aspect) || aspect <= 0 || aspect > 100 || aspect < 0.01) return {};
  // The ratio with the smallest denominator up to 1000 within 1/10000 of the value.
  for (int den = 1; den <= 1000; ++den) {
    const long num = std::lround(aspect * den);
    if (num > 0 && std::fabs(double(num) / den - aspect) <= 1e-4 * aspect) return {int(num), den};
  }
  return {int(std::lround(aspect * 10000)), 10000};
}

double FootageInfo::frameTime(int index) const {
  if (timing.variable() && index >= 0 && size_t(index) < timing.ticks.size())
    return startSeconds + double(timing.ticks[size_t(index)]) * timing.tickNum / timing.tickDen;
  return startSeconds + double(index) * rate.den / rate.num;
}

namespace {
std::atomic<int> codecThreadLimit{0};
}  // namespace

void limitCodecThreads(int threads) {
  codecThreadLimit = std::max(0, threads);
  // OpenImageIO's own pool and the OpenEXR pool it sets up (0 means one a processor to both).
  OIIO::attribute("threads", codecThreadLimit.load());
  OIIO::attribute("exr_threads", codecThreadLimit.load());
}

int codecThreads() { return codecThreadLimit.load(); }

std::unique_ptr<FootageReader> openReader(const FootagePath& path, FrameRate rate) {
  if (path.kind != Kind::Sequence) {
    struct stat s {};
    if (stat(path.path.c_str(), &s) != 0) throw FootageError(path.path, std::string("cannot open: ") + std::strerror(errno));
    if (!S_ISREG(s.st_mode)) throw FootageError(path.path, "not a regular file");
  }
  if (path.kind == Kind::Video) return openVideoReader(path);
  return openImageReader(path, rate);
}

std::unique_ptr<FootageWriter> createWriter(const FootagePath& target, const WriterSettings& settings,
                                            const FileNamer& namer) {
  if (settings.width <= 0 || settings.height <= 0) throw FootageError(target.path, "nothing to write: empty frames");
  if (target.kind == Kind::Video) return createVideoWriter(target, settings, namer);
  return createImageWriter(target, settings, namer);
}

}  // namespace Kiln::Footage
