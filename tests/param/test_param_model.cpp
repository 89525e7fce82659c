#include "param/klParamChoice.h"
#include "param/klParamGrad.h"
#include "param/klParamGroup.h"
#include "param/klParamSet.h"
#include "paramTestUtil.h"

#include <sstream>

using namespace Kiln::Param;
namespace Ex = Kiln::Exceptions;

TEST(ParamBounds, ClampingOnlyAgainstBoundsThatAreSet)
{
    ParamSet set;
    Int* gain = set.createParam<Int>("gain", 5);
    EXPECT_FALSE(gain->min().has_value());  // absent, not zero
    EXPECT_FALSE(gain->max().has_value());
    set.setIntParam("gain", -3000);
    EXPECT_EQ(set.getIntParam("gain", 0), -3000);

    gain->setMin(0);
    gain->setMax(10);
    set.setIntParam("gain", -3);
    EXPECT_EQ(gain->storedValue(), 0);
    set.setIntParam("gain", 12);
    EXPECT_EQ(gain->storedValue(), 10);
    set.setIntParam("gain", 7);
    EXPECT_EQ(gain->storedValue(), 7);

    // Text is stored as read, outside the bounds too.
    gain->setValueFromText("25");
    EXPECT_EQ(set.getIntParam("gain", 0), 25);

    // Only a max: low values pass; visual bounds never limit.
    Double* blur = set.createParam<Double>("blur", 1.0);
    blur->setMax(20.0);
    blur->setVisualMin(0.0);
    blur->setVisualMax(5.0);
    set.setDoubleParam("blur", -4.5);
    EXPECT_DOUBLE_EQ(blur->storedValue(), -4.5);
    set.setDoubleParam("blur", 30.0);
    EXPECT_DOUBLE_EQ(blur->storedValue(), 20.0);
    set.setDoubleParam("blur", 12.5);
    EXPECT_DOUBLE_EQ(blur->storedValue(), 12.5);
}

TEST(ParamBounds, VectorsBoxesAndRectanglesClampPerComponent)
{
    ParamSet set;
    Double2* pos = set.createParam<Pos2D>("pos");
    pos->setMin(HvVec2(0, 0));
    pos->setMax(HvVec2(10, 5));
    set.set2DDoubleParam("pos", HvVec2(-1, 7));
    EXPECT_EQ(pos->storedValue(), HvVec2(0, 5));
    set.set2DDoubleParam("pos", HvVec2(3.5f, 2));
    EXPECT_EQ(pos->storedValue(), HvVec2(3.5f, 2));

    RectD* box = set.createParam<RectD>("box");
    box->setMin(HvVec2(-1, -1));
    set.setRectDParam("box", HvBox2(-5, 0, 2, -3));
    EXPECT_EQ(box->storedValue(), HvBox2(-1, 0, 2, -1));  // no max: 2 stays

    RectI* win = set.createParam<RectI>("win");
    win->setMin(KlPointI(0, 0));
    win->setMax(KlPointI(100, 50));
    set.setRectIParam("win", KlRectI(-10, 20, 120, 60));
    EXPECT_EQ(win->storedValue(), KlRectI(0, 20, 100, 50));
}

TEST(ParamModel, FlagsAndTextForms)
{
    // Type names are checked by the XML round trip, which creates every class by its element name.
    Int flags("a");
    EXPECT_FALSE(flags.secret());
    EXPECT_TRUE(flags.enabled() && flags.significant() && flags.animatable());
    EXPECT_FALSE(flags.valid());
    EXPECT_EQ(flags.label(), "");

    EXPECT_EQ(Int("i").parseText(" 42"), 42);
    EXPECT_DOUBLE_EQ(Double("d").parseText("-0.125"), -0.125);
    EXPECT_EQ(Double2("v").parseText("1.5 -2"), HvVec2(1.5f, -2));
    EXPECT_EQ(RectD("r").parseText("0 1 2 3"), HvBox2(0, 1, 2, 3));
    EXPECT_EQ(RectI("r").parseText("4 5 6 7"), KlRectI(4, 5, 6, 7));
    EXPECT_EQ(RGBColour("c").parseText("0.25 0.5 1"), KlRGBColF(0.25f, 0.5f, 1));
    EXPECT_EQ(RGBAColour("c").parseText("0 0 0 1"), KlRGBAColF(0, 0, 0, 1));
    EXPECT_TRUE(Bool("b").parseText("Yes"));
    EXPECT_FALSE(Bool("b").parseText("0"));
    EXPECT_EQ(String("s").parseText(" two words "), " two words ");

    auto e = catchAs<Ex::BadValue>([] { Int("i").parseText("abc"); });
    EXPECT_EQ(value(e, 0), "'int'");
    EXPECT_EQ(value(e, 1), "'abc'");
    catchAs<Ex::BadValue>([] { Int("i").parseText("99999999999"); });
    catchAs<Ex::BadValue>([] { Double2("v").parseText("1"); });
}

