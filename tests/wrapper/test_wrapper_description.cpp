#include "tests/param/paramTestUtil.h"
#include "wrapper/klWrapperEffect.h"
#include "wrapper/klWrapperEffectXML.h"

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace Kiln::Wrapper;
namespace Ex = Kiln::Exceptions;

namespace {

class TestEffect : public EffectI {
public:
    TestEffect() : EffectI("test")
    {
        createClip("Source");
        createClip("Matte")->setOptional(true);
    }
};

std::string readError(EffectI& effect, const std::string& doc)
{
    try {
        effect.parseXML(doc);
    } catch (const Ex::XML::Parse& e) {
        return e.record().values.at(1).str();
    }
    return "";
}

// A clip that has an image only when `connected` is set.
class FakeClip : public ClipI {
public:
    bool connected = true;
    std::vector<double> fetched;
    std::array<double, 4> getRegionOfDefinition(double) override { return {0, 10, 0, 5}; }
    bool isConnected() override { return connected; }
    int32_t getComponents() override { return EffectI::ComponentColour; }
    int32_t getDepth() override { return EffectI::DepthFloat; }
    bool fetchImageRaw(double t, KlTexture<Kiln::PixARGB8>&) override { return fetch(t); }
    bool fetchImageRaw(double t, KlTexture<Kiln::PixARGB16>&) override { return fetch(t); }
    bool fetchImageRaw(double t, KlTexture<Kiln::PixARGBF>&) override { return fetch(t); }
    void setFramesNeeded(double, double) override { }
    std::array<double, 2> getFrameRange() override { return {0, 99}; }

private:
    bool fetch(double t)
    {
        fetched.push_back(t);
        return connected;
    }
};

class FakeEffectHost : public FakeHostT<HostI> {
public:
    FakeClip source, matte;
    double currentTime() override { return 12; }
    double frameRate() override { return 25; }
    double renderScaleX() override { return 0.5; }
    double renderScaleY() override { return 1; }
    double pixelAspectRatio() override { return 1; }
    ClipI& getClip(const std::string& name) override
    {
        if (name == "Source") return source;
        if (name == "Matte") return matte;
        throw Ex::Wrapper::ClipUndefined("FakeEffectHost::getClip", __FILE__, __LINE__, name);
    }
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>&) override { }
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>&) override { }
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>&) override { }
    bool abort() override { return false; }
};

}  // namespace

TEST(WrapperEffectXml, AttributesClipsDescriptionAndParameters)
{
    TestEffect effect;
    effect.parseXML(
        "<effect name='Watch' label='Watchcam' group='Stylize' temporalAccess='yes' supportsTiles='0'\n"
        "        fields='single' bitdepths='8 float' components='colour  alpha'>\n"
        "  <description>Old &amp; worn</description>\n"
        "  <clipset>\n"
        "    <clip name='Source' edges='wrap' yedges='colour' cropping='yes' fields='triple' ismask='1'/>\n"
        "    <clip name='Matte' xedges='reflect' edges='repeat' cropping='crops' fields='both'/>\n"
        "  </clipset>\n"
        "  <paramset><int NAME='gain' value='3'/></paramset>\n"
        "</effect>");
    const EffectI::Attributes& a = effect.attributes();
    EXPECT_EQ(a.name, "Watch");
    EXPECT_EQ(a.label, "Watchcam");
    EXPECT_EQ(a.group, "Stylize");
    EXPECT_EQ(a.description, "Old & worn");
    EXPECT_TRUE(a.temporalAccess);
    EXPECT_FALSE(a.supportsTiles);
    EXPECT_EQ(a.fields, EffectI::FieldsSingle);
    EXPECT_EQ(a.bitdepths, unsigned(EffectI::Depth8 | EffectI::DepthFloat));
    EXPECT_EQ(a.components, unsigned(EffectI::ComponentColour | EffectI::ComponentAlpha));

    Clip* source = effect.clipDescription("Source");
    EXPECT_EQ(source->xedges(), Clip::EdgeWrap);
    EXPECT_EQ(source->yedges(), Clip::EdgeColour);
    EXPECT_EQ(source->cropping(), Clip::CroppingNone);
    EXPECT_EQ(source->fields(), Clip::FieldsDouble);
    EXPECT_TRUE(source->ismask());
    Clip* matte = effect.clipDescription("Matte");
    EXPECT_EQ(matte->xedges(), Clip::EdgeReflect);  // "edges" is applied first: "xedges" wins
    EXPECT_EQ(matte->yedges(), Clip::EdgeRepeat);
    EXPECT_EQ(matte->cropping(), Clip::CroppingCrops);
    EXPECT_EQ(matte->fields(), Clip::FieldsBoth);
    EXPECT_EQ(effect.getIntParam("gain", 0), 3);  // parameter attribute names still fold
}

