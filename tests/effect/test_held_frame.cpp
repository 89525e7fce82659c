// The held frame's parts: the hash that stands for the source's bytes, the key that says what a kept
// picture was made from, when a picture is worth keeping, and the store one instance's renders share.
// Whole renders with and without reuse are compared in tests/e2e/test_e2e_reuse.cpp.
#include "effect/klHeldFrame.h"
#include "tests/effect/stagesTestSupport.h"

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

using namespace Kiln;
using namespace Kiln::Watchcam;
using KilnStagesTest::heapMemory;
using KilnStagesTest::ProcessorCount;

namespace {

KlTexture<PixARGB8> picture(int w, int h, int seed = 0)
{
    static_cast<void>(KilnStagesTest::kHeapMemoryInstalled);
    KlTexture<PixARGB8> t(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            PixARGB8& p = *t.pixelAddress(x, y);
            p.a = uint8_t(255 - x);
            p.r = uint8_t(x * 7 + y * 3 + seed);
            p.g = uint8_t(x * y + seed);
            p.b = uint8_t(y * 11);
        }
    return t;
}

uint64_t hashOf(const KlTexture<PixARGB8>& t)
{
    uint64_t h = 0;
    EXPECT_TRUE(hashPixels(t, nullptr, h));
    return h;
}

// The default look at 25 fps: lens, blur, Frame Rate 5.
Settings defaults()
{
    Settings s;
    s.lensEffect = true;
    s.lensRadius = 450;
    s.lensStrength = 0.4;
    s.blur = 1;
    s.hasFramesPerSec = true;
    s.framesPerSec = 5;
    return s;
}

RenderFacts at25()
{
    RenderFacts f;
    f.hostRate = 25;
    return f;
}

}  // namespace

TEST(HeldFrame, HashBytesSeesEveryBitLengthAndSeed)
{
    std::vector<unsigned char> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37 + 5);
    const uint64_t whole = hashBytes(data.data(), data.size(), 0);
    EXPECT_EQ(hashBytes(data.data(), data.size(), 0), whole);
    EXPECT_NE(hashBytes(data.data(), data.size(), 1), whole);
    // Every single bit, in the 32-byte blocks and in the 8-, 4- and 1-byte tail.
    std::set<uint64_t> seen{whole};
    for (size_t i = 0; i < data.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            data[i] ^= static_cast<unsigned char>(1u << bit);
            EXPECT_TRUE(seen.insert(hashBytes(data.data(), data.size(), 0)).second) << i << ":" << bit;
            data[i] ^= static_cast<unsigned char>(1u << bit);
        }
    // Every length of the same bytes, and of zeros: a zero added at the end is a change.
    std::vector<unsigned char> zeros(80, 0);
    std::set<uint64_t> lengths;
    for (size_t n = 0; n <= 80; ++n) {
        EXPECT_TRUE(lengths.insert(hashBytes(data.data(), n, 0)).second) << n;
        if (n > 0) {
            EXPECT_TRUE(lengths.insert(hashBytes(zeros.data(), n, 0)).second) << "zeros " << n;
        }
    }
}

TEST(HeldFrame, PixelHashCoversThePixelsOnlyAndAnyThreadCount)
{
    const KlTexture<PixARGB8> a = picture(37, 23);
    const uint64_t h = hashOf(a);
    // The same pixels with another row stride and other bytes in the padding: the same hash.
    std::vector<PixARGB8> wide(size_t(50) * 23);
    std::memset(wide.data(), 0xA5, wide.size() * sizeof(PixARGB8));
    for (int y = 0; y < 23; ++y) std::memcpy(&wide[size_t(y) * 50], a.rowAt(y), 37 * sizeof(PixARGB8));
    const KlTexture<PixARGB8> view(wide.data(), 37, 23, 50 * int32_t(sizeof(PixARGB8)));
    EXPECT_EQ(hashOf(view), h);
    // Spread over 1, 2, 3 or 8 threads: the same value.
    for (int n : {1, 2, 3, 8}) {
        ProcessorCount count(n);
        EXPECT_EQ(hashOf(a), h) << n;
    }
    // One channel of the last pixel, two rows swapped, another size of the same bytes: other hashes.
    KlTexture<PixARGB8> b = picture(37, 23);
    b.pixelAddress(36, 22)->b ^= 1;
    EXPECT_NE(hashOf(b), h);
    KlTexture<PixARGB8> c = picture(37, 23);
    std::swap_ranges(c.rowAt(3), c.rowAt(3) + 37, c.rowAt(4));
    EXPECT_NE(hashOf(c), h);
    const KlTexture<PixARGB8> narrower(wide.data(), 36, 23, 50 * int32_t(sizeof(PixARGB8)));
    EXPECT_NE(hashOf(narrower), h);
    // A texture with a region holds (and hashes) the region's memory.
    KlTexture<PixARGB8> region = picture(37, 23);
    region.setRegion(0, 0, 9, 5);
    const KlTexture<PixARGB8> small(region.data(), 10, 6, region.rowBytes());
    EXPECT_EQ(hashOf(region), hashOf(small));
    // A stopped hash gives no value.
    KlInterruptHook hook;
    hook.interrupted = 1;
    uint64_t out = 7;
    EXPECT_FALSE(hashPixels(a, &hook, out));
    EXPECT_EQ(out, 7u);
}