TEST(ParamChoice, OptionsAliasesAndParseValue)
{
    Choice c("quality");
    c.addOption("Low", 0, "fast");
    c.addOption("High", 1);
    c.aliasOption("Quick", "Low");
    c.parseValue("High");
    EXPECT_EQ(c.storedValue(), 1);
    c.parseValue(" 0");
    EXPECT_EQ(c.storedValue(), 0);
    c.parseValue(" 1");
    EXPECT_EQ(c.storedValue(), 1);
    c.parseValue("Quick");
    EXPECT_EQ(c.storedValue(), 0);

    auto e = catchAs<Ex::BadValue>([&] { c.parseValue("2"); });
    ASSERT_EQ(e.record().values.size(), 3u);
    EXPECT_EQ(value(e, 0), "'2'");
    EXPECT_EQ(value(e, 1), "' is not an option to the choice parameter '");
    EXPECT_EQ(value(e, 2), "'quality'");
    catchAs<Ex::BadValue>([&] { c.parseValue("Medium"); });
    catchAs<Ex::BadValue>([&] { c.parseValue(""); });
    catchAs<Ex::BadValue>([&] { c.parseValue("1x"); });
    EXPECT_EQ(c.storedValue(), 0);  // unchanged by refusals

    auto dupAlias = catchAs<Ex::DuplicateObject>([&] { c.addOption("Quick", 5); });
    EXPECT_EQ(value(dupAlias, 0), "'Quick'");
    EXPECT_EQ(value(dupAlias, 1), "'Tried to add a choice option for an existing alias'");
    auto dupLabel = catchAs<Ex::DuplicateObject>([&] { c.addOption("Low", 5); });
    EXPECT_EQ(value(dupLabel, 1), "'Tried to add a choice option for an existing option'");
    auto dupValue = catchAs<Ex::DuplicateObject>([&] { c.addOption("Medium", 1); });
    EXPECT_EQ(value(dupValue, 1), "'Tried to add a choice option for an existing value'");
    EXPECT_EQ(c.options().size(), 2u);
    auto badAlias = catchAs<Ex::DuplicateObject>([&] { c.aliasOption("High", "Low"); });
    EXPECT_EQ(value(badAlias, 0), "'High'");
    EXPECT_EQ(value(badAlias, 1), "'Tried to set a choice alias for an existing options'");

    // Negative option values read back as written.
    c.addOption("Off", -1);
    c.parseValue("-1");
    EXPECT_EQ(c.storedValue(), -1);
}

TEST(ParamGrad, NodesIdsSortingAndEvaluation)
{
    KlColGradDescription g;  // black at 0 (id 0), white at 1 (id 1)
    EXPECT_EQ(g.evaluate(0.5f), KlRGBAColF(0.5f, 0.5f, 0.5f, 1));
    EXPECT_EQ(g.evaluate(-1.0f), KlRGBAColF(0, 0, 0, 1));
    g.setNode(KlRGBAColF(1, 0, 0, 1), 0.5f, 1);  // replaces node 1
    g.setNode(KlRGBAColF(0, 1, 0, 1), 0.25f, 7);  // new id 7
    g.setNode(KlRGBAColF(0, 0, 1, 1), 1.0f);  // appended with id 8
    std::vector<int> ids;
    for (const auto& n : g.sortedNodes()) ids.push_back(n.id);
    EXPECT_EQ(ids, (std::vector<int>{0, 7, 1, 8}));
    const KlRGBAColF c = g.evaluate(0.375f);  // between 0.25 (green) and 0.5 (red)
    EXPECT_FLOAT_EQ(c.r, 0.5f);
    EXPECT_FLOAT_EQ(c.g, 0.5f);
    // Cyclic: between the last node and the first seen again at 1.0.
    KlColGradDescription w;
    w.setNode(KlRGBAColF(1, 1, 1, 1), 0.75f, 1);
    w.setCyclic(true);
    EXPECT_FLOAT_EQ(w.evaluate(0.875f).r, 0.5f);  // halfway from white at 0.75 to black at 1.0
    EXPECT_EQ(w.evaluate(1.25f), w.evaluate(0.25f));
}