TEST(WrapperEffectXml, ErrorTexts)
{
    struct Case {
        const char* doc;
        const char* message;
    } cases[] = {
        {"<paramset/>", "At line1, element 'paramset' Expecting root XML element 'effect'"},
        {"<effect label='x'/>", "At line1, element 'effect' missing 'name' attribute"},
        {"<effect name='x' Label='y'/>", "At line1, element 'effect' Unknown attributes 'Label'"},
        {"<effect name='x' bitdepths='8 32'/>",
         "At line1, element 'effect' unknown value '32'  in 'bitdepth' attribute"},
        {"<effect name='x'><layer/></effect>", "At line1, element 'layer' unknown type of effect element"},
        {"<effect name='x'><clipset><clip/></clipset></effect>",
         "At line1, element 'clip' needs a name attribute"},
        {"<effect name='x'><clipset>\n<clip name='Other'/></clipset></effect>",
         "At line2, element 'clip' with name = 'Other' is unknown."},
        {"<effect name='x'><description><b/></description></effect>",
         "At line1, element 'b' cannot be a child element of description"},
    };
    for (const Case& c : cases) {
        TestEffect effect;
        EXPECT_EQ(readError(effect, c.doc), std::string("'") + c.message + "'") << c.doc;
    }
    auto e = catchAs<Ex::NullPointer>([] { ClipSetXMLElement element(nullptr); });
    EXPECT_EQ(value(e, 0), "'Null ClipSet set in parser, must not be null'");

    TestEffect effect;
    std::string missing = std::string(KILN_TEST_TMP) + "/missing/effect.xml";
    auto open = catchAs<Ex::File::FileOpen>([&] { effect.parseXMLFile(missing); });
    EXPECT_EQ(value(open, 0), "'open file for reading'");
    EXPECT_EQ(value(open, 1), "'" + missing + "'");
}

TEST(WrapperEffectXml, WrittenEffectReadsBack)
{
    TestEffect original;
    EffectI::Attributes& a = original.attributes();
    a.label = "Label's";
    a.description = "Two\nlines & more";
    a.bitdepths = EffectI::Depth16 | EffectI::DepthFloat;
    a.components = EffectI::ComponentAlpha;
    a.sequentialRender = true;
    original.clipDescription("Source")->setXEdges(Clip::EdgeReflect);
    original.clipDescription("Matte")->setCropping(Clip::CroppingMethods);
    original.createParam<Kiln::Param::Scale>("contrast", 0.15)->setLabel("Contrast");
    std::ostringstream first;
    original.writeEffectXML(first, true);

    std::string path = std::string(KILN_TEST_TMP) + "/effect.xml";
    {
        std::ofstream out(path);
        out << first.str();
    }
    TestEffect copy;
    copy.parseXMLFile(path);
    std::ostringstream second;
    copy.writeEffectXML(second, true);
    EXPECT_EQ(second.str(), first.str());
    EXPECT_EQ(copy.attributes().description, "Two\nlines & more");
}

TEST(WrapperClipSet, FetchFailuresAndReport)
{
    Kiln::Errors::Initialise();
    auto e = catchAs<Ex::Wrapper::FetchNonOptionalImageFailed>(
        [] { ClipSet::reportFetchImageFailure("Source", 12); });
    EXPECT_EQ(e.message(), "Failed to 'checkout' 'image from clip: \"Source\"' - 'frame 12'");

    TestEffect effect;
    KlTexture<Kiln::PixARGBF> texture;
    catchAs<Ex::Wrapper::ClipUndefined>([&] { effect.fetchImage("Source", 0, texture); });  // no host yet

    FakeEffectHost host;
    effect.attachHost(&host);
    EXPECT_TRUE(effect.fetchImage("Source", 3, texture));
    host.source.connected = false;
    host.matte.connected = false;
    auto failed =
        catchAs<Ex::Wrapper::FetchNonOptionalImageFailed>([&] { effect.fetchImage("Source", 4.5, texture); });
    EXPECT_EQ(value(failed, 2), "'frame 4.5'");
    EXPECT_FALSE(effect.fetchImage("Matte", 4, texture));  // optional: no error
    EXPECT_EQ(host.source.fetched, (std::vector<double>{3, 4.5}));
    catchAs<Ex::Wrapper::ClipUndefined>([&] { effect.fetchImage("Other", 0, texture); });
}

TEST(WrapperEffect, AHostedEffectAnswersFromItsHost)
{
    TestEffect effect;
    EXPECT_EQ(effect.currentTime(), 0.0);
    // By name, at the host's time.
    FakeEffectHost host;
    host.names = {"contrast"};
    effect.attachHost(&host);
    EXPECT_TRUE(effect.hasParam("contrast"));
    EXPECT_FALSE(effect.hasParam("blur"));
    EXPECT_EQ(effect.currentTime(), 12.0);
    EXPECT_DOUBLE_EQ(effect.getScaleParam("contrast"), 212);  // untimed: at the host's time
    effect.attachHost(nullptr);
    EXPECT_FALSE(effect.hasParam("contrast"));
}

// Hostile and once-failing effect documents: each reads or raises, never crashes.
TEST(WrapperEffectXml, CorpusReadsOrRaises)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KILN_WRAPPER_CORPUS)) {
        ++files;
        TestEffect effect;
        try {
            effect.parseXMLFile(entry.path().string());
        } catch (const Ex::ExceptionI&) { }
    }
    EXPECT_GT(files, 0);
}
