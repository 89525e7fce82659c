// One filter's frames: frame numbers from OBS's timestamps, held frames at OBS's rates, sizes that
// change, time that goes back.
#include "effect/klTimeRemap.h"
#include "effect/klWatchcamParams.h"
#include "obs/klObsRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace Kiln::Obs;

namespace {

constexpr uint64_t kStart = 123'456'789'000ull;  // OBS's clock does not start at 0

// The timestamp of frame k on a canvas of rate num/den, as OBS's video thread makes it.
uint64_t frameTime(int64_t k, Rate r)
{
    return kStart + uint64_t(std::llround(double(k) * double(r.den) * 1e9 / double(r.num)));
}

// BGRA bytes that differ from pixel to pixel and from frame to frame.
std::vector<uint8_t> picture(int32_t w, int32_t h, int32_t n)
{
    std::vector<uint8_t> p(size_t(w) * size_t(h) * 4);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* px = &p[(size_t(y) * size_t(w) + size_t(x)) * 4];
            px[0] = uint8_t(n);
            px[1] = uint8_t(x * 7 + n * 31);
            px[2] = uint8_t(y * 13 + x);
            px[3] = 255;
        }
    return p;
}

void set(Values& v, const char* name, double value)
{
    std::string why;
    ASSERT_EQ(v.setNumber(Kiln::Watchcam::controlIndex(name), value, why), Outcome::Taken) << name;
}

// Every stage that changes the picture off: the output is the shown source frame.
Values neutral(double framesPerSec)
{
    Values v;
    std::string why;
    set(v, "lensEffect", 0);
    set(v, "blur", 0);
    v.setChoice(Kiln::Watchcam::controlIndex("TVType"), "Colour", why);
    set(v, "contrast", 0);
    set(v, "brightness", 0);
    set(v, "EMInterference", 0);
    set(v, "scanlineWidth", 0);
    set(v, "framesPerSec", framesPerSec);
    return v;
}

// Renders source frame `n` at `ns` and says which source frame the output shows (-1: none of them).
int32_t shown(FrameRenderer& r, const Values& v, uint64_t ns, Rate rate, int32_t n, int32_t w = 8,
              int32_t h = 6)
{
    const std::vector<uint8_t> in = picture(w, h, n);
    std::vector<uint8_t> out(in.size());
    const std::string failure = r.render(v, ns, rate, in.data(), w, h, w * 4, out.data(), nullptr);
    EXPECT_EQ(failure, "");
    for (int32_t k = 0; k <= n; ++k)
        if (picture(w, h, k) == out) return k;
    return -1;
}

}  // namespace