TEST(ParamLayout, APageCellHoldsOneParameter)
{
    Page page("main");
    page.addParam("gain", 0, 1);
    catchAs<Ex::AssertionFailed>([&] { page.addParam("other", 0, 1); });
    EXPECT_EQ(*page.getParamAtPosition(0, 1), "gain");
    EXPECT_EQ(page.getParamAtPosition(1, 1), nullptr);
}

TEST(ParamSetMembership, AddAliasRemoveAndLocking)
{
    ParamSet set;
    Int* contrast = set.createParam<Int>("contrast", 3);
    EXPECT_EQ(contrast->owner(), &set);
    EXPECT_EQ(contrast->refCount(), 1);  // the set's reference only

    Kiln::RefPtr<Int> second(new Int("contrast"));
    auto dup = catchAs<Ex::DuplicateObject>([&] { set.addParam(second.get()); });
    EXPECT_EQ(dup.message(), "Duplicate 'contrast' not allowed");
    EXPECT_EQ(second->owner(), nullptr);

    auto missing = catchAs<Ex::ObjectUndefined>([&] { set.getIntParam("brightness", 0); });
    EXPECT_EQ(missing.message(), "'brightness' is undefined");

    set.aliasParam("amount", "contrast");
    EXPECT_TRUE(set.hasParam("amount"));
    EXPECT_EQ(set.getIntParam("amount", 0), 3);
    auto aliasOwn = catchAs<Ex::DuplicateObject>([&] { set.aliasParam("contrast", "contrast"); });
    EXPECT_EQ(value(aliasOwn, 0), "'contrast'");
    auto aliasUnknown = catchAs<Ex::ObjectUndefined>([&] { set.aliasParam("x", "nothing"); });
    EXPECT_EQ(value(aliasUnknown, 0), "'nothing'");

    set.setLocked(true);
    EXPECT_TRUE(set.isLocked());
    auto locked = catchAs<Ex::Locked>([&] { set.createParam<Int>("fresh"); });
    EXPECT_EQ(locked.message(), "Locked object.");
    catchAs<Ex::Locked>([&] { set.removeParam(contrast); });
    set.setIntParam("contrast", 9);  // values still change
    EXPECT_EQ(set.getIntParam("amount", 0), 9);

    set.setLocked(false);
    Kiln::RefPtr<Param> hold(contrast);
    contrast->addRef();
    set.removeParam(contrast);
    EXPECT_EQ(contrast->owner(), nullptr);
    EXPECT_FALSE(set.hasParam("contrast"));
    EXPECT_FALSE(set.hasParam("amount"));  // its alias went with it
    EXPECT_TRUE(set.params().empty());
    EXPECT_EQ(contrast->refCount(), 1);
    set.createParam<Int>("contrast");  // the name is free again
}

