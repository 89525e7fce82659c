#include "param/klParamXML.h"
#include "paramTestUtil.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace Kiln::Param;
namespace Ex = Kiln::Exceptions;

namespace {

// The located message of the Parse exception a document raises ("" when none).
std::string readError(ParamSet& set, const std::string& doc)
{
    try {
        set.parseXML(doc);
    } catch (const Ex::XML::Parse& e) {
        return e.record().values.at(1).str();
    }
    return "";
}

std::string written(const ParamSet& set, bool full)
{
    std::ostringstream out;
    set.writeXML(out, full);
    return out.str();
}

}  // namespace

TEST(ParamXmlRead, UnlockedSetsCreateAndUpdate)
{
    ParamSet set;
    std::string doc = "<paramset><int name='gain' min='0' max='10' value='5'/></paramset>";
    set.parseXML(doc);
    Int* gain = set.getAndCastParam<Int>("gain");
    ASSERT_NE(gain, nullptr);
    EXPECT_EQ(gain->min(), 0);
    EXPECT_EQ(gain->max(), 10);
    EXPECT_FALSE(gain->visualMin().has_value());
    EXPECT_EQ(gain->storedValue(), 5);
    set.parseXML("<paramset><int name='gain' value='50'/></paramset>");  // updates, stored unclamped
    EXPECT_EQ(set.params().size(), 1u);
    EXPECT_EQ(set.getAndCastParam<Int>("gain"), gain);
    EXPECT_EQ(gain->storedValue(), 50);

    // Attribute names ignore case; values are read by each type's text form.
    set.parseXML(
        "<paramset>\n"
        "<scale NAME='contrast' Default='0.15' VALUE='0.5' visualMax='2' label='Contrast'/>\n"
        "<pos2d name='centre' value='0.5 0.25' min='0 0'/>\n"
        "<rectd name='box' value='0 0 1 2'/>\n"
        "<recti name='win' value='1 2 3 4' max='2 2'/>\n"
        "<rgba name='edge' value='0 0 0 1' default='1 1 1 1'/>\n"
        "<string name='title' value='A title'/>\n"
        "<bool name='quantise' value='yes' secret='1' enabled='no' animatable='0' significant='vrai'/>\n"
        "<pushbutton name='go'/>\n"
        "</paramset>");
    EXPECT_EQ(set.getAndCastParam<Scale>("contrast")->defaultValue(), 0.15);
    EXPECT_DOUBLE_EQ(set.getScaleParam("contrast", 0), 0.5);
    EXPECT_EQ(set.getAndCastParam<Scale>("contrast")->visualMax(), 2.0);
    EXPECT_EQ(set.getParam("contrast")->label(), "Contrast");
    EXPECT_EQ(set.get2DDoubleParam("centre", 0), HvVec2(0.5f, 0.25f));
    EXPECT_EQ(set.getRectDParam("box", 0), HvBox2(0, 0, 1, 2));
    EXPECT_EQ(set.getRectIParam("win", 0), KlRectI(1, 2, 3, 4));  // unclamped
    EXPECT_EQ(set.getRGBAParam("edge", 0), KlRGBAColF(0, 0, 0, 1));
    std::string title;
    set.getStringParam("title", title, 0);
    EXPECT_EQ(title, "A title");
    Param* q = set.getParam("quantise");
    EXPECT_TRUE(set.getBoolParam("quantise", 0));
    EXPECT_TRUE(q->secret());
    EXPECT_FALSE(q->enabled());
    EXPECT_FALSE(q->animatable());
    EXPECT_TRUE(q->significant());
    EXPECT_STREQ(set.getParam("go")->typeName(), "pushbutton");
}

TEST(ParamXmlRead, ValidAttributeUsesTheBooleanRule)
{
    for (const char* yes : {"Yes", " 1", "0x10", "TRUE", "vero"}) {
        ParamSet set;
        set.parseXML(std::string("<paramset><int name='x' valid='") + yes + "'/></paramset>");
        EXPECT_TRUE(set.getParam("x")->valid()) << yes;
    }
    for (const char* no : {"no", "0", "false", ""}) {
        ParamSet set;
        set.parseXML(std::string("<paramset><int name='x' valid='") + no + "'/></paramset>");
        EXPECT_FALSE(set.getParam("x")->valid()) << no;
    }
}

