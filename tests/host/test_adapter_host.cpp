// The host adapter: mapping, conversions, popup maps, reads at other times, setters, keyframes,
// integrals and render facts, against a fake host that counts what the adapter asks for.
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "host/klAEGlobals.h"
#include "host/klAEWrapperHost.h"
#include "tests/host/adapterFakeHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using AdapterTest::FakeHost;
using Kiln::AfterEffects::Wrapper::Host;
using Kiln::AfterEffects::Wrapper::ParamKind;
namespace Ex = Kiln::Exceptions;

constexpr double kFixed = 65536.0;

struct Mapped {
    FakeHost fake;
    Host host;
    explicit Mapped(int depth = 8) : fake(depth), host(&fake.in, &fake.out, fake.array()) {
        Kiln::Errors::Initialise();
        Kiln::Watchcam::registerMappings(host);
    }
};

// Runs f, expecting E raised by `function` from the adapter's source file, its message holding `text`.
template <class E, class F>
void expectRaise(F&& f, const char* function, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "nothing raised, expected " << text;
    } catch (const E& e) {
        EXPECT_STREQ(e.record().function, function);
        EXPECT_NE(std::string(e.record().file).find("klAEWrapperHost"), std::string::npos) << e.record().file;
        EXPECT_NE(e.message().find(text), std::string::npos) << e.message();
    } catch (const Ex::ExceptionI& e) {
        ADD_FAILURE() << "raised " << e.name() << ": " << e.message();
    }
}

TEST(AdapterHost, ConstructionNamesTheMissingRecord) {
    Kiln::Errors::Initialise();
    FakeHost fake;
    const char* ctor = "Kiln::AfterEffects::Wrapper::Host::Host";
    expectRaise<Ex::NullPointer>([&] { Host h(nullptr, &fake.out, fake.array()); }, ctor, "in_data");
    expectRaise<Ex::NullPointer>([&] { Host h(&fake.in, nullptr, fake.array()); }, ctor, "out_data");
    expectRaise<Ex::NullPointer>([&] { Host h(&fake.in, &fake.out, static_cast<PF_ParamDef**>(nullptr)); }, ctor, "params");
    expectRaise<Ex::NullPointer>([&] { Host h(&fake.in, &fake.out, static_cast<PF_PreRenderExtra*>(nullptr)); },
                                 ctor, "output");
    PF_PreRenderExtra noOutput{};
    expectRaise<Ex::NullPointer>([&] { Host h(&fake.in, &fake.out, &noOutput); }, ctor, "output");
    // A smart render may come without an array; a non-smart one may not.
    Kiln::AfterEffects::Wrapper::RenderWorlds smart;
    smart.smart = true;
    EXPECT_NO_THROW(Host(&fake.in, &fake.out, nullptr, smart));
    expectRaise<Ex::NullPointer>(
        [&] { Host h(&fake.in, &fake.out, nullptr, Kiln::AfterEffects::Wrapper::RenderWorlds{}); }, ctor, "params");
}

