/*
 * Pixels between files and the host.
 *
 * Files hold interleaved gray, gray+alpha, RGB or RGBA samples; the host holds A, R, G, B with 8-bit
 * channels 0..255, 16-bit channels 0..32768 and float channels as they are. Each conversion is written
 * once over the sample types:
 * - 8-bit file <-> 8-bit host is exact;
 * - 16-bit file 0..65535 <-> 16-bit host 0..32768 rounds to nearest both ways, so a file value comes back
 *   within one code value;
 * - float is copied, and 16-bit file samples meet float hosts as v / 65535.
 * Files without alpha get opaque alpha; writing drops alpha when the file takes three channels.
 */
#ifndef KL_PIXEL_CONVERT_H
#define KL_PIXEL_CONVERT_H

#include "runner/klRunner.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace Kiln::Footage {

using Runner::Depth;
using Runner::Image;

// --- one sample ---------------------------------------------------------------------------------------
template <class HostT, class FileT>
HostT sampleToHost(FileT v);
template <class FileT, class HostT>
FileT sampleToFile(HostT v);

template <>
inline uint8_t sampleToHost<uint8_t, uint8_t>(uint8_t v)
{
    return v;
}
template <>
inline uint16_t sampleToHost<uint16_t, uint16_t>(uint16_t v)
{
    return uint16_t((uint32_t(v) * 32768u + 32767u) / 65535u);
}
template <>
inline float sampleToHost<float, float>(float v)
{
    return v;
}
template <>
inline float sampleToHost<float, uint16_t>(uint16_t v)
{
    return float(v) * (1.0f / 65535.0f);
}

template <>
inline uint8_t sampleToFile<uint8_t, uint8_t>(uint8_t v)
{
    return v;
}
template <>
inline uint16_t sampleToFile<uint16_t, uint16_t>(uint16_t v)
{
    // A module may hand back values above the 16-bit maximum; they mean white.
    return uint16_t((uint32_t(std::min<uint16_t>(v, 32768)) * 65535u + 16384u) / 32768u);
}
template <>
inline float sampleToFile<float, float>(float v)
{
    return v;
}
template <>
inline uint16_t sampleToFile<uint16_t, float>(float v)
{
    if (!(v > 0.0f)) return 0;  // NaN fails every comparison: black
    return uint16_t(std::min(v, 1.0f) * 65535.0f + 0.5f);
}

template <class HostT>
constexpr HostT opaque();
template <>
constexpr uint8_t opaque<uint8_t>()
{
    return 255;
}
template <>
constexpr uint16_t opaque<uint16_t>()
{
    return 32768;
}
template <>
constexpr float opaque<float>()
{
    return 1.0f;
}

// --- one row --------------------------------------------------------------------------------------------
// `channels` is 1 (gray), 2 (gray, alpha), 3 (RGB) or 4 (RGBA). One loop per layout, so that the compiler
// can turn each into vector shuffles.
template <class HostT, class FileT>
void rowToHost(const FileT* src, int channels, HostT* argb, int width)
{
    switch (channels) {
    case 1:
        for (int x = 0; x < width; ++x, src += 1, argb += 4) {
            argb[0] = opaque<HostT>();
            argb[1] = argb[2] = argb[3] = sampleToHost<HostT>(src[0]);
        }
        break;
    case 2:
        for (int x = 0; x < width; ++x, src += 2, argb += 4) {
            argb[0] = sampleToHost<HostT>(src[1]);
            argb[1] = argb[2] = argb[3] = sampleToHost<HostT>(src[0]);
        }
        break;
    case 3:
        for (int x = 0; x < width; ++x, src += 3, argb += 4) {
            argb[0] = opaque<HostT>();
            argb[1] = sampleToHost<HostT>(src[0]);
            argb[2] = sampleToHost<HostT>(src[1]);
            argb[3] = sampleToHost<HostT>(src[2]);
        }
        break;
    default:
        for (int x = 0; x < width; ++x, src += 4, argb += 4) {
            argb[0] = sampleToHost<HostT>(src[3]);
            argb[1] = sampleToHost<HostT>(src[0]);
            argb[2] = sampleToHost<HostT>(src[1]);
            argb[3] = sampleToHost<HostT>(src[2]);
        }
        break;
    }
}

// `channels` is 3 (RGB) or 4 (RGBA).
template <class FileT, class HostT>
void rowToFile(const HostT* argb, FileT* dst, int channels, int width)
{
    if (channels == 4) {
        for (int x = 0; x < width; ++x, argb += 4, dst += 4) {
            dst[0] = sampleToFile<FileT>(argb[1]);
            dst[1] = sampleToFile<FileT>(argb[2]);
            dst[2] = sampleToFile<FileT>(argb[3]);
            dst[3] = sampleToFile<FileT>(argb[0]);
        }
    } else {
        for (int x = 0; x < width; ++x, argb += 4, dst += 3) {
            dst[0] = sampleToFile<FileT>(argb[1]);
            dst[1] = sampleToFile<FileT>(argb[2]);
            dst[2] = sampleToFile<FileT>(argb[3]);
        }
    }
}

// --- the choice of sample type, made once -------------------------------------------------------------
// Calls f(T{}) with the host channel type of `depth`: uint8_t, uint16_t or float.
template <class F>
decltype(auto) withHostType(Depth depth, F&& f)
{
    switch (depth) {
    case Depth::Eight: return f(uint8_t{});
    case Depth::Sixteen: return f(uint16_t{});
    case Depth::Float: return f(float{});
    }
    throw std::logic_error("Kiln::Footage::withHostType: unknown depth");
}

// Converts a whole interleaved picture (`strideSamples` samples per row) into `image`, whose memory is
// reused when it has the picture's size and depth already (every pixel is written).
template <class HostT, class FileT>
void pictureIntoHost(const FileT* samples, int width, int height, int channels, size_t strideSamples,
                     Depth depth, Image& image)
{
    if (image.width != width || image.height != height || image.depth != depth ||
        image.rowBytes != size_t(width) * Runner::bytesPerPixel(depth) ||
        image.pixels.size() != image.rowBytes * size_t(height))
        image = Image::make(width, height, depth);
    for (int y = 0; y < height; ++y)
        rowToHost(samples + size_t(y) * strideSamples, channels, image.row<HostT>(y), width);
}

// The same into a new host image.
template <class HostT, class FileT>
Image pictureToHost(const FileT* samples, int width, int height, int channels, size_t strideSamples,
                    Depth depth)
{
    Image image;
    pictureIntoHost<HostT, FileT>(samples, width, height, channels, strideSamples, depth, image);
    return image;
}

}  // namespace Kiln::Footage

#endif
