// The adapter's clips: the current frame without host calls, other frames through balanced
// checkouts, the clip's crop parameters, pixel formats, failures and the output world.
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "host/klAEWrapperHost.h"
#include "tests/host/adapterFakeHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

using AdapterTest::FakeHost;
using AdapterTest::LayerWorld;
using Kiln::AfterEffects::Wrapper::Clip;
using Kiln::AfterEffects::Wrapper::Host;
using Kiln::AfterEffects::Wrapper::RenderWorlds;
namespace Ex = Kiln::Exceptions;

// A render's adapter with the effect's mapping.
struct Render {
    FakeHost fake;
    std::unique_ptr<LayerWorld> output;
    std::optional<Host> host;
    explicit Render(int depth = 8) : fake(depth), output(LayerWorld::make(4, 3, depth, 0)) {
        Kiln::Errors::Initialise();
        RenderWorlds worlds;
        worlds.output = &output->world;
        host.emplace(&fake.in, &fake.out, fake.array(), worlds);
        Kiln::Watchcam::registerMappings(*host);
    }
    Clip& source() { return host->getClip("Source"); }
};

template <class E, class F>
void expectRaise(F&& f, const char* function, const char* file, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "nothing raised, expected " << text;
    } catch (const E& e) {
        EXPECT_STREQ(e.record().function, function);
        EXPECT_NE(std::string(e.record().file).find(file), std::string::npos) << e.record().file;
        EXPECT_NE(e.message().find(text), std::string::npos) << e.message();
    } catch (const Ex::ExceptionI& e) {
        ADD_FAILURE() << "raised " << e.name() << ": " << e.message();
    }
}

constexpr const char* kFetch = "Kiln::AfterEffects::Wrapper::Clip::fetchImageRaw";
constexpr const char* kClipFile = "klAEWrapperClip.cpp";

TEST(AdapterClip, CurrentFrameIsViewedWithoutHostCalls) {
    Render r;
    const int suites = r.fake.acquired;
    KlTexture<Kiln::PixARGB8> texture;
    ASSERT_TRUE(r.source().fetchImageRaw(5, texture));
    EXPECT_EQ(texture.data(), r.fake.layer->world.data);
    EXPECT_EQ(texture.width(), 4);
    EXPECT_EQ(texture.rowBytes(), r.fake.layer->world.rowbytes);
    EXPECT_EQ(r.fake.checkoutLog.size(), 0u);
    EXPECT_EQ(r.fake.acquired, suites);
    // The texture type must be the frame's.
    KlTexture<Kiln::PixARGB16> deep;
    expectRaise<Ex::Wrapper::FetchImageFailed>([&] { r.source().fetchImageRaw(5, deep); }, kFetch, kClipFile,
                                               "texture wrong template");
    EXPECT_TRUE(deep.isNull());
    EXPECT_EQ(r.source().getRegionOfDefinition(5), (std::array<double, 4>{0, 4, 0, 3}));
    EXPECT_TRUE(r.source().isConnected());
    EXPECT_EQ(r.fake.checkoutLog.size(), 0u);
}

TEST(AdapterClip, OtherFramesAreCheckedOutUntilTheLastViewGoes) {
    Render r;
    {
        KlTexture<Kiln::PixARGB8> texture;
        ASSERT_TRUE(r.source().fetchImageRaw(9, texture));
        ASSERT_EQ(r.fake.checkoutLog.size(), 1u);
        EXPECT_EQ(r.fake.checkoutLog[0], (std::pair<PF_ParamIndex, A_long>(0, 900)));
        EXPECT_EQ(r.fake.live(), 1);
        EXPECT_EQ(texture.sampleNearest(1, 1).r, 9);  // the frame-9 world
        EXPECT_TRUE(r.fake.out.out_flags & PF_OutFlag_REFRESH_UI);
        KlTexture<Kiln::PixARGB8> copy = texture;
        texture = KlTexture<Kiln::PixARGB8>();
        EXPECT_EQ(r.fake.live(), 1);
        EXPECT_EQ(copy.sampleNearest(0, 2).a, 9);
    }
    EXPECT_EQ(r.fake.live(), 0);
    EXPECT_EQ(r.fake.checkins, 1);
    // A fetch at another time replaces the texture and gives the previous checkout back.
    KlTexture<Kiln::PixARGB8> texture;
    r.source().fetchImageRaw(3, texture);
    r.source().fetchImageRaw(4, texture);
    EXPECT_EQ(r.fake.live(), 1);
    r.source().fetchImageRaw(5, texture);  // the current frame
    EXPECT_EQ(r.fake.live(), 0);
    // The region and the connection at other times: one checkout each, checked back in.
    EXPECT_EQ(r.source().getRegionOfDefinition(8), (std::array<double, 4>{0, 4, 0, 3}));
    EXPECT_EQ(r.fake.live(), 0);
    EXPECT_EQ(r.fake.checkouts, 4);
}