TEST(ParamXmlRead, LockedSetsOnlyUpdate)
{
    ParamSet set;
    Int* gain = set.createParam<Int>("gain", 3);
    set.setLocked(true);
    set.parseXML("<paramset><int name='gain' default='9' value='4' min='1' label='G'/></paramset>");
    EXPECT_EQ(gain->defaultValue(), 3);  // default taken but ignored
    EXPECT_EQ(gain->storedValue(), 4);
    EXPECT_EQ(gain->min(), 1);
    EXPECT_EQ(gain->label(), "G");

    EXPECT_EQ(readError(set, "<paramset><int name='other' min='0' max='10'/></paramset>"),
              "'At line1, element 'int' with name = 'other' is unknown.'");
    EXPECT_EQ(set.params().size(), 1u);
    EXPECT_EQ(readError(set, "<paramset><int name='gain' enabled='false'/></paramset>"),
              "'At line1, element 'int' Unknown attributes 'enabled''");
    EXPECT_EQ(readError(set, "<paramset><int name='gain' secret='1' animatable='0'/></paramset>"),
              "'At line1, element 'int' Unknown attributes 'animatable' 'secret''");
    EXPECT_TRUE(gain->enabled());
}

TEST(ParamXmlRead, EveryElementErrorText)
{
    struct Case {
        const char* doc;
        const char* message;
    } cases[] = {
        {"<settings/>", "At line1, element 'settings' Expecting root XML element 'paramset'"},
        {"<paramset><float name='x'/></paramset>",
         "At line1, element 'float' unknown type of parameter element"},
        {"<paramset><int value='1'/></paramset>", "At line1, element 'int' needs a name attribute"},
        {"<paramset><int name='x'/>\n<double name='x'/></paramset>",
         "At line2, element 'double' with name = 'x' exists and has a different type."},
        {"<paramset><int name='x'/><group name='x'/></paramset>",
         "At line1, element 'group' with name = 'x' exists and has a different type."},
        {"<paramset><int name='x' colour='red'/></paramset>",
         "At line1, element 'int' Unknown attributes 'colour'"},
        {"<paramset><int name='x' min='abc'/></paramset>",
         "At line1, element 'int' 'min' has a bad value 'abc'."},
        {"<paramset><alias original='x'/></paramset>",
         "At line1, element 'alias' alias element needs a 'name' attribute"},
        {"<paramset><alias name='y'/></paramset>",
         "At line1, element 'alias' alias element needs an 'original' attribute"},
        {"<paramset><choice name='c'><option value='1'/></choice></paramset>",
         "At line1, element 'option' choice option needs a label"},
        {"<paramset><choice name='c'><item/></choice></paramset>",
         "At line1, element 'item' cannot be a child element of choice"},
        {"<paramset><choice name='c'><alias name='a'/></choice></paramset>",
         "At line1, element 'alias' alias element needs an 'original' attribute"},
        {"<paramset><choice name='c' value='Medium'><option label='Low'/></choice></paramset>",
         "At line1, element 'choice' 'Medium' is not an option to the choice parameter c"},
        {"<paramset><colourgrad name='g'><value interp='spline'/></colourgrad></paramset>",
         "At line1, element 'grad' Grad element has unknown value for the 'interp' attribute"},
        {"<paramset><colourgrad name='g'><value><node value='0 0 0 1'/></value></colourgrad></paramset>",
         "At line1, element 'node' Grad node element missing 'position' attribute'"},
        {"<paramset><colourgrad name='g'><value><node position='1'/></value></colourgrad></paramset>",
         "At line1, element 'node' Grad node element missing 'value' attribute'"},
        {"<paramset><colourgrad name='g'><mid/></colourgrad></paramset>",
         "At line1, element 'mid' cannot be a child element of colourgrad"},
        {"<paramset><group name='g'><param/></group></paramset>",
         "At line1, element 'param' group param needs a name"},
        {"<paramset><page name='p'><column/></page></paramset>",
         "At line1, element 'column' page element needs position "},
        {"<paramset><page name='p'><column position='1'><cell position='0'/></column></page></paramset>",
         "At line1, element 'cell' page element needs a name "},
        {"<paramset><page name='p'><column position='1'><cell name='x'/></column></page></paramset>",
         "At line1, element 'cell' page element needs position "},
        {"<paramset><page name='p'><column position='x'/></page></paramset>",
         "At line1, element 'column' page element needs position "},
    };
    for (const Case& c : cases) {
        ParamSet set;
        EXPECT_EQ(readError(set, c.doc), std::string("'") + c.message + "'") << c.doc;
    }
}

