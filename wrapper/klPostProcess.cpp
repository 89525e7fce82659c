#include "wrapper/klPostProcess.h"

#include "exceptions/klException.h"

#include <cmath>
#include <string>

namespace Kiln::Wrapper {

namespace {

// Parameters the set does not have keep the value given.
struct OptionalReader {
    Kiln::Param::NamedParamSetI& params;
    double time;

    double number(const char* name, double fallback) const
    {
        return params.hasParam(name) ? params.getDoubleParam(name, time) : fallback;
    }
    int32_t choice(const char* name, int32_t fallback) const
    {
        return params.hasParam(name) ? params.getIntParam(name, time) : fallback;
    }
    bool flag(const char* name, bool fallback) const
    {
        return params.hasParam(name) ? params.getBoolParam(name, time) : fallback;
    }
    KlRGBAColF colour(const char* name, const KlRGBAColF& fallback) const
    {
        return params.hasParam(name) ? params.getRGBAParam(name, time) : fallback;
    }
};

// Truncation toward zero into the index range; NaN gives 0 (the texture clamps later).
int32_t truncIndex(double v)
{
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483647.0) return -2147483647;
    return static_cast<int32_t>(v);
}

}  // namespace

PostProcessSettings readPostProcessSettings(Kiln::Param::NamedParamSetI& params, double time)
{
    const OptionalReader in{params, time};
    PostProcessSettings s;
    s.method = in.choice("blendMethod", s.method);
    s.sourceGain = static_cast<float>(in.number("blendSrc", 100.0) / 100.0);
    s.effectGain = static_cast<float>(in.number("blendEffect", 100.0) / 100.0);
    s.blendAmount = static_cast<float>(in.number("blendMix", 50.0) / 100.0);
    s.clamp = in.flag("clampBlendAtFloat", s.clamp);
    s.left = in.number("SourceLeft", s.left);
    s.right = in.number("SourceRight", s.right);
    s.bottom = in.number("SourceBottom", s.bottom);
    s.top = in.number("SourceTop", s.top);
    s.xMethod = in.choice("SourceXMethod", s.xMethod);
    s.yMethod = in.choice("SourceYMethod", s.yMethod);
    s.edgeColour = in.colour("SourceEdgeColour", s.edgeColour);
    s.process = in.choice("postAlphaYesNoNo", s.process);
    s.expand = in.flag("expand", s.expand);
    if (s.process < ProcessRGB || s.process > ProcessSourceRGB)
        throw Kiln::Exceptions::BadValue("Kiln::Wrapper::readPostProcessSettings", __FILE__, __LINE__,
                                         "postAlphaYesNoNo", static_cast<int>(s.process));
    return s;
}

SourceCropWindow sourceCropWindow(const PostProcessSettings& s, int32_t width, int32_t height)
{
    // Percent times size first, then / 100: a whole percent of a whole size stays exact
    // (29 % of 100 is column 29, not 28.999...).
    const double w = width, h = height;
    return {truncIndex(s.left * w / 100.0), truncIndex((100.0 - s.top) * h / 100.0),
            truncIndex(s.right * w / 100.0), truncIndex((100.0 - s.bottom) * h / 100.0)};
}

template <class Px>
Px edgeColourPixel(const KlRGBAColF& colour)
{
    const float channels[4] = {colour.a, colour.r, colour.g, colour.b};
    Px p;
    for (int c = 0; c < 4; ++c) {
        float v = channels[c] * Px::M;
        if constexpr (Px::isInteger) v = v > 0.0f ? (v < Px::M ? v : Px::M) : 0.0f;
        p[c] = Pixel::storeChannel<typename Px::Channel>(v);
    }
    return p;
}

template <class Px>
void applySourceCrop(KlTexture<Px>& source, const PostProcessSettings& settings)
{
    const int32_t w = source.width(), h = source.height();
    if (settings.expand) {
        source.setWindow(0, 0, w - 1, h - 1);
        source.setEdgeModes(KlEdgeColour, KlEdgeColour);
        source.setEdgeColour(Px::filled(0));
        return;
    }
    const SourceCropWindow win = sourceCropWindow(settings, w, h);
    source.setWindow(win.x0, win.y0, win.x1, win.y1);
    source.setEdgeModes(settings.xMethod, settings.yMethod);
    source.setEdgeColour(edgeColourPixel<Px>(settings.edgeColour));
}