TEST(AdapterHost, MappingTable) {
    Mapped m;
    Host& h = m.host;
    EXPECT_EQ(h.getParamID("contrast"), 5);
    EXPECT_EQ(h.getParamID("SourceTop"), 42);
    EXPECT_EQ(h.getParameterType("contrast"), ParamKind::Scale);
    EXPECT_EQ(h.getParameterType("blendMix"), ParamKind::Double);
    EXPECT_EQ(h.getParameterType("SourceEdgeColour"), ParamKind::RGBAColour);
    EXPECT_EQ(h.getParameterType("tintColour"), ParamKind::RGBColour);
    EXPECT_EQ(h.getParameterType("filtered"), ParamKind::Choice);
    EXPECT_EQ(h.getClipID("Source"), 0);
    EXPECT_EQ(h.mappings().size(), 34u);
    EXPECT_TRUE(h.hasParam("lensEffect"));
    EXPECT_FALSE(h.hasParam("masterBreakup"));

    expectRaise<Ex::Wrapper::ParameterUndefined>([&] { h.getParamID("nothing"); },
                                                  "Kiln::AfterEffects::Wrapper::Host::getParamID", "nothing");
    expectRaise<Ex::Wrapper::ClipUndefined>([&] { h.getClipID("Matte"); },
                                            "Kiln::AfterEffects::Wrapper::Host::getClipID", "Matte");
    expectRaise<Ex::Wrapper::ClipUndefined>([&] { h.getClip("Matte"); },
                                            "Kiln::AfterEffects::Wrapper::Host::getClip", "Matte");
    expectRaise<Ex::AfterEffects::ParameterAlreadyDefined>(
        [&] { h.addParamMapping(7, "contrast", ParamKind::Scale); },
        "Kiln::AfterEffects::Wrapper::Host::addParamMapping", "");
    expectRaise<Ex::AfterEffects::ClipAlreadyDefined>([&] { h.addClipMapping("Source", 0); },
                                                      "Kiln::AfterEffects::Wrapper::Host::addClipMapping", "Source");
    expectRaise<Ex::BadValue>([&] { h.addParamMapping(7, "odd", 2); },
                              "Kiln::AfterEffects::Wrapper::Host::addParamMapping", "kind");
    expectRaise<Ex::Wrapper::ParameterUndefined>([&] { h.getScaleParam("masterBreakup", 5); },
                                                  "Kiln::AfterEffects::Wrapper::Host::getScaleParam", "masterBreakup");
}

TEST(AdapterHost, ConversionsAtTheirBoundaries) {
    Mapped m;
    Host& h = m.host;
    const double t = 5;  // the render time: values come from the array
    // Defaults: contrast 15 -> 0.15, blendMix 50 stays 50, play speed 100 -> 1.
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", t), 0.15);
    EXPECT_DOUBLE_EQ(h.getDoubleParam("blendMix", t), 50.0);
    EXPECT_DOUBLE_EQ(h.getScaleParam("playSpeed", t), 1.0);
    EXPECT_DOUBLE_EQ(h.getDoubleParam("lensRadius", t), 450.0);
    // getDoubleParam on a scale gives the same fraction.
    EXPECT_DOUBLE_EQ(h.getDoubleParam("lensStrength", t), 0.4);

    m.fake.at(5).u.fd.value = 0;
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", t), 0.0);
    m.fake.at(5).u.fd.value = 5000 * 65536;
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", t), 50.0);
    m.fake.at(9).u.fd.value = -800 * 65536;
    EXPECT_DOUBLE_EQ(h.getScaleParam("playSpeed", t), -8.0);
    m.fake.at(9).u.fd.value = -200 * 65536;
    EXPECT_DOUBLE_EQ(h.getScaleParam("playSpeed", t), -2.0);
    m.fake.at(10).u.fd.value = 1;  // the smallest step of a fixed slider
    EXPECT_DOUBLE_EQ(h.getDoubleParam("framesPerSec", t), 1.0 / kFixed);
    m.fake.at(20).u.fd.value = 50 * 65536;
    EXPECT_DOUBLE_EQ(h.getScaleParam("shashMax", t), 0.5);

    m.fake.at(18).u.sd.value = 0;
    EXPECT_EQ(h.getIntParam("seed", t), 0);
    m.fake.at(18).u.sd.value = 5000;
    EXPECT_EQ(h.getIntParam("seed", t), 5000);

    EXPECT_FALSE(h.getBoolParam("quantise", t));
    EXPECT_TRUE(h.getBoolParam("lensEffect", t));
    EXPECT_EQ(h.getIntParam("lensEffect", t), 1);
    m.fake.at(7).u.bd.value = 7;  // any non-zero is on
    EXPECT_TRUE(h.getBoolParam("quantise", t));

    const KlRGBColF tint = h.getRGBParam("tintColour", t);
    EXPECT_FLOAT_EQ(tint.r, 63 / 255.0f);
    EXPECT_FLOAT_EQ(tint.g, 165 / 255.0f);
    EXPECT_FLOAT_EQ(tint.b, 76 / 255.0f);
    m.fake.at(37).u.cd.value = PF_Pixel{0, 255, 0, 128};
    const KlRGBAColF edge = h.getRGBAParam("SourceEdgeColour", t);
    EXPECT_FLOAT_EQ(edge.a, 0.0f);
    EXPECT_FLOAT_EQ(edge.r, 1.0f);
    EXPECT_FLOAT_EQ(edge.g, 0.0f);
    EXPECT_FLOAT_EQ(edge.b, 128 / 255.0f);
    // An RGB read of an RGBA control drops alpha; an RGBA read of an RGB control keeps the record's alpha.
    EXPECT_FLOAT_EQ(h.getRGBParam("SourceEdgeColour", t).r, 1.0f);
    EXPECT_FLOAT_EQ(h.getRGBAParam("tintColour", t).a, 1.0f);

    // No value is read from another kind of control.
    const char* getBool = "Kiln::AfterEffects::Wrapper::Host::getBoolParam";
    expectRaise<Ex::WrongType>([&] { h.getBoolParam("contrast", t); }, getBool, "boolean");
    expectRaise<Ex::WrongType>([&] { h.getScaleParam("blur", t); }, "Kiln::AfterEffects::Wrapper::Host::getScaleParam",
                               "scale");
    expectRaise<Ex::WrongType>([&] { h.getDoubleParam("quantise", t); },
                               "Kiln::AfterEffects::Wrapper::Host::getDoubleParam", "float");
    expectRaise<Ex::WrongType>([&] { h.getRGBParam("seed", t); }, "Kiln::AfterEffects::Wrapper::Host::getRGBParam",
                               "colour");
    // A host record of another type than the mapping says is refused too.
    m.fake.at(5).param_type = PF_Param_SLIDER;
    expectRaise<Ex::WrongType>([&] { h.getScaleParam("contrast", t); },
                               "Kiln::AfterEffects::Wrapper::Host::getScaleParam", "contrast");
    // The host cannot hold strings, rectangles, shapes or gradients.
    std::string s;
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.getStringParam("blur", s, t); },
                                                      "Kiln::AfterEffects::Wrapper::Host::getStringParam",
                                                      "getStringParam");
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.getRectIParam("blur", t); },
                                                      "Kiln::AfterEffects::Wrapper::Host::getRectIParam",
                                                      "getRectIParam");
    EXPECT_EQ(m.fake.checkouts, 0);
}

