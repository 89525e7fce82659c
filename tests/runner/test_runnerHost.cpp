#include "runner/klRunner.h"
#include "tests/runner/test_module_api.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <thread>

using namespace Kiln::Runner;

namespace {

ParamValue pv(double a, double b = 0, double c = 0, double d = 0) { return ParamValue{{a, b, c, d}}; }

// Frames whose every pixel is opaque with red = frame + 1 (float: (frame + 1) / 100).
struct TestClip {
    int width, height;
    std::map<std::pair<int, int>, Image> frames;
    const Image& operator()(int f, Depth d)
    {
        Image& img = frames[{f, int(d)}];
        if (img.pixels.empty()) {
            img = Image::make(width, height, d);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    if (d == Depth::Float)
                        img.row<PF_PixelFloat>(y)[x] = PF_PixelFloat{1.f, (f + 1) / 100.f, 0, 0};
                    else if (d == Depth::Sixteen)
                        img.row<PF_Pixel16>(y)[x] = PF_Pixel16{32768, uint16_t(f + 1), 0, 0};
                    else
                        img.row<PF_Pixel>(y)[x] = PF_Pixel{255, uint8_t(f + 1), 0, 0};
                }
        }
        return img;
    }
};

std::string failure(const std::function<void()>& f)
{
    try {
        f();
    } catch (const RunnerError& e) {
        return e.what();
    }
    return "";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class RunnerHost : public testing::Test {
protected:
    void SetUp() override
    {
        module = Module::load(KL_TEST_MODULE);
        set = sym<TmSetFunc>("tm_set");
        count = sym<TmCountFunc>("tm_count");
        recordAt = sym<TmRecordFunc>("tm_record");
        info = sym<TmInfoFunc>("tm_info");
        sym<TmResetFunc>("tm_reset")();
    }

    template <class F>
    F sym(const char* name)
    {
        auto f = reinterpret_cast<F>(dlsym(module->dlHandle(), name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }

    // The module's record of the last call with this command.
    const TmRecord& last(PF_Cmd cmd)
    {
        for (int i = count() - 1; i >= 0; --i)
            if (recordAt(i)->cmd == cmd) return *recordAt(i);
        ADD_FAILURE() << "the module never saw " << cmd;
        static TmRecord none{};
        return none;
    }

    std::vector<PF_Cmd> moduleCommands()
    {
        std::vector<PF_Cmd> cmds;
        for (int i = 0; i < count(); ++i) cmds.push_back(recordAt(i)->cmd);
        return cmds;
    }

    static HostSettings small()
    {
        HostSettings s;
        s.width = 4;
        s.height = 3;
        s.frameCount = 10;
        s.timeScale = 2500;
        s.timeStep = 100;
        return s;
    }

    std::unique_ptr<Module> module;
    TmSetFunc set = nullptr;
    TmCountFunc count = nullptr;
    TmRecordFunc recordAt = nullptr;
    TmInfoFunc info = nullptr;
    TestClip clip{4, 3, {}};
};

}  // namespace

TEST_F(RunnerHost, CommandsArriveInOrderAndEveryHandleIsGivenBack)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    EXPECT_EQ(host.stats().liveHandles, 2);  // global and sequence data
    EXPECT_NE(host.globalData(), nullptr);
    EXPECT_EQ(host.sequenceBytes(), std::vector<uint8_t>(20, 0));

    host.render(0, Depth::Eight);
    host.flatten();
    host.resetup();  // the test module sets up anew
    host.close();

    const std::vector<PF_Cmd> expected{
        PF_Cmd_GLOBAL_SETUP,     PF_Cmd_PARAMS_SETUP,     PF_Cmd_SEQUENCE_SETUP,
        PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER,     PF_Cmd_SEQUENCE_FLATTEN,
        PF_Cmd_SEQUENCE_RESETUP, PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN};
    EXPECT_EQ(host.commandLog(), expected);
    EXPECT_EQ(moduleCommands(), expected);
    const HandleStats s = host.stats();
    EXPECT_EQ(s.liveHandles, 0);
    EXPECT_EQ(s.handlesAllocated, 3);  // global, sequence, sequence again
    EXPECT_EQ(s.liveLayerCheckouts, 0);
    EXPECT_EQ(s.liveParamCheckouts, 0);
    EXPECT_EQ(s.badCalls, 0);
    EXPECT_EQ(s.suiteAcquires, s.suiteReleases);
    EXPECT_GT(s.suiteAcquires, 0);
    EXPECT_EQ(host.globalData(), nullptr);
    EXPECT_EQ(host.sequenceData(), nullptr);
    host.close();  // a second close sends nothing
    EXPECT_EQ(host.commandLog().size(), expected.size());
}

TEST_F(RunnerHost, DestructorSendsSetDownsInOrder)
{
    {
        Host host(*module, small());
    }
    EXPECT_EQ(moduleCommands(),
              (std::vector<PF_Cmd>{PF_Cmd_GLOBAL_SETUP, PF_Cmd_PARAMS_SETUP, PF_Cmd_SEQUENCE_SETUP,
                                   PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN}));
}

TEST_F(RunnerHost, ControlsKeepTheDeclaration)
{
    Host host(*module, small());
    const auto& cs = host.controls();
    ASSERT_EQ(cs.size(), size_t(TM_PARAMS));
    EXPECT_EQ(cs[0].type, PF_Param_LAYER);

    const ControlInfo& amount = cs[TM_AMOUNT];
    EXPECT_EQ(amount.label, "Amount");
    EXPECT_EQ(amount.scriptName, "amount");
    EXPECT_EQ(amount.type, PF_Param_FIX_SLIDER);
    EXPECT_EQ(amount.defaultValue, pv(15));
    EXPECT_EQ(amount.validMax, 5000);
    EXPECT_EQ(amount.sliderMax, 100);
    EXPECT_EQ(amount.precision, 1);
    EXPECT_TRUE(amount.animatable());

    // The module overwrote its texts after add_param: the host kept copies.
    const ControlInfo& mode = cs[TM_MODE];
    EXPECT_EQ(mode.popupItems, (std::vector<std::string>{"One", "Two", "Three"}));
    EXPECT_STREQ(mode.def.u.pd.namesptr, "One|Two|Three");
    EXPECT_EQ(mode.defaultValue, pv(2));
    EXPECT_EQ(cs[TM_ENABLE].checkboxText, "Enable");
    EXPECT_STREQ(cs[TM_ENABLE].def.u.bd.nameptr, "Enable");
    EXPECT_EQ(cs[TM_TINT].defaultValue, pv(255, 63, 165, 76));
    EXPECT_EQ(cs[TM_CENTRE].defaultValue, pv(10, 20));
    EXPECT_EQ(cs[TM_ALPHA].flags, PF_ParamFlag_SUPERVISE);
    EXPECT_FALSE(cs[TM_FIXED].animatable());
    EXPECT_FALSE(cs[TM_GROUP].animatable());

    EXPECT_EQ(host.findControl("amount"), TM_AMOUNT);
    EXPECT_EQ(host.findControl("Amount"), TM_AMOUNT);
    EXPECT_EQ(host.findControl("Enable"), TM_ENABLE);
    EXPECT_EQ(host.findControl("Group"), TM_GROUP);
    EXPECT_EQ(host.findControl("groupEnd"), TM_GROUP_END);
    EXPECT_EQ(host.findControl("nothing"), -1);
    EXPECT_EQ(host.findControl(""), -1);
    EXPECT_EQ(host.valueAt(TM_COUNT, 3), pv(6));
}

TEST_F(RunnerHost, InDataDescribesTheClipAndTheHost)
{
    HostSettings s = small();
    s.downsampleX = 0.5;
    s.downsampleY = 0.25;
    s.pixelAspect = 0.9;
    s.highQuality = false;
    Host host(*module, s);
    host.setFrameSource(std::ref(clip));
    host.render(7, Depth::Eight);
    const TmRecord& r = last(PF_Cmd_SMART_RENDER);
    EXPECT_EQ(r.current_time, 700);
    EXPECT_EQ(r.time_step, 100);
    EXPECT_EQ(r.time_scale, 2500u);
    EXPECT_EQ(r.total_time, 1000);
    EXPECT_EQ(r.width, 4);
    EXPECT_EQ(r.height, 3);
    EXPECT_EQ(r.quality, PF_Quality_LO);
    EXPECT_EQ(r.version_major, 13);
    EXPECT_EQ(r.version_minor, 28);
    EXPECT_EQ(r.appl_id, kRunnerApplId);
    EXPECT_NE(r.appl_id, KL_APPL_ID_HOST);
    EXPECT_EQ(r.num_params, TM_PARAMS);
    EXPECT_EQ(r.downsample_x.num, 1);
    EXPECT_EQ(r.downsample_x.den, 2u);
    EXPECT_EQ(r.downsample_y.den, 4u);
    EXPECT_EQ(r.pixel_aspect.num, 9);
    EXPECT_EQ(r.pixel_aspect.den, 10u);

    const TmInfo* i = info();
    EXPECT_STREQ(i->resource_path, module->path().c_str());
    EXPECT_EQ(i->instance, module->dlHandle());
    EXPECT_EQ(i->main_window, 0ul);
    EXPECT_EQ(i->headless, 1);
    EXPECT_EQ(host.moduleVersion(), 0x00108605u);

    host.setApplId(KL_APPL_ID_HOST);
    host.setSpecVersion(13, 0);
    host.render(1, Depth::Eight);
    EXPECT_EQ(last(PF_Cmd_SMART_RENDER).appl_id, KL_APPL_ID_HOST);
    EXPECT_EQ(last(PF_Cmd_SMART_RENDER).version_minor, 0);
}

TEST_F(RunnerHost, SmartRenderAtEveryDepth)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    for (Depth d : {Depth::Eight, Depth::Sixteen, Depth::Float}) {
        ASSERT_TRUE(host.supportsDepth(d));
        const Image out = host.render(3, d);
        ASSERT_EQ(out.width, 4);
        ASSERT_EQ(out.height, 3);
        ASSERT_EQ(out.depth, d);
        // The module copies the layer (red = frame + 1) and writes "Count" (6) into green.
        if (d == Depth::Float) {
            EXPECT_FLOAT_EQ(out.row<PF_PixelFloat>(2)[3].red, 0.04f);
            EXPECT_FLOAT_EQ(out.row<PF_PixelFloat>(2)[3].green, 0.06f);
        } else if (d == Depth::Sixteen) {
            EXPECT_EQ(out.row<PF_Pixel16>(2)[3].alpha, 32768);
            EXPECT_EQ(out.row<PF_Pixel16>(2)[3].red, 4);
            EXPECT_EQ(out.row<PF_Pixel16>(2)[3].green, 6);
        } else {
            EXPECT_EQ(out.row<PF_Pixel>(2)[3].red, 4);
            EXPECT_EQ(out.row<PF_Pixel>(2)[3].green, 6);
        }
        const TmRecord& pre = last(PF_Cmd_SMART_PRE_RENDER);
        const TmRecord& r = last(PF_Cmd_SMART_RENDER);
        const A_long bits = d == Depth::Eight ? 8 : d == Depth::Sixteen ? 16 : 32;
        EXPECT_EQ(pre.bitdepth, bits);
        EXPECT_EQ(r.bitdepth, bits);
        EXPECT_EQ(r.format, pixelFormatOf(d));
        EXPECT_EQ(pre.prerender_rect[2], 4);
        EXPECT_EQ(pre.prerender_rect[3], 3);
    }
    EXPECT_EQ(host.stats().liveLayerCheckouts, 0);
    EXPECT_EQ(host.stats().suiteAcquires, host.stats().suiteReleases);
}