TEST(HeldFrame, KeyChangesWithWhatTheKeptStagesRead)
{
    const KlTexture<PixARGB8> source = picture(40, 30);
    const Settings s = defaults();
    const RenderFacts f = at25();
    const HeldKey base = heldKey(source, s, f, 40, 30);
    EXPECT_TRUE(base == heldKey(source, s, f, 40, 30));

    auto changed = [&](auto edit) {
        Settings t = s;
        RenderFacts g = f;
        edit(t, g);
        return !(heldKey(source, t, g, 40, 30) == base);
    };
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.lensRadius = 451; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.lensStrength = 0.41; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.filtered = 0; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.lensEffect = false; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.blur = 1.5; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.blur = 0; }));
    EXPECT_TRUE(changed([](Settings& t, RenderFacts&) { t.quantise = true; }));
    EXPECT_TRUE(changed([](Settings&, RenderFacts& g) { g.sx = 0.5; }));
    EXPECT_TRUE(changed([](Settings&, RenderFacts& g) { g.syAdj = 0.5; }));
    EXPECT_TRUE(changed([](Settings&, RenderFacts& g) { g.pixelAspect = 4.0 / 3.0; }));
    EXPECT_FALSE(heldKey(source, s, f, 41, 30) == base);
    // What the kept stages never read leaves the key alone: the sampler's controls, the time, the play
    // speed and frame rate (they choose the source frame, whose bytes the key holds), and the settings of
    // a stage that is off.
    EXPECT_FALSE(changed([](Settings& t, RenderFacts& g) {
        t.contrast = 0.9, t.shashMax = 0.5, t.scanlineWidth = 7, t.emInterference = 0.3, t.seed = 3;
        t.playSpeed = -2, t.framesPerSec = 12, g.time = 17, g.hostRate = 30;
        t.quantiseLevels = 9;
    }));
    Settings off = s;
    off.lensEffect = false;
    const HeldKey lensOff = heldKey(source, off, f, 40, 30);
    off.lensRadius = 10, off.lensStrength = 3, off.filtered = 0;
    EXPECT_TRUE(heldKey(source, off, f, 40, 30) == lensOff);

    // The source's geometry and edges: a window, an edge mode, an edge colour, an origin, a depth.
    auto other = [&](auto edit) {
        KlTexture<PixARGB8> t = source;
        edit(t);
        return !(heldKey(t, s, f, 40, 30) == base);
    };
    EXPECT_TRUE(other([](KlTexture<PixARGB8>& t) { t.setWindow(0, 1, 39, 29); }));
    EXPECT_TRUE(other([](KlTexture<PixARGB8>& t) { t.setEdgeModes(KlEdgeReflect, KlEdgeColour); }));
    EXPECT_TRUE(other([](KlTexture<PixARGB8>& t) { t.setEdgeColour(PixARGB8{255, 0, 0, 1}); }));
    EXPECT_TRUE(other([](KlTexture<PixARGB8>& t) { t.setRegion(0, 0, 39, 28); }));
    EXPECT_TRUE(
        other([](KlTexture<PixARGB8>& t) { t = KlTexture<PixARGB8>(t.data(), 40, 30, t.rowBytes(), 1, 0); }));
    const KlTexture<PixARGB16> deep(40, 30);
    EXPECT_FALSE(heldKey(deep, s, f, 40, 30).sameApartFromPixels(base));
    // The pixels are compared apart from the rest.
    HeldKey withPixels = base;
    withPixels.pixels = 99;
    EXPECT_TRUE(withPixels.sameApartFromPixels(base));
    EXPECT_FALSE(withPixels == base);
}