TEST(AdapterHost, PopupMapsBothWays) {
    Mapped m;
    Host& h = m.host;
    const double t = 5;
    auto item = [&](int index, int hostItem) { m.fake.at(index).u.pd.value = hostItem; };

    item(28, 25);  // Composite Source
    EXPECT_EQ(h.getIntParam("blendMethod", t), 25);
    item(28, 1);  // None
    EXPECT_EQ(h.getIntParam("blendMethod", t), 0);
    item(28, 2);  // Mix
    EXPECT_EQ(h.getIntParam("blendMethod", t), 19);
    item(28, 24);  // Composite Effect
    EXPECT_EQ(h.getIntParam("blendMethod", t), 26);
    EXPECT_EQ(h.getBackwardPopupMapping("blendMethod", 25), 24);
    EXPECT_EQ(h.getBackwardPopupMapping("blendMethod", 0), 0);
    EXPECT_EQ(h.getBackwardPopupMapping("blendMethod", 18), 22);  // SoftLight

    item(17, 6);
    EXPECT_EQ(h.getIntParam("shashType", t), 5);
    item(17, 5);
    EXPECT_EQ(h.getIntParam("shashType", t), 4);
    item(2, 2);
    EXPECT_EQ(h.getIntParam("postAlphaYesNoNo", t), 1);
    item(36, 4);
    EXPECT_EQ(h.getIntParam("SourceYMethod", t), 3);

    // "Global Default" follows the render quality; "Low" and "High" do not.
    item(26, 3);
    m.fake.in.quality = PF_Quality_HI;
    EXPECT_EQ(h.getIntParam("filtered", t), 2);
    m.fake.in.quality = PF_Quality_LO;
    EXPECT_EQ(h.getIntParam("filtered", t), 1);
    item(26, 2);
    EXPECT_EQ(h.getIntParam("filtered", t), 2);
    item(26, 1);
    m.fake.in.quality = PF_Quality_HI;
    EXPECT_EQ(h.getIntParam("filtered", t), 1);
    // Backward, a value goes to the fixed entry that gives it.
    EXPECT_EQ(h.getBackwardPopupMapping("filtered", 2), 1);

    expectRaise<Ex::AfterEffects::ForwardMappingUndefined>(
        [&] { h.getForwardPopupMapping("filtered", 3); },
        "Kiln::AfterEffects::Wrapper::Host::getForwardPopupMapping", "filtered");
    item(28, 26);  // beyond the list
    expectRaise<Ex::AfterEffects::ForwardMappingUndefined>(
        [&] { h.getIntParam("blendMethod", t); }, "Kiln::AfterEffects::Wrapper::Host::getForwardPopupMapping", "25");
    expectRaise<Ex::AfterEffects::BackwardMappingUndefined>(
        [&] { h.getBackwardPopupMapping("blendMethod", 23); },
        "Kiln::AfterEffects::Wrapper::Host::getBackwardPopupMapping", "23");
    expectRaise<Ex::AfterEffects::ForwardMappingUndefined>(
        [&] { h.getForwardPopupMapping("contrast", 0); },
        "Kiln::AfterEffects::Wrapper::Host::getForwardPopupMapping", "contrast");
}