TEST(ParamSetGetters, ClassRulesAndErrors)
{
    ParamSet set;
    set.createParam<Double>("plain", 2.5);
    set.createParam<Scale>("contrast", 0.15);
    set.createParam<Angle>("angle", 0.5);
    set.createParam<Bool>("on", true);
    Choice* mode = set.createParam<Choice>("mode");
    mode->addOption("Low", 4);
    mode->addOption("High", 9);
    mode->parseValue("High");

    EXPECT_DOUBLE_EQ(set.getDoubleParam("contrast", 0), 0.15);  // a Scale is a Double
    EXPECT_DOUBLE_EQ(set.getDoubleParam("angle", 0), 0.5);
    auto wrong = catchAs<Ex::WrongType>([&] { set.getScaleParam("plain", 0); });
    EXPECT_TRUE(wrong.record().values.empty());
    catchAs<Ex::WrongType>([&] { set.getAngleParam("contrast", 0); });
    catchAs<Ex::WrongType>([&] { set.getBoolParam("plain", 0); });

    EXPECT_EQ(set.getIntParam("on", 0), 1);
    EXPECT_EQ(set.getIntParam("mode", 0), 9);
    auto undefined = catchAs<Ex::Param::ParamUndefined>([&] { set.getIntParam("plain", 0); });
    EXPECT_EQ(value(undefined, 0), "'plain'");

    set.setIntParam("on", 0);
    EXPECT_FALSE(set.getBoolParam("on", 0));
    set.setIntParam("on", 5);
    EXPECT_TRUE(set.getBoolParam("on", 0));
    set.setIntParam("mode", 4);
    EXPECT_EQ(mode->storedValue(), 4);
    catchAs<Ex::BadValue>([&] { set.setIntParam("mode", 5); });  // not an option's value
    EXPECT_EQ(mode->storedValue(), 4);
    catchAs<Ex::Param::ParamWrongType>([&] { set.setIntParam("plain", 1); });

    // Without a host: lights, cameras, integrals and derivatives have no answer.
    LightDescription light;
    auto noLight = catchAs<Ex::FunctionUndefined>([&] { set.getLightParam("x", light, 0); });
    EXPECT_EQ(value(noLight, 0), "'ParamSet::getLightParam for unhosted parameter'");
    CameraDescription camera;
    auto noCamera = catchAs<Ex::FunctionUndefined>([&] { set.getCameraParam("x", camera); });
    EXPECT_EQ(value(noCamera, 0), "'ParamSet::getCameraParam for unhosted parameter'");
    catchAs<Ex::FunctionUndefined>([&] { set.integrateScaleParam("contrast", 0, 10); });
    catchAs<Ex::FunctionUndefined>([&] { set.differentiateDoubleParam("plain", 1); });
    // Keyframes of a parameter without a host: none.
    EXPECT_FALSE(set.paramIsAnimating("plain"));
    EXPECT_EQ(set.paramNumKeys("plain"), 0);
    EXPECT_EQ(set.paramFindKey("plain", 0, KeySearch::Next), -1);
    catchAs<Ex::ObjectUndefined>([&] { set.paramNumKeys("nothing"); });
}

TEST(ParamSetGetters, AliasesReachTheirParameterInGettersAndSetters)
{
    ParamSet set;
    set.createParam<Scale>("s");
    set.createParam<RGBAColour>("rgba");
    set.createParam<Roto>("roto");
    for (const Param* p : std::vector<Param*>(set.params())) set.aliasParam("alias_" + p->name(), p->name());
    set.setScaleParam("alias_s", 0.5);
    set.setRGBAParam("alias_rgba", KlRGBAColF(1, 0.5f, 0, 0.25f));
    KlRotoShape shape;
    shape.points = {HvVec2(0, 0), HvVec2(1, 0), HvVec2(0, 1)};
    set.setRotoParam("alias_roto", shape);
    // currentTime of a plain set is 0: the untimed getters give the stored values.
    EXPECT_EQ(set.currentTime(), 0.0);
    EXPECT_DOUBLE_EQ(set.getScaleParam("s"), 0.5);
    EXPECT_EQ(set.getRGBAParam("alias_rgba"), KlRGBAColF(1, 0.5f, 0, 0.25f));
    EXPECT_EQ(set.getRotoParam("roto"), shape);
}

TEST(ParamSetHosting, QueriesGoToTheHost)
{
    ParamSet set;
    Double* local = set.createParam<Double>("blur", 1.0);
    set.createParam<Roto>("shape");
    set.createParam<Grad>("ramp");
    FakeHost host;
    host.names = {"blur", "lensRadius"};
    set.setHost(&host);
    EXPECT_TRUE(set.isHosted());

    EXPECT_TRUE(set.hasParam("lensRadius"));  // the host's answer, not the set's
    EXPECT_FALSE(set.hasParam("shape"));
    EXPECT_DOUBLE_EQ(set.getDoubleParam("blur", 2), 102);
    EXPECT_DOUBLE_EQ(set.getScaleParam("blur", 2), 202);
    EXPECT_TRUE(set.getGradParam("ramp", 0).cyclic());
    EXPECT_DOUBLE_EQ(set.integrateScaleParam("playSpeed", -1, 10), 22);
    EXPECT_EQ(set.paramFindKey("x", 1, KeySearch::Previous), 2);

    host.calls.clear();
    set.setDoubleParam("blur", 5);
    set.setRGBAParam("x", {});
    set.paramSetKey("x", 1);
    set.paramDeleteKey("x", 1.5);
    set.paramDeleteKey("x", 1);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"setDouble blur", "setRGBA x", "setKey x",
                                                    "deleteKeyAt x", "deleteKey x"}));
    EXPECT_DOUBLE_EQ(local->storedValue(), 1.0);  // the host got it, not the set

    // Roto values and gradients set by name stay with the set.
    host.calls.clear();
    KlRotoShape shape;
    shape.closed = false;
    set.setRotoParam("shape", shape);
    EXPECT_FALSE(set.getRotoParam("shape", 0).closed);
    set.setGradParam("ramp", KlColGradDescription());
    EXPECT_TRUE(host.calls.empty());

    // A parameter asks the host itself when the host knows its name.
    EXPECT_DOUBLE_EQ(local->value(3), 103);
    EXPECT_EQ(local->numKeys(), 3);

    set.setHost(nullptr);
    EXPECT_FALSE(set.isHosted());
    EXPECT_DOUBLE_EQ(set.getDoubleParam("blur", 2), 1.0);
}

