// The held frame: a source frame shown again takes the lens, blur and quantiser result the module kept
// from its last render. Every frame is compared byte for byte with a copy of the module loaded with reuse
// switched off (KILN_NO_REUSE=1), which computes every stage every time: held and unheld frames at every
// depth and on both render paths, keyframed controls, play-speed changes and reverse play, tiles and
// regions, and a host that hands other pixels for a time it asked for before. Then the memory: one kept
// picture per instance, none when the host refuses it, and none left when the instance goes.
#include "tests/e2e/e2eSupport.h"

#include <random>

using namespace E2E;
using Kiln::Runner::Region;

namespace {

Module& noReuseModule()
{
    static std::unique_ptr<Module> m = [] {
        setenv("KILN_NO_REUSE", "1", 1);
        std::unique_ptr<Module> copy = loadCopy("no_reuse");
        unsetenv("KILN_NO_REUSE");
        return copy;
    }();
    return *m;
}

using Controls = std::vector<std::pair<const char*, double>>;

// Where every depth on both paths costs too many renders: one of each depth, both paths.
std::vector<Case> someCases()
{
    return {{true, Depth::Eight}, {true, Depth::Float}, {false, Depth::Sixteen}};
}

// The same instance twice: one module keeps and reuses, the other computes everything.
struct Pair {
    Rig reusing, plain;
    Pair(const HostSettings& s, const Painter& p, const Controls& controls = {})
        : reusing(s, p), plain(s, p, noReuseModule())
    {
        for (const auto& [name, v] : controls) set(name, v);
    }
    Pair& set(const std::string& name, double v)
    {
        reusing.set(name, v);
        plain.set(name, v);
        return *this;
    }
    Pair& keys(const std::string& name, const std::vector<std::pair<double, double>>& k)
    {
        reusing.keys(name, k);
        plain.keys(name, k);
        return *this;
    }
    // Renders `frame` with both and says whether they agree.
    testing::AssertionResult same(int frame, Depth d)
    {
        const Image a = reusing.render(frame, d), b = plain.render(frame, d);
        if (samePixels(a, b)) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "frame " << frame << " differs";
    }
    testing::AssertionResult same(int frame, Depth d, const Region& r)
    {
        const Image a = reusing.host().render(frame, d, r), b = plain.host().render(frame, d, r);
        if (samePixels(a, b)) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "frame " << frame << " region " << r.left << "," << r.top << " "
                                           << r.width() << "x" << r.height() << " differs";
    }
    long allocations() { return reusing.host().stats().handlesAllocated; }
    long live() { return reusing.host().stats().liveHandles; }
};

// Each stage that may be kept, alone and together, with crops and edge rules that put the working image
// in its own memory, and looks that keep nothing. Frame Rate 5 on 25 fps holds each source frame for five.
struct Look {
    const char* name;
    Controls controls;
    bool keeps = true;
    // A held frame's first showing is the host's frame at the render time, the later ones come through
    // the clip: with a crop window the two may be cut a row apart, and then the second showing keeps anew.
    int firstReuse = 1;
    // The sampler and the finish of a busy look take memory of their own on every frame.
    bool finishAllocates = false;
};
std::vector<Look> looks()
{
    return {
        {"default", {}},
        {"lens, blur, quantise, every other stage",
         {{"quantise", 1},
          {"quantiseLevels", 4},
          {"shashMax", 40},
          {"whiteDot", 20},
          {"EMInterference", 60},
          {"blendMethod", 2},
          {"TVType", 3}},
         true,
         1,
         true},
        {"lens alone", {{"blur", 0}}},
        {"blur alone, crop window",
         {{"lensEffect", 0},
          {"blur", 4},
          {"SourceLeft", 10},
          {"SourceTop", 80},
          {"SourceXMethod", 1},
          {"SourceYMethod", 4}},
         true,
         2},
        {"quantise alone, colour edge",
         {{"lensEffect", 0}, {"blur", 0}, {"quantise", 1}, {"SourceRight", 70}, {"SourceXMethod", 1}},
         true,
         2},
        {"no stage to keep", {{"lensEffect", 0}, {"blur", 0}}, false},
        {"frame rate 0: nothing held", {{"framesPerSec", 0}, {"quantise", 1}}, false},
        {"white dot 100: blank", {{"whiteDot", 100}}, false},
    };
}

}  // namespace

