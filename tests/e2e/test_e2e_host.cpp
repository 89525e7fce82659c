// The module as a host sees it: the same frame whatever the thread count, the region the pre-render
// asks for, and failures (cancel, memory, an internal error on a host without a user interface).
#include "tests/e2e/e2eSupport.h"

#include <cstdlib>

using namespace E2E;

namespace {

// A temporary error-log directory for the module's internal-failure reports.
struct ErrorDir {
    std::filesystem::path dir;
    explicit ErrorDir(const std::string& tag)
        : dir(std::filesystem::temp_directory_path() / ("kl_e2e_errors_" + std::to_string(getpid()) + tag)) {
        setenv("KILN_ERROR_DIR", dir.c_str(), 1);
    }
    ~ErrorDir() {
        unsetenv("KILN_ERROR_DIR");
        std::filesystem::remove_all(dir);
    }
};

// The busiest look: the default with quantise and shash on too.
void busy(Rig& rig) { rig.set("quantise", 1).set("shashMax", 50).set("shashType", 2).set("whiteDot", 30); }

}  // namespace

TEST(EndToEndHost, OneThreadAndEveryThreadRenderTheSameFrame) {
    // The built module with every processor first (the limit is read once per loaded copy).
    std::vector<Image> many;
    for (Depth d : {Depth::Eight, Depth::Sixteen, Depth::Float}) {
        Rig rig(layer(61, 47, 4, true), pattern());
        busy(rig);
        many.push_back(rig.render(3, d));
        rig.set("whiteDot", 0).set("shashType", 1);
        many.push_back(rig.render(3, d));
    }
    setenv("KILN_MAX_PROCESSORS", "1", 1);
    std::unique_ptr<Module> single = loadCopy("one_thread");
    size_t k = 0;
    for (Depth d : {Depth::Eight, Depth::Sixteen, Depth::Float}) {
        SCOPED_TRACE(name(d));
        Rig rig(layer(61, 47, 4, true), pattern(), *single);
        busy(rig);
        EXPECT_TRUE(samePixels(rig.render(3, d), many[k++])) << "white dot and shash type 2";
        rig.set("whiteDot", 0).set("shashType", 1);
        EXPECT_TRUE(samePixels(rig.render(3, d), many[k++])) << "shash type 1";
    }
    unsetenv("KILN_MAX_PROCESSORS");
}

namespace {

PF_RenderRequest gLastRequest;
int gCheckouts = 0;

PF_Err recordCheckout(PF_ProgPtr, PF_ParamIndex, A_long, const PF_RenderRequest* request, A_long, A_long, A_u_long,
                      PF_CheckoutResult* result) {
    ++gCheckouts;
    gLastRequest = *request;
    *result = PF_CheckoutResult{};
    result->result_rect = request->rect;
    result->max_result_rect = request->rect;
    return PF_Err_NONE;
}

// The source rectangle a pre-render of `asked` checks out: left, top, right, bottom.
std::array<A_long, 4> needed(Rig& rig, PF_LRect asked) {
    PF_PreRenderInput in{};
    in.output_request.rect = asked;
    PF_PreRenderOutput out{};
    PF_PreRenderCallbacks cb{};
    cb.checkout_layer = &recordCheckout;
    PF_PreRenderExtra extra{&in, &out, &cb};
    gCheckouts = 0;
    const A_long r = rig.host().sendCommand(PF_Cmd_SMART_PRE_RENDER, &extra, 0);
    EXPECT_EQ(r, PF_Err_NONE) << rig.host().lastMessage();
    EXPECT_EQ(gCheckouts, 1);
    // What the effect produces is what was asked, as far as the source reaches.
    EXPECT_EQ(out.result_rect.left, std::max(asked.left, gLastRequest.rect.left));
    const PF_LRect& g = gLastRequest.rect;
    return {g.left, g.top, g.right, g.bottom};
}

}  // namespace