TEST(AdapterHost, ReadsAtOtherTimesAreCheckedOutAndBackIn) {
    Mapped m;
    Host& h = m.host;
    // Contrast at frame f is f percent.
    m.fake.atTime = [](PF_ParamIndex index, double frame, PF_ParamDef& def) {
        if (index == 5) def.u.fd.value = PF_Fixed(frame * 65536);
    };
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", 5), 0.15);  // the render time: the array
    EXPECT_EQ(m.fake.checkouts, 0);
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", 12), 0.12);
    EXPECT_EQ(m.fake.checkouts, 1);
    EXPECT_EQ(m.fake.checkins, 1);
    ASSERT_EQ(m.fake.checkoutLog.size(), 1u);
    EXPECT_EQ(m.fake.checkoutLog[0].first, 5);
    EXPECT_EQ(m.fake.checkoutLog[0].second, 1200);  // frames × time step
    // A fractional frame is truncated to the host's integer time.
    h.getScaleParam("contrast", 2.999);
    EXPECT_EQ(m.fake.checkoutLog.back().second, 299);

    // A checked-out record of the wrong type raises, and is still checked in.
    m.fake.atTime = [](PF_ParamIndex, double, PF_ParamDef& def) { def.param_type = PF_Param_CHECKBOX; };
    expectRaise<Ex::WrongType>([&] { h.getScaleParam("contrast", 9); },
                               "Kiln::AfterEffects::Wrapper::Host::getScaleParam", "scale");
    EXPECT_EQ(m.fake.live(), 0);

    // Host failures: no record, nothing to check in.
    m.fake.checkoutError = PF_Err_BAD_CALLBACK_PARAM;
    expectRaise<Ex::AfterEffects::ParamCheckoutFailed>([&] { h.getIntParam("seed", 9); },
                                                       "Kiln::AfterEffects::Wrapper::Host::getIntParam", "checkout");
    m.fake.checkoutError = PF_Interrupt_CANCEL;
    expectRaise<Ex::AfterEffects::InterruptedCritical>([&] { h.getBoolParam("quantise", 9); },
                                                       "Kiln::AfterEffects::Wrapper::Host::getBoolParam", "");
    EXPECT_EQ(m.fake.live(), 0);
    EXPECT_EQ(m.fake.checkouts, 3);  // the failed ones gave nothing

    // Without a parameter array (a pre-render) every read is a checkout, the render time included.
    m.fake.checkoutError = PF_Err_NONE;
    m.fake.atTime = nullptr;
    PF_PreRenderOutput output{};
    PF_PreRenderExtra extra{};
    extra.output = &output;
    Host pre(&m.fake.in, &m.fake.out, &extra);
    Kiln::Watchcam::registerMappings(pre);
    EXPECT_DOUBLE_EQ(pre.getScaleParam("EMInterference", 5), 0.15);
    EXPECT_EQ(m.fake.checkouts, 4);
    EXPECT_EQ(m.fake.live(), 0);
    // The pre-render binds the source to an unbounded region.
    const auto region = pre.getClip("Source").getRegionOfDefinition(5);
    EXPECT_EQ(region[0], -1e6);
    EXPECT_EQ(region[1], 2e6);
    EXPECT_EQ(region[2], -1e6);
    EXPECT_EQ(region[3], 2e6);
}