TEST_F(RunnerHost, LegacyPathRendersEightAndSixteenBitsOnly)
{
    HostSettings s = small();
    s.smartPath = false;
    Host host(*module, s);
    host.setFrameSource(std::ref(clip));
    host.clearCommandLog();
    Image out = host.render(2, Depth::Eight);
    EXPECT_EQ(out.row<PF_Pixel>(0)[0].red, 3);
    EXPECT_EQ(last(PF_Cmd_RENDER).world_flags, 0);
    EXPECT_EQ(last(PF_Cmd_RENDER).layer_red, 3);
    out = host.render(2, Depth::Sixteen);
    EXPECT_EQ(out.row<PF_Pixel16>(1)[2].red, 3);
    EXPECT_EQ(out.row<PF_Pixel16>(1)[2].green, 6);
    EXPECT_EQ(last(PF_Cmd_RENDER).world_flags, PF_WorldFlag_DEEP);
    EXPECT_EQ(host.commandLog(),
              (std::vector<PF_Cmd>{PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER, PF_Cmd_FRAME_SETDOWN,
                                   PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER, PF_Cmd_FRAME_SETDOWN}));
    EXPECT_FALSE(host.supportsDepth(Depth::Float));
    EXPECT_TRUE(
        contains(failure([&] { host.render(2, Depth::Float); }), "the legacy render path has no float"));
    EXPECT_TRUE(
        contains(failure([&] { host.render(10, Depth::Eight); }), "frame 10 is outside the clip (0 to 9)"));
    EXPECT_TRUE(contains(failure([&] { host.render(-1, Depth::Eight); }), "outside the clip"));
}