TEST(EndToEndHost, PreRenderAsksForWhatTheBlurAndLensRead) {
    Rig rig(layer(200, 100, 1, true), pattern());
    rig.neutral();
    const PF_LRect asked{50, 40, 60, 50};
    using R = std::array<A_long, 4>;
    EXPECT_EQ(needed(rig, asked), (R{50, 40, 60, 50})) << "nothing reads beyond its own pixel";
    // Blur 3: three passes of radius 1, each reading 2 pixels beyond.
    rig.set("blur", 3);
    EXPECT_EQ(needed(rig, asked), (R{44, 34, 66, 56}));
    // The lens (radius 20 around (100, 50)) reads inside its box, one more pixel for the bilinear read.
    rig.set("blur", 0).set("lensEffect", 1).set("lensRadius", 20).set("lensStrength", 40);
    EXPECT_EQ(needed(rig, asked), (R{50, 29, 121, 71}));
    // A strong pinch (k = e^5) reads k / (2 sqrt(k - 1)) = 6.1 radii out: the whole layer here.
    rig.set("lensStrength", -500);
    EXPECT_EQ(needed(rig, asked), (R{0, 0, 200, 100}));
    // Wrapping rows at the top edge bring in the bottom; repeated ones do not.
    rig.set("lensEffect", 0).set("blur", 3);
    EXPECT_EQ(needed(rig, PF_LRect{50, 0, 60, 10}), (R{44, 0, 66, 100}));
    rig.set("SourceYMethod", 2);
    EXPECT_EQ(needed(rig, PF_LRect{50, 0, 60, 10}), (R{44, 0, 66, 16}));
    // A crop window, the white dot or the quantiser's bounds and averages can read anywhere.
    rig.set("SourceLeft", 10);
    EXPECT_EQ(needed(rig, asked), (R{0, 0, 200, 100}));
    rig.set("SourceLeft", 0).set("whiteDot", 50);
    EXPECT_EQ(needed(rig, asked), (R{0, 0, 200, 100}));
    rig.set("whiteDot", 0).set("quantise", 1);
    EXPECT_EQ(needed(rig, asked), (R{0, 0, 200, 100}));
    EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0);
}

TEST(EndToEndHost, CancelAndOutOfMemoryGiveEverythingBack) {
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        Rig rig(layer(64, 48, 1, smart), pattern());
        rig.host().requestAbort();
        EXPECT_THROW(rig.render(0, Depth::Sixteen), Kiln::Runner::RenderCancelled);
        rig.host().clearAbort();
        rig.host().failAllocationsAfter(0);
        try {
            rig.render(0, Depth::Eight);
            ADD_FAILURE() << "the render had no memory";
        } catch (const Kiln::Runner::RunnerError& e) {
            EXPECT_NE(std::string(e.what()).find("Q_Watchcam out of memory."), std::string::npos) << e.what();
        }
        rig.host().failAllocationsAfter(-1);
        const auto stats = rig.host().stats();
        EXPECT_EQ(stats.liveParamCheckouts, 0);
        EXPECT_EQ(stats.liveLayerCheckouts, 0);
        EXPECT_EQ(stats.badCalls, 0);
        // And the next frame renders.
        EXPECT_NO_THROW(rig.render(0, Depth::Eight));
    }
}

TEST(EndToEndHost, AnInternalFailureWithoutUserInterfaceFailsTheFrame) {
    ErrorDir errors("headless");
    // A host that reports 16-bit worlds for an 8-bit legacy render: the source cannot be read as 8 bits.
    Rig rig(layer(16, 8, 1, false), pattern());
    rig.host().setReportedPixelFormat(PF_PixelFormat_ARGB64);
    try {
        rig.render(0, Depth::Eight);
        ADD_FAILURE() << "the render went through";
    } catch (const Kiln::Runner::RenderCancelled&) {
        ADD_FAILURE() << "not a cancel";
    } catch (const Kiln::Runner::RunnerError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("Q_Watchcam failed."), std::string::npos) << what;
        EXPECT_NE(what.find("texture wrong template"), std::string::npos) << what;
    }
    EXPECT_TRUE(std::filesystem::exists(errors.dir / "AfterEffects" / "Q_Watchcam.log"));
    EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0);
    rig.host().setReportedPixelFormat(0);
    EXPECT_NO_THROW(rig.render(0, Depth::Eight));
}