TEST(EndToEndReuse, HeldAndUnheldFramesAsWithoutReuseAtEveryDepth)
{
    for (const Case& c : everyCase()) {
        for (const Look& look : looks()) {
            SCOPED_TRACE(caseName(c) + ", " + look.name);
            Pair pair(layer(40, 26, 7, c.smart), pattern(), look.controls);
            for (int f = 0; f < 7; ++f) {
                const long before = pair.allocations(),
                           plainBefore = pair.plain.host().stats().handlesAllocated;
                ASSERT_TRUE(pair.same(f, c.depth));
                // A frame that shows a source frame shown before computes nothing and takes no memory
                // for it, where the routine without reuse takes memory for the blur.
                const long taken = pair.allocations() - before,
                           plainTaken = pair.plain.host().stats().handlesAllocated - plainBefore;
                if (look.keeps && f % 5 >= look.firstReuse) {
                    if (look.finishAllocates)
                        EXPECT_LT(taken, plainTaken) << f;
                    else
                        EXPECT_EQ(taken, 0) << f;
                }
                EXPECT_EQ(pair.live(), look.keeps ? 3 : 2) << "one kept picture, or none, at frame " << f;
            }
        }
    }
}

TEST(EndToEndReuse, KeyframedControlsAreComparedAtEachFrame)
{
    for (Depth d : {Depth::Eight, Depth::Float}) {
        SCOPED_TRACE(name(d));
        // Each control the kept stages read, animated across held frames; a key pair with one value
        // animates nothing, and its frames are reused.
        const std::vector<std::pair<const char*, std::vector<std::pair<double, double>>>> animated = {
            {"lensRadius", {{0, 20}, {10, 40}}},
            {"lensStrength", {{0, 40}, {10, -60}}},
            {"blur", {{0, 1}, {10, 3}}},
            {"quantiseLevels", {{0, 3}, {9, 8}}},
            {"lensEffect", {{0, 1}, {3, 0}, {7, 1}}},
            {"quantise", {{0, 0}, {2, 1}, {4, 0}, {6, 1}}},
            {"framesPerSec", {{0, 5}, {6, 12.5}}},
            {"lensRadius", {{0, 30}, {10, 30}}},
        };
        for (const auto& [control, k] : animated) {
            SCOPED_TRACE(control);
            Pair pair(layer(32, 20, 12), pattern(), {{"quantise", 1}, {"lensRadius", 25}});
            pair.keys(control, k);
            for (int f = 0; f < 10; ++f) ASSERT_TRUE(pair.same(f, d));
        }
    }
    // A constant key pair: frames 1-4 take nothing new.
    Pair pair(layer(40, 28, 12), pattern());
    pair.keys("lensRadius", {{0, 30}, {10, 30}});
    ASSERT_TRUE(pair.same(0, Depth::Sixteen));
    const long before = pair.allocations();
    for (int f = 1; f < 5; ++f) ASSERT_TRUE(pair.same(f, Depth::Sixteen));
    EXPECT_EQ(pair.allocations(), before);
}

TEST(EndToEndReuse, PlaySpeedChangesReversePlayAndAnyOrder)
{
    for (const Case& c : someCases()) {
        SCOPED_TRACE(caseName(c));
        // Speed 100, slowing to 40 (played frames repeat without the camera rate), reverse, frozen.
        Pair pair(layer(24, 16, 20, c.smart), pattern(), {{"framesPerSec", 0}});
        pair.keys("playSpeed", {{0, 100}, {4, 40}, {8, 40}, {10, -100}, {16, -100}, {18, 0}});
        for (int f = 0; f < 20; ++f) ASSERT_TRUE(pair.same(f, c.depth));
        for (int f = 19; f >= 0; --f) ASSERT_TRUE(pair.same(f, c.depth));
        // The camera rate on top, in a shuffled order as a scrubbing user asks.
        pair.set("framesPerSec", 5);
        std::vector<int> order(20);
        for (int f = 0; f < 20; ++f) order[size_t(f)] = f;
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (int f : order) ASSERT_TRUE(pair.same(f, c.depth));
        // Play speed 200 with Frame Rate 5: every other output frame shows a held frame again.
        pair.set("playSpeed", 200);
        for (int f = 0; f < 10; ++f) ASSERT_TRUE(pair.same(f, c.depth));
    }
}