TEST(ParamXmlRead, SetExceptionsPassThroughUnchanged)
{
    ParamSet set;
    EXPECT_THROW(set.parseXML("<paramset><choice name='c'><option label='A' value='1'/>"
                              "<option label='B' value='1'/></choice></paramset>"),
                 Ex::DuplicateObject);
    ParamSet aliases;
    EXPECT_THROW(aliases.parseXML("<paramset><alias name='a' original='nothing'/></paramset>"),
                 Ex::ObjectUndefined);
    auto e = catchAs<Ex::NullPointer>([] { ParamSetXMLElement element(nullptr); });
    EXPECT_EQ(value(e, 0), "'Null ParamSet set in parser, must not be null'");
}

TEST(ParamXmlRead, ChoicesGroupsPagesAliases)
{
    // The written forms of every class are the round trip's below; here the forms only people write.
    ParamSet set;
    set.parseXML(
        "<paramset>\n"
        "<choice name='mode' default='Low' value='Fast'>\n"
        "  <option label='Low' value='0' description='slow'/>\n"
        "  <option label='High' value='1'/>\n"
        "  <alias name='Fast' original='High'/>\n"
        "</choice>\n"
        "<colourgrad name='ramp'><value cyclic='yes' interp='cubic'/></colourgrad>\n"
        "<page name='p'><column position='2'><a name='mode' position='0'/><b name='ramp' position='1'/>"
        "</column></page>\n"
        "<alias name='style' original='mode'/>\n"
        "</paramset>");
    Choice* mode = set.getAndCastParam<Choice>("style");
    EXPECT_EQ(mode->storedValue(), 1);
    EXPECT_EQ(mode->defaultValue(), 0);
    EXPECT_EQ(mode->options()[0].description, "slow");
    EXPECT_EQ(set.getGradParam("ramp", 0).interpolation(), KlColGradDescription::Cubic);
    Page* page = set.getAndCastParam<Page>("p");
    EXPECT_EQ(*page->getParamAtPosition(0, 2), "mode");
    EXPECT_EQ(*page->getParamAtPosition(1, 2), "ramp");
}

TEST(ParamXmlRead, EmptyTruncatedAndMissingFiles)
{
    ParamSet set;
    set.createParam<Int>("gain", 4);
    set.parseXML("");
    EXPECT_EQ(set.params().size(), 1u);
    EXPECT_NE(readError(set, "<paramset><int name='new' value='1'/>"), "");  // cut off before </paramset>

    std::string path = std::string(KILN_TEST_TMP) + "/empty.xml";
    std::ofstream(path).close();
    set.parseXMLFile(path);

    std::string missing = std::string(KILN_TEST_TMP) + "/no/such/file.xml";
    auto e = catchAs<Ex::File::FileOpen>([&] { set.parseXMLFile(missing); });
    EXPECT_EQ(value(e, 0), "'open file for reading'");
    EXPECT_EQ(value(e, 1), "'" + missing + "'");
}

