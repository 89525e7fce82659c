#include "host/klAboutBox.h"

#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"
#include "host/klAboutFont.h"
#include "host/resources/klResources.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace Kiln::AfterEffects::About {

BoxRect placementInDialogUnits(int screenWidth, int screenHeight, int baseX, int baseY)
{
    baseX = std::max(baseX, 1);
    baseY = std::max(baseY, 1);
    const int d = screenWidth > 1680 ? 4 : 2;
    return {(4 * (screenWidth / d) - 1000) / baseX, 8 * (screenHeight / 2 - 250) / baseY, 2000 / baseX,
            4000 / baseY};
}

namespace {
int scaleRounded(int value, int numerator, int denominator)
{
    const long long n = static_cast<long long>(value) * numerator;
    return static_cast<int>(n >= 0 ? (n + denominator / 2) / denominator
                                   : -((-n + denominator / 2) / denominator));
}
}  // namespace

BoxRect dialogUnitsToPixels(const BoxRect& units, int baseX, int baseY)
{
    baseX = std::max(baseX, 1);
    baseY = std::max(baseY, 1);
    return {scaleRounded(units.x, baseX, 4), scaleRounded(units.y, baseY, 8),
            scaleRounded(units.width, baseX, 4), scaleRounded(units.height, baseY, 8)};
}

BoxRect placementInPixels(int screenWidth, int screenHeight)
{
    BoxRect r = dialogUnitsToPixels(placementInDialogUnits(screenWidth, screenHeight, kBaseUnitX, kBaseUnitY),
                                    kBaseUnitX, kBaseUnitY);
    r.x = std::max(r.x, 0);
    r.y = std::max(r.y, 0);
    return r;
}

std::string versionLine(int major, int minor, const char* build)
{
    return "Version " + std::to_string(major) + "." + std::to_string(minor) + (build ? build : "");
}

