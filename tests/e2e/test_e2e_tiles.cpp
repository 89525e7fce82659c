// A host may ask for any part of a frame (smart render with a smaller request, the legacy path's extent
// hint): every pixel must come out as in the whole frame, whichever part was asked for.
#include "tests/e2e/e2eSupport.h"

#include <sstream>

using namespace E2E;
using Kiln::Runner::Region;

namespace {

struct Look {
    const char* name;
    std::vector<std::pair<const char*, double>> controls;
    bool legacyToo = false;  // the legacy path's extent hint is checked on two looks
};

// Every stage on: lens, blur, quantise, EM, scan lines, a crop window with its edge rules and a blend;
// then each shash type, the white dot, and the three TV types. Every frame is its own source frame, so the
// source is the region the pre-render asked for.
const std::vector<std::pair<const char*, double>> kEverything = {
    {"lensEffect", 1}, {"lensRadius", 28},    {"lensStrength", 60},   {"blur", 3},
    {"quantise", 1},   {"quantiseLevels", 5}, {"EMInterference", 40}, {"scanlineWidth", 3},
    {"shashMax", 45},  {"SourceLeft", 8},     {"SourceRight", 93},    {"SourceBottom", 6},
    {"SourceTop", 88}, {"blendMethod", 15},   {"blendMix", 70},       {"framesPerSec", 0}};

std::vector<Look> looks()
{
    std::vector<Look> all;
    auto add = [&](const char* name, std::vector<std::pair<const char*, double>> more,
                   bool legacyToo = false) {
        Look l{name, kEverything, legacyToo};
        l.controls.insert(l.controls.end(), more.begin(), more.end());
        all.push_back(l);
    };
    add("quantise alone", {{"lensEffect", 0},
                           {"shashMax", 0},
                           {"SourceLeft", 0},
                           {"SourceRight", 100},
                           {"SourceBottom", 0},
                           {"SourceTop", 100},
                           {"blendMethod", 1}});
    add("shash type 1, colour", {{"shashType", 1}, {"TVType", 1}});
    add("shash type 2, tint, RGBA", {{"shashType", 2}, {"TVType", 3}, {"postAlphaYesNoNo", 2}}, true);
    add("shash type 3, repeat edges", {{"shashType", 3}, {"SourceXMethod", 2}, {"SourceYMethod", 3}});
    add("shash type 4, colour edge", {{"shashType", 4}, {"SourceXMethod", 1}, {"blendMethod", 2}});
    add("shash type 5", {{"shashType", 5}, {"blendMethod", 9}});
    add("white dot 30, shash type 2", {{"whiteDot", 30}, {"shashType", 2}}, true);
    add("white dot 70, shash type 5, no blend", {{"whiteDot", 70}, {"shashType", 5}, {"blendMethod", 1}});
    return all;
}

// Ramps across and down under a fine pattern: no two regions hold the same mix of colours.
void paint(Image& img, int frame)
{
    const double M = channelMax(img.depth);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            Px v{M, M * x / img.width, M * ((x * 13 + y * 29 + frame * 3) % 256) / 255.0, M * y / img.height};
            if (img.depth != Depth::Float)
                for (double& c : v) c = double(int64_t(c));
            setPixel(img, x, y, v);
        }
}

// The first pixel of `part` (rendered for `r`) that differs from the whole frame, or "".
std::string firstDifference(const Image& whole, const Image& part, const Region& r)
{
    if (part.width != r.width() || part.height != r.height()) return "the part has the wrong size";
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const Px a = getPixel(whole, r.left + x, r.top + y), b = getPixel(part, x, y);
            if (a != b) {
                std::ostringstream s;
                s << "pixel (" << r.left + x << ", " << r.top + y << "): whole " << a[0] << " " << a[1] << " "
                  << a[2] << " " << a[3] << ", part " << b[0] << " " << b[1] << " " << b[2] << " " << b[3];
                return s.str();
            }
        }
    return "";
}

}  // namespace

TEST(EndToEndTiles, FourTilesAndAnOffCentreRegionMatchTheWholeFrame)
{
    const int w = 64, h = 40;
    // Four tiles split off the middle, and a region touching no edge.
    const Region parts[] = {
        {0, 0, 27, 17}, {27, 0, 64, 17}, {0, 17, 27, 40}, {27, 17, 64, 40}, {15, 6, 50, 29}};
    for (const Look& look : looks())
        for (const Case& c : everyCase()) {
            if (!c.smart && !look.legacyToo) continue;
            SCOPED_TRACE(std::string(look.name) + ", " + caseName(c));
            Rig rig(layer(w, h, 3, c.smart), paint);
            for (const auto& [control, value] : look.controls) rig.set(control, value);
            const Image whole = rig.render(2, c.depth);
            for (const Region& r : parts) {
                SCOPED_TRACE("region " + std::to_string(r.left) + "," + std::to_string(r.top) + " to " +
                             std::to_string(r.right) + "," + std::to_string(r.bottom));
                EXPECT_EQ(firstDifference(whole, rig.host().render(2, c.depth, r), r), "");
            }
            EXPECT_EQ(rig.host().stats().liveLayerCheckouts, 0);
        }
}

TEST(EndToEndTiles, ARegionOutsideTheLayerIsRefused)
{
    Rig rig(layer(20, 10), pattern());
    for (const Region& r : {Region{0, 0, 21, 10}, Region{-1, 0, 5, 5}, Region{5, 5, 5, 8}})
        EXPECT_THROW(rig.host().render(0, Depth::Eight, r), Kiln::Runner::RunnerError);
}