namespace {

// A set with one parameter of every class and texts that need escaping.
void fillEverything(ParamSet& set)
{
    Int* i = set.createParam<Int>("gain", 2);
    i->setMin(-5);
    i->setMax(10);
    i->setVisualMax(8);
    i->setLabel("Gain's \"level\" <dB> & more");
    i->setDescription("line one\nline two\ttabbed");
    i->setStoredValue(7);
    Scale* s = set.createParam<Scale>("contrast", 0.15);
    s->setStoredValue(0.1234567890123);
    s->setMin(0);
    set.createParam<Angle>("angle", 0.5)->setSecret(true);
    set.createParam<XSize>("width", 3)->setEnabled(false);
    set.createParam<TimePos>("when", 12)->setAnimatable(false);
    set.createParam<Pos2D>("centre", HvVec2(0.5f, 0.25f))->setMin(HvVec2(-1, -1));
    set.createParam<RectD>("box", HvBox2(0, 0, 1.0f / 3.0f, 2))->setMax(HvVec2(4, 4));
    set.createParam<RectI>("win", KlRectI(1, 2, 3, 4))->setMin(KlPointI(0, 0));
    set.createParam<Bool>("on", true)->setSignificant(false);
    set.createParam<String>("title", "It's <b> & \"c\"");
    set.createParam<RGBColour>("tint", KlRGBColF(0.25f, 0.65f, 0.3f));
    set.createParam<RGBAColour>("edge", KlRGBAColF(0, 0, 0, 1));
    set.createParam<PushButton>("go");
    set.createParam<Roto>("shape");
    Choice* c = set.createParam<Choice>("mode", 1);
    c->addOption("Low & slow", 0, "It's slow");
    c->addOption("High", 1);
    c->addOption("Off", -2);
    c->aliasOption("Fast's", "High");
    c->setValue(-2);
    Grad* g = set.createParam<Grad>("ramp");
    g->gradient().setNode(KlRGBAColF(1, 0, 0, 1), 0.5f);
    g->gradient().setCyclic(true);
    g->defaultGradient().setInterpolation(KlColGradDescription::Cubic);
    Group* grp = set.createParam<Group>("grp");
    grp->addParam("gain");
    grp->addParam("Low's");
    Page* page = set.createParam<Page>("page");
    page->addParam("gain", 0, 0);
    page->addParam("mode & more", 2, 1);
    set.aliasParam("amount", "gain");
}

}  // namespace

namespace {

// Random sets of every parameter class with values at the edges of what the model holds: numbers
// from the whole range (infinities, NaN, -0, the smallest and largest), texts that need escaping,
// choices whose labels are numbers and whose value or default is no option, bounds set or not.
class RandomSet {
public:
    explicit RandomSet(unsigned seed) : rng_(seed) { }

