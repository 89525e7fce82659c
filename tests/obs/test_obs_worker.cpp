// The worker beside OBS's graphics thread: frames in, newest frame out, waiting for a given frame, and
// stopping with a frame in flight.
#include "effect/klWatchcamParams.h"
#include "obs/klObsWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using namespace Kiln::Obs;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> frame(int32_t w, int32_t h, uint8_t value)
{
    return std::vector<uint8_t>(size_t(w) * h * 4, value);
}

FrameJob neutralJob(uint64_t ns)
{
    FrameJob job;
    std::string why;
    job.values.setNumber(Kiln::Watchcam::controlIndex("lensEffect"), 0, why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("blur"), 0, why);
    job.values.setChoice(Kiln::Watchcam::controlIndex("TVType"), "Colour", why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("contrast"), 0, why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("brightness"), 0, why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("EMInterference"), 0, why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("scanlineWidth"), 0, why);
    job.values.setNumber(Kiln::Watchcam::controlIndex("framesPerSec"), 0, why);
    job.ns = ns;
    return job;
}

}  // namespace

TEST(ObsWorker, RendersSubmittedFramesAndHandsOutTheNewest)
{
    Worker worker;
    FrameResult result;
    EXPECT_FALSE(worker.take(result));
    const std::vector<uint8_t> a = frame(16, 9, 10);
    const uint64_t first = worker.submit(neutralJob(1'000'000'000), a.data(), 16, 9, 16 * 4);
    EXPECT_EQ(first, 1u);
    ASSERT_TRUE(worker.waitFor(first, result, 10s));
    EXPECT_EQ(result.serial, first);
    EXPECT_EQ(result.width, 16);
    EXPECT_EQ(result.pixels, a);
    // Nothing newer: take and waitFor say so.
    EXPECT_FALSE(worker.take(result));
    EXPECT_FALSE(worker.waitFor(first, result, 10ms));

    // Many frames from another thread while this one takes: serials only grow, every frame taken is one
    // of those submitted, whole, at its size.
    std::atomic<bool> done{false};
    std::thread graphics([&] {
        for (int32_t i = 0; i < 200; ++i) {
            const int32_t w = 8 + i % 5;
            const std::vector<uint8_t> f = frame(w, 4, uint8_t(i));
            worker.submit(neutralJob(1'000'000'000 + uint64_t(i) * 33'000'000), f.data(), w, 4, w * 4);
        }
        done = true;
    });
    uint64_t last = result.serial;
    int32_t taken = 0;
    while (!done || worker.waiting() || taken == 0) {
        if (worker.take(result)) {
            ++taken;
            EXPECT_GT(result.serial, last);
            last = result.serial;
            ASSERT_EQ(result.pixels.size(), size_t(result.width) * 4 * 4);
            const uint8_t v = result.pixels[0];
            EXPECT_EQ(result.width, 8 + v % 5);
            for (uint8_t b : result.pixels) ASSERT_EQ(b, v);
        }
        std::this_thread::yield();
    }
    graphics.join();
    EXPECT_TRUE(result.serial == 201 || worker.waitFor(201, result, 10s));
    EXPECT_EQ(result.serial, 201u);
}

TEST(ObsWorker, StopsWithAFrameInFlight)
{
    // A large default-look frame is still rendering when the filter goes.
    std::vector<uint8_t> big = frame(1920, 1080, 128);
    for (int32_t i = 0; i < 3; ++i) {
        Worker worker;
        worker.submit(FrameJob{}, big.data(), 1920, 1080, 1920 * 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 5));
    }
    // And one that never got a frame.
    Worker idle;
}

TEST(ObsWorker, AFailedFrameIsReportedAndShowsItsInput)
{
    std::atomic<int32_t> reports{0};
    std::string said;
    Worker worker([&](const std::string& text) {
        said = text;
        ++reports;
    });
    // An empty frame cannot be rendered.
    FrameResult result;
    const uint64_t serial = worker.submit(FrameJob{}, nullptr, 0, 0, 0);
    ASSERT_TRUE(worker.waitFor(serial, result, 10s));
    EXPECT_EQ(reports.load(), 1);
    EXPECT_FALSE(said.empty());
    EXPECT_TRUE(result.pixels.empty());
}
