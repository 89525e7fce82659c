// One filter instance: frame numbers and the footage rate, held frames in any order and on several
// threads, neutral settings and odd frame sizes.
#include "frei0r/klF0rClock.h"
#include "frei0r/klF0rInstance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <thread>
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

TEST(Frei0rInstance, FrameRateHoldsTheCamerasFramesWhateverTheOrder)
{
    const int32_t w = 9, h = 5;
    Instance instance(w, h);
    neutral(instance.values());
    set(instance.values(), "framesPerSec", 5.0 / 30.0);  // 5 fps on 25 fps footage: every fifth frame kept

    // frame filtered -> frame whose picture comes out
    const std::pair<int32_t, int32_t> steps[] = {
        {0, 0},   {1, 0},   {2, 0},   {3, 0},   {4, 0},  // in order from 0
        {5, 5},   {6, 5},   {9, 5},  // 9 after 6 still holds 5, which was kept
        {10, 10}, {11, 10}, {11, 10},  // 10 is kept; a frame given twice is the same
        {17, 17}, {18, 17}, {19, 17}, {20, 20}, {21, 20},  // 15 never came: 17 stands in for it
        {16, 16}, {17, 16},  // an earlier frame does not take a later one's stand-in: it stands in itself
        {15, 15}, {17, 15},  // 15 itself replaces the stand-in
        {3, 0},   {4, 0},   {5, 5},  // backwards: the kept frames are still there
    };
    for (auto [frame, shown] : steps) {
        const Frame in = picture(w, h, frame);
        Frame out(in.size());
        ASSERT_EQ(instance.update(frame / kFps, in.data(), out.data()), "");
        EXPECT_EQ(out, picture(w, h, shown)) << "frame " << frame;
    }
    // Only the frames a later frame may hold are kept.
    for (int32_t f : instance.keptFrames()) EXPECT_EQ(f % 5, 0) << f;
}

TEST(Frei0rInstance, FramesHeldAtTheFootagesRateWithoutSettingIt)
{
    // The rate comes from the host's times: at 24 fps the camera's 5 fps keeps frames 0, 4, 9, 14, 19,
    // 24 (24 / 5 = 4.8 frames apart, truncated), at 29.97 frames 0, 5, 11, 17, 23, 29.
    struct Case {
        double num, den;
        std::vector<int32_t> shown;  // frames 0 .. 12
    };
    const Case cases[] = {
        {24, 1, {0, 0, 0, 0, 0, 4, 4, 4, 4, 4, 9, 9, 9}},
        {25, 1, {0, 0, 0, 0, 0, 5, 5, 5, 5, 5, 10, 10, 10}},
        {30000, 1001, {0, 0, 0, 0, 0, 0, 5, 5, 5, 5, 5, 5, 11}},
        {60, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12}},
    };
    for (const Case& c : cases) {
        Instance instance(6, 4);
        neutral(instance.values());
        set(instance.values(), "framesPerSec", 5.0 / 30.0);
        for (int32_t n = 0; n < int32_t(c.shown.size()); ++n) {
            const Frame in = picture(6, 4, n);
            Frame out(in.size());
            ASSERT_EQ(instance.update(n * c.den / c.num, in.data(), out.data()), "");
            EXPECT_EQ(out, picture(6, 4, c.shown[size_t(n)])) << c.num / c.den << " fps, frame " << n;
        }
        EXPECT_EQ(instance.footageRate(), c.num / c.den);
    }
    // A rate the user sets wins over the times.
    Instance instance(6, 4);
    set(instance.values(), "footageFps", 0.25);
    instance.update(0.0, picture(6, 4, 0).data(), Frame(24).data());
    instance.update(1.0 / 24.0, picture(6, 4, 1).data(), Frame(24).data());
    EXPECT_EQ(instance.footageRate(), 25.0);
}

TEST(Frei0rInstance, TheRateOfTheTimesIsTheFootagesExactly)
{
    auto times = [](double num, double den, int32_t count, double tick) {
        std::deque<double> t;
        for (int32_t n = 0; n < count; ++n) {
            const double s = n * den / num;
            t.push_back(tick > 0 ? std::round(s / tick) * tick : s);
        }
        return t;
    };
    for (auto [num, den] :
         {std::pair{24000.0, 1001.0}, std::pair{24.0, 1.0}, std::pair{25.0, 1.0}, std::pair{30000.0, 1001.0},
          std::pair{30.0, 1.0}, std::pair{50.0, 1.0}, std::pair{60000.0, 1001.0}, std::pair{60.0, 1.0}}) {
        // Exact times from two frames on; times rounded to milliseconds (Matroska) from a dozen.
        EXPECT_EQ(FrameClock::rateOf(times(num, den, 2, 0)), num / den) << num / den;
        EXPECT_EQ(FrameClock::rateOf(times(num, den, 12, 0.001)), num / den) << num / den << " in ms";
        // Frame 2 before 1 (another thread has it).
        std::deque<double> late = times(num, den, 4, 0);
        std::swap(late[1], late[2]);
        EXPECT_EQ(FrameClock::rateOf(late), num / den) << num / den << " out of order";
    }
    EXPECT_EQ(FrameClock::rateOf(times(7.5, 1, 5, 0)), 7.5);
    EXPECT_EQ(FrameClock::rateOf({0.0}), 0.0);
    EXPECT_EQ(FrameClock::rateOf({0.5, 0.5}), 0.0);
}

TEST(Frei0rInstance, OneInstanceOnSeveralThreadsGivesTheSerialFrames)
{
    // Frames handed out of order on two threads at once, as MLT's parallel export does: each frame as
    // the serial run gives it, held frames included, whatever the order.
    const int32_t w = 40, h = 24, count = 24;
    auto settings = [](ParamValues& v) {
        ASSERT_TRUE(v.setNumber(paramIndex("shashMax"), 0.5));
        ASSERT_TRUE(v.setNumber(paramIndex("framesPerSec"), 5.0 / 30.0));
    };
    std::vector<Frame> serial(count);
    {
        Instance instance(w, h);
        settings(instance.values());
        for (int32_t n = 0; n < count; ++n) {
            const Frame in = picture(w, h, n);
            serial[size_t(n)].resize(in.size());
            ASSERT_EQ(instance.update(n / kFps, in.data(), serial[size_t(n)].data()), "");
        }
    }
    for (int round = 0; round < 3; ++round) {
        Instance instance(w, h);
        settings(instance.values());
        std::vector<Frame> got(count);
        // Thread 0 takes the odd frames, thread 1 the even ones, each pair swapped.
        auto run = [&](int32_t parity) {
            for (int32_t k = parity; k < count; k += 2) {
                const int32_t n = k ^ 1;
                const Frame in = picture(w, h, n);
                got[size_t(n)].resize(in.size());
                EXPECT_EQ(instance.update(n / kFps, in.data(), got[size_t(n)].data()), "");
            }
        };
        std::thread a(run, 0), b(run, 1);
        a.join();
        b.join();
        for (int32_t n = 0; n < count; ++n)
            EXPECT_EQ(got[size_t(n)], serial[size_t(n)]) << "round " << round << " frame " << n;
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
