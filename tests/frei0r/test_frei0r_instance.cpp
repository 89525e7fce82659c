// One filter instance: frame numbers, held frames, neutral settings and odd frame sizes.
#include "frei0r/klF0rInstance.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

using namespace Kiln::Frei0r;

namespace {

using Frame = std::vector<uint32_t>;

// RGBA bytes that differ from pixel to pixel and from frame to frame, alpha included.
Frame picture(int32_t w, int32_t h, int32_t n)
{
    Frame f(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t px[4] = {uint8_t(x * 7 + n * 31), uint8_t(y * 13 + n), uint8_t(x + y),
                                   uint8_t(255 - x)};
            std::memcpy(&f[size_t(y) * size_t(w) + size_t(x)], px, 4);
        }
    return f;
}

void set(ParamValues& v, const char* name, double frei0rValue)
{
    ASSERT_TRUE(v.setNumber(paramIndex(name), frei0rValue)) << name;
}

// Every stage that changes the picture off, frame dropping too.
void neutral(ParamValues& v)
{
    set(v, "lensEffect", 0);
    set(v, "blur", 0);
    ASSERT_TRUE(v.setChoice(paramIndex("TVType"), "Colour"));
    set(v, "contrast", 0);
    set(v, "brightness", 0);
    set(v, "EMInterference", 0);
    set(v, "scanlineWidth", 0.01);
    set(v, "shashMax", 0);
    set(v, "framesPerSec", 0);
}

constexpr double kFps = 25.0;

}  // namespace

TEST(Frei0rInstance, NeutralSettingsGiveTheInputBackAtAnySize)
{
    for (auto [w, h] : {std::pair{1, 1}, std::pair{13, 7}, std::pair{37, 23}, std::pair{64, 2}}) {
        Instance instance(w, h);
        neutral(instance.values());
        for (int32_t n = 0; n < 3; ++n) {
            const Frame in = picture(w, h, n);
            Frame out(in.size(), 0xdeadbeef);
            ASSERT_EQ(instance.update(n / kFps, in.data(), out.data()), "");
            EXPECT_EQ(out, in) << w << "x" << h << " frame " << n;
            // In place, as a host may hand the same buffer twice.
            Frame same = in;
            ASSERT_EQ(instance.update(n / kFps, same.data(), same.data()), "");
            EXPECT_EQ(same, in) << w << "x" << h << " in place";
        }
    }
}

TEST(Frei0rInstance, FrameRateHoldsTheKeptFrameAndStartsAfreshAfterAJump)
{
    const int32_t w = 9, h = 5;
    Instance instance(w, h);
    neutral(instance.values());
    set(instance.values(), "framesPerSec", 5.0 / 30.0);  // 5 fps on 25 fps footage: every fifth frame kept

    // frame filtered -> frame whose picture comes out
    const std::pair<int32_t, int32_t> steps[] = {
        {0, 0},   {1, 0},   {2, 0},   {3, 0},   {4, 0},  // in order from 0
        {5, 5},   {6, 5},   {9, 9},  // 9 after 6 is a jump: 9 stands in for 5
        {10, 10}, {11, 10}, {11, 10},  // 10 is kept; a frame given twice is in order
        {17, 17}, {18, 17}, {19, 17}, {20, 20}, {21, 20},  // a jump: 17 stands in for 15
        {3, 3},   {4, 3},   {5, 5},  // backwards: afresh again
    };
    for (auto [frame, shown] : steps) {
        const Frame in = picture(w, h, frame);
        Frame out(in.size());
        ASSERT_EQ(instance.update(frame / kFps, in.data(), out.data()), "");
        EXPECT_EQ(out, picture(w, h, shown)) << "frame " << frame;
    }
}

TEST(Frei0rInstance, TimesThatAreNoFrameCountOnFromTheLastFrame)
{
    Instance instance(8, 8);
    const Frame in = picture(8, 8, 0);
    Frame out(in.size());
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(instance.frameNumber(nan), 0);  // nothing seen yet
    EXPECT_EQ(instance.frameNumber(0.12), 3);
    EXPECT_EQ(instance.frameNumber(0.119), 3);
    instance.update(0.4, in.data(), out.data());
    EXPECT_EQ(instance.lastFrame(), 10);
    for (double t : {nan, -1.0, -3.6893488147419103e+20, 1e300, std::numeric_limits<double>::infinity()})
        EXPECT_EQ(instance.frameNumber(t), 11) << t;
    set(instance.values(), "footageFps", 0.30);
    EXPECT_EQ(instance.frameNumber(1.0), 30);
}

TEST(Frei0rInstance, AMissingFrameIsReportedAndNothingBreaks)
{
    Instance instance(8, 8);
    Frame out(64, 7u);
    EXPECT_NE(instance.update(0.0, nullptr, out.data()), "");
    EXPECT_EQ(out, Frame(64, 7u));
    const Frame in = picture(8, 8, 0);
    EXPECT_NE(instance.update(0.04, in.data(), nullptr), "");
    EXPECT_EQ(instance.update(0.08, in.data(), out.data()), "");
}