TEST_F(RunnerHost, ModulesWithoutSmartRenderNeedTheLegacyPath)
{
    set("no_smart", 1);
    Host host(*module, small());
    EXPECT_FALSE(host.supportsDepth(Depth::Float));
    EXPECT_TRUE(
        contains(failure([&] { host.render(0, Depth::Eight); }), "does not support the smart render path"));
}

TEST_F(RunnerHost, KeyframedValuesReachEachRender)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    host.setKeyframes(TM_AMOUNT, {{4, pv(30)}, {0, pv(10)}});  // unsorted on purpose
    host.setKeyframes(TM_MODE, {{0, pv(1)}, {5, pv(3)}});
    host.setKeyframes(TM_TINT, {{0, pv(255, 0, 0, 0)}, {8, pv(255, 200, 100, 40)}});
    host.setValue(TM_COUNT, pv(9));
    EXPECT_EQ(host.keyframes(TM_AMOUNT).front().first, 0);

    struct Expect {
        int frame;
        A_long amount, mode, tintRed;
    };
    for (Expect e : {Expect{0, 10 * 65536, 1, 0}, Expect{2, 20 * 65536, 1, 50}, Expect{3, 25 * 65536, 1, 75},
                     Expect{5, 30 * 65536, 3, 125}, Expect{9, 30 * 65536, 3, 200}}) {
        host.render(e.frame, Depth::Eight);
        const TmRecord& r = last(PF_Cmd_SMART_RENDER);
        EXPECT_EQ(r.values[TM_AMOUNT][0], e.amount) << "frame " << e.frame;
        EXPECT_EQ(r.values[TM_MODE][0], e.mode) << "frame " << e.frame;
        EXPECT_EQ(r.values[TM_TINT][1], e.tintRed) << "frame " << e.frame;
        EXPECT_EQ(r.values[TM_COUNT][0], 9);
        EXPECT_EQ(r.values[TM_CENTRE][1], 20 * 65536);
        EXPECT_EQ(r.num_keys, 2);  // the stream suite sees the keys of "Amount"
    }
    EXPECT_DOUBLE_EQ(host.valueAt(TM_AMOUNT, 1).v[0], 15);

    // A constant value replaces the keys.
    host.setValue(TM_AMOUNT, pv(40));
    host.render(2, Depth::Eight);
    EXPECT_EQ(last(PF_Cmd_SMART_RENDER).values[TM_AMOUNT][0], 40 * 65536);
    EXPECT_EQ(last(PF_Cmd_SMART_RENDER).num_keys, 0);
}