TEST(AdapterHost, SettersConvertBackAndTellTheHost) {
    Mapped m;
    Host& h = m.host;
    h.setScaleParam("contrast", 0.5);
    EXPECT_EQ(m.fake.at(5).u.fd.value, 50 * 65536);
    EXPECT_TRUE(m.fake.at(5).change_flags & PF_ChangeFlag_CHANGED_VALUE);
    EXPECT_TRUE(m.fake.out.out_flags & PF_OutFlag_REFRESH_UI);
    ASSERT_EQ(m.fake.uiUpdates.size(), 1u);
    EXPECT_EQ(m.fake.uiUpdates[0], 5);

    h.setDoubleParam("lensRadius", 12.5);
    EXPECT_EQ(m.fake.at(13).u.fd.value, 12 * 65536 + 32768);
    h.setDoubleParam("lensRadius", 1e9);  // beyond the valid range: the range's end
    EXPECT_EQ(m.fake.at(13).u.fd.value, 5000 * 65536);
    h.setDoubleParam("lensStrength", -0.25);  // a scale through the double setter
    EXPECT_EQ(m.fake.at(14).u.fd.value, -25 * 65536);
    h.setIntParam("seed", -3);
    EXPECT_EQ(m.fake.at(18).u.sd.value, 0);
    h.setIntParam("blendMethod", 25);
    EXPECT_EQ(m.fake.at(28).u.pd.value, 25);
    h.setIntParam("blendMethod", 0);
    EXPECT_EQ(m.fake.at(28).u.pd.value, 1);
    h.setBoolParam("quantise", true);
    EXPECT_EQ(m.fake.at(7).u.bd.value, 1);
    h.setRGBAParam("SourceEdgeColour", KlRGBAColF(1.0f, 0.5f, -1.0f, 0.2f));
    const PF_Pixel p = m.fake.at(37).u.cd.value;
    EXPECT_EQ(p.red, 255);
    EXPECT_EQ(p.green, 128);
    EXPECT_EQ(p.blue, 0);
    EXPECT_EQ(p.alpha, 51);
    h.setRGBParam("tintColour", KlRGBColF(0, 0, 1));
    EXPECT_EQ(m.fake.at(4).u.cd.value.alpha, 255);  // kept
    EXPECT_EQ(m.fake.at(4).u.cd.value.blue, 255);
    h.setParam("SourceXMethod", 1);
    EXPECT_EQ(m.fake.at(35).u.pd.value, 2);
    // Every set value reads back.
    EXPECT_DOUBLE_EQ(h.getScaleParam("contrast", 5), 0.5);
    EXPECT_EQ(h.getIntParam("blendMethod", 5), 0);
    EXPECT_EQ(m.fake.uiUpdates.size(), 11u);

    expectRaise<Ex::AfterEffects::BackwardMappingUndefined>(
        [&] { h.setIntParam("blendMethod", 24); }, "Kiln::AfterEffects::Wrapper::Host::getBackwardPopupMapping",
        "24");
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.setStringParam("blur", "x"); },
                                                      "Kiln::AfterEffects::Wrapper::Host::setStringParam",
                                                      "setStringParam");
    expectRaise<Ex::WrongType>([&] { h.setBoolParam("blur", true); },
                               "Kiln::AfterEffects::Wrapper::Host::setBoolParam", "boolean");

    // Without an array there is nothing to write into.
    PF_PreRenderOutput output{};
    PF_PreRenderExtra extra{};
    extra.output = &output;
    Host pre(&m.fake.in, &m.fake.out, &extra);
    pre.addParamMapping(13, "lensRadius", ParamKind::Double);
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { pre.setDoubleParam("lensRadius", 1); },
                                                      "Kiln::AfterEffects::Wrapper::Host::setDoubleParam",
                                                      "setDoubleParam");
    // A host without the Param Utils suite still gets the changed record.
    m.fake.paramUtilsSuite = false;
    h.setIntParam("seed", 40);
    EXPECT_EQ(m.fake.at(18).u.sd.value, 40);
    EXPECT_EQ(m.fake.acquired, m.fake.released);
}

