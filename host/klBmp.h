#pragma once
// A reader for Windows bitmap files (.bmp), enough for the About box's splash picture.
//
// A file is: the 14-byte file header ("BM", file size, two reserved words, the offset of the
// pixel data), the info header (12-byte core form or the 40-byte form and its longer versions)
// and the palette up to that offset, then the pixel rows. Uncompressed 1, 4, 8, 16 (5-5-5), 24
// and 32 bits per pixel are read, rows bottom-up (positive height) or top-down (negative
// height), each row padded to 4 bytes. The picture is opaque: the fourth byte of a 32-bit pixel
// is not alpha in such files.
//
// Anything else gives an empty picture, never a read outside the bytes given: a missing file,
// a wrong signature, headers or palette running past the pixel-data offset or the end of the
// file, an offset outside the file, pixel data shorter than its rows, compressed data, sizes
// beyond kMaxSide or kMaxPixels.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kiln::Bmp {

inline constexpr int32_t kMaxSide = 16384;
inline constexpr int64_t kMaxPixels = int64_t(1) << 25;

// 8-bit A, R, G, B per pixel, rows from the top, width * 4 bytes a row.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;

    bool empty() const { return width <= 0 || height <= 0; }
    size_t rowBytes() const { return size_t(width) * 4; }
    const uint8_t* row(int32_t y) const { return pixels.data() + size_t(y) * rowBytes(); }
    uint8_t* row(int32_t y) { return pixels.data() + size_t(y) * rowBytes(); }
    // A picture of that size filled with one colour (a, r, g, b).
    static Picture filled(int32_t width, int32_t height, uint8_t a, uint8_t r, uint8_t g, uint8_t b);
};

// The picture held by `size` bytes of a bitmap file; empty when they hold none.
Picture decode(const uint8_t* data, size_t size);
// The picture in the file at `path`; empty when it cannot be read or holds none.
Picture readFile(const std::string& path);

}  // namespace Kiln::Bmp