TEST_F(RunnerHost, BadValuesAndKeysAreRefused)
{
    Host host(*module, small());
    EXPECT_TRUE(
        contains(failure([&] { host.setValue(TM_AMOUNT, pv(5001)); }), "outside the valid range 0 to 5000"));
    EXPECT_TRUE(contains(failure([&] { host.setValue(TM_MODE, pv(4)); }), "not one of 1 to 3"));
    host.setValue(TM_MODE, pv(3));  // every name is selectable, whatever count was declared
    EXPECT_TRUE(contains(failure([&] { host.setValue(TM_GROUP, pv(1)); }), "has no value"));
    EXPECT_TRUE(contains(failure([&] { host.setValue(0, pv(1)); }), "there is no control 0"));
    EXPECT_TRUE(contains(failure([&] { host.setValue(TM_PARAMS, pv(1)); }), "there is no control 13"));
    EXPECT_TRUE(contains(failure([&] {
                             host.setKeyframes(TM_FIXED, {{0, pv(1)}, {3, pv(2)}});
                         }),
                         "cannot vary over time"));
    host.setKeyframes(TM_FIXED, {{0, pv(2)}});
    EXPECT_EQ(host.valueAt(TM_FIXED, 7), pv(2));
    EXPECT_TRUE(contains(failure([&] {
                             host.setKeyframes(TM_AMOUNT, {{1, pv(1)}, {1, pv(2)}});
                         }),
                         "two keyframes"));
    EXPECT_TRUE(contains(failure([&] { host.setKeyframes(TM_AMOUNT, {}); }), "at least one keyframe"));
    EXPECT_TRUE(contains(failure([&] {
                             host.setKeyframes(TM_AMOUNT, {{0, pv(1)}, {2, pv(-3)}});
                         }),
                         "keyframe at frame"));
    EXPECT_EQ(host.valueAt(TM_AMOUNT, 0), pv(15));  // a refused change leaves the value alone
}

