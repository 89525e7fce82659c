// The preview's frame engine with the pass-through module slowed down row by row, so that a render is
// surely in progress when the next request or new settings arrive: latest request wins, a render is
// interrupted instead of finished, and new settings restart it with them.
#include "preview/klPreviewFrames.h"

#include "footage/klDemoClip.h"
#include "preview/klPreviewPng.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

using namespace Kiln;
using namespace Kiln::Preview;

namespace {

constexpr int kWidth = 48, kHeight = 30;

Footage::RenderOptions demoOptions()
{
    Footage::RenderOptions o;
    o.demo = true;
    o.demoWidth = kWidth;
    o.demoHeight = kHeight;
    o.demoFrames = 10;
    o.modulePath = PASSTHROUGH_MODULE;
    return o;
}

// The demo frame as the engine shows it (RGB: the demo has no alpha).
std::vector<uint8_t> expected(int frame)
{
    Footage::DemoReader reader(kWidth, kHeight, 10);
    return toDisplay(reader.read(frame, Runner::Depth::Eight), false).bytes;
}

void waitUntilRendering(FrameEngine& engine)
{
    while (!engine.rendering()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ControlSnapshot snapshotOf(const std::vector<std::string>& sets, long revision, long fresh = 0)
{
    auto module = Runner::Module::load(PASSTHROUGH_MODULE);
    Runner::HostSettings hs;
    hs.width = hs.height = 8;
    Runner::Host host(*module, hs);
    ControlSnapshot s;
    s.settings =
        std::make_shared<Footage::ControlOptions>(Footage::controlOptionsFrom(host.controls(), "", sets));
    s.revision = revision;
    s.fresh = fresh;
    return s;
}

class SlowModule : public ::testing::Test {
protected:
    void SetUp() override { setenv("PASSTHROUGH_ROW_DELAY_US", "20000", 1); }  // 0.6 s a frame
    void TearDown() override { unsetenv("PASSTHROUGH_ROW_DELAY_US"); }
};

}  // namespace

TEST_F(SlowModule, TheLatestRequestWinsAndInterruptsTheRenderInProgress)
{
    FrameEngine engine(demoOptions());
    engine.setControls(snapshotOf({}, 1));
    auto first = std::async(std::launch::async, [&] { return engine.render({"tab", 2, 1, false}); });
    waitUntilRendering(engine);
    // Scrubbing: many requests while one renders; each replaces the one waiting.
    // Each request is let arrive before the next is sent (the one it replaces comes back first), so that
    // which of them is the latest does not depend on how the scheduler starts the threads.
    std::vector<std::future<FrameResult>> scrub;
    for (int f = 3; f <= 8; ++f) {
        scrub.push_back(std::async(std::launch::async, [&engine, f] {
            return engine.render({"tab", f, 1, false});
        }));
        std::future<FrameResult>& replaced = f == 3 ? first : scrub[scrub.size() - 2];
        ASSERT_EQ(replaced.wait_for(std::chrono::seconds(30)), std::future_status::ready) << f;
    }
    // Another tab's request is not superseded by this one's.
    auto other = std::async(std::launch::async, [&] { return engine.render({"other", 1, 1, false}); });

    EXPECT_EQ(first.get().status, FrameResult::Superseded);
    for (size_t i = 0; i + 1 < scrub.size(); ++i)
        EXPECT_EQ(scrub[i].get().status, FrameResult::Superseded) << i;
    const FrameResult last = scrub.back().get();
    ASSERT_EQ(last.status, FrameResult::Done) << last.error;
    EXPECT_EQ(last.picture.bytes, expected(8));
    const FrameResult tab2 = other.get();
    ASSERT_EQ(tab2.status, FrameResult::Done) << tab2.error;
    EXPECT_EQ(tab2.picture.bytes, expected(1));
    // No request rendered twice, none after it was superseded: at most one render per request (how many
    // of the scrubbing requests began before the next came depends on the scheduler).
    EXPECT_LE(engine.rendersStarted(), long(scrub.size()) + 2);
}

TEST_F(SlowModule, NewSettingsRestartTheRenderWithThem)
{
    FrameEngine engine(demoOptions());
    engine.setControls(snapshotOf({}, 1));
    // Made beforehand: a host made while the engine renders waits for the module.
    const ControlSnapshot earlier = snapshotOf({"Mode=Earlier", "Delay=2"}, 2),
                          defaults = snapshotOf({}, 3, 1);
    auto result = std::async(std::launch::async, [&] { return engine.render({"tab", 6, 1, false}); });
    waitUntilRendering(engine);
    engine.setControls(earlier);
    const FrameResult r = result.get();
    ASSERT_EQ(r.status, FrameResult::Done) << r.error;
    EXPECT_EQ(r.revision, 2);
    EXPECT_EQ(r.picture.bytes, expected(4));  // two frames back, as the new settings say

    // Taking the setting away starts from the defaults again.
    engine.setControls(defaults);
    const FrameResult back = engine.render({"tab", 6, 1, false});
    ASSERT_EQ(back.status, FrameResult::Done) << back.error;
    EXPECT_EQ(back.picture.bytes, expected(6));
    // The source view is the input layer whatever the settings.
    const FrameResult source = engine.render({"tab", 5, 1, true});
    ASSERT_EQ(source.status, FrameResult::Done) << source.error;
    EXPECT_EQ(source.picture.bytes, expected(5));
}

TEST(PreviewFrames, ScaledFramesAndFailures)
{
    FrameEngine engine(demoOptions());
    engine.setControls(snapshotOf({}, 1));
    const FrameResult half = engine.render({"tab", 0, 2, false});
    ASSERT_EQ(half.status, FrameResult::Done) << half.error;
    EXPECT_EQ(half.picture.width, kWidth / 2);
    EXPECT_EQ(half.picture.height, kHeight / 2);
    // Frames beyond the timeline show its ends.
    const FrameResult past = engine.render({"tab", 99, 1, false});
    ASSERT_EQ(past.status, FrameResult::Done);
    EXPECT_EQ(past.picture.bytes, expected(9));

    setenv("PASSTHROUGH_FAIL_FRAME", "3", 1);
    const FrameResult failed = engine.render({"tab", 3, 1, false});
    unsetenv("PASSTHROUGH_FAIL_FRAME");
    EXPECT_EQ(failed.status, FrameResult::Failed);
    EXPECT_NE(failed.error.find("not enough memory"), std::string::npos) << failed.error;
    EXPECT_EQ(engine.render({"tab", 3, 1, false}).status, FrameResult::Done);  // and the next one renders

    Footage::RenderOptions bad = demoOptions();
    bad.frames = std::make_pair(5, 20);
    EXPECT_THROW(FrameEngine{bad}, Footage::FootageError);
}

TEST(PreviewFrames, DisplayConversionIsFixed)
{
    Runner::Image sixteen = Runner::Image::make(4, 1, Runner::Depth::Sixteen);
    const uint16_t values[4] = {0, 64, 16384, 32768};
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 4; ++c) sixteen.row<uint16_t>(0)[4 * x + c] = values[x];
    const DisplayPicture s = toDisplay(sixteen, true);
    EXPECT_EQ(s.bytes,
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 128, 128, 128, 128, 255, 255, 255, 255}));
    Runner::Image flt = Runner::Image::make(4, 1, Runner::Depth::Float);
    const float f[4] = {-0.5f, 0.5f / 255, 0.5f, 7.0f};
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 4; ++c) flt.row<float>(0)[4 * x + c] = f[x];
    flt.row<float>(0)[1] = std::nanf("");
    const DisplayPicture d = toDisplay(flt, false);
    EXPECT_EQ(d.bytes, (std::vector<uint8_t>{0, 0, 0, 1, 1, 1, 128, 128, 128, 255, 255, 255}));
}