TEST(AdapterHost, KeyframesThroughTheStreamSuite) {
    Mapped m;
    Host& h = m.host;
    m.fake.keys[9] = {0, 1000, 2500};  // frames 0, 10, 25
    EXPECT_EQ(h.paramNumKeys("playSpeed"), 3);
    EXPECT_TRUE(h.paramIsAnimating("playSpeed"));
    EXPECT_FALSE(h.paramIsAnimating("contrast"));
    EXPECT_DOUBLE_EQ(h.paramKeyTime("playSpeed", 1), 10.0);
    EXPECT_EQ(h.paramFindKey("playSpeed", 10, Kiln::Param::KeySearch::Previous), 0);
    EXPECT_EQ(h.paramFindKey("playSpeed", 10, Kiln::Param::KeySearch::Next), 2);
    EXPECT_EQ(h.paramFindKey("playSpeed", 16, Kiln::Param::KeySearch::AtOrNearest), 1);
    EXPECT_EQ(h.paramFindKey("playSpeed", 30, Kiln::Param::KeySearch::Next), -1);
    h.paramSetKey("contrast", 7);
    ASSERT_EQ(m.fake.keysSet.size(), 1u);
    EXPECT_EQ(m.fake.keysSet[0], (std::pair<PF_ParamIndex, A_long>(5, 700)));
    h.paramDeleteKey("playSpeed", 10.0);
    EXPECT_EQ(m.fake.keys[9], (std::vector<A_long>{0, 2500}));
    h.paramDeleteKey("playSpeed", 12.0);  // no key there
    EXPECT_EQ(m.fake.keys[9].size(), 2u);
    h.paramDeleteAllKeys("playSpeed");
    EXPECT_EQ(h.paramNumKeys("playSpeed"), 0);
    expectRaise<Ex::BadValue>([&] { h.paramKeyTime("playSpeed", 0); },
                              "Kiln::AfterEffects::Wrapper::Host::paramKeyTime", "keyIndex");
    m.fake.streamSuite = false;
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.paramNumKeys("playSpeed"); },
                                                      "Kiln::AfterEffects::Wrapper::Host::paramNumKeys",
                                                      "paramNumKeys");
    EXPECT_EQ(m.fake.acquired, m.fake.released);
}

// Play speed v (percent) at each frame, keyed so that the adapter samples every frame.
void animateSpeed(FakeHost& fake, std::function<double(double)> speed) {
    fake.keys[9] = {0, 100};
    fake.atTime = [speed](PF_ParamIndex index, double frame, PF_ParamDef& def) {
        if (index == 9) def.u.fd.value = PF_Fixed(speed(frame) * 65536);
    };
}

