// The host of fixed values the filter adapters share: what it answers for any name the adapter has or
// lacks, and which frame its clip serves. (The adapters' own tests read the effect's controls through it.)
#include "exceptions/klException.h"
#include "wrapper/klFixedHost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace Kiln::Wrapper;
using Kiln::PixARGB8;
namespace Ex = Kiln::Exceptions;

namespace {

// Frames over test memory, seen through views as an adapter sees the host's buffers.
struct Frame {
    std::vector<PixARGB8> pixels = std::vector<PixARGB8>(16);
    KlTexture<PixARGB8> tex{pixels.data(), 4, 4, 4 * int32_t(sizeof(PixARGB8))};
};

class TestClip : public FixedClip {
public:
    using FixedClip::FixedClip;
    using FixedClip::setCurrent;
    const KlTexture<PixARGB8>* other = nullptr;
    std::vector<double> asked;

protected:
    const KlTexture<PixARGB8>* otherFrame(double time) override
    {
        asked.push_back(time);
        return other;
    }
};

// One double value, "gain", and a left crop of half the source, its edges in the edge colour.
class TestHost : public FixedHost {
public:
    TestHost(int32_t frame, KlTexture<PixARGB8>& output) : FixedHost(frame, 25.0, output, "Source") { }
    TestClip source{*this};

    bool hasParam(const std::string& name) override
    {
        return name == "gain" || name == "SourceLeft" || name == "SourceXMethod";
    }
    double getDoubleParam(const std::string& name, double) override
    {
        if (name == "SourceLeft") return 50.0;
        return name == "gain" ? 2.5 : wrong(name);
    }
    double getScaleParam(const std::string& name, double) override { return wrong(name); }
    int getIntParam(const std::string& name, double) override
    {
        return name == "SourceXMethod" ? KlEdgeColour : int(wrong(name));
    }
    bool getBoolParam(const std::string& name, double) override { return wrong(name) != 0.0; }
    KlRGBAColF getRGBAParam(const std::string& name, double) override
    {
        if (name == "gain") return {0.25f, 0.5f, 0.75f, 0.125f};
        return {float(wrong(name)), 0, 0, 0};
    }

protected:
    ClipI& clip() override { return source; }

private:
    double wrong(const std::string& name)
    {
        if (!hasParam(name)) throw Ex::Wrapper::ParameterUndefined("TestHost", __FILE__, __LINE__, name);
        throw Ex::WrongType("TestHost", __FILE__, __LINE__, name, "other");
    }
};

}  // namespace

TEST(FixedHost, AnswersForFixedValuesAndServesTheCurrentFrame)
{
    Frame out, current, held;
    TestHost host(12, out.tex);
    EXPECT_EQ(host.currentTime(), 12.0);
    EXPECT_EQ(host.frameRate(), 25.0);
    EXPECT_EQ(host.renderScaleX(), 1.0);
    EXPECT_EQ(host.renderScaleY(), 1.0);
    EXPECT_EQ(host.pixelAspectRatio(), 1.0);
    EXPECT_FALSE(host.abort());

    // Nothing varies: no keys, a constant integral over the frames from 0 on, no slope.
    EXPECT_FALSE(host.paramIsAnimating("gain"));
    EXPECT_EQ(host.paramNumKeys("gain"), 0);
    EXPECT_EQ(host.paramFindKey("gain", 3.0, Kiln::Param::KeySearch::Next), -1);
    EXPECT_DOUBLE_EQ(host.integrateDoubleParam("gain", -4.0, 6.0), 15.0);
    EXPECT_DOUBLE_EQ(host.integrateDoubleParam("gain", -4.0, -1.0), 0.0);
    EXPECT_EQ(host.differentiateDoubleParam("gain", 5.0), 0.0);
    const KlRGBColF rgb = host.getRGBParam("gain", 0.0);
    EXPECT_EQ(rgb.r, 0.25f);
    EXPECT_EQ(rgb.b, 0.75f);

    // A name it lacks is undefined for every read; one it has is of the wrong type for the kinds it
    // never holds; keys and writes are not offered.
    EXPECT_THROW(host.paramIsAnimating("other"), Ex::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.paramNumKeys("other"), Ex::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.getAngleParam("other", 0.0), Ex::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.integrateScaleParam("other", 0.0, 1.0), Ex::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.differentiateDoubleParam("other", 0.0), Ex::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.getAngleParam("gain", 0.0), Ex::WrongType);
    std::string text;
    EXPECT_THROW(host.getStringParam("gain", text, 0.0), Ex::WrongType);
    EXPECT_THROW(host.get2DDoubleParam("gain", 0.0), Ex::WrongType);
    EXPECT_THROW(host.integrateScaleParam("gain", 0.0, 1.0), Ex::WrongType);
    EXPECT_THROW(host.paramSetKey("gain", 1.0), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(host.paramDeleteKey("gain", 0), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(host.paramKeyTime("gain", 0), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(host.setDoubleParam("gain", 1.0), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(host.setGradParam("gain", {}), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(host.getRectIParam("gain", 0.0), Ex::AfterEffects::FeatureUnsupported);

    // The output and the one clip, 8-bit only.
    KlTexture<PixARGB8> view;
    host.fetchOutputImageRaw(view);
    EXPECT_EQ(view.data(), out.tex.data());
    KlTexture<Kiln::PixARGBF> floats;
    EXPECT_THROW(host.fetchOutputImageRaw(floats), Ex::Wrapper::FetchImageFailed);
    EXPECT_THROW(host.getClip("Matte"), Ex::Wrapper::ClipUndefined);
    ClipI& clip = host.getClip("Source");
    EXPECT_EQ(&clip, &host.source);
    EXPECT_FALSE(clip.isConnected());
    EXPECT_FALSE(clip.fetchImageRaw(12.0, view));
    EXPECT_THROW(clip.getFrameRange(), Ex::AfterEffects::FeatureUnsupported);
    EXPECT_THROW(clip.fetchImageRaw(12.0, floats), Ex::Wrapper::FetchImageFailed);

    // The current frame as it is; another time's frame, or the current one standing in for it, cropped.
    host.source.setCurrent(&current.tex);
    EXPECT_TRUE(clip.isConnected());
    EXPECT_EQ(clip.getRegionOfDefinition(3.0), (std::array<double, 4>{0.0, 4.0, 0.0, 4.0}));
    ASSERT_TRUE(clip.fetchImageRaw(12.0, view));
    EXPECT_EQ(&view.sampleNearest(0, 0), current.tex.pixelAddress(0, 0));
    EXPECT_TRUE(host.source.asked.empty());
    ASSERT_TRUE(clip.fetchImageRaw(11.0, view));
    EXPECT_EQ(&view.sampleNearest(3, 0), current.tex.pixelAddress(3, 0));
    EXPECT_EQ(&view.sampleNearest(0, 0), &view.edgeColour());
    host.source.other = &held.tex;
    ASSERT_TRUE(clip.fetchImageRaw(10.5, view));
    EXPECT_EQ(&view.sampleNearest(3, 0), held.tex.pixelAddress(3, 0));
    EXPECT_EQ(&view.sampleNearest(0, 0), &view.edgeColour());
    EXPECT_EQ(host.source.asked, (std::vector<double>{11.0, 10.5}));
    // Each fetch is a fresh view: the crop of the last one is not carried over.
    ASSERT_TRUE(clip.fetchImageRaw(12.0, view));
    EXPECT_EQ(&view.sampleNearest(0, 0), current.tex.pixelAddress(0, 0));
}