TEST(HeldFrame, KeptOnlyWhenTheCameraHoldsFramesOrPlaysSlowly)
{
    EXPECT_TRUE(heldLikely(defaults(), at25()));
    auto with = [](double fps, double speed, double host) {
        Settings s = defaults();
        s.framesPerSec = fps;
        s.playSpeed = speed;
        RenderFacts f;
        f.hostRate = host;
        return heldLikely(s, f);
    };
    EXPECT_FALSE(with(25, 1, 25));  // one source frame per output frame
    EXPECT_FALSE(with(30, 1, 25));
    EXPECT_FALSE(with(0, 1, 25));  // Frame Rate 0 drops nothing
    EXPECT_FALSE(with(5, 1, 0));  // no host rate: nothing dropped
    EXPECT_TRUE(with(24, 1, 25));
    EXPECT_TRUE(with(0, 0.5, 25));  // slow, frozen or slowly backwards: played frames repeat
    EXPECT_TRUE(with(0, 0, 25));
    EXPECT_TRUE(with(0, -0.5, 25));
    EXPECT_FALSE(with(0, -1, 25));
    EXPECT_FALSE(with(0, 2, 25));
    Settings noRate = defaults();
    noRate.hasFramesPerSec = false;
    EXPECT_FALSE(heldLikely(noRate, at25()));
    Settings repeat = defaults();
    repeat.hasRepeatFrames = true;
    repeat.repeatFrames = 4;
    EXPECT_TRUE(heldLikely(repeat, at25()));
    repeat.repeatFrames = 1;
    EXPECT_FALSE(heldLikely(repeat, at25()));

    EXPECT_FALSE(parseNoReuse(nullptr));
    EXPECT_FALSE(parseNoReuse(""));
    EXPECT_FALSE(parseNoReuse("0"));
    EXPECT_TRUE(parseNoReuse("1"));
    EXPECT_TRUE(parseNoReuse("yes"));
    EXPECT_FALSE(reuseSwitchedOff());  // this program runs without KILN_NO_REUSE
}

TEST(HeldFrame, OnePictureFoundOnlyByItsWholeKey)
{
    const KlTexture<PixARGB8> source = picture(20, 10);
    HeldKey key = heldKey(source, defaults(), at25(), 20, 10);
    key.pixels = hashOf(source);
    HeldFrame held;
    KlTexture<PixARGB8> kept;
    {
        HeldFrame::Use use(&held);
        ASSERT_TRUE(use.active());
        EXPECT_FALSE(use.mayMatch(key));
        kept = use.allocateLike(source);
        ASSERT_FALSE(kept.isNull());
        EXPECT_EQ(kept.width(), 20);
        use.keep(key, kept);
    }
    EXPECT_TRUE(held.holding());
    {
        HeldFrame::Use use(&held);
        EXPECT_TRUE(use.mayMatch(key));
        EXPECT_EQ(use.find<PixARGB8>(key).data(), kept.data());
        // Another depth, other pixels: nothing.
        EXPECT_TRUE(use.find<PixARGB16>(key).isNull());
        HeldKey other = key;
        other.pixels ^= 1;
        EXPECT_TRUE(use.mayMatch(other));
        EXPECT_TRUE(use.find<PixARGB8>(other).isNull());
        use.release();
        EXPECT_FALSE(use.mayMatch(key));
    }
    EXPECT_FALSE(held.holding());

    // Memory the host refuses: nothing to keep, and no failure.
    heapMemory().failing = true;
    {
        HeldFrame::Use use(&held);
        EXPECT_TRUE(use.allocateLike(source).isNull());
    }
    heapMemory().failing = false;
    // Without a held frame every call does nothing.
    HeldFrame::Use none(nullptr);
    EXPECT_FALSE(none.active());
    EXPECT_TRUE(none.allocateLike(source).isNull());
    none.keep(key, kept);
    EXPECT_TRUE(none.find<PixARGB8>(key).isNull());
}

TEST(HeldFrame, RendersOnOtherThreadsGoWithoutIt)
{
    // While one render uses the held frame, another on the same instance gets an inactive use at once;
    // many threads taking turns keep and find without a race.
    HeldFrame held;
    {
        HeldFrame::Use first(&held);
        ASSERT_TRUE(first.active());
        bool secondActive = true;
        std::thread([&] { secondActive = HeldFrame::Use(&held).active(); }).join();
        EXPECT_FALSE(secondActive);
    }
    EXPECT_TRUE(HeldFrame::Use(&held).active());

    const KlTexture<PixARGB8> source = picture(16, 8);
    std::atomic<int> found{0}, used{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                HeldKey key;
                key.pixels = uint64_t(i % 3);
                HeldFrame::Use use(&held);
                if (!use.active()) continue;
                ++used;
                if (!use.find<PixARGB8>(key).isNull()) {
                    ++found;
                    continue;
                }
                use.release();
                KlTexture<PixARGB8> kept = use.allocateLike(source);
                use.keep(key, kept);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_GT(used.load(), 0);
    held.release();
    EXPECT_FALSE(held.holding());
}
