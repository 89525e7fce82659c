#include "host/klBmp.h"

#include "bmpFiles.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <random>
#include <unistd.h>

using namespace AboutTest;
using Kiln::Bmp::decode;
using Kiln::Bmp::Picture;

namespace {

Picture decodeBytes(const std::vector<uint8_t>& b) { return decode(b.data(), b.size()); }

Rgb expectedColour(const BmpSpec& s, int x, int y)
{
    if (s.bits <= 8) {
        const int index = paletteIndex(x, y, s.bits);
        const int entries = s.paletteEntries ? s.paletteEntries : 1 << s.bits;
        return index < entries ? paletteColour(index) : Rgb{0, 0, 0};
    }
    Rgb c = directColour(x, y);
    if (s.bits == 16)
        for (auto& v : c) v = uint8_t((v >> 3) << 3 | (v >> 3) >> 2);
    return c;
}

void expectPicture(const BmpSpec& s, const Picture& p)
{
    ASSERT_EQ(p.width, s.width);
    ASSERT_EQ(p.height, s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const uint8_t* px = p.row(y) + x * 4;
            const Rgb c = expectedColour(s, x, y);
            ASSERT_EQ(px[0], 255) << x << "," << y;
            ASSERT_EQ(px[1], c[0]) << x << "," << y << " bits " << s.bits;
            ASSERT_EQ(px[2], c[1]) << x << "," << y << " bits " << s.bits;
            ASSERT_EQ(px[3], c[2]) << x << "," << y << " bits " << s.bits;
        }
}

std::vector<uint8_t> withWord(std::vector<uint8_t> b, size_t at, uint32_t v, int bytes = 4)
{
    if (bytes == 2)
        put16(b, at, v);
    else
        put32(b, at, v);
    return b;
}

}  // namespace

TEST(Bmp, EveryDepthInBothRowOrders)
{
    // Widths that leave row padding at every depth (7 * 1 bit, 13 * 4 bits, ... not multiples of 32).
    for (int bits : {1, 4, 8, 16, 24, 32})
        for (bool topDown : {false, true})
            for (int width : {1, 7, 13}) {
                const BmpSpec s{width, 5, bits, topDown};
                SCOPED_TRACE(testing::Message()
                             << bits << " bits, width " << width << (topDown ? " top-down" : ""));
                expectPicture(s, decodeBytes(makeBmp(s)));
            }
}

TEST(Bmp, HeaderFormsAndPalettes)
{
    // The 12-byte core header with 3-byte palette entries.
    BmpSpec core{9, 4, 8};
    core.coreHeader = true;
    expectPicture(core, decodeBytes(makeBmp(core)));
    BmpSpec core24{9, 4, 24};
    core24.coreHeader = true;
    expectPicture(core24, decodeBytes(makeBmp(core24)));

    // A short palette: indices past it are black.
    BmpSpec shortPalette{11, 3, 8};
    shortPalette.paletteEntries = 20;
    expectPicture(shortPalette, decodeBytes(makeBmp(shortPalette)));

    // Bytes between the palette and the pixels are skipped by the offset.
    BmpSpec gap{6, 6, 4};
    gap.gap = 10;
    expectPicture(gap, decodeBytes(makeBmp(gap)));

    // A palette that names more entries than lie before the pixel data uses only those there.
    BmpSpec named{8, 2, 4};
    named.paletteEntries = 4;
    std::vector<uint8_t> b = makeBmp(named);
    put32(b, 46, 16);
    expectPicture(named, decodeBytes(b));

    // A 32-bit file is opaque whatever its fourth bytes hold.
    std::vector<uint8_t> alpha = makeBmp({2, 2, 32});
    for (size_t i = 54 + 3; i < alpha.size(); i += 4) alpha[i] = 7;
    EXPECT_EQ(decodeBytes(alpha).row(1)[4], 255);

    // Trailing bytes after the pixel data are harmless.
    std::vector<uint8_t> trailing = makeBmp({5, 5, 24});
    trailing.resize(trailing.size() + 100, 0xAB);
    expectPicture({5, 5, 24}, decodeBytes(trailing));
}