TEST(AdapterClip, OtherFramesTakeTheClipsCrop) {
    for (int depth : {8, 16, 32}) {
        Render r(depth);
        r.fake.at(39).u.fd.value = 25 * 65536;  // Left
        r.fake.at(40).u.fd.value = 75 * 65536;  // Right
        r.fake.at(41).u.fd.value = 40 * 65536;  // Bottom: up from the bottom edge
        r.fake.at(35).u.pd.value = 1;           // X Method: Colour
        r.fake.at(36).u.pd.value = 2;           // Y Method: Repeat
        r.fake.at(37).u.cd.value = PF_Pixel{255, 255, 0, 128};
        auto check = [&](auto& texture, double m, double blue) {
            ASSERT_TRUE(r.source().fetchImageRaw(7, texture));
            EXPECT_EQ(texture.xAxis().lo, 1);  // trunc(0.25 × 4)
            EXPECT_EQ(texture.xAxis().hi, 3);  // trunc(0.75 × 4)
            EXPECT_EQ(texture.yAxis().lo, 0);  // trunc((1 - 1) × 3)
            EXPECT_EQ(texture.yAxis().hi, 1);  // trunc((1 - 0.4) × 3)
            EXPECT_EQ(texture.xAxis().edgeMode, 0);
            EXPECT_EQ(texture.yAxis().edgeMode, 1);
            EXPECT_EQ(double(texture.edgeColour().a), m);
            EXPECT_EQ(double(texture.edgeColour().r), m);
            EXPECT_EQ(double(texture.edgeColour().g), 0.0);
            EXPECT_NEAR(double(texture.edgeColour().b), blue, 1e-6);
        };
        if (depth == 8) {
            KlTexture<Kiln::PixARGB8> t;
            check(t, 255, 128);
        } else if (depth == 16) {
            KlTexture<Kiln::PixARGB16> t;
            check(t, 32768, 16448);  // trunc(128 / 255 × 32768)
        } else {
            KlTexture<Kiln::PixARGBF> t;
            check(t, 1.0, 128 / 255.0f);
        }
        EXPECT_EQ(r.fake.live(), 0) << depth;
    }
}

