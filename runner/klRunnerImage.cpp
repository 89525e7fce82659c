#include "runner/klRunner.h"

namespace Kiln::Runner {

const char* depthName(Depth d)
{
    switch (d) {
    case Depth::Eight: return "8";
    case Depth::Sixteen: return "16";
    case Depth::Float: return "float";
    }
    return "?";
}

size_t bytesPerPixel(Depth d)
{
    switch (d) {
    case Depth::Eight: return 4;
    case Depth::Sixteen: return 8;
    case Depth::Float: return 16;
    }
    return 4;
}

PF_PixelFormat pixelFormatOf(Depth d)
{
    switch (d) {
    case Depth::Eight: return PF_PixelFormat_ARGB32;
    case Depth::Sixteen: return PF_PixelFormat_ARGB64;
    case Depth::Float: return PF_PixelFormat_ARGB128;
    }
    return PF_PixelFormat_INVALID;
}

Image Image::make(int w, int h, Depth d)
{
    if (w <= 0 || h <= 0 || w > 65536 || h > 65536)
        throw RunnerError("Kiln::Runner::Image::make: image size " + std::to_string(w) + " x " +
                          std::to_string(h) + " is not between 1 and 65536 on each side");
    Image img;
    img.width = w;
    img.height = h;
    img.depth = d;
    img.rowBytes = size_t(w) * bytesPerPixel(d);
    img.pixels.assign(img.rowBytes * size_t(h), 0);
    return img;
}

}  // namespace Kiln::Runner
