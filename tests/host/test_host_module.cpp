// The built module as hosts drive it, through the substitute host: what it exports, global and sequence
// data, the command table, pass-through on both render paths at every depth, the pre-render's request,
// the controls' rules, and the failures a host provokes. Calls the substitute host never makes on its own
// (a layer or an output without pixels, a hand-made pre-render) go through sendCommand.
#include "host/klAEGlobals.h"
#include "host/klAERender.h"
#include "host/resources/klResources.h"
#include "tests/e2e/e2eSupport.h"

#include <cstdio>
#include <set>

using namespace E2E;
using Kiln::Runner::RenderCancelled;
using Kiln::Runner::RunnerError;

namespace {

// Internal-failure reports go to a temporary directory while a test runs.
struct ErrorDir {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kl_host_errors_" + std::to_string(getpid()));
    ErrorDir() { setenv("KILN_ERROR_DIR", dir.c_str(), 1); }
    ~ErrorDir()
    {
        unsetenv("KILN_ERROR_DIR");
        std::filesystem::remove_all(dir);
    }
};

std::string failureOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const RenderCancelled&) {
        return "cancelled";
    } catch (const RunnerError& e) {
        return e.what();
    }
    return "";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A host world over an image, for calls made by hand.
PF_EffectWorld worldOf(Image& img)
{
    PF_EffectWorld w{};
    w.data = img.pixels.data();
    w.width = img.width;
    w.height = img.height;
    w.rowbytes = A_long(img.rowBytes);
    w.world_flags = img.depth == Depth::Sixteen ? PF_WorldFlag_DEEP : 0;
    w.pixel_format = Kiln::Runner::pixelFormatOf(img.depth);
    w.extent_hint = {0, 0, img.width, img.height};
    w.pix_aspect_ratio = {1, 1};
    return w;
}

using Rect = std::array<A_long, 4>;
Rect rect(const PF_LRect& r) { return {r.left, r.top, r.right, r.bottom}; }

}  // namespace