TEST(EndToEndReuse, TilesAndRegions)
{
    const std::vector<Region> tiles = {{0, 0, 100, 20}, {0, 20, 100, 60}, {13, 7, 71, 45}};
    for (const Case& c : someCases()) {
        SCOPED_TRACE(caseName(c));
        for (const Controls& controls :
             {Controls{{"quantise", 1}}, Controls{{"SourceLeft", 12}, {"blur", 3}}}) {
            Pair pair(layer(100, 60, 6, c.smart), pattern(), controls);
            for (int f = 0; f < 6; ++f) {
                // Every tile of a frame, then one region again and again over the held frames.
                for (const Region& r : tiles) ASSERT_TRUE(pair.same(f, c.depth, r));
                ASSERT_TRUE(pair.same(f, c.depth, tiles.back()));
                ASSERT_TRUE(pair.same(f, c.depth));
                EXPECT_EQ(pair.live(), 3);
            }
        }
    }
    // Each held frame rendered as the same tile: the tile's own picture is kept and reused.
    Pair pair(layer(100, 60, 12), pattern());
    ASSERT_TRUE(pair.same(0, Depth::Eight, {20, 10, 60, 40}));
    const long before = pair.allocations();
    for (int f = 1; f < 5; ++f) ASSERT_TRUE(pair.same(f, Depth::Eight, {20, 10, 60, 40}));
    EXPECT_EQ(pair.allocations(), before);
}

TEST(EndToEndReuse, OtherPixelsForATimeAskedBefore)
{
    // The host's frames live here and change between renders of the same times.
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        const HostSettings s = layer(32, 20, 10, c.smart);
        std::map<int, Image> frames;
        auto source = [&](int f, Depth d) -> const Image& {
            auto it = frames.find(f);
            if (it == frames.end() || it->second.depth != d) {
                Image img = Image::make(s.width, s.height, d);
                pattern()(img, f);
                it = frames.insert_or_assign(f, std::move(img)).first;
            }
            return it->second;
        };
        Pair pair(s, pattern(), {{"quantise", 1}});
        pair.reusing.host().setFrameSource(source);
        pair.plain.host().setFrameSource(source);
        ASSERT_TRUE(pair.same(1, c.depth));
        // One byte of the last pixel, then one alpha value in the middle, then the whole frame moved by
        // one row: each is another picture for frame 0.
        const auto changes = std::vector<std::function<void(Image&)>>{
            [](Image& img) {
                img.row<uint8_t>(img.height - 1)[img.width * Kiln::Runner::bytesPerPixel(img.depth) - 1] ^= 1;
            },
            [](Image& img) {
                img.row<uint8_t>(img.height / 2)[img.width / 2 * Kiln::Runner::bytesPerPixel(img.depth)] ^= 4;
            },
            [](Image& img) {
                std::vector<uint8_t> first(img.row<uint8_t>(0), img.row<uint8_t>(0) + img.rowBytes);
                for (int y = 0; y + 1 < img.height; ++y)
                    std::memcpy(img.row<uint8_t>(y), img.row<uint8_t>(y + 1), img.rowBytes);
                std::memcpy(img.row<uint8_t>(img.height - 1), first.data(), img.rowBytes);
            },
        };
        for (const auto& change : changes) {
            change(frames.at(0));
            ASSERT_TRUE(pair.same(2, c.depth));
            ASSERT_TRUE(pair.same(3, c.depth));
        }
        // The same pixels at another time (a frozen camera) are the same picture: nothing new is taken.
        frames.insert_or_assign(5, Image(frames.at(0)));
        const long before = pair.allocations();
        ASSERT_TRUE(pair.same(6, c.depth));
        EXPECT_EQ(pair.allocations(), before);
    }
}

