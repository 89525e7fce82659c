#include "preview/klPreviewPng.h"

#include <png.h>

#include <csetjmp>
#include <cmath>
#include <stdexcept>

namespace Kiln::Preview {

namespace {

inline uint8_t display(uint8_t v) { return v; }
inline uint8_t display(uint16_t v)
{
    return uint8_t((uint32_t(std::min<uint16_t>(v, 32768)) * 255 + 16384) >> 15);
}
inline uint8_t display(float v)
{
    if (!(v > 0)) return 0;  // NaN too
    if (v >= 1) return 255;
    return uint8_t(std::lround(v * 255.0f));
}

template <class T>
void convert(const Runner::Image& image, DisplayPicture& out)
{
    const int n = out.channels;
    for (int y = 0; y < image.height; ++y) {
        const T* argb = image.row<T>(y);
        uint8_t* dst = out.bytes.data() + size_t(y) * size_t(image.width) * size_t(n);
        for (int x = 0; x < image.width; ++x, argb += 4, dst += n) {
            dst[0] = display(argb[1]);
            dst[1] = display(argb[2]);
            dst[2] = display(argb[3]);
            if (n == 4) dst[3] = display(argb[0]);
        }
    }
}

void appendData(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

}  // namespace

DisplayPicture toDisplay(const Runner::Image& image, bool alpha)
{
    DisplayPicture out;
    out.width = image.width;
    out.height = image.height;
    out.channels = alpha ? 4 : 3;
    out.bytes.resize(size_t(image.width) * size_t(image.height) * size_t(out.channels));
    switch (image.depth) {
    case Runner::Depth::Eight: convert<uint8_t>(image, out); break;
    case Runner::Depth::Sixteen: convert<uint16_t>(image, out); break;
    case Runner::Depth::Float: convert<float>(image, out); break;
    }
    return out;
}

namespace {

// libpng reports failures by longjmp; nothing with a destructor lives in this frame.
bool writePng(const DisplayPicture& picture, int level, std::string* out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, appendData, nullptr);
    png_set_IHDR(png, info, png_uint_32(picture.width), png_uint_32(picture.height), 8,
                 picture.channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, level);
    // Row filters cost more time than they save in bytes on a loopback connection.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, level <= 1 ? PNG_FILTER_NONE : PNG_FILTER_SUB);
    png_write_info(png, info);
    const size_t stride = size_t(picture.width) * size_t(picture.channels);
    for (int y = 0; y < picture.height; ++y)
        png_write_row(png, const_cast<png_bytep>(picture.bytes.data() + size_t(y) * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::string encodePng(const DisplayPicture& picture, int level)
{
    std::string out;
    out.reserve(picture.bytes.size() / (level == 0 ? 1 : 3) + 1024);
    if (!writePng(picture, level, &out))
        throw std::runtime_error("cannot encode the frame as PNG (out of memory)");
    return out;
}

}  // namespace Kiln::Preview