TEST(HostModule, ExportsTheEntryTheRegistrationAndTheScriptNames)
{
    FILE* pipe = popen(("nm -D --defined-only " + builtModule().path() + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        names.insert(s.substr(s.rfind(' ') + 1));
    }
    if (pclose(pipe) != 0 && names.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(names, (std::set<std::string>{"main", "kiln_registration", "kiln_param_script_names",
                                            "kiln_param_descriptions"}));

    const KlRegistration& r = builtModule().registration();
    EXPECT_STREQ(r.name, "Q_Watchcam (2.1)");
    EXPECT_STREQ(r.category, "Halcyon 4");
    EXPECT_STREQ(r.match_name, "Q_Watchcam 1086");
    EXPECT_EQ(r.effect_version, 0x00108605u);
    EXPECT_EQ(r.out_flags, 0x02008053);  // the shipped string 2 keeps PF_OutFlag_I_AM_OBSOLETE clear
    EXPECT_EQ(r.out_flags2, 0x00001400);
    const std::vector<std::string>& script = builtModule().scriptNames();
    ASSERT_EQ(script.size(), 44u);
    EXPECT_EQ(script[1], "");  // About
    EXPECT_EQ(script[5], "contrast");
    EXPECT_EQ(script[42], "SourceTop");

    // Global set-up says the same as the registration.
    Host host(builtModule(), layer(4, 3));
    EXPECT_EQ(host.outFlags(), r.out_flags);
    EXPECT_EQ(host.outFlags2(), r.out_flags2);
    EXPECT_EQ(host.moduleVersion(), r.effect_version);
}

TEST(HostModule, GlobalAndSequenceDataThroughFlattenAndFailures)
{
    Host host(builtModule(), layer(4, 3));
    const std::vector<uint8_t> live(sizeof(Kiln::AfterEffects::SequenceData), 0), flat{1, 0, 0, 0};
    EXPECT_EQ(host.sequenceBytes(), live);
    for (int cycle = 0; cycle < 2; ++cycle) {
        host.flatten();
        EXPECT_EQ(host.sequenceBytes(), flat);
        host.flatten();  // a flat block stays as it is
        EXPECT_EQ(host.sequenceBytes(), flat);
        host.resetup();
        EXPECT_EQ(host.sequenceBytes(), live);
    }
    EXPECT_EQ(host.stats().liveHandles, 2);

    // Without memory a flat block stays flat; a live block's re-set-up is a new set-up, which fails.
    host.flatten();
    host.failAllocationsAfter(0);
    EXPECT_NE(failureOf([&] { host.resetup(); }), "");
    EXPECT_EQ(host.sequenceBytes(), flat);
    host.failAllocationsAfter(-1);
    host.resetup();
    host.failAllocationsAfter(0);
    EXPECT_TRUE(contains(failureOf([&] { host.resetup(); }), "Failed to set up sequence data"));
    EXPECT_EQ(host.sequenceData(), nullptr);
    // Flatten and set-down of nothing do nothing; global set-up without memory keeps nothing.
    EXPECT_EQ(host.sendCommand(PF_Cmd_SEQUENCE_FLATTEN, nullptr), PF_Err_NONE);
    EXPECT_EQ(host.sendCommand(PF_Cmd_SEQUENCE_SETDOWN, nullptr), PF_Err_NONE);
    EXPECT_EQ(host.sendCommand(PF_Cmd_GLOBAL_SETDOWN, nullptr), PF_Err_NONE);
    EXPECT_EQ(host.sendCommand(PF_Cmd_GLOBAL_SETUP, nullptr), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(host.globalData(), nullptr);
    EXPECT_EQ(host.stats().liveHandles, 0);
    host.failAllocationsAfter(-1);
    EXPECT_EQ(host.sendCommand(PF_Cmd_GLOBAL_SETUP, nullptr), PF_Err_NONE);
    host.close();
    EXPECT_EQ(host.stats().liveHandles, 0);
    EXPECT_EQ(host.stats().badCalls, 0);
}

TEST(HostModule, UnlistedCommandsDoNothing)
{
    Host host(builtModule(), layer(8, 4));
    Image out = Image::make(8, 4, Depth::Eight);
    std::fill(out.pixels.begin(), out.pixels.end(), 0x11);
    PF_EffectWorld world = worldOf(out);
    const auto before = host.stats();
    for (int cmd : {2, 9, 10, 12, 16, 17, 18, 19, 20, 21, 22, 25, 26, 100, 1 << 20, 0x7FFFFFFF}) {
        int marker = 0;
        EXPECT_EQ(host.sendCommand(PF_Cmd(cmd), &marker, 0, &world), PF_Err_NONE) << "command " << cmd;
        EXPECT_EQ(marker, 0);
    }
    EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(), [](uint8_t b) { return b == 0x11; }));
    EXPECT_EQ(host.stats().handlesAllocated, before.handlesAllocated);
}

TEST(HostModule, NeutralLookPassesTheSourceThrough)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(37, 23, 1, c.smart), pattern());
        rig.neutral();
        // 12.6 is the first version whose deep legacy worlds are 16 bits.
        if (!c.smart) rig.host().setSpecVersion(12, 6);
        for (A_long appl : {Kiln::Runner::kRunnerApplId, A_long(KL_APPL_ID_HOST)}) {
            rig.host().setApplId(appl);
            const Image out = rig.render(0, c.depth), &in = rig.source(0, c.depth);
            if (c.depth != Depth::Float) {
                EXPECT_TRUE(samePixels(out, in));
                continue;
            }
            // Float colours go through the tone tables: within 2e-5; alpha exactly.
            for (int y = 0; y < 23; ++y)
                for (int x = 0; x < 37; ++x)
                    for (int k = 0; k < 4; ++k)
                        ASSERT_NEAR(getPixel(out, x, y)[k], getPixel(in, x, y)[k], k ? 2e-5 : 0.0)
                            << x << "," << y;
        }
        const auto s = rig.host().stats();
        EXPECT_EQ(s.liveHandles, 2);
        EXPECT_EQ(s.liveLayerCheckouts + s.liveParamCheckouts, 0);
        EXPECT_EQ(s.suiteAcquires, s.suiteReleases);
    }
}