TEST(AdapterHost, IntegralOfPlaySpeed) {
    {
        Mapped m;  // constant 100 %: S = t, one read and no checkout
        m.fake.setFrame(10);
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, 10), 10.0);
        EXPECT_EQ(m.fake.checkouts, 0);
        EXPECT_DOUBLE_EQ(Kiln::Watchcam::playPosition(m.host, 10), 10.0);
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, 2.5), 2.5);
        // Clamped to the last frame (99) and to frame 0.
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, 500), 99.0);
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -5, -1), 0.0);
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", 10, 4), -6.0);
        // A host that does not give the layer's length does not clamp the end.
        m.fake.in.total_time = 0;
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, 500), 500.0);
    }
    for (double speed : {0.0, -100.0, 200.0}) {
        Mapped m;
        m.fake.at(9).u.fd.value = PF_Fixed(speed * 65536);
        m.fake.setFrame(10);
        EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, 10), speed / 100 * 10) << speed;
    }
    {
        // Animated: 100 % for frames 0..9, then 0: the position holds at frame 10.
        Mapped m;
        animateSpeed(m.fake, [](double f) { return f < 10 ? 100.0 : 0.0; });
        for (double t : {5.0, 10.0, 15.0, 40.0}) {
            m.fake.setFrame(t);
            EXPECT_DOUBLE_EQ(m.host.integrateScaleParam("playSpeed", -1, t), std::min(t, 10.0)) << t;
        }
        EXPECT_EQ(m.fake.live(), 0);
        // Every whole frame below t is read once: frames 0..39 at t = 40, frame 40 itself not at all.
        EXPECT_EQ(m.fake.checkoutLog.size(), 5u + 10u + 15u + 40u);
        // A ramp v(f) = f %: S(t) = (0 + 1 + ... + (t - 1)) / 100.
        animateSpeed(m.fake, [](double f) { return f; });
        m.fake.setFrame(50);  // away from the frames summed, so that all of them are checked out
        EXPECT_NEAR(m.host.integrateScaleParam("playSpeed", -1, 4), (0 + 1 + 2 + 3) / 100.0, 1e-12);
        EXPECT_NEAR(m.host.integrateScaleParam("playSpeed", -1, 4.5), (0 + 1 + 2 + 3 + 0.5 * 4) / 100.0, 1e-12);
        // The central difference of the ramp is 1 % per frame; at the first frame one-sided.
        EXPECT_NEAR(m.host.differentiateScaleParam("playSpeed", 6), 0.01, 1e-12);
        EXPECT_NEAR(m.host.differentiateScaleParam("playSpeed", 0), 0.01, 1e-12);
        EXPECT_EQ(m.fake.live(), 0);
    }
    {
        Mapped m;
        expectRaise<Ex::WrongType>([&] { m.host.integrateScaleParam("blur", 0, 4); },
                                   "Kiln::AfterEffects::Wrapper::Host::integrateScaleParam", "scale");
        expectRaise<Ex::BadValue>([&] { m.host.integrateScaleParam("playSpeed", 0, INFINITY); },
                                  "Kiln::AfterEffects::Wrapper::Host::integrateScaleParam", "time1");
        // Blur (a plain double, 1) over 3 frames.
        EXPECT_DOUBLE_EQ(m.host.integrateDoubleParam("blur", 0, 3), 3.0);
        EXPECT_DOUBLE_EQ(m.host.differentiateDoubleParam("blur", 3), 0.0);
    }
}

TEST(AdapterHost, RenderFacts) {
    Mapped m;
    m.fake.in.current_time = 750;
    m.fake.in.time_step = 100;
    m.fake.in.time_scale = 3000;
    m.fake.in.total_time = 4000;
    m.fake.in.downsample_x = {1, 2};
    m.fake.in.downsample_y = {1, 4};
    m.fake.in.pixel_aspect_ratio = {10, 11};
    EXPECT_DOUBLE_EQ(m.host.currentTime(), 7.5);
    EXPECT_DOUBLE_EQ(m.host.frameRate(), 30.0);
    EXPECT_EQ(m.host.frameCount(), 40);
    EXPECT_DOUBLE_EQ(m.host.renderScaleX(), 0.5);
    EXPECT_DOUBLE_EQ(m.host.renderScaleY(), 0.25);
    EXPECT_DOUBLE_EQ(m.host.pixelAspectRatio(), 10.0 / 11.0);
    EXPECT_FALSE(m.host.abort());
    m.fake.interrupt = true;
    EXPECT_TRUE(m.host.abort());
    // A host without time data: no rate, no length, time 0.
    m.fake.in.time_step = 0;
    m.fake.in.downsample_x = {1, 0};
    EXPECT_DOUBLE_EQ(m.host.currentTime(), 0.0);
    EXPECT_DOUBLE_EQ(m.host.frameRate(), 0.0);
    EXPECT_EQ(m.host.frameCount(), 0);
    EXPECT_DOUBLE_EQ(m.host.renderScaleX(), 1.0);
}

