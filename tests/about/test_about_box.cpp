#include "host/klAboutBox.h"

#include "bmpFiles.h"
#include "host/klAEGlobals.h"
#include "host/klAboutFont.h"
#include "host/resources/klResources.h"
#include "runner/klRunner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace AboutTest;
namespace About = Kiln::AfterEffects::About;
using About::BoxRect;
using About::TextLine;
using Kiln::Bmp::Picture;

namespace {

bool isBlack(const uint8_t* p) { return p[0] == 255 && p[1] == 0 && p[2] == 0 && p[3] == 0; }
bool isColour(const uint8_t* p, Rgb c) { return p[0] == 255 && p[1] == c[0] && p[2] == c[1] && p[3] == c[2]; }

// The first and last rows, and the first and last columns, holding black pixels inside the band
// of rows [top, top + height); -1 when there are none.
struct Ink {
    int top = -1, bottom = -1, left = -1, right = -1;
};
Ink inkIn(const Picture& p, int top, int height)
{
    Ink ink;
    for (int y = std::max(top, 0); y < std::min(top + height, p.height); ++y)
        for (int x = 0; x < p.width; ++x)
            if (isBlack(p.row(y) + x * 4)) {
                if (ink.top < 0) ink.top = y;
                ink.bottom = y;
                if (ink.left < 0 || x < ink.left) ink.left = x;
                ink.right = std::max(ink.right, x);
            }
    return ink;
}

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& tag)
        : path(std::filesystem::temp_directory_path() / ("kl_about_" + tag + "_" + std::to_string(getpid())))
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

std::vector<TextLine> moduleLines()
{
    const auto& info = Kiln::AfterEffects::productInfo;
    return About::layoutText(info.effectName, klLoadString(1),
                             About::versionLine(info.major, info.minor, info.build));
}

}  // namespace

TEST(AboutBox, PlacementOnScreen)
{
    // Screens wider than 1680 pixels count as two side by side: the box centres in the left one.
    EXPECT_EQ(About::placementInPixels(3840, 2160), (BoxRect{710, 830, 500, 500}));
    EXPECT_EQ(About::placementInPixels(1680, 1050).x, 590);
    EXPECT_EQ(About::placementInPixels(1681, 1050).x, 170);  // (4 * 420 - 1000) / 8 = 85 units
    EXPECT_EQ(About::placementInPixels(1920, 1080), (BoxRect{230, 290, 500, 500}));
    EXPECT_EQ(About::placementInPixels(1280, 1024), (BoxRect{390, 262, 500, 500}));

    // The same in dialog units with the base units 8 x 16, and with other base units.
    EXPECT_EQ(About::placementInDialogUnits(3840, 2160, 8, 16), (BoxRect{355, 415, 250, 250}));
    EXPECT_EQ(About::placementInDialogUnits(1680, 1050, 6, 13), (BoxRect{393, 169, 333, 307}));
    // Integer divisions lose a little: 2840 / 7 = 405 units, 405 * 7 / 4 = 708.75 -> 709 pixels.
    const BoxRect units = About::placementInDialogUnits(3840, 2160, 7, 15);
    EXPECT_EQ(units.x, 405);
    EXPECT_EQ(About::dialogUnitsToPixels(units, 7, 15).x, 709);
    EXPECT_EQ(About::dialogUnitsToPixels(BoxRect{-25, -25, 1, 1}, 8, 16), (BoxRect{-50, -50, 2, 2}));
    // Base units below 1 count as 1 instead of dividing by zero.
    EXPECT_EQ(About::placementInDialogUnits(1680, 1050, 0, -3), (BoxRect{2360, 2200, 2000, 4000}));

    // A screen too small for the box keeps its corner on the screen.
    EXPECT_EQ(About::placementInPixels(640, 400), (BoxRect{70, 0, 500, 500}));
    EXPECT_EQ(About::placementInPixels(400, 300), (BoxRect{0, 0, 500, 500}));
}