TEST(ObsRenderer, FrameNumbersFollowTheTimestampsAtOBSsRates)
{
    for (Rate rate : {Rate{30, 1}, Rate{60, 1}, Rate{60000, 1001}, Rate{30000, 1001}}) {
        FrameRenderer r;
        for (int64_t k : {0, 1, 2, 59, 60, 1000, 100000})
            EXPECT_EQ(r.frameNumber(frameTime(k, rate), rate), k) << rate.num << "/" << rate.den;
        // Halfway between frames rounds up; a little less rounds down.
        const double step = double(rate.den) * 1e9 / double(rate.num);
        EXPECT_EQ(r.frameNumber(frameTime(0, rate) + uint64_t(step * 0.5 + 1), rate), 1);
        EXPECT_EQ(r.frameNumber(frameTime(0, rate) + uint64_t(step * 0.49), rate), 0);
    }
    // Time going back, and a new rate, count from there.
    FrameRenderer r;
    const Rate thirty{30, 1};
    EXPECT_EQ(r.frameNumber(frameTime(10, thirty), thirty), 0);
    EXPECT_EQ(r.frameNumber(frameTime(40, thirty), thirty), 30);
    EXPECT_EQ(r.frameNumber(frameTime(5, thirty), thirty), 0);
    EXPECT_EQ(r.frameNumber(frameTime(6, thirty), thirty), 1);
    EXPECT_EQ(r.frameNumber(frameTime(6, thirty), Rate{60, 1}), 0);
    EXPECT_EQ(r.frameNumber(frameTime(6, thirty) + 1'000'000'000ull, Rate{60, 1}), 60);
}

TEST(ObsRenderer, FrameRateHoldsEachCameraFrameForTheSameTimeAtAnyRate)
{
    // A drawn source: a new frame at every OBS frame. Frame Rate 5: five camera frames a second, each the
    // source frame of its moment, held until the next.
    for (Rate rate : {Rate{30, 1}, Rate{60, 1}, Rate{60000, 1001}}) {
        FrameRenderer r;
        const Values v = neutral(5);
        const int32_t frames = int32_t(std::ceil(2.0 * rate.fps()));
        std::map<int32_t, int32_t> runs;  // shown source frame -> OBS frames it stayed
        std::map<int32_t, int32_t> firstOf;  // camera frame Q -> the first OBS frame that asked for it
        for (int32_t k = 0; k < frames; ++k) {
            const int32_t s = shown(r, v, frameTime(k, rate), rate, k);
            ASSERT_GE(s, 0) << "frame " << k;
            // The camera's frame Q is a multiple of fps / 5 truncated; the filter has only the frame in
            // hand, so the first frame to ask for Q stands in for it and stays.
            const int32_t q = Kiln::Watchcam::droppedFrame(k, rate.fps(), 5.0);
            firstOf.emplace(q, k);
            EXPECT_EQ(s, firstOf[q]) << "frame " << k;
            ++runs[s];
        }
        EXPECT_EQ(runs.size(), 10u) << rate.num << "/" << rate.den;
        const double each = rate.fps() / 5.0;
        for (auto [s, n] : runs)
            if (s + n < frames) {
                EXPECT_LE(std::fabs(n - each), 1.0) << "source frame " << s << " held " << n;
            }
    }
}

TEST(ObsRenderer, AnAsyncSourceIsHeldByItsOwnTimestamps)
{
    // A 25 fps camera on a 60 fps canvas: its frames come every 40 ms, and with Frame Rate 5 every fifth
    // one is kept, for 200 ms.
    const Rate rate{60, 1};
    FrameRenderer r;
    const Values v = neutral(5);
    for (int32_t n = 0; n < 50; ++n) {
        const uint64_t ns = kStart + uint64_t(n) * 40'000'000ull;
        EXPECT_EQ(shown(r, v, ns, rate, n), n - n % 5) << "source frame " << n;
    }
}

TEST(ObsRenderer, TimeGoingBackOrANewSizeStartsTheCameraAfresh)
{
    const Rate rate{30, 1};
    FrameRenderer r;
    const Values v = neutral(5);
    for (int32_t k = 0; k < 4; ++k) EXPECT_EQ(shown(r, v, frameTime(k, rate), rate, k), 0);
    EXPECT_TRUE(r.holds());
    // A media file starting over: its new first frame, not the old held one.
    EXPECT_EQ(shown(r, v, frameTime(2, rate), rate, 7), 7);
    EXPECT_EQ(r.lastFrame(), 2);
    EXPECT_EQ(shown(r, v, frameTime(3, rate), rate, 8), 7);
    // A source that changes size mid-stream: the held frame is of the old size and goes.
    EXPECT_EQ(shown(r, v, frameTime(4, rate), rate, 9, 13, 5), 9);
    EXPECT_EQ(shown(r, v, frameTime(5, rate), rate, 10, 13, 5), 9);
    EXPECT_EQ(shown(r, v, frameTime(6, rate), rate, 11, 1, 1), 11);
}

TEST(ObsRenderer, PaddedRowsFailuresAndInterruptsEndAFrameCleanly)
{
    FrameRenderer r;
    const Values v = neutral(0);
    // Rows padded as a stage surface's are: the output is packed.
    const int32_t w = 5, h = 3, stride = 32;
    std::vector<uint8_t> in(size_t(stride) * h, 0x40);
    for (int32_t y = 0; y < h; ++y) in[size_t(y) * stride + 1] = uint8_t(y);
    std::vector<uint8_t> out(size_t(w) * h * 4);
    EXPECT_EQ(r.render(v, kStart, Rate{30, 1}, in.data(), w, h, stride, out.data(), nullptr), "");
    for (int32_t y = 0; y < h; ++y) EXPECT_EQ(out[size_t(y) * w * 4 + 1], y);
    EXPECT_EQ(out.back(), 0x40);

    EXPECT_NE(r.render(v, kStart, Rate{30, 1}, nullptr, w, h, stride, out.data(), nullptr), "");
    EXPECT_FALSE(r.holds());

    // A filter removed mid-frame: the frame stops and says so.
    KlInterruptHook hook;
    hook.interrupted.store(1);
    EXPECT_EQ(r.render(Values(), kStart, Rate{30, 1}, in.data(), w, h, stride, out.data(), &hook), "stopped");
}