TEST_F(RunnerHost, CheckoutParamAnswersAtOtherTimesOnBothPaths)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        sym<TmResetFunc>("tm_reset")();
        HostSettings s = small();
        s.smartPath = smart;
        Host host(*module, s);
        host.setFrameSource(std::ref(clip));
        host.setKeyframes(TM_AMOUNT, {{0, pv(10)}, {4, pv(30)}});
        const PF_Cmd cmd = smart ? PF_Cmd_SMART_RENDER : PF_Cmd_RENDER;

        set("other_time", -3);
        host.render(5, Depth::Sixteen);
        EXPECT_EQ(last(cmd).layer_red, 6);
        EXPECT_EQ(last(cmd).other_red, 3);  // frame 2, in the render's depth
        EXPECT_EQ(last(cmd).other_amount, 20 * 65536);
        set("other_time", 20);  // past the end of the clip: the last frame holds
        host.render(5, Depth::Eight);
        EXPECT_EQ(last(cmd).other_red, 10);
        EXPECT_EQ(last(cmd).other_amount, 30 * 65536);
        EXPECT_EQ(host.stats().liveParamCheckouts, 0);

        set("leak_param_checkout", 1);
        host.render(5, Depth::Eight);
        EXPECT_EQ(host.stats().liveParamCheckouts, 2);
    }
}

TEST_F(RunnerHost, CheckoutsAreCountedUntilGivenBack)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    const TmInfo* i = info();

    // Outside a render the layer is still available at any time; a record is checked in exactly once.
    PF_ParamDef layer{};
    ASSERT_EQ(i->inter.checkout_param(i->ref, 0, 400, 100, 2500, &layer), PF_Err_NONE);
    EXPECT_EQ(static_cast<PF_Pixel*>(layer.u.ld.data)->red, 5);
    EXPECT_EQ(layer.u.ld.pixel_format, PF_PixelFormat_ARGB32);
    PF_ParamDef copy = layer;  // a copy of the record checks in just as well
    EXPECT_EQ(host.stats().liveParamCheckouts, 1);
    EXPECT_EQ(i->inter.checkin_param(i->ref, &copy), PF_Err_NONE);
    EXPECT_EQ(i->inter.checkin_param(i->ref, &layer), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.stats().liveParamCheckouts, 0);
    EXPECT_EQ(host.stats().badCalls, 1);
    PF_ParamDef v{};
    EXPECT_EQ(i->inter.checkout_param(i->ref, TM_PARAMS, 0, 100, 2500, &v), PF_Err_INVALID_INDEX);
    EXPECT_EQ(i->inter.checkout_param(i->ref, 1, 0, 100, 0, &v), PF_Err_BAD_CALLBACK_PARAM);
    PF_ProgPtr stranger = reinterpret_cast<PF_ProgPtr>(&v);
    EXPECT_EQ(i->inter.checkout_param(stranger, 1, 0, 100, 2500, &v), PF_Err_BAD_CALLBACK_PARAM);

    set("skip_layer_checkin", 1);
    host.render(0, Depth::Eight);
    EXPECT_EQ(host.stats().liveLayerCheckouts, 1);
}

TEST_F(RunnerHost, HandlesBehaveAndLeaksShow)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    const TmInfo* i = info();
    PF_UtilCallbacks* u = i->utils;
    // Outside a call there is no host to allocate for.
    EXPECT_EQ(u->host_new_handle(8), nullptr);
    PF_Handle g = host.globalData();
    EXPECT_EQ(u->host_get_handle_size(g), 16u);
    void* p = u->host_lock_handle(g);
    EXPECT_EQ(p, *g);
    u->host_unlock_handle(g);
    int bogus = 0;
    void* bogusSlot = &bogus;
    EXPECT_EQ(u->host_lock_handle(&bogusSlot), nullptr);
    u->host_dispose_handle(&bogusSlot);  // ignored, counted
    EXPECT_EQ(host.stats().badCalls, 2);

    set("leak_handle", 1);
    host.render(0, Depth::Eight);
    EXPECT_EQ(host.stats().liveHandles, 3);
    host.close();
    EXPECT_EQ(host.stats().liveHandles, 1);  // the module's leak, freed when the host goes
}