    void fill(ParamSet& set)
    {
        static const char* const kTypes[] = {
            "pushbutton", "bool",   "string", "roto",    "int",     "rgb",   "rgba",    "double",
            "xsize",      "ysize",  "xpos",   "ypos",    "scale",   "angle", "timepos", "timesize",
            "double2",    "size2d", "pos2d",  "scale2d", "angle2d", "rectd", "recti"};
        int n = 0;
        for (const char* type : kTypes) {
            Kiln::RefPtr<Param> p(createParamOfType(type, "p" + std::to_string(n++)));
            set.addParam(p.get());
            common(*p);
            if (auto* i = dynamic_cast<Int*>(p.get())) bounded(*i, [&] { return integer(); });
            if (auto* d = dynamic_cast<Double*>(p.get())) bounded(*d, [&] { return real(); });
            if (auto* v = dynamic_cast<Double2*>(p.get())) bounded(*v, [&] { return vec(); });
            if (auto* r = dynamic_cast<RectD*>(p.get())) {
                r->setDefault({vec(), vec()});
                r->setStoredValue({vec(), vec()});
                bounds(*r, [&] { return vec(); });
            }
            if (auto* r = dynamic_cast<RectI*>(p.get())) {
                r->setDefault({integer(), integer(), integer(), integer()});
                r->setStoredValue({integer(), integer(), integer(), integer()});
                bounds(*r, [&] { return KlPointI(integer(), integer()); });
            }
            if (auto* b = dynamic_cast<Bool*>(p.get())) b->setDefault(coin()), b->setStoredValue(coin());
            if (auto* t = dynamic_cast<String*>(p.get())) t->setDefault(text()), t->setStoredValue(text());
            if (auto* c = dynamic_cast<RGBColour*>(p.get()))
                c->setDefault({single(), single(), single()}),
                    c->setStoredValue({single(), single(), single()});
            if (auto* c = dynamic_cast<RGBAColour*>(p.get())) {
                c->setDefault({single(), single(), single(), single()});
                c->setStoredValue({single(), single(), single(), single()});
            }
        }
        for (int k = 0; k < 3; ++k) {
            Choice* c = set.createParam<Choice>("c" + std::to_string(k), integer());
            common(*c);
            static const char* const kLabels[] = {"1", "2", "-3", "+4", "b", "a b", "", "It's <x> & \"y\"",
                                                  "07"};
            for (int o = 0, count = int(rng_() % 5); o < count; ++o) {
                const std::string label = kLabels[rng_() % 9];
                const int32_t value = int32_t(rng_() % 9) - 4;
                if (!c->optionByLabel(label) && !c->optionByValue(value) && !c->aliases().count(label))
                    c->addOption(label, value, text());
            }
            if (coin()) c->aliasOption(kLabels[rng_() % 9] + std::string("+"), "b");
            if (!c->options().empty() && coin())
                c->setValue(c->options()[rng_() % c->options().size()].value);
            if (coin()) c->setDefault(coin() || c->options().empty() ? integer() : c->options()[0].value);
        }
        Grad* g = set.createParam<Grad>("g");
        common(*g);
        for (KlColGradDescription* d : {&g->gradient(), &g->defaultGradient()}) {
            d->setCyclic(coin());
            d->setInterpolation(coin() ? KlColGradDescription::Cubic : KlColGradDescription::Linear);
            for (int k = 0, count = int(rng_() % 4); k < count; ++k)
                d->setNode({single(), single(), single(), single()}, float(rng_() % 1000) / 999.0f);
        }
        Group* group = set.createParam<Group>("grp");
        for (int k = 0, count = int(rng_() % 4); k < count; ++k)
            if (std::string t = text(); !group->contains(t)) group->addParam(t);
        Page* page = set.createParam<Page>("page");
        for (int k = 0, count = int(rng_() % 5); k < count; ++k) {
            const int32_t row = int32_t(rng_() % 3), column = int32_t(rng_() % 3);
            if (!page->getParamAtPosition(row, column)) page->addParam(text(), row, column);
        }
    }

private:
    bool coin() { return rng_() % 2 == 0; }
    int32_t integer()
    {
        static const int32_t kEdges[] = {0, 1, -1, INT32_MIN, INT32_MAX};
        return coin() ? kEdges[rng_() % 5] : int32_t(rng_());
    }
    double real()
    {
        static const double kEdges[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 5e-324, 1.7976931348623157e308,
                                        0.1};
        if (coin()) return kEdges[rng_() % 8];
        return std::ldexp(double(int64_t(rng_()) - int64_t(rng_())), int(rng_() % 200) - 100);
    }
    float single()
    {
        static const float kEdges[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1e-45f, 3.4028235e38f, 0.1f};
        if (coin()) return kEdges[rng_() % 8];
        return std::ldexp(float(int32_t(rng_() % 2000001) - 1000000), int(rng_() % 60) - 30);
    }
    HvVec2 vec() { return {single(), single()}; }
    std::string text()
    {
        static const char* const kPieces[] = {"a",  "It's", " ",  "<b>", "&amp;", "\"",
                                              "\t", "\n",   "\r", "é",   "€",     "1"};
        std::string t;
        for (int k = 0, count = int(rng_() % 5); k < count; ++k) t += kPieces[rng_() % 12];
        return t;
    }
    void common(Param& p)
    {
        p.setLabel(text());
        p.setDescription(text());
        p.setSecret(coin());
        p.setEnabled(coin());
        p.setSignificant(coin());
        p.setAnimatable(coin());
    }
    template <class P, class Make>
    void bounds(P& p, Make make)
    {
        if (coin()) p.setMin(make());
        if (coin()) p.setMax(make());
        if (coin()) p.setVisualMin(make());
        if (coin()) p.setVisualMax(make());
    }
    template <class P, class Make>
    void bounded(P& p, Make make)
    {
        p.setDefault(make());
        p.setStoredValue(make());
        bounds(p, make);
    }

    std::mt19937 rng_;
};

}  // namespace

