// Memory the host keeps between calls: a kept block has one owner at a time, the budget holds and failure
// injection still fails. Frames the effect renders in reused memory are checked in tests/host.
#include "runner/klRunner.h"
#include "tests/runner/test_module_api.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>

using namespace Kiln::Runner;

namespace {

constexpr size_t kBig = size_t(256) << 10;  // large enough to be kept

HostSettings tiny(size_t kept)
{
    HostSettings s;
    s.width = 4;
    s.height = 3;
    s.frameCount = 2;
    s.keptMemory = kept;
    return s;
}

}  // namespace

TEST(RunnerMemory, AKeptBlockHasOneOwnerAtATimeWithinTheBudget)
{
    auto module = Module::load(KL_TEST_MODULE);
    reinterpret_cast<TmResetFunc>(dlsym(module->dlHandle(), "tm_reset"))();
    Host host(*module, tiny(3 * kBig));
    const TmInfo* info = reinterpret_cast<TmInfoFunc>(dlsym(module->dlHandle(), "tm_info"))();
    PF_UtilCallbacks* u = info->utils;
    const Image layer = Image::make(4, 3, Depth::Eight);

    // Handles are made during a call: the frame source runs inside the module's layer checkout.
    bool ran = false;
    host.setFrameSource([&](int, Depth) -> const Image& {
        if (ran) return layer;
        ran = true;
        PF_Handle a = u->host_new_handle(kBig), b = u->host_new_handle(kBig);
        EXPECT_TRUE(a && b);
        void* blockA = *a;
        u->host_dispose_handle(a);
        u->host_dispose_handle(a);  // a second dispose is refused, so the block is not kept twice
        EXPECT_EQ(host.stats().badCalls, 1);
        EXPECT_EQ(host.stats().keptBytes, long(kBig));

        PF_Handle c = u->host_new_handle(kBig), d = u->host_new_handle(kBig);
        EXPECT_EQ(*c, blockA);  // reused...
        EXPECT_NE(*d, blockA);  // ...by one new owner only
        EXPECT_NE(*d, *b);
        EXPECT_TRUE(c != a && d != a);
        EXPECT_EQ(u->host_lock_handle(a), nullptr);  // the old handle stays dead though its block lives on
        EXPECT_EQ(host.stats().badCalls, 2);
        EXPECT_EQ(host.stats().keptBytes, 0);
        EXPECT_EQ(u->host_get_handle_size(c), kBig);

        // Another size is not served from kept blocks; small blocks are not kept at all.
        u->host_dispose_handle(c);
        PF_Handle e = u->host_new_handle(kBig + 16), small = u->host_new_handle(64);
        EXPECT_NE(*e, blockA);
        u->host_dispose_handle(small);
        EXPECT_EQ(host.stats().keptBytes, long(kBig));

        // Failure injection fails even when a kept block would fit.
        host.failAllocationsAfter(0);
        EXPECT_EQ(u->host_new_handle(kBig), nullptr);
        host.failAllocationsAfter(-1);

        // Over the budget the oldest kept blocks go: c's and b's, leaving d's and e's.
        u->host_dispose_handle(b);
        u->host_dispose_handle(d);
        u->host_dispose_handle(e);
        EXPECT_EQ(host.stats().keptBytes, long(2 * kBig + 16));
        return layer;
    });
    host.render(0, Depth::Eight);
    ASSERT_TRUE(ran);
    EXPECT_EQ(host.stats().liveHandles, 2);  // global and sequence data
    EXPECT_EQ(host.stats().handlesAllocated, 2 + 6);

    // Worlds: a kept world comes back as it was left unless it is asked for cleared.
    const PF_WorldSuite2* worlds = nullptr;
    ASSERT_EQ(info->basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2,
                                        reinterpret_cast<const void**>(&worlds)),
              0);
    PF_EffectWorld w{};
    ASSERT_EQ(worlds->PF_NewWorld(info->ref, 200, 100, 0, PF_PixelFormat_ARGB64, &w), PF_Err_NONE);
    void* pixels = w.data;
    std::fill_n(static_cast<uint8_t*>(w.data), size_t(w.rowbytes) * 100, uint8_t(0xA5));
    EXPECT_EQ(worlds->PF_DisposeWorld(info->ref, &w), PF_Err_NONE);
    ASSERT_EQ(worlds->PF_NewWorld(info->ref, 200, 100, 1, PF_PixelFormat_ARGB64, &w), PF_Err_NONE);
    EXPECT_EQ(w.data, pixels);
    const auto* p = static_cast<const uint8_t*>(w.data);
    EXPECT_TRUE(std::all_of(p, p + size_t(w.rowbytes) * 100, [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(host.stats().liveWorlds, 1);
    worlds->PF_DisposeWorld(info->ref, &w);
    EXPECT_EQ(host.stats().liveWorlds, 0);
    info->basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);

    // An output given back is the memory of the next output of its size.
    Image out = host.render(0, Depth::Eight);
    const uint8_t* outPixels = out.pixels.data();
    host.recycle(std::move(out));
    EXPECT_TRUE(out.pixels.empty());
    EXPECT_EQ(host.render(1, Depth::Eight).pixels.data(), outPixels);
}