TEST_F(RunnerHost, AllocationFailuresReachTheModule)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    set("alloc_in_render", 5);
    host.failAllocationsAfter(2);
    const std::string e = failure([&] { host.render(1, Depth::Eight); });
    EXPECT_TRUE(contains(e, "module \"Runner Test\" failed PF_Cmd_SMART_RENDER at frame 1: out of memory"))
        << e;
    EXPECT_EQ(host.stats().liveHandles, 2);
    host.failAllocationsAfter(-1);
    EXPECT_NO_THROW(host.render(1, Depth::Eight));
}

TEST_F(RunnerHost, ModuleFailuresBecomeRunnerErrors)
{
    {
        Host host(*module, small());
        host.setFrameSource(std::ref(clip));
        set("fail_cmd", PF_Cmd_SMART_PRE_RENDER);
        set("fail_code", PF_Err_INTERNAL_STRUCT_DAMAGED);
        std::string e = failure([&] { host.render(4, Depth::Sixteen); });
        EXPECT_TRUE(contains(
            e, "module \"Runner Test\" failed PF_Cmd_SMART_PRE_RENDER at frame 4: test module failure"))
            << e;
        set("fail_quiet", 1);
        e = failure([&] { host.render(4, Depth::Sixteen); });
        EXPECT_TRUE(contains(e, "error code 512")) << e;
        set("fail_code", 0);
        EXPECT_EQ(host.sendCommand(PF_Cmd(99), nullptr), PF_Err_NONE);
        EXPECT_EQ(host.commandLog().back(), PF_Cmd(99));

        // A pixel format the module does not know: it answers 516 after giving the layer back.
        host.setReportedPixelFormat(KL_FOURCC('x', 'y', 'z', 'w'));
        e = failure([&] { host.render(0, Depth::Eight); });
        EXPECT_TRUE(contains(e, "error code 516")) << e;
        EXPECT_EQ(last(PF_Cmd_SMART_RENDER).format, KL_FOURCC('x', 'y', 'z', 'w'));
        EXPECT_EQ(host.stats().liveLayerCheckouts, 0);
    }

    // A failed parameter set-up still gets its global set-down.
    sym<TmResetFunc>("tm_reset")();
    set("fail_cmd", PF_Cmd_PARAMS_SETUP);
    set("fail_code", PF_Err_OUT_OF_MEMORY);
    EXPECT_TRUE(
        contains(failure([&] { Host host(*module, small()); }), "PF_Cmd_PARAMS_SETUP: test module failure"));
    EXPECT_EQ(moduleCommands(),
              (std::vector<PF_Cmd>{PF_Cmd_GLOBAL_SETUP, PF_Cmd_PARAMS_SETUP, PF_Cmd_GLOBAL_SETDOWN}));

    sym<TmResetFunc>("tm_reset")();
    set("num_params_off", 1);
    EXPECT_TRUE(contains(failure([&] { Host host(*module, small()); }), "set num_params to 14"));

    // A frame source that gives the wrong picture is named in the error.
    sym<TmResetFunc>("tm_reset")();
    Host host(*module, small());
    TestClip wrong{5, 3, {}};
    host.setFrameSource(std::ref(wrong));
    const std::string e = failure([&] { host.render(0, Depth::Eight); });
    EXPECT_TRUE(contains(e, "frame source gave frame 0 as 5 x 3")) << e;
    EXPECT_EQ(host.stats().liveLayerCheckouts, 0);
    EXPECT_THROW(Host(*module,
                      [] {
                          HostSettings s = small();
                          s.frameCount = 0;
                          return s;
                      }()),
                 RunnerError);
}

TEST_F(RunnerHost, FrameSourceFailuresReachTheCallerUnchanged)
{
    struct SourceBroke {
        int frame;
    };
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        HostSettings s = small();
        s.smartPath = smart;
        Host host(*module, s);
        host.setFrameSource([](int f, Depth) -> const Image& { throw SourceBroke{f}; });
        try {
            host.render(3, Depth::Eight);
            ADD_FAILURE() << "the render went through";
        } catch (const SourceBroke& e) {
            EXPECT_EQ(e.frame, 3);
        }
        // The module was told the checkout failed, and nothing stays checked out.
        EXPECT_EQ(host.stats().liveLayerCheckouts, 0);
        EXPECT_EQ(host.stats().liveParamCheckouts, 0);
        host.setFrameSource(std::ref(clip));
        EXPECT_NO_THROW(host.render(3, Depth::Eight));
    }
}