TEST(AdapterClip, FormatsAndFailures) {
    Render r;
    KlTexture<Kiln::PixARGB8> texture;
    ASSERT_TRUE(r.source().fetchImageRaw(5, texture));
    const void* current = texture.data();

    // A format the effect does not render: no image, the texture untouched, the layer checked in.
    r.fake.layerFormat = KL_FOURCC('b', 'a', 'd', 'f');
    EXPECT_FALSE(r.source().fetchImageRaw(6, texture));
    EXPECT_EQ(texture.data(), current);
    EXPECT_EQ(r.fake.live(), 0);
    r.fake.layerFormat = 0;

    // A layer without pixels at that time.
    r.fake.layerWithoutPixels = true;
    EXPECT_FALSE(r.source().fetchImageRaw(6, texture));
    EXPECT_EQ(r.fake.live(), 0);
    r.fake.layerWithoutPixels = false;

    KlTexture<Kiln::PixARGBF> wrong;
    expectRaise<Ex::Wrapper::FetchImageFailed>([&] { r.source().fetchImageRaw(6, wrong); }, kFetch, kClipFile,
                                               "texture wrong template");
    EXPECT_EQ(r.fake.live(), 0);

    r.fake.checkoutError = PF_Err_BAD_CALLBACK_PARAM;
    expectRaise<Ex::AfterEffects::ClipCheckoutFailed>([&] { r.source().fetchImageRaw(6, texture); }, kFetch,
                                                      kClipFile, "Source");
    r.fake.checkoutError = PF_Interrupt_CANCEL;
    expectRaise<Ex::AfterEffects::InterruptedCritical>([&] { r.source().fetchImageRaw(6, texture); }, kFetch,
                                                       kClipFile, "");
    r.fake.checkoutError = PF_Err_OUT_OF_MEMORY;
    expectRaise<Ex::OutOfMemory>([&] { r.source().fetchImageRaw(6, texture); }, kFetch, kClipFile, "");
    EXPECT_STREQ(r.fake.out.return_msg, "Kiln AEWrapperHost out of memory.");
    EXPECT_TRUE(r.fake.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(texture.data(), current);
    EXPECT_EQ(r.fake.live(), 0);
    r.fake.checkoutError = PF_Err_NONE;

    r.source().setPathClip(true);
    expectRaise<Ex::AfterEffects::TemporalUnsupported>([&] { r.source().fetchImageRaw(6, texture); }, kFetch,
                                                       kClipFile, "Path clips");

    const std::pair<const char*, std::function<void()>> unsupported[] = {
        {"getComponents", [&] { r.source().getComponents(); }},
        {"getDepth", [&] { r.source().getDepth(); }},
        {"setFramesNeeded", [&] { r.source().setFramesNeeded(0, 1); }},
        {"getFrameRange", [&] { r.source().getFrameRange(); }},
    };
    for (const auto& [operation, call] : unsupported) {
        const std::string function = std::string("Kiln::AfterEffects::Wrapper::Clip::") + operation;
        try {
            call();
            ADD_FAILURE() << operation;
        } catch (const Ex::AfterEffects::FeatureUnsupported& e) {
            EXPECT_EQ(std::string(e.record().function), function);
            EXPECT_NE(e.message().find(operation), std::string::npos) << e.message();
        }
    }
}

TEST(AdapterClip, SmartRenderInputAndOutput) {
    Kiln::Errors::Initialise();
    FakeHost fake(16);
    auto input = LayerWorld::make(4, 3, 16, 5);
    auto output = LayerWorld::make(4, 3, 16, 0);
    RenderWorlds worlds;
    worlds.input = &input->world;
    worlds.output = &output->world;
    worlds.smart = true;
    Host host(&fake.in, &fake.out, nullptr, worlds);  // smart renders may come without an array
    Kiln::Watchcam::registerMappings(host);
    KlTexture<Kiln::PixARGB16> texture;
    ASSERT_TRUE(host.getClip("Source").fetchImageRaw(5, texture));
    EXPECT_EQ(texture.data(), input->world.data);
    EXPECT_EQ(texture.sampleNearest(3, 2).g, 500);
    EXPECT_EQ(fake.checkouts, 0);

    KlTexture<Kiln::PixARGB16> out;
    host.fetchOutputImageRaw(out);
    EXPECT_EQ(out.data(), output->world.data);
    EXPECT_EQ(out.height(), 3);
    KlTexture<Kiln::PixARGB8> shallow;
    expectRaise<Ex::Wrapper::FetchImageFailed>([&] { host.fetchOutputImageRaw(shallow); },
                                               "Kiln::AfterEffects::Wrapper::Host::fetchOutputImageRaw",
                                               "klAEWrapperHost.cpp", "texture wrong template");

    Host ui(&fake.in, &fake.out, fake.array());
    expectRaise<Ex::NullPointer>([&] { ui.fetchOutputImageRaw(out); },
                                 "Kiln::AfterEffects::Wrapper::Host::fetchOutputImageRaw", "klAEWrapperHost.cpp",
                                 "Output");
    // A layer with no pixels is not connected.
    fake.at(0).u.ld.data = nullptr;
    Kiln::Watchcam::registerMappings(ui);
    EXPECT_FALSE(ui.getClip("Source").isConnected());
}

}  // namespace