TEST(AboutBox, TextLayout)
{
    EXPECT_EQ(About::versionLine(2, 1, "v5"), "Version 2.1v5");
    EXPECT_EQ(About::versionLine(10, 0, nullptr), "Version 10.0");
    const auto& info = Kiln::AfterEffects::productInfo;
    EXPECT_EQ(About::versionLine(info.major, info.minor, info.build), "Version 2.1v5");

    // Three description lines: the last 34 pixels below the first.
    const auto lines = About::layoutText("Q_Watchcam", "one\ntwo\nthree", "Version 2.1v5");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], (TextLine{80, 77, "Q_Watchcam"}));
    EXPECT_EQ(lines[1], (TextLine{80, 94, "one"}));
    EXPECT_EQ(lines[2], (TextLine{80, 111, "two"}));
    EXPECT_EQ(lines[3], (TextLine{80, 128, "three"}));
    EXPECT_EQ(lines[3].y - lines[1].y, 34);
    EXPECT_EQ(lines[4], (TextLine{80, 410, "Version 2.1v5"}));

    // CR and LF each end a piece; an empty piece still takes its line.
    const auto crlf = About::layoutText("n", "a\r\nb\n\nc\n", "v");
    ASSERT_EQ(crlf.size(), 8u);
    const char* texts[] = {"a", "", "b", "", "c", ""};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(crlf[size_t(i) + 1], (TextLine{80, 94 + 17 * i, texts[i]})) << i;

    // No description: the name and the version only; an empty one is one empty line.
    EXPECT_EQ(About::layoutText("n", nullptr, "v").size(), 2u);
    EXPECT_EQ(About::layoutText("n", "", "v").size(), 3u);

    // At most 2047 characters of the description are read.
    const std::string longText = std::string(3000, 'x');
    const auto cut = About::layoutText("n", longText.c_str(), "v");
    EXPECT_EQ(cut[1].text.size(), 2047u);
}

TEST(AboutBox, SplashPath)
{
    EXPECT_EQ(About::splashFileFor("/opt/plugins/Q_Watchcam.so"), "/opt/plugins/Splash.bmp");
    EXPECT_EQ(About::splashFileFor("Q_Watchcam.so"), "Splash.bmp");
    EXPECT_EQ(About::splashFileFor(nullptr), "");
}

TEST(AboutBox, TextDrawing)
{
    // One glyph lands where its rows say, black on what was there; nothing else is touched.
    Picture p = Picture::filled(30, 20, 255, 255, 255, 255);
    About::drawText(p, 3, 2, "!");
    const uint16_t* glyph = About::kGlyphs['!' - About::kGlyphFirst];
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            const int gx = x - 3, gy = y - 2;
            const bool ink = gx >= 0 && gx < About::kGlyphWidth && gy >= 0 && gy < About::kGlyphRows &&
                             (glyph[gy] & (0x8000 >> gx)) != 0;
            ASSERT_EQ(isBlack(p.row(y) + x * 4), ink) << x << "," << y;
            if (!ink) {
                ASSERT_TRUE(isColour(p.row(y) + x * 4, {255, 255, 255}));
            }
        }
    // Characters advance by the glyph width, unknown ones included.
    Picture q = Picture::filled(60, 20, 255, 255, 255, 255);
    About::drawText(q, 0, 0, "\x01\xC3!");
    EXPECT_EQ(inkIn(q, 0, 20).left, 2 * About::kGlyphWidth + inkIn(p, 0, 20).left - 3);
    // Text running off every edge is clipped.
    Picture r = Picture::filled(10, 10, 255, 255, 255, 255);
    About::drawText(r, -5, -7, "WWWW");
    About::drawText(r, 6, 8, "WWWW");
    About::drawText(r, -1000000, 1000000, "W");
    Picture empty;
    About::drawText(empty, 0, 0, "W");
}