namespace {

// A smart render made by hand: the module checks out the test's layer and output worlds.
struct HandRender {
    static inline PF_EffectWorld* layer = nullptr;
    static inline PF_EffectWorld* output = nullptr;
    static inline int checkedOut = 0;
    static PF_Err checkoutLayer(PF_ProgPtr, A_long, PF_EffectWorld** w)
    {
        ++checkedOut;
        *w = layer;
        return PF_Err_NONE;
    }
    static PF_Err checkinLayer(PF_ProgPtr, A_long)
    {
        --checkedOut;
        return PF_Err_NONE;
    }
    static PF_Err checkoutOutput(PF_ProgPtr, PF_EffectWorld** w)
    {
        *w = output;
        return PF_Err_NONE;
    }
    static A_long send(Host& host, PF_EffectWorld* l, PF_EffectWorld* o)
    {
        layer = l;
        output = o;
        PF_SmartRenderCallbacks cb{&checkoutLayer, &checkinLayer, &checkoutOutput};
        PF_SmartRenderInput in{};
        in.output_request.rect = {0, 0, l->width, l->height};
        in.bitdepth = 8;
        PF_SmartRenderExtra extra{&in, &cb};
        const A_long r = host.sendCommand(PF_Cmd_SMART_RENDER, &extra);
        EXPECT_EQ(checkedOut, 0);
        return r;
    }
};

}  // namespace

TEST(HostModule, WorldsWithoutPixels)
{
    ErrorDir errors;
    Rig rig(layer(6, 4), pattern());
    Host& host = rig.host();
    Image out = Image::make(6, 4, Depth::Eight), in = Image::make(6, 4, Depth::Eight);
    std::fill(out.pixels.begin(), out.pixels.end(), 0xCD);
    PF_EffectWorld output = worldOf(out), source = worldOf(in);
    source.data = nullptr;
    // The picture needs its source: a failed fetch of a clip that is not optional, the output left alone.
    EXPECT_EQ(HandRender::send(host, &source, &output), Kiln::AfterEffects::kHeadlessFailure);
    EXPECT_TRUE(contains(host.lastMessage(), "image from clip: \"Source\"")) << host.lastMessage();
    EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(), [](uint8_t b) { return b == 0xCD; }));
    // When the host has asked to stop, the same failure ends the render quietly.
    host.requestAbort();
    EXPECT_EQ(HandRender::send(host, &source, &output), PF_Err_NONE);
    EXPECT_EQ(host.lastMessage(), "");
    host.clearAbort();
    // A blank frame fetches nothing: black, opaque (the edge colour of a source without pixels).
    rig.set("whiteDot", 100);
    ASSERT_EQ(HandRender::send(host, &source, &output), PF_Err_NONE) << host.lastMessage();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) ASSERT_EQ(getPixel(out, x, y), (Px{255, 0, 0, 0})) << x << "," << y;
    // An output without pixels, or none at all: out of memory.
    output.data = nullptr;
    EXPECT_EQ(HandRender::send(host, &source, &output), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(host.lastMessage(), "Q_Watchcam out of memory.");
    EXPECT_EQ(host.sendCommand(PF_Cmd_RENDER, nullptr, 0, nullptr), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(host.stats().liveParamCheckouts, 0);
    EXPECT_EQ(host.stats().liveHandles, 2);
}

TEST(HostModule, APixelFormatOfNoDepthIsRefused)
{
    Rig rig(layer(9, 7), pattern());
    for (PF_PixelFormat bad : {PF_PixelFormat(PF_PixelFormat_INVALID), KL_FOURCC('x', 'y', 'z', 'w'),
                               KL_FOURCC('2', '3', 'e', 'a')}) {
        rig.host().setReportedPixelFormat(bad);
        EXPECT_TRUE(contains(failureOf([&] { rig.render(0, Depth::Eight); }), "error code 516"));
        const auto s = rig.host().stats();
        EXPECT_EQ(s.liveLayerCheckouts, 0);
        EXPECT_EQ(s.suiteAcquires, s.suiteReleases);
    }
}

TEST(HostModule, CancelAndOutOfMemoryGiveEverythingBack)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        Rig rig(layer(64, 48, 1, smart), pattern());
        rig.host().requestAbort();
        EXPECT_EQ(failureOf([&] { rig.render(0, Depth::Sixteen); }), "cancelled");
        rig.host().clearAbort();
        for (Depth d : {Depth::Eight, Depth::Sixteen}) {
            rig.host().failAllocationsAfter(0);
            EXPECT_TRUE(contains(failureOf([&] { rig.render(0, d); }), "Q_Watchcam out of memory."));
            rig.host().failAllocationsAfter(-1);
        }
        const auto stats = rig.host().stats();
        EXPECT_EQ(stats.liveParamCheckouts + stats.liveLayerCheckouts + stats.badCalls, 0);
        EXPECT_EQ(stats.liveHandles, 2);
        EXPECT_NO_THROW(rig.render(0, Depth::Eight));
    }
}

