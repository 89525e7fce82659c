#pragma once
// Bitmap files made in the tests: any depth the reader takes, either row order, either header
// form, with the colour of each pixel given by a function so the expected picture is known.
#include "host/klBmp.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace AboutTest {

using Rgb = std::array<uint8_t, 3>;

struct BmpSpec {
    int width = 7;
    int height = 5;
    int bits = 24;
    bool topDown = false;
    bool coreHeader = false;  // the 12-byte header with 3-byte palette entries
    int paletteEntries = 0;  // 0: 1 << bits for paletted depths
    int gap = 0;  // bytes between the palette and the pixel data
};

inline void put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Palette colour i of the test files.
inline Rgb paletteColour(int i) { return {uint8_t(i * 37 + 5), uint8_t(i * 91 + 11), uint8_t(i * 13 + 200)}; }
// Palette index of pixel (x, y) (rows from the top) in a file of `bits` bits.
inline int paletteIndex(int x, int y, int bits) { return (x * 3 + y * 5) % (1 << bits); }
// Colour of pixel (x, y) of a direct-colour file.
inline Rgb directColour(int x, int y)
{
    return {uint8_t(x * 17 + y), uint8_t(y * 29 + 3), uint8_t((x ^ y) * 11)};
}

// The file bytes; `colour` gives direct colours (ignored for paletted depths).
inline std::vector<uint8_t> makeBmp(const BmpSpec& s, std::function<Rgb(int, int)> colour = directColour)
{
    const uint32_t info = s.coreHeader ? 12 : 40;
    const int entryBytes = s.coreHeader ? 3 : 4;
    const int entries = s.bits <= 8 ? (s.paletteEntries ? s.paletteEntries : 1 << s.bits) : 0;
    const uint32_t offset = 14 + info + uint32_t(entries * entryBytes + s.gap);
    const uint32_t stride = ((uint32_t(s.width) * uint32_t(s.bits) + 31) / 32) * 4;
    std::vector<uint8_t> b(offset + stride * uint32_t(s.height), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, offset);
    put32(b, 14, info);
    if (s.coreHeader) {
        put16(b, 18, uint32_t(s.width));
        put16(b, 20, uint32_t(s.height));
        put16(b, 22, 1);
        put16(b, 24, uint32_t(s.bits));
    } else {
        put32(b, 18, uint32_t(s.width));
        put32(b, 22, uint32_t(s.topDown ? -s.height : s.height));
        put16(b, 26, 1);
        put16(b, 28, uint32_t(s.bits));
        put32(b, 46, uint32_t(s.paletteEntries));
    }
    for (int i = 0; i < entries; ++i) {
        const Rgb c = paletteColour(i);
        uint8_t* e = &b[14 + info + size_t(i * entryBytes)];
        e[0] = c[2];
        e[1] = c[1];
        e[2] = c[0];
    }
    for (int y = 0; y < s.height; ++y) {
        const int fileRow = s.topDown ? y : s.height - 1 - y;
        uint8_t* row = &b[offset + size_t(fileRow) * stride];
        for (int x = 0; x < s.width; ++x) {
            if (s.bits <= 8) {
                const int bit = x * s.bits;
                row[bit / 8] |= uint8_t(paletteIndex(x, y, s.bits) << (8 - s.bits - bit % 8));
            } else if (s.bits == 16) {
                const Rgb c = colour(x, y);
                const uint32_t v = uint32_t(c[0] >> 3) << 10 | uint32_t(c[1] >> 3) << 5 | uint32_t(c[2] >> 3);
                row[x * 2] = uint8_t(v);
                row[x * 2 + 1] = uint8_t(v >> 8);
            } else {
                const Rgb c = colour(x, y);
                uint8_t* p = row + x * (s.bits / 8);
                p[0] = c[2];
                p[1] = c[1];
                p[2] = c[0];
                if (s.bits == 32) p[3] = 0;  // not alpha: the picture is opaque
            }
        }
    }
    return b;
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A plain-coloured 24-bit file.
inline std::vector<uint8_t> solidBmp(int width, int height, Rgb c)
{
    return makeBmp({width, height, 24}, [c](int, int) { return c; });
}

}  // namespace AboutTest