std::vector<TextLine> layoutText(std::string_view name, const char* description, std::string_view version)
{
    std::vector<TextLine> lines;
    lines.push_back({kTextLeft, kNameTop, std::string(name)});
    int y = kNameTop;
    if (description != nullptr) {
        const std::string_view text(description, strnlen(description, kDescriptionLimit));
        size_t start = 0;
        while (true) {
            const size_t end = text.find_first_of("\r\n", start);
            y += kLineStep;
            lines.push_back(
                {kTextLeft, y,
                 std::string(text.substr(start, end == std::string_view::npos ? end : end - start))});
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }
    lines.push_back({kTextLeft, kVersionTop, std::string(version)});
    return lines;
}

std::string splashFileFor(const char* resourcePath)
{
    if (resourcePath == nullptr || resourcePath[0] == '\0') return {};
    const std::string path(resourcePath);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(kSplashName) : path.substr(0, slash + 1) + kSplashName;
}

namespace {
std::mutex gSplashMutex;
std::string gSplashPath;
}  // namespace

void setSplashPath(const char* resourcePath)
{
    std::lock_guard<std::mutex> lock(gSplashMutex);
    gSplashPath = splashFileFor(resourcePath);
}

std::string splashPath()
{
    std::lock_guard<std::mutex> lock(gSplashMutex);
    return gSplashPath;
}

void drawText(Bmp::Picture& picture, int x, int y, std::string_view text)
{
    for (const char c : text) {
        const int code = static_cast<unsigned char>(c);
        if (code >= kGlyphFirst && code <= kGlyphLast) {
            const uint16_t* glyph = kGlyphs[code - kGlyphFirst];
            for (int row = 0; row < kGlyphRows; ++row) {
                const int py = y + row;
                if (py < 0 || py >= picture.height || glyph[row] == 0) continue;
                uint8_t* line = picture.row(py);
                for (int column = 0; column < kGlyphWidth; ++column) {
                    const int px = x + column;
                    if (px < 0 || px >= picture.width || (glyph[row] & (0x8000 >> column)) == 0) continue;
                    uint8_t* p = line + px * 4;
                    p[0] = 255;
                    p[1] = p[2] = p[3] = 0;
                }
            }
        }
        x += kGlyphWidth;
    }
}

void paintBox(Bmp::Picture& picture, const Bmp::Picture* splash, const std::vector<TextLine>& lines)
{
    if (picture.empty()) return;
    if (splash != nullptr && !splash->empty()) {
        // Whatever the splash does not cover keeps what the picture held.
        const int width = std::min(splash->width, picture.width);
        const int height = std::min(splash->height, picture.height);
        for (int y = 0; y < height; ++y) std::memcpy(picture.row(y), splash->row(y), size_t(width) * 4);
    } else {
        std::fill(picture.pixels.begin(), picture.pixels.end(), uint8_t(255));
    }
    for (const TextLine& line : lines) drawText(picture, line.x, line.y, line.text);
}

Bmp::Picture renderBox(const std::string& splashFile)
{
    Bmp::Picture box = Bmp::Picture::filled(kBoxSize, kBoxSize, 255, 255, 255, 255);
    const Bmp::Picture splash = splashFile.empty() ? Bmp::Picture{} : Bmp::readFile(splashFile);
    paintBox(box, &splash,
             layoutText(productInfo.effectName, klLoadString(1),
                        versionLine(productInfo.major, productInfo.minor, productInfo.build)));
    return box;
}

bool copyToCanvas(const Bmp::Picture& picture, PF_EffectWorld& canvas)
{
    if (canvas.data == nullptr || (canvas.world_flags & PF_WorldFlag_DEEP) != 0 || picture.empty())
        return false;
    const int width = std::min<int>(picture.width, std::max<A_long>(canvas.width, 0));
    const int height = std::min<int>(picture.height, std::max<A_long>(canvas.height, 0));
    if (canvas.rowbytes < width * 4) return false;
    for (int y = 0; y < height; ++y)
        std::memcpy(static_cast<uint8_t*>(canvas.data) + ptrdiff_t(y) * canvas.rowbytes, picture.row(y),
                    size_t(width) * 4);
    return true;
}

namespace {

// A host that runs without a user interface is asked each time: the box is rare and a host may
// change its mind between two boxes.
bool hostIsHeadlessNow(PF_InData* in_data)
{
    SPBasicSuite* basic = in_data ? in_data->pica_basicP : nullptr;
    if (basic == nullptr || basic->AcquireSuite == nullptr) return false;
    const PF_AppSuite1* app = nullptr;
    bool headless = false;
    if (basic->AcquireSuite(kPFAppSuite, kPFAppSuiteVersion1, reinterpret_cast<const void**>(&app)) ==
        PF_Err_NONE) {
        PF_Boolean flag = 0;
        if (app && app->PF_IsHeadless && app->PF_IsHeadless(&flag) == PF_Err_NONE) headless = flag != 0;
        if (basic->ReleaseSuite) basic->ReleaseSuite(kPFAppSuite, kPFAppSuiteVersion1);
    }
    return headless;
}

}  // namespace

}  // namespace Kiln::AfterEffects::About

namespace Kiln::AfterEffects {

void showAboutBox(PF_InData* in_data, unsigned long ownerWindow, const char* resourcePath)
{
    try {
        About::setSplashPath(resourcePath);
        const Bmp::Picture box = About::renderBox(About::splashPath());
        if (!About::hostIsHeadlessNow(in_data) && About::showAboutWindow(ownerWindow, box)) return;
        // No window: the box goes into the canvas the host offers for it, if it offers one.
        PF_UtilCallbacks* utils = in_data ? in_data->utils : nullptr;
        PF_EffectWorld* canvas = nullptr;
        if (utils && utils->get_drawing_reference &&
            utils->get_drawing_reference(in_data->effect_ref, nullptr, &canvas) == PF_Err_NONE && canvas)
            About::copyToCanvas(box, *canvas);
    } catch (...) {
        // Out of memory for the picture: the box does not open and the command goes on as usual.
    }
}

}  // namespace Kiln::AfterEffects