TEST(HostModule, AnInternalFailureFailsTheFrameOnlyWithoutAUserInterface)
{
    ErrorDir errors;
    for (bool headless : {true, false}) {
        SCOPED_TRACE(headless ? "headless" : "with a user interface");
        // The module asks once whether the host has a user interface: a copy of its own for each answer.
        std::unique_ptr<Module> copy = loadCopy(headless ? "headless" : "ui");
        HostSettings s = layer(16, 6, 1, false);
        s.headless = headless;
        Rig rig(s, pattern(), *copy);
        // 13.0 is below 12.6 in its minor half: the deep frame is read as 8 bits, which it is not.
        rig.host().setSpecVersion(13, 0);
        testing::internal::CaptureStderr();
        const std::string failure = failureOf([&] { rig.render(0, Depth::Sixteen); });
        const std::string err = testing::internal::GetCapturedStderr();
        if (headless) {
            EXPECT_TRUE(contains(failure, "Q_Watchcam failed.")) << failure;
            EXPECT_TRUE(contains(failure, "texture wrong template")) << failure;
        } else {
            // The frame as far as it was written stands; the report is shown and printed.
            EXPECT_EQ(failure, "");
            EXPECT_EQ(err.rfind("Kiln Internal Error\nQ_Watchcam failed.\n\n", 0), 0u) << err;
        }
        EXPECT_TRUE(std::filesystem::exists(errors.dir / "AfterEffects" / "Q_Watchcam.log"));
        EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0);
        rig.host().setSpecVersion(12, 6);
        EXPECT_NO_THROW(rig.render(0, Depth::Sixteen));
    }
}

TEST(HostModule, OneThreadAndEveryThreadRenderTheSameFrame)
{
    // The busiest look: the default with quantise, shash and the white dot; then shash type 1 alone.
    auto busy = [](Rig& rig) {
        rig.set("quantise", 1).set("shashMax", 50).set("shashType", 2).set("whiteDot", 30);
    };
    std::vector<Image> many;
    for (Depth d : {Depth::Eight, Depth::Sixteen, Depth::Float}) {
        Rig rig(layer(61, 47, 4), pattern());
        busy(rig);
        many.push_back(rig.render(3, d));
        rig.set("whiteDot", 0).set("shashType", 1);
        many.push_back(rig.render(3, d));
    }
    // The processor limit is read once per loaded copy.
    setenv("KILN_MAX_PROCESSORS", "1", 1);
    std::unique_ptr<Module> single = loadCopy("one_thread");
    unsetenv("KILN_MAX_PROCESSORS");
    size_t k = 0;
    for (Depth d : {Depth::Eight, Depth::Sixteen, Depth::Float}) {
        SCOPED_TRACE(name(d));
        Rig rig(layer(61, 47, 4), pattern(), *single);
        busy(rig);
        EXPECT_TRUE(samePixels(rig.render(3, d), many[k++])) << "white dot and shash type 2";
        rig.set("whiteDot", 0).set("shashType", 1);
        EXPECT_TRUE(samePixels(rig.render(3, d), many[k++])) << "shash type 1";
    }
}