TEST_F(RunnerHost, AbortCancelsTheRender)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        HostSettings s = small();
        s.smartPath = smart;
        Host host(*module, s);
        host.setFrameSource(std::ref(clip));
        host.requestAbort();
        EXPECT_THROW(host.render(0, Depth::Eight), RenderCancelled);
        // A module that swallows the cancel and ends quietly is still cancelled: its picture is unfinished.
        set("ignore_cancel", 1);
        EXPECT_THROW(host.render(0, Depth::Eight), RenderCancelled);
        set("ignore_cancel", 0);
        if (!smart) {
            EXPECT_EQ(host.commandLog().back(), PF_Cmd_FRAME_SETDOWN);
        }
        host.clearAbort();
        EXPECT_NO_THROW(host.render(0, Depth::Eight));
        EXPECT_EQ(host.stats().liveLayerCheckouts, 0);
    }
}

TEST_F(RunnerHost, SupervisedControlsHearOfChangesAndUpdateTheirUi)
{
    Host host(*module, small());
    host.setFrameSource(std::ref(clip));
    host.clearCommandLog();
    host.setValue(TM_AMOUNT, pv(20));  // not supervised: nothing is sent
    EXPECT_TRUE(host.commandLog().empty());

    host.setKeyframes(TM_EDGE, {{0, pv(255, 10, 20, 30)}, {8, pv(255, 90, 20, 30)}});
    host.setValue(TM_ALPHA, pv(50));
    EXPECT_EQ(host.commandLog(), (std::vector<PF_Cmd>{PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI}));
    EXPECT_EQ(last(PF_Cmd_USER_CHANGED_PARAM).extra_index, TM_ALPHA);
    // The module mirrored the alpha into "Edge" at the change's time: the key there took it.
    EXPECT_EQ(host.valueAt(TM_EDGE, 0), pv(127, 10, 20, 30));
    EXPECT_EQ(host.valueAt(TM_EDGE, 8), pv(255, 90, 20, 30));
    EXPECT_EQ(host.keyframes(TM_EDGE).size(), 2u);

    // "Count" is disabled while "Enable" is off; the disabled flag reaches the next render.
    EXPECT_TRUE(host.controls()[TM_COUNT].disabled());
    host.render(0, Depth::Eight);
    EXPECT_EQ(last(PF_Cmd_SMART_RENDER).ui_flags[TM_COUNT] & PF_PUI_DISABLED, PF_PUI_DISABLED);
    host.setValue(TM_ENABLE, pv(1));
    EXPECT_EQ(host.sendCommand(PF_Cmd_UPDATE_PARAMS_UI, nullptr), PF_Err_NONE);
    EXPECT_FALSE(host.controls()[TM_COUNT].disabled());
    EXPECT_EQ(host.valueAt(TM_COUNT, 0), pv(6));  // PF_UpdateParamUI with the same value changes nothing
}