TEST(ParamXmlRoundTrip, EveryValueOfEveryClassReadsBack)
{
    // The writer is exact (numbers with every digit they need, texts escaped), so equal documents mean
    // equal sets; the values are random, so a reader that dropped any of them would write another one.
    for (unsigned seed = 1; seed <= 40; ++seed) {
        ParamSet original;
        RandomSet(seed).fill(original);
        for (bool full : {true, false}) {
            const std::string text = written(original, full);
            ParamSet copy;
            ASSERT_NO_THROW(copy.parseXML(text)) << "seed " << seed << "\n" << text;
            ASSERT_EQ(written(copy, full), text) << "seed " << seed;
        }
    }
    // The failures the random sets are made to meet: a label that is a number, a value that is no
    // option, and numbers that are not finite.
    ParamSet set;
    Choice* c = set.createParam<Choice>("c");
    c->addOption("1", 0);
    c->addOption("b", 1);
    c->setValue(1);
    c->setDefault(7);
    set.createParam<Double>("d")->setStoredValue(INFINITY);
    set.createParam<RGBColour>("rgb")->setStoredValue({NAN, -INFINITY, 0.5f});
    ParamSet copy;
    copy.parseXML(written(set, true));
    EXPECT_EQ(copy.getIntParam("c", 0), 1);
    EXPECT_EQ(copy.getAndCastParam<Choice>("c")->defaultValue(), 7);
    EXPECT_EQ(copy.getDoubleParam("d", 0), INFINITY);
    const KlRGBColF rgb = copy.getRGBParam("rgb", 0);
    EXPECT_TRUE(std::isnan(rgb.r));
    EXPECT_EQ(rgb.g, -INFINITY);
}

TEST(ParamXmlRoundTrip, ShortFormRestoresALockedSet)
{
    ParamSet set;
    fillEverything(set);
    std::string brief = written(set, false);
    std::string full = written(set, true);
    set.setIntParam("gain", 1);
    set.setBoolParam("on", false);
    set.setIntParam("mode", 1);
    set.getAndCastParam<Grad>("ramp")->gradient().setNode(KlRGBAColF(0, 1, 0, 1), 0.75f, 1);
    set.setLocked(true);
    // A locked set keeps its flags: the full form's flag attributes are refused.
    EXPECT_EQ(readError(set, full).find("'At line2, element 'int' Unknown attributes 'animatable' 'enabled'"),
              0u);
    set.parseXML(brief);
    EXPECT_EQ(written(set, false), brief);
    EXPECT_EQ(set.getIntParam("gain", 0), 7);
    EXPECT_TRUE(set.getBoolParam("on", 0));
    EXPECT_EQ(set.getIntParam("mode", 0), -2);
    EXPECT_EQ(set.getAndCastParam<Choice>("mode")->options().size(), 3u);
    EXPECT_EQ(set.getAndCastParam<Group>("grp")->params().size(), 2u);
}

TEST(ParamXmlRoundTrip, LargeFilesReadInPieces)
{
    // The XML reader takes a file a buffer at a time: four buffers' worth must read as one document.
    ParamSet original;
    for (int i = 0; i < 400; ++i) {
        Double* d = original.createParam<Double>("param" + std::to_string(i), i * 0.5);
        d->setLabel("Parameter number " + std::to_string(i) + " with a long label");
        d->setMin(-i);
    }
    std::string path = std::string(KILN_TEST_TMP) + "/large.xml";
    {
        std::ofstream out(path);
        original.writeXML(out, true);
    }
    ASSERT_GT(std::filesystem::file_size(path), 4u * 10240u);
    ParamSet copy;
    copy.parseXMLFile(path);
    EXPECT_EQ(written(copy, true), written(original, true));
    EXPECT_DOUBLE_EQ(copy.getDoubleParam("param399", 0), 199.5);
}

// Inputs that once broke the reader, and hand-made hostile ones: each must read
// or raise an exception of the family, never crash.
TEST(ParamXmlCorpus, EveryFileReadsOrRaises)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KILN_PARAM_CORPUS)) {
        ++files;
        ParamSet set;
        try {
            set.parseXMLFile(entry.path().string());
        } catch (const Ex::ExceptionI&) { }
        ParamSet locked;
        locked.createParam<Int>("gain");
        locked.setLocked(true);
        try {
            locked.parseXMLFile(entry.path().string());
        } catch (const Ex::ExceptionI&) { }
    }
    EXPECT_GT(files, 0);
}