TEST(HostModule, ReusedMemoryCarriesNothingFromOneFrameIntoAnother)
{
    // Every channel varies, alpha included, and every frame differs.
    const Painter varied = [](Image& img, int f) {
        const double M = channelMax(img.depth);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                Px v{255.0 - (x + f) % 40, 0, 0, 0};
                for (int c = 1; c < 4; ++c) v[c] = (x * (3 + c) + y * (5 + 2 * c) + f * 61) % 256;
                for (double& k : v)
                    k = img.depth == Depth::Float ? k / 255.0 : double(int64_t(k * M / 255.0));
                setPixel(img, x, y, v);
            }
    };
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        HostSettings s = layer(160, 120, 10, c.smart), fresh = s;
        fresh.keptMemory = 0;
        Rig reusing(s, varied), plain(fresh, varied);
        // Mix makes the finish read the source too; Frame Rate 5 shows frames 0 and 5 at 2 and 7.
        for (Rig* r : {&reusing, &plain})
            r->set("blur", 5).set("quantise", 1).set("shashMax", 30).set("blendMethod", 2);

        reusing.host().recycle(reusing.render(2, c.depth));
        const Image b = reusing.render(7, c.depth), again = reusing.render(2, c.depth);
        EXPECT_TRUE(samePixels(again, plain.render(2, c.depth)));
        EXPECT_TRUE(samePixels(b, plain.render(7, c.depth)));
        EXPECT_GT(reusing.host().stats().keptBytes, 0);
        EXPECT_EQ(plain.host().stats().keptBytes, 0);

        // Failure injection fails the render although kept memory would serve it; then all is as before.
        reusing.host().failAllocationsAfter(0);
        EXPECT_THROW(reusing.render(2, c.depth), RunnerError);
        reusing.host().failAllocationsAfter(-1);
        EXPECT_TRUE(samePixels(reusing.render(2, c.depth), again));

        const auto st = reusing.host().stats();
        EXPECT_EQ(st.liveHandles, 3);  // global and sequence data, and the held frame's picture
        EXPECT_EQ(st.liveLayerCheckouts + st.liveParamCheckouts + st.liveWorlds, 0);
        EXPECT_LE(st.keptBytes, long(s.keptMemory));
        // The layer is lent in place: the effect never wrote into the source's frames.
        for (int f : {0, 5}) {
            Image painted = Image::make(160, 120, c.depth);
            varied(painted, f);
            EXPECT_TRUE(samePixels(reusing.source(f, c.depth), painted)) << f;
        }
    }
}

namespace {

// A host's layer checkout during a pre-render: the request clipped to the 200 x 100 layer.
PF_RenderRequest gRequest;
int gCheckouts = 0;
PF_Err checkoutLayer(PF_ProgPtr, PF_ParamIndex, A_long, const PF_RenderRequest* request, A_long, A_long,
                     A_u_long, PF_CheckoutResult* result)
{
    ++gCheckouts;
    gRequest = *request;
    *result = PF_CheckoutResult{};
    result->result_rect = {std::max(request->rect.left, 0), std::max(request->rect.top, 0),
                           std::min(request->rect.right, 200), std::min(request->rect.bottom, 100)};
    result->max_result_rect = {0, 0, 200, 100};
    return PF_Err_NONE;
}

struct PreRender {
    PF_PreRenderInput in{};
    PF_PreRenderOutput out{};
    PF_PreRenderCallbacks cb{nullptr};
    PF_PreRenderExtra extra{&in, &out, &cb};
    explicit PreRender(PF_LRect asked)
    {
        in.output_request.rect = asked;
        cb.checkout_layer = &checkoutLayer;
    }
    A_long send(Host& host)
    {
        gCheckouts = 0;
        const A_long r = host.sendCommand(PF_Cmd_SMART_PRE_RENDER, &extra);
        EXPECT_EQ(gCheckouts, 1);
        return r;
    }
};

// The source rectangle a pre-render of `asked` checks out.
Rect needed(Rig& rig, PF_LRect asked)
{
    PreRender pre(asked);
    EXPECT_EQ(pre.send(rig.host()), PF_Err_NONE) << rig.host().lastMessage();
    return rect(gRequest.rect);
}

}  // namespace