TEST(AboutBox, WhiteBackgroundWithTextInItsRows)
{
    const Picture box = About::renderBox("");
    ASSERT_EQ(box.width, 500);
    ASSERT_EQ(box.height, 500);
    const auto lines = moduleLines();
    ASSERT_GE(lines.size(), 3u);
    // Each line's ink lies inside its own 16-row cell, starting at x = 80 (the first glyph of each
    // line here has ink in its first columns); every other pixel is white.
    for (const TextLine& line : lines) {
        const Ink ink = inkIn(box, line.y, About::kCellHeight);
        if (line.text.empty()) {
            EXPECT_EQ(ink.top, -1);
            continue;
        }
        SCOPED_TRACE(line.text);
        EXPECT_GE(ink.top, line.y);
        EXPECT_LT(ink.bottom, line.y + About::kCellHeight);
        EXPECT_GE(ink.left, 80);
        EXPECT_LE(ink.left, 82);
    }
    EXPECT_EQ(inkIn(box, 77, 16).top, 77 + 2);  // "Q" starts two rows into its cell
    for (int y = 0; y < 500; ++y) {
        bool inLine = false;
        for (const TextLine& line : lines) inLine |= y >= line.y && y < line.y + About::kCellHeight;
        for (int x = 0; x < 500; ++x) {
            const uint8_t* p = box.row(y) + x * 4;
            if (!inLine || x < 80)
                ASSERT_TRUE(isColour(p, {255, 255, 255})) << x << "," << y;
            else
                ASSERT_TRUE(isColour(p, {255, 255, 255}) || isBlack(p)) << x << "," << y;
        }
    }
    // The version line reads "Version 2.1v5": 13 glyphs from x = 80.
    Picture expected = Picture::filled(500, 16, 255, 255, 255, 255);
    About::drawText(expected, 80, 0, "Version 2.1v5");
    for (int y = 0; y < 16; ++y) ASSERT_EQ(std::memcmp(expected.row(y), box.row(410 + y), 2000), 0) << y;

    // A missing or broken splash file leaves the white background.
    TempDir dir("broken");
    writeBytes(dir.file("Splash.bmp"), {'B', 'M', 1, 2, 3});
    EXPECT_EQ(About::renderBox(dir.file("Splash.bmp")).pixels, box.pixels);
    EXPECT_EQ(About::renderBox(dir.file("none.bmp")).pixels, box.pixels);
}

TEST(AboutBox, SplashDrawnAtItsOwnSize)
{
    TempDir dir("splash");
    // Wider than the box and not as tall: cut at the right, white below.
    const Rgb red{200, 10, 20};
    writeBytes(dir.file("Splash.bmp"), solidBmp(640, 300, red));
    const Picture box = About::renderBox(dir.file("Splash.bmp"));
    for (int y = 0; y < 500; ++y)
        for (int x = 0; x < 500; ++x) {
            const uint8_t* p = box.row(y) + x * 4;
            if (isBlack(p)) continue;  // text
            ASSERT_TRUE(isColour(p, y < 300 ? red : Rgb{255, 255, 255})) << x << "," << y;
        }
    // The text is drawn over the splash in the same places as over white.
    const Picture white = About::renderBox("");
    for (int y = 0; y < 500; ++y)
        for (int x = 0; x < 500; ++x)
            ASSERT_EQ(isBlack(box.row(y) + x * 4), isBlack(white.row(y) + x * 4)) << x << "," << y;

    // A picture of varied colours is copied pixel for pixel (top-left corner at 0, 0).
    writeBytes(dir.file("Splash.bmp"), makeBmp({50, 40, 24}));
    const Picture varied = About::renderBox(dir.file("Splash.bmp"));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 50; ++x)
            ASSERT_TRUE(isColour(varied.row(y) + x * 4, directColour(x, y))) << x << "," << y;
    EXPECT_TRUE(isColour(varied.row(0) + 50 * 4, {255, 255, 255}));
}