TEST(ParamWriting, ShortAndFullForms)
{
    ParamSet set;
    Int* gain = set.createParam<Int>("gain", 2);
    gain->setMin(0);
    gain->setMax(10);
    gain->setLabel("Gain");
    gain->setValueFromText("5");
    Bool* on = set.createParam<Bool>("on", true);
    on->setSecret(true);
    on->setEnabled(false);
    Choice* mode = set.createParam<Choice>("mode", 1);
    mode->addOption("Low", 0, "slow");
    mode->addOption("High", 1);
    mode->aliasOption("Fast", "High");
    Group* group = set.createParam<Group>("g");
    group->addParam("gain");
    Page* page = set.createParam<Page>("p");
    page->addParam("gain", 1, 0);
    page->addParam("on", 0, 2);
    set.createParam<RGBColour>("tint", KlRGBColF(0.25f, 0.5f, 1));

    std::ostringstream brief;
    set.writeXML(brief, false);
    EXPECT_EQ(brief.str(), "<paramset>\n"
                           "  <int name='gain'  value='5' />\n"
                           "  <bool name='on'  value='true' />\n"
                           "  <choice name='mode'  value='1'>\n"
                           "    <option label='Low' description='slow' value='0'/>\n"
                           "    <option label='High' description='' value='1'/>\n"
                           "    <alias name='Fast' original='High' />\n"
                           "  </choice>\n"
                           "  <group name='g' >\n"
                           "<param name=\"gain\" />\n"
                           "  </group>\n"
                           "  <page name='p' >\n"
                           "<row position=\"0\" >\n"
                           "<param name=\"on\" position=\"2\" />\n"
                           "</row>\n"
                           "<row position=\"1\" >\n"
                           "<param name=\"gain\" position=\"0\" />\n"
                           "</row>\n"
                           "  </page>\n"
                           "  <rgb name='tint'  value='0.25 0.5 1' />\n"
                           "</paramset>\n");

    std::ostringstream full;
    set.writeXML(full, true);
    std::string f = full.str();
    EXPECT_NE(f.find("  <int name='gain' label='Gain' enabled='true' significant='true' animatable='true'  "
                     "default='2'  min='0'  max='10'  value='5' />\n"),
              std::string::npos)
        << f;
    EXPECT_NE(f.find("  <bool name='on' secret='true' enabled='false' significant='true' animatable='true'  "
                     "default='true'  value='true' />\n"),
              std::string::npos)
        << f;
    EXPECT_NE(
        f.find("  <choice name='mode' enabled='true' significant='true' animatable='true'  default='1'  "
               "value='1'>\n"),
        std::string::npos)
        << f;

    std::ostringstream gradText;
    Grad::writeGradient(gradText, "value", KlColGradDescription());
    EXPECT_EQ(gradText.str(), "<value cyclic='false' interp='linear'>\n"
                              "  <node value='0 0 0 1 ' position='0' id='0'/>\n"
                              "  <node value='1 1 1 1 ' position='1' id='1'/>\n"
                              "</value>\n");
}

TEST(ParamWriting, NumbersReadBackExactly)
{
    std::ostringstream a, b, c;
    writeNumber(a, 0.5);
    writeNumber(b, 0.1234567890123);
    writeNumber(c, 100000.0);
    EXPECT_EQ(a.str(), "0.5");
    EXPECT_EQ(std::stod(b.str()), 0.1234567890123);
    EXPECT_EQ(c.str(), "100000");
    std::ostringstream v;
    v << HvVec2(1.0f / 3.0f, 2);
    EXPECT_EQ(Double2("v").parseText(v.str()), HvVec2(1.0f / 3.0f, 2));
}
