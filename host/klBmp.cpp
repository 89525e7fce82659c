#include "host/klBmp.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace Kiln::Bmp {

namespace {

constexpr size_t kFileHeader = 14;
constexpr uint32_t kCoreHeader = 12;
constexpr uint32_t kInfoHeader = 40;
// Header, palette and the largest picture allowed, with room for the longest row padding.
constexpr uint64_t kMaxFileBytes =
    kFileHeader + 124 + 256 * 4 + uint64_t(kMaxPixels) * 4 + uint64_t(kMaxSide) * 4;

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Header {
    int64_t width = 0;
    int64_t height = 0;  // negative: rows from the top
    uint32_t planes = 0;
    uint32_t bits = 0;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
    uint32_t paletteEntryBytes = 4;
};

bool readHeader(const uint8_t* data, size_t size, Header& h, uint32_t* infoSize)
{
    if (size < kFileHeader + 4 || data[0] != 'B' || data[1] != 'M') return false;
    const uint32_t info = u32(data + kFileHeader);
    if (info > size - kFileHeader) return false;
    const uint8_t* p = data + kFileHeader;
    if (info == kCoreHeader) {
        h.width = u16(p + 4);
        h.height = u16(p + 6);  // unsigned here: core files are always bottom-up
        h.planes = u16(p + 8);
        h.bits = u16(p + 10);
        h.paletteEntryBytes = 3;
    } else if (info >= kInfoHeader) {
        h.width = int32_t(u32(p + 4));
        h.height = int32_t(u32(p + 8));
        h.planes = u16(p + 12);
        h.bits = u16(p + 14);
        h.compression = u32(p + 16);
        h.coloursUsed = u32(p + 32);
    } else {
        return false;
    }
    *infoSize = info;
    return true;
}

}  // namespace

Picture Picture::filled(int32_t width, int32_t height, uint8_t a, uint8_t r, uint8_t g, uint8_t b)
{
    Picture picture;
    if (width <= 0 || height <= 0) return picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(size_t(width) * size_t(height) * 4);
    for (size_t i = 0; i < picture.pixels.size(); i += 4) {
        picture.pixels[i] = a;
        picture.pixels[i + 1] = r;
        picture.pixels[i + 2] = g;
        picture.pixels[i + 3] = b;
    }
    return picture;
}

Picture decode(const uint8_t* data, size_t size)
{
    Header h;
    uint32_t infoSize = 0;
    if (data == nullptr || !readHeader(data, size, h, &infoSize)) return {};
    const uint64_t offset = u32(data + 10);
    const uint64_t paletteStart = kFileHeader + infoSize;
    if (offset < paletteStart || offset > size) return {};

    const bool topDown = h.height < 0;
    const int64_t width = h.width;
    const int64_t height = topDown ? -h.height : h.height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        return {};
    if (h.planes != 1 || h.compression != 0) return {};
    const uint32_t bits = h.bits;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};

    // The palette: as many entries as the header names (all of them when it names none), as
    // far as they lie before the pixel data. Indices past it are black.
    std::array<std::array<uint8_t, 3>, 256> palette{};
    uint32_t paletteSize = 0;
    if (bits <= 8) {
        const uint32_t most = 1u << bits;
        const uint32_t named = h.coloursUsed == 0 ? most : std::min(h.coloursUsed, most);
        const uint64_t present = (offset - paletteStart) / h.paletteEntryBytes;
        paletteSize = uint32_t(std::min<uint64_t>(named, present));
        if (paletteSize == 0) return {};
        for (uint32_t i = 0; i < paletteSize; ++i) {
            const uint8_t* e = data + paletteStart + uint64_t(i) * h.paletteEntryBytes;
            palette[i] = {e[2], e[1], e[0]};  // stored blue, green, red
        }
    }

    const uint64_t stride = ((uint64_t(width) * bits + 31) / 32) * 4;
    if (stride * uint64_t(height) > size - offset) return {};

    Picture picture;
    picture.width = int32_t(width);
    picture.height = int32_t(height);
    picture.pixels.resize(size_t(width) * size_t(height) * 4);
    for (int64_t fileRow = 0; fileRow < height; ++fileRow) {
        const uint8_t* src = data + offset + uint64_t(fileRow) * stride;
        uint8_t* dst = picture.row(int32_t(topDown ? fileRow : height - 1 - fileRow));
        for (int64_t x = 0; x < width; ++x, dst += 4) {
            uint8_t r = 0, g = 0, b = 0;
            if (bits <= 8) {
                const uint64_t bit = uint64_t(x) * bits;
                const uint32_t shift = 8 - bits - uint32_t(bit % 8);
                const uint32_t index = (src[bit / 8] >> shift) & ((1u << bits) - 1);
                if (index < paletteSize) {
                    r = palette[index][0];
                    g = palette[index][1];
                    b = palette[index][2];
                }
            } else if (bits == 16) {
                const uint16_t v = u16(src + x * 2);
                const auto widen = [](uint32_t c) { return uint8_t(c << 3 | c >> 2); };
                r = widen((v >> 10) & 31);
                g = widen((v >> 5) & 31);
                b = widen(v & 31);
            } else {
                const uint8_t* px = src + x * (bits / 8);
                b = px[0];
                g = px[1];
                r = px[2];
            }
            dst[0] = 255;
            dst[1] = r;
            dst[2] = g;
            dst[3] = b;
        }
    }
    return picture;
}

Picture readFile(const std::string& path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return {};
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return {};
    const long length = std::ftell(file.get());
    if (length <= 0 || uint64_t(length) > kMaxFileBytes || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    return decode(bytes.data(), got);
}

}  // namespace Kiln::Bmp