TEST(HostModule, PreRenderAsksForWhatTheBlurAndLensRead)
{
    Rig rig(layer(200, 100), pattern());
    rig.neutral();
    const PF_LRect asked{50, 40, 60, 50};
    EXPECT_EQ(needed(rig, asked), (Rect{50, 40, 60, 50})) << "nothing reads beyond its own pixel";
    // Blur 3: three passes of radius 1, each reading 2 pixels beyond.
    rig.set("blur", 3);
    EXPECT_EQ(needed(rig, asked), (Rect{44, 34, 66, 56}));
    // The lens (radius 20 around (100, 50)) reads inside its box, one more pixel for the bilinear read.
    rig.set("blur", 0).set("lensEffect", 1).set("lensRadius", 20).set("lensStrength", 40);
    EXPECT_EQ(needed(rig, asked), (Rect{50, 29, 121, 71}));
    // A strong pinch (k = e^5) reads k / (2 sqrt(k - 1)) = 6.1 radii out: the whole layer here.
    rig.set("lensStrength", -500);
    EXPECT_EQ(needed(rig, asked), (Rect{0, 0, 200, 100}));
    // Wrapping rows at the top edge bring in the bottom; repeated ones do not.
    rig.set("lensEffect", 0).set("blur", 3);
    EXPECT_EQ(needed(rig, PF_LRect{50, 0, 60, 10}), (Rect{44, 0, 66, 100}));
    rig.set("SourceYMethod", 2);
    EXPECT_EQ(needed(rig, PF_LRect{50, 0, 60, 10}), (Rect{44, 0, 66, 16}));
    // A crop window, the white dot or the quantiser's bounds and averages can read anywhere.
    for (const char* control : {"SourceLeft", "whiteDot", "quantise"}) {
        rig.set(control, control[0] == 'q' ? 1 : 10);
        EXPECT_EQ(needed(rig, asked), (Rect{0, 0, 200, 100})) << control;
        rig.set(control, 0);
    }
    EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0);
}

TEST(HostModule, PreRenderAnswersInTheHostsRecords)
{
    Rig rig(layer(200, 100), pattern());
    rig.neutral();
    PreRender pre(PF_LRect{150, 60, 260, 140});
    pre.in.output_request.channel_mask = 0xE;
    pre.in.output_request.preserve_rgb_of_zero_alpha = 1;
    pre.out.result_rect = {7, 7, 7, 9};  // empty: replaced
    pre.out.max_result_rect = {-4, -3, 2, 1};
    pre.out.solid = 1;
    ASSERT_EQ(pre.send(rig.host()), PF_Err_NONE);
    EXPECT_EQ(gRequest.channel_mask, 0xE);  // the source is asked for the request as it came
    EXPECT_EQ(pre.in.output_request.channel_mask, 0xF);  // the preserve flag sets bit 0
    EXPECT_EQ(rect(pre.out.result_rect), (Rect{150, 60, 200, 100}));  // as far as the source reaches
    EXPECT_EQ(rect(pre.out.max_result_rect), (Rect{-4, -3, 200, 100}));  // the union with the earlier one
    EXPECT_FALSE(pre.out.solid);
    EXPECT_EQ(pre.out.flags & PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS, 0);

    // A request outside the layer adds nothing to a result; without the flag the mask stays.
    PreRender outside(PF_LRect{300, 200, 320, 220});
    outside.in.output_request.channel_mask = 0xE;
    outside.out.result_rect = {1, 2, 3, 4};
    ASSERT_EQ(outside.send(rig.host()), PF_Err_NONE);
    EXPECT_EQ(rect(outside.out.result_rect), (Rect{1, 2, 3, 4}));
    EXPECT_EQ(outside.in.output_request.channel_mask, 0xE);
    EXPECT_EQ(rig.host().sendCommand(PF_Cmd_SMART_PRE_RENDER, nullptr), PF_Err_BAD_CALLBACK_PARAM);
}