TEST(AboutBox, CanvasCopy)
{
    const Picture box = About::renderBox("");
    // A smaller canvas with padded rows takes the top-left part.
    std::vector<uint8_t> memory(size_t(120 * 4 + 12) * 100, 0x11);
    PF_EffectWorld canvas{};
    canvas.data = memory.data();
    canvas.width = 120;
    canvas.height = 100;
    canvas.rowbytes = 120 * 4 + 12;
    ASSERT_TRUE(About::copyToCanvas(box, canvas));
    for (int y = 0; y < 100; ++y) {
        ASSERT_EQ(std::memcmp(memory.data() + size_t(y) * size_t(canvas.rowbytes), box.row(y), 480), 0) << y;
        for (int i = 480; i < 492; ++i)
            ASSERT_EQ(memory[size_t(y) * size_t(canvas.rowbytes) + size_t(i)], 0x11);
    }
    // Deep canvases, canvases without pixels and rows too short for their width are refused.
    PF_EffectWorld deep = canvas;
    deep.world_flags = PF_WorldFlag_DEEP;
    EXPECT_FALSE(About::copyToCanvas(box, deep));
    PF_EffectWorld none = canvas;
    none.data = nullptr;
    EXPECT_FALSE(About::copyToCanvas(box, none));
    PF_EffectWorld narrow = canvas;
    narrow.rowbytes = 100;
    EXPECT_FALSE(About::copyToCanvas(box, narrow));
    PF_EffectWorld negative = canvas;
    negative.width = -5;
    EXPECT_TRUE(About::copyToCanvas(box, negative));  // nothing to copy
}

// ---- through the built module and the substitute host ------------------------------------------

namespace {

Picture fromRunnerImage(const Kiln::Runner::Image& image)
{
    Picture p;
    p.width = image.width;
    p.height = image.height;
    p.pixels.resize(size_t(image.width) * size_t(image.height) * 4);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(p.row(y), image.row<uint8_t>(y), size_t(image.width) * 4);
    return p;
}

Kiln::Runner::HostSettings smallHost()
{
    Kiln::Runner::HostSettings s;
    s.width = 32;
    s.height = 24;
    return s;
}

}  // namespace

TEST(AboutBox, CommandDrawsIntoTheHostCanvasWithoutADisplay)
{
    auto module = Kiln::Runner::Module::load(KL_TEST_MODULE);
    // A headless host has no display, whatever DISPLAY says; a host with one is tested with the window.
    Kiln::Runner::Host host(*module, smallHost());
    const Kiln::Runner::Image image = host.about();
    ASSERT_EQ(image.width, 500);
    ASSERT_EQ(image.height, 500);
    EXPECT_EQ(fromRunnerImage(image).pixels, About::renderBox(About::splashFileFor(KL_TEST_MODULE)).pixels);
    EXPECT_EQ(host.lastMessage(), "");
    // The host's canvas may be any size: the box is cut to it.
    const Kiln::Runner::Image small = host.about(100, 90);
    EXPECT_EQ(std::memcmp(small.row<uint8_t>(89), fromRunnerImage(image).row(89), 400), 0);
    EXPECT_THROW(host.about(0, 10), Kiln::Runner::RunnerError);
}

TEST(AboutBox, CommandShowsTheSplashBesideTheModule)
{
    TempDir dir("module");
    const std::string copy = dir.file("Q_Watchcam.so");
    std::filesystem::copy_file(KL_TEST_MODULE, copy);
    const Rgb teal{0, 128, 128};
    writeBytes(dir.file("Splash.bmp"), solidBmp(500, 500, teal));
    auto module = Kiln::Runner::Module::load(copy);
    Kiln::Runner::Host host(*module, smallHost());
    const Picture box = fromRunnerImage(host.about());
    const Picture white = About::renderBox("");
    for (int y = 0; y < 500; ++y)
        for (int x = 0; x < 500; ++x) {
            const uint8_t* p = box.row(y) + x * 4;
            ASSERT_EQ(isBlack(p), isBlack(white.row(y) + x * 4)) << x << "," << y;
            if (!isBlack(p)) {
                ASSERT_TRUE(isColour(p, teal)) << x << "," << y;
            }
        }
}
