// Memory the host keeps between calls: a kept block has one owner at a time, the budget holds, failure
// injection still fails, and frames rendered in reused memory equal frames rendered in fresh memory.
#include "runner/klRunner.h"
#include "tests/runner/test_module_api.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <map>

using namespace Kiln::Runner;

namespace {

constexpr size_t kBig = size_t(256) << 10;  // large enough to be kept

HostSettings tiny(size_t kept) {
  HostSettings s;
  s.width = 4;
  s.height = 3;
  s.frameCount = 2;
  s.keptMemory = kept;
  return s;
}

}  // namespace

TEST(RunnerMemory, AKeptBlockHasOneOwnerAtATimeWithinTheBudget) {
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
  ASSERT_EQ(info->basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, reinterpret_cast<const void**>(&worlds)), 0);
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

namespace {

// The effect's frames: a different picture per frame, every channel varying.
struct Clip {
  int width, height;
  std::map<std::pair<int, int>, Image> frames;

  static Image paint(int w, int h, int f, Depth d) {
    Image img = Image::make(w, h, d);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c) {
          const int v = c == 0 ? 255 - (x + f) % 40 : (x * (3 + c) + y * (5 + 2 * c) + f * 61) % 256;
          if (d == Depth::Eight) img.row<uint8_t>(y)[4 * x + c] = uint8_t(v);
          else if (d == Depth::Sixteen) img.row<uint16_t>(y)[4 * x + c] = uint16_t(v * 128);
          else img.row<float>(y)[4 * x + c] = float(v) / 255.0f;
        }
    return img;
  }
  const Image& operator()(int f, Depth d) {
    Image& img = frames[{f, int(d)}];
    if (img.pixels.empty()) img = paint(width, height, f, d);
    return img;
  }
};

void setUp(Host& host) {
  auto set = [&](const char* name, double v) { host.setValue(host.findControl(name), ParamValue{{v, 0, 0, 0}}); };
  set("blur", 5);
  set("quantise", 1);
  set("shashMax", 30);
  set("blendMethod", 2);  // Mix: post-processing reads the source too
}

}  // namespace

// Frame 2 and frame 7 each show another frame (Frame Rate 5 at 25 fps), checked out by the effect.
TEST(RunnerMemory, ReusedMemoryCarriesNothingFromOneFrameIntoAnother) {
  auto module = Module::load(KL_EFFECT_MODULE);
  const struct {
    Depth depth;
    bool smart;
  } cases[] = {{Depth::Eight, true}, {Depth::Sixteen, true}, {Depth::Float, true}, {Depth::Eight, false},
               {Depth::Sixteen, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(depthName(c.depth)) + (c.smart ? " smart" : " legacy"));
    HostSettings s;
    s.width = 160;
    s.height = 120;
    s.frameCount = 10;
    s.smartPath = c.smart;
    HostSettings fresh = s;
    fresh.keptMemory = 0;
    Clip clip{s.width, s.height, {}};
    Host reusing(*module, s), plain(*module, fresh);
    reusing.setFrameSource(std::ref(clip));
    plain.setFrameSource(std::ref(clip));
    setUp(reusing);
    setUp(plain);

    Image a = reusing.render(2, c.depth);
    reusing.recycle(std::move(a));
    const Image b = reusing.render(7, c.depth);
    const Image again = reusing.render(2, c.depth);
    EXPECT_EQ(again.pixels, plain.render(2, c.depth).pixels);
    EXPECT_EQ(b.pixels, plain.render(7, c.depth).pixels);
    EXPECT_GT(reusing.stats().keptBytes, 0);
    EXPECT_EQ(plain.stats().keptBytes, 0);

    // Failure injection fails the render although kept memory would serve it; then all is as before.
    reusing.failAllocationsAfter(0);
    EXPECT_THROW(reusing.render(2, c.depth), RunnerError);
    reusing.failAllocationsAfter(-1);
    EXPECT_EQ(reusing.render(2, c.depth).pixels, again.pixels);

    const HandleStats st = reusing.stats();
    EXPECT_EQ(st.liveHandles, 2);
    EXPECT_EQ(st.liveLayerCheckouts, 0);
    EXPECT_EQ(st.liveParamCheckouts, 0);
    EXPECT_EQ(st.liveWorlds, 0);
    EXPECT_LE(st.keptBytes, long(s.keptMemory));
    // The layer is lent in place: the effect never wrote into the source's frames.
    for (const auto& [key, img] : clip.frames)
      EXPECT_EQ(img.pixels, Clip::paint(s.width, s.height, key.first, Depth(key.second)).pixels) << key.first;
  }
}