TEST(HostModule, DependentControlsFollowTheirChoices)
{
    const char* const dependent[] = {"blendMix",   "blendEffect",    "blendSrc",    "SourceEdgeColourAlpha",
                                     "tintColour", "quantiseLevels", "shashPeriod", "clampBlendAtFloat"};
    struct Setting {
        std::vector<std::pair<const char*, double>> values;
        std::set<std::string> enabled;
    };
    const Setting settings[] = {
        // Method None, Process RGB, TV Type B and W, Quantise off, Shash Type Random.
        {{}, {"shashPeriod"}},
        {{{"blendMethod", 2}, {"postAlphaYesNoNo", 2}, {"TVType", 3}, {"quantise", 1}, {"shashType", 5}},
         {"blendMix", "blendEffect", "blendSrc", "SourceEdgeColourAlpha", "tintColour", "quantiseLevels"}},
    };
    for (bool byRender : {false, true}) {
        for (const Setting& s : settings) {
            Rig rig(layer(4, 3, 1, !byRender), pattern());
            for (const auto& [control, value] : s.values) rig.set(control, value);
            // The native host asks after a change; any other host is answered before each legacy render.
            if (byRender)
                rig.render(0, Depth::Eight);
            else
                ASSERT_EQ(rig.host().sendCommand(PF_Cmd_UPDATE_PARAMS_UI, nullptr), PF_Err_NONE);
            for (const char* d : dependent)
                EXPECT_EQ(rig.host().controls()[size_t(rig.control(d))].disabled(), !s.enabled.count(d))
                    << d << (byRender ? " after a render" : " after an update");
        }
    }
}

TEST(HostModule, EdgeColourAlphaAndItsSliderFollowEachOther)
{
    Rig rig(layer(4, 3), pattern());
    const int colour = rig.control("SourceEdgeColour"), alpha = rig.control("SourceEdgeColourAlpha");
    rig.set("SourceEdgeColourAlpha", 50);  // 50 % of 255 is 127.5: 127
    EXPECT_EQ(rig.host().valueAt(colour, 0), (ParamValue{{127, 0, 0, 0}}));
    rig.setColour("SourceEdgeColour", 51, 10, 20, 30);  // 51 / 255 is 20 %
    EXPECT_EQ(rig.host().valueAt(alpha, 0), (ParamValue{{20, 0, 0, 0}}));
    EXPECT_EQ(rig.host().valueAt(colour, 0), (ParamValue{{51, 10, 20, 30}}));
}

TEST(HostModule, TheAboutControlShowsTheTitleCentred)
{
    Host host(builtModule(), layer(4, 3));
    EXPECT_EQ(host.controls()[1].label, "About");
    const KlBitmap* title = klFindBitmap("IDB_TITLE");
    ASSERT_NE(title, nullptr);
    // A 400 x 80 frame: the 300 x 50 title at (50, 15).
    const Image canvas = host.drawControl(1, 400, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 400; ++x) {
            const uint8_t* p = canvas.row<uint8_t>(y) + 4 * x;
            const bool inside = x >= 50 && x < 350 && y >= 15 && y < 65;
            const uint8_t* want =
                inside ? title->pixels + (y - 15) * title->rowBytes + (x - 50) * 4 : nullptr;
            ASSERT_TRUE(inside ? std::memcmp(p, want, 4) == 0 : (p[0] | p[1] | p[2] | p[3]) == 0)
                << x << "," << y;
        }
    // Other controls are not the module's to draw.
    const Image other = host.drawControl(2, 40, 8);
    EXPECT_TRUE(std::all_of(other.pixels.begin(), other.pixels.end(), [](uint8_t b) { return b == 0; }));
}