TEST(Bmp, BadFilesGiveNoPicture)
{
    const std::vector<uint8_t> good = makeBmp({7, 5, 24});
    ASSERT_FALSE(decodeBytes(good).empty());
    const std::vector<uint8_t> good8 = makeBmp({7, 5, 8});
    ASSERT_FALSE(decodeBytes(good8).empty());

    EXPECT_TRUE(decode(nullptr, 100).empty());
    EXPECT_TRUE(decode(good.data(), 0).empty());
    EXPECT_TRUE(decodeBytes({'B', 'M'}).empty());
    std::vector<uint8_t> signature = good;
    signature[0] = 'P';
    EXPECT_TRUE(decodeBytes(signature).empty());

    // Pixel data one byte short; header cut inside the info header.
    EXPECT_TRUE(decode(good.data(), good.size() - 1).empty());
    EXPECT_TRUE(decode(good.data(), 30).empty());

    // Words the reader refuses: info header sizes it does not know or that run past the file; pixel-data
    // offsets inside the headers or past the end; absurd sizes (nothing is allocated for them); planes,
    // depths and compressions it does not take.
    struct Word {
        size_t at;
        uint32_t value;
        int bytes;
    };
    const Word refused[] = {{14, 20, 4},
                            {14, 0, 4},
                            {14, 0xFFFFFFF0u, 4},
                            {10, 20, 4},
                            {10, uint32_t(good.size()) + 1, 4},
                            {10, 0xFFFFFFFFu, 4},
                            {18, 0, 4},
                            {22, 0, 4},
                            {18, uint32_t(-7), 4},
                            {22, uint32_t(INT_MIN), 4},
                            {18, 100000, 4},
                            {18, 0x7FFFFFFF, 4},
                            {26, 2, 2},
                            {28, 0, 2},
                            {28, 2, 2},
                            {28, 3, 2},
                            {28, 15, 2},
                            {28, 48, 2},
                            {28, 0xFFFF, 2},
                            {30, 1, 4},
                            {30, 2, 4},
                            {30, 3, 4},
                            {30, 4, 4},
                            {30, 5, 4}};
    for (const Word& w : refused)
        EXPECT_TRUE(decodeBytes(withWord(good, w.at, w.value, w.bytes)).empty())
            << "word " << w.at << " = " << w.value;
    EXPECT_TRUE(decodeBytes(withWord(withWord(good, 18, 16000), 22, 16000)).empty());  // over kMaxPixels
    // An offset that leaves no room for the palette of an 8-bit file.
    EXPECT_TRUE(decodeBytes(withWord(good8, 10, 54)).empty());
}

TEST(Bmp, DamagedFilesNeverReadOutsideTheirBytes)
{
    // Every cut of a valid file: only the whole file (or more) gives a picture. Each cut is copied
    // into a buffer of exactly that size, so a read past it is caught by the sanitizer builds.
    for (int bits : {1, 8, 24}) {
        const std::vector<uint8_t> good = makeBmp({13, 4, bits});
        for (size_t n = 0; n < good.size(); ++n) {
            const std::vector<uint8_t> cut(good.begin(), good.begin() + std::ptrdiff_t(n));
            EXPECT_TRUE(decode(cut.data(), cut.size()).empty()) << bits << " bits cut at " << n;
        }
    }
    // Random damage to the headers and palette: whatever comes out is within the limits.
    std::mt19937 random(1234);
    const std::vector<uint8_t> good = makeBmp({9, 7, 4});
    for (int trial = 0; trial < 20000; ++trial) {
        std::vector<uint8_t> b = good;
        const int flips = 1 + int(random() % 4);
        for (int i = 0; i < flips; ++i) b[random() % 120] = uint8_t(random());
        const Picture p = decodeBytes(b);
        if (!p.empty()) {
            EXPECT_LE(int64_t(p.width) * p.height, Kiln::Bmp::kMaxPixels);
            EXPECT_EQ(p.pixels.size(), size_t(p.width) * size_t(p.height) * 4);
        }
    }
}

TEST(Bmp, Files)
{
    const auto dir = std::filesystem::temp_directory_path() / ("kl_bmp_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const BmpSpec s{10, 6, 8, true};
    writeBytes((dir / "good.bmp").string(), makeBmp(s));
    expectPicture(s, Kiln::Bmp::readFile((dir / "good.bmp").string()));

    EXPECT_TRUE(Kiln::Bmp::readFile((dir / "missing.bmp").string()).empty());
    EXPECT_TRUE(Kiln::Bmp::readFile(dir.string()).empty());  // a directory
    EXPECT_TRUE(Kiln::Bmp::readFile("").empty());
    writeBytes((dir / "empty.bmp").string(), {});
    EXPECT_TRUE(Kiln::Bmp::readFile((dir / "empty.bmp").string()).empty());
    std::vector<uint8_t> cut = makeBmp(s);
    cut.resize(cut.size() - 3);
    writeBytes((dir / "cut.bmp").string(), cut);
    EXPECT_TRUE(Kiln::Bmp::readFile((dir / "cut.bmp").string()).empty());
    std::filesystem::remove_all(dir);
}