TEST_F(RunnerHost, SuitesAndPlatformData)
{
    HostSettings s = small();
    s.headless = false;
    Host host(*module, s);
    const TmInfo* i = info();
    EXPECT_EQ(i->headless, 0);
    const void* suite = reinterpret_cast<const void*>(1);
    EXPECT_NE(i->basic->AcquireSuite("PF Nothing Suite", 1, &suite), 0);
    EXPECT_EQ(suite, nullptr);
    EXPECT_NE(i->basic->AcquireSuite(kPFWorldSuite, 1, &suite), 0);  // only version 2 exists
    EXPECT_NE(i->basic->ReleaseSuite("PF Nothing Suite", 1), 0);

    ASSERT_EQ(i->basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &suite), 0);
    auto* worlds = static_cast<const PF_WorldSuite2*>(suite);
    PF_EffectWorld w{};
    ASSERT_EQ(worlds->PF_NewWorld(i->ref, 5, 2, 1, PF_PixelFormat_ARGB64, &w), PF_Err_NONE);
    EXPECT_EQ(w.rowbytes, 40);
    EXPECT_EQ(w.world_flags, PF_WorldFlag_DEEP);
    PF_PixelFormat f = 0;
    worlds->PF_GetPixelFormat(&w, &f);
    EXPECT_EQ(f, PF_PixelFormat_ARGB64);
    EXPECT_EQ(host.stats().liveWorlds, 1);
    EXPECT_EQ(worlds->PF_DisposeWorld(i->ref, &w), PF_Err_NONE);
    EXPECT_EQ(worlds->PF_DisposeWorld(i->ref, &w), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(worlds->PF_NewWorld(i->ref, 5, 2, 1, KL_FOURCC('n', 'o', 'p', 'e'), &w),
              PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.stats().liveWorlds, 0);
    EXPECT_EQ(i->basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2), 0);

    // The stream suite edits the host's keys.
    ASSERT_EQ(i->basic->AcquireSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion1, &suite), 0);
    auto* streams = static_cast<const AEGP_StreamSuite1*>(suite);
    host.setKeyframes(TM_AMOUNT, {{0, pv(10)}, {4, pv(30)}});
    A_long n = 0, t = 0;
    A_u_long scale = 0;
    EXPECT_EQ(streams->SetKey(i->ref, TM_AMOUNT, 200, 2500), PF_Err_NONE);  // frame 2 keeps its value 20
    EXPECT_EQ(streams->GetNumKeys(i->ref, TM_AMOUNT, &n), PF_Err_NONE);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(streams->GetKeyTime(i->ref, TM_AMOUNT, 1, &t, &scale), PF_Err_NONE);
    EXPECT_EQ(t, 200);
    EXPECT_EQ(scale, 2500u);
    EXPECT_EQ(host.valueAt(TM_AMOUNT, 2), pv(20));
    EXPECT_EQ(streams->DeleteKey(i->ref, TM_AMOUNT, 2), PF_Err_NONE);
    EXPECT_EQ(host.valueAt(TM_AMOUNT, 4), pv(20));  // held after the last key
    EXPECT_EQ(streams->GetKeyTime(i->ref, TM_AMOUNT, 5, &t, &scale), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(streams->SetKey(i->ref, TM_FIXED, 0, 2500), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(streams->DeleteAllKeys(i->ref, TM_AMOUNT), PF_Err_NONE);
    EXPECT_TRUE(host.keyframes(TM_AMOUNT).empty());
    i->basic->ReleaseSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion1);

    char buffer[64];
    EXPECT_EQ(i->utils->ansi.sprintf(buffer, "%s %d", "frame", 7), 7);
    EXPECT_STREQ(buffer, "frame 7");
    EXPECT_EQ(i->utils->get_platform_data(i->ref, 99, buffer), PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(RunnerHost, DrawsAControlThroughEvents)
{
    Host host(*module, small());
    host.clearCommandLog();
    const Image canvas = host.drawControl(TM_AMOUNT, 6, 2);
    EXPECT_EQ(canvas.width, 6);
    EXPECT_EQ(canvas.row<PF_Pixel>(1)[5].red, TM_AMOUNT);
    EXPECT_EQ(canvas.row<PF_Pixel>(1)[5].alpha, 255);
    EXPECT_EQ(host.commandLog(), std::vector<PF_Cmd>(3, PF_Cmd_EVENT));
    // Outside an event there is no canvas.
    PF_EffectWorld* none = nullptr;
    EXPECT_EQ(info()->utils->get_drawing_reference(info()->ref, nullptr, &none), PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(RunnerHost, HostsOnOneModuleRenderFromSeveralThreads)
{
    Host a(*module, small()), b(*module, small());
    TestClip clipB{4, 3, {}};
    a.setFrameSource(std::ref(clip));
    b.setFrameSource(std::ref(clipB));
    b.setValue(TM_COUNT, pv(2));
    auto run = [](Host& h, int green, bool& ok) {
        ok = true;
        for (int f = 0; f < 10; ++f) {
            const Image out = h.render(f, f % 2 ? Depth::Sixteen : Depth::Eight);
            const int red = f % 2 ? out.row<PF_Pixel16>(1)[1].red : out.row<PF_Pixel>(1)[1].red;
            const int g = f % 2 ? out.row<PF_Pixel16>(1)[1].green : out.row<PF_Pixel>(1)[1].green;
            ok = ok && red == f + 1 && g == green;
        }
    };
    bool okA = false, okB = false;
    std::thread ta(run, std::ref(a), 6, std::ref(okA)), tb(run, std::ref(b), 2, std::ref(okB));
    ta.join();
    tb.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(a.stats().liveHandles, 2);
    EXPECT_EQ(b.stats().liveHandles, 2);
}