TEST(EndToEndReuse, OneKeptPictureReleasedWithTheInstanceOrWhenTheHostRefusesMemory)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        // A refusal at each allocation in turn of a frame that keeps: the render fails as it would without
        // reuse, or goes through with the same picture; nothing is kept that was not whole.
        for (long n = 0; n < 6; ++n) {
            Pair pair(layer(40, 24, 10, c.smart), pattern(), {{"quantise", 1}});
            pair.reusing.host().failAllocationsAfter(n);
            pair.plain.host().failAllocationsAfter(n);
            Image a, b;
            const bool failedA = [&] {
                try {
                    a = pair.reusing.render(0, c.depth);
                    return false;
                } catch (const Kiln::Runner::RunnerError&) {
                    return true;
                }
            }();
            const bool failedB = [&] {
                try {
                    b = pair.plain.render(0, c.depth);
                    return false;
                } catch (const Kiln::Runner::RunnerError&) {
                    return true;
                }
            }();
            if (!failedA) {
                EXPECT_TRUE(failedB || samePixels(a, b)) << n;
                EXPECT_LE(pair.live(), 3) << n;
            } else {
                EXPECT_EQ(pair.live(), 2) << n;
            }
            pair.reusing.host().failAllocationsAfter(-1);
            pair.plain.host().failAllocationsAfter(-1);
            for (int f = 1; f < 3; ++f) ASSERT_TRUE(pair.same(f, c.depth)) << n;
        }

        Pair pair(layer(40, 24, 10, c.smart), pattern());
        ASSERT_TRUE(pair.same(1, c.depth));
        EXPECT_EQ(pair.live(), 3);
        // Another depth, and a blank frame, release the kept picture before anything else is kept.
        ASSERT_TRUE(pair.same(2, c.depth == Depth::Eight ? Depth::Sixteen : Depth::Eight));
        EXPECT_EQ(pair.live(), 3);
        pair.set("whiteDot", 100);
        ASSERT_TRUE(pair.same(3, c.depth));
        EXPECT_EQ(pair.live(), 2);
        pair.set("whiteDot", 0);
        ASSERT_TRUE(pair.same(4, c.depth));
        EXPECT_EQ(pair.live(), 3);
        // Flattening disposes of the live sequence data, and the picture with it; so does set-down.
        pair.reusing.host().flatten();
        EXPECT_EQ(pair.live(), 2);
        pair.reusing.host().resetup();
        ASSERT_TRUE(pair.same(4, c.depth));
        EXPECT_EQ(pair.live(), 3);
        pair.reusing.host().close();
        EXPECT_EQ(pair.reusing.host().stats().liveHandles, 0);
        EXPECT_EQ(pair.reusing.host().stats().badCalls, 0);
    }
}

TEST(EndToEndReuse, EachInstanceKeepsItsOwn)
{
    // Two instances on one module, frames interleaved: neither takes the other's picture.
    const Painter other = [](Image& img, int f) { pattern()(img, f + 100); };
    Rig a(layer(40, 24, 10), pattern()), b(layer(40, 24, 10), other);
    Rig plainA(layer(40, 24, 10), pattern(), noReuseModule()),
        plainB(layer(40, 24, 10), other, noReuseModule());
    for (int f = 0; f < 10; ++f) {
        EXPECT_TRUE(samePixels(a.render(f, Depth::Eight), plainA.render(f, Depth::Eight))) << f;
        EXPECT_TRUE(samePixels(b.render(f, Depth::Eight), plainB.render(f, Depth::Eight))) << f;
    }
    EXPECT_EQ(a.host().stats().liveHandles, 3);
    EXPECT_EQ(b.host().stats().liveHandles, 3);
}