TEST(AdapterHost, SettingsReadThroughTheAdapter) {
    Mapped m;
    m.fake.in.quality = PF_Quality_LO;
    const Kiln::Watchcam::Settings s = Kiln::Watchcam::readSettings(m.host, 5);
    EXPECT_EQ(m.fake.checkouts, 0);
    EXPECT_EQ(s.postAlphaYesNoNo, 0);
    EXPECT_EQ(s.tvType, 1);
    EXPECT_FLOAT_EQ(s.tintColour.g, 165 / 255.0f);
    EXPECT_DOUBLE_EQ(s.contrast, 0.15);
    EXPECT_DOUBLE_EQ(s.brightness, 0.25);
    EXPECT_EQ(s.quantiseLevels, 6);
    EXPECT_TRUE(s.hasFramesPerSec);
    EXPECT_DOUBLE_EQ(s.framesPerSec, 5.0);
    EXPECT_TRUE(s.lensEffect);
    EXPECT_DOUBLE_EQ(s.lensStrength, 0.4);
    EXPECT_EQ(s.shashType, 5);
    EXPECT_EQ(s.seed, 25);
    EXPECT_EQ(s.filtered, 1);  // "Global Default" in a low-quality render
    EXPECT_EQ(s.blendMethod, 0);
    EXPECT_DOUBLE_EQ(s.blendMix, 50.0);
    EXPECT_EQ(s.sourceXMethod, 2);
    EXPECT_EQ(s.sourceYMethod, 3);
    EXPECT_FLOAT_EQ(s.sourceEdgeColour.a, 1.0f);
    EXPECT_DOUBLE_EQ(s.sourceEdgeColourAlpha, 1.0);
    EXPECT_DOUBLE_EQ(s.sourceTop, 100.0);
    // Names the effect does not declare: their fallbacks.
    EXPECT_DOUBLE_EQ(s.masterBreakup, 1.0);
    EXPECT_DOUBLE_EQ(s.lineAngle, 0.174533);
    EXPECT_FALSE(s.hasRepeatFrames);
    EXPECT_FALSE(s.hasGunAlign[0]);
}

}  // namespace

namespace {

TEST(AdapterHost, InstanceDataMessagesAndUnsupported) {
    Mapped m;
    Host& h = m.host;
    // Instance data goes into word 1 of the live sequence block.
    static Kiln::AfterEffects::SequenceData live{};
    static void* block = &live;
    m.fake.utils.host_lock_handle = [](PF_Handle hd) { return *hd; };
    m.fake.utils.host_unlock_handle = [](PF_Handle) {};
    m.fake.utils.host_get_handle_size = [](PF_Handle) { return uint64_t(sizeof(Kiln::AfterEffects::SequenceData)); };
    const char* setInstance = "Kiln::AfterEffects::Wrapper::Host::setInstanceData";
    expectRaise<Ex::AfterEffects::NullSequenceData>([&] { h.setInstanceData(nullptr); }, setInstance, "");
    m.fake.in.sequence_data = &block;
    PF_Handle objects = reinterpret_cast<PF_Handle>(&live);
    h.setInstanceData(objects);
    EXPECT_EQ(live.objects, objects);
    live.state = Kiln::AfterEffects::SequenceFlat;  // a flattened block holds nothing else
    expectRaise<Ex::AfterEffects::NullSequenceData>([&] { h.setInstanceData(nullptr); }, setInstance, "");

    h.sendMessage("Look here");
    EXPECT_STREQ(m.fake.out.return_msg, "Look here");
    EXPECT_TRUE(m.fake.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.setFramesNeeded(0, 3); },
                                                      "Kiln::AfterEffects::Wrapper::Host::setFramesNeeded",
                                                      "setFramesNeeded");
    h.setHost(nullptr);
    expectRaise<Ex::AfterEffects::FeatureUnsupported>([&] { h.setHost(&h); },
                                                      "Kiln::AfterEffects::Wrapper::Host::setHost", "setHost");
}

}  // namespace