namespace {

template <class Px, class F>
void runOnOutput(KlTexture<Px>& output, KlInterruptHook* hook)
{
    Kiln::Processor::Functor1<Px, F> proc;
    proc.setDestination(&output);
    proc.setInterruptHook(hook);
    proc.execute();
}

template <class Px, class F>
void runFromSource(const KlTexture<Px>& source, KlTexture<Px>& output, KlInterruptHook* hook)
{
    Kiln::Processor::Functor2<Px, Px, F> proc;
    proc.setSource(&source);
    proc.setDestination(&output);
    proc.setInterruptHook(hook);
    proc.execute();
}

}  // namespace

template <class Px>
void postProcess(const PostProcessSettings& settings, const KlTexture<Px>& source, KlTexture<Px>& output,
                 bool effectIsStraight, KlInterruptHook* hook)
{
    if (settings.process < ProcessRGB || settings.process > ProcessSourceRGB)
        throw Kiln::Exceptions::BadValue("Kiln::Wrapper::postProcess", __FILE__, __LINE__, "postAlphaYesNoNo",
                                         static_cast<int>(settings.process));
    bool straight = effectIsStraight;
    if (settings.method != Blend::None) {
        KlColourBlendProc<Px> blend;
        blend.blend.method = settings.method;
        blend.blend.sourceGain = settings.sourceGain;
        blend.blend.effectGain = settings.effectGain;
        blend.blend.amount = settings.blendAmount;
        blend.blend.premultiplySource = true;
        blend.blend.premultiplyEffect = effectIsStraight;
        blend.blend.unpremultiplyResult = true;
        blend.blend.clamp = settings.clamp;
        blend.setSource(&source);
        blend.setDestination(&output);
        blend.setInterruptHook(hook);
        blend.execute();
        straight = true;
    }

    if (settings.process == ProcessRGBA && !straight)
        runOnOutput<Px, Kiln::Processor::UnMultiplyByAlpha<Px>>(output, hook);
    else if (settings.process == ProcessRGB && straight)
        runOnOutput<Px, Kiln::Processor::MultiplyByAlpha<Px>>(output, hook);

    switch (settings.process) {
    case ProcessRGB: runFromSource<Px, Kiln::Processor::CopyAlpha<Px>>(source, output, hook); break;
    case ProcessOpaque: runOnOutput<Px, Kiln::Processor::WhitePointAlpha<Px>>(output, hook); break;
    case ProcessSourceRGB: runFromSource<Px, Kiln::Processor::CopyRGB<Px>>(source, output, hook); break;
    default: break;
    }
}

template PixARGB8 edgeColourPixel<PixARGB8>(const KlRGBAColF&);
template PixARGB16 edgeColourPixel<PixARGB16>(const KlRGBAColF&);
template PixARGBF edgeColourPixel<PixARGBF>(const KlRGBAColF&);
template void applySourceCrop<PixARGB8>(KlTexture<PixARGB8>&, const PostProcessSettings&);
template void applySourceCrop<PixARGB16>(KlTexture<PixARGB16>&, const PostProcessSettings&);
template void applySourceCrop<PixARGBF>(KlTexture<PixARGBF>&, const PostProcessSettings&);
template void postProcess<PixARGB8>(const PostProcessSettings&, const KlTexture<PixARGB8>&,
                                    KlTexture<PixARGB8>&, bool, KlInterruptHook*);
template void postProcess<PixARGB16>(const PostProcessSettings&, const KlTexture<PixARGB16>&,
                                     KlTexture<PixARGB16>&, bool, KlInterruptHook*);
template void postProcess<PixARGBF>(const PostProcessSettings&, const KlTexture<PixARGBF>&,
                                    KlTexture<PixARGBF>&, bool, KlInterruptHook*);

}  // namespace Kiln::Wrapper
