#pragma once
// The shared post-processing stage: source crops and edges, gains, blending and the
// alpha finish. Any effect of the framework may carry its parameters; a render uses it
// in two steps:
//
//     PostProcessSettings pp = readPostProcessSettings(host, time);
//     applySourceCrop(source, pp);                  // before any source pixel is read
//     ... the effect's own stages write `output` ...
//     postProcess(pp, source, output, effect.isStraight(), &hook);
//
// Everything works in the stored range of the pixel type (M = 255, 32768 or 1) and is
// written once for the three depths. The blend and the alpha finish run on worker
// threads over bands of rows of the output, in place; the source is read through its
// texture at the output's global coordinates, so outside the crop window it is
// produced by the texture's edge rule.
#include "image/klFunctors.h"
#include "image/klMultiProcessor.h"
#include "image/klPixel.h"
#include "image/klSamplers.h"
#include "image/klTexture.h"
#include "param/klNamedParamSet.h"
#include "wrapper/klBlendMaths.h"

#include <cstdint>

namespace Kiln::Wrapper {

// The "Process" choice: what the output's alpha (or colour) becomes at the end.
enum PostProcessAlpha : int32_t {
    ProcessRGB = 0,  // the output takes the source's alpha
    ProcessRGBA = 1,  // the output keeps the effect's alpha
    ProcessOpaque = 2,  // alpha set to M
    ProcessSourceRGB = 3,  // the output takes the source's colour channels
};

struct PostProcessSettings {
    int32_t method = Blend::None;  // internal method number
    float sourceGain = 1.0f;  // fractions: percent / 100
    float effectGain = 1.0f;
    float blendAmount = 0.5f;
    bool clamp = false;
    // Crop window in percent; Bottom and Top are measured up from the bottom edge.
    double left = 0.0;
    double right = 100.0;
    double bottom = 0.0;
    double top = 100.0;
    int32_t xMethod = KlEdgeReflect;  // texture edge modes 0..3
    int32_t yMethod = KlEdgeWrap;
    KlRGBAColF edgeColour{0.0f, 0.0f, 0.0f, 1.0f};  // 0..1, alpha included
    int32_t process = ProcessRGB;
    bool expand = false;
};

// Reads the stage's parameters at `time`. A name the set does not have keeps its default
// (None, 100, 100, 50, off, 0/100/0/100, Reflect, Wrap, opaque black, RGB, no expand).
// BadValue for a "Process" value outside 0..3.
PostProcessSettings readPostProcessSettings(Kiln::Param::NamedParamSetI& params, double time);

// Inclusive crop window in axis indices, before the texture clamps it into the image.
struct SourceCropWindow {
    int32_t x0;
    int32_t y0;
    int32_t x1;
    int32_t y1;
};
// Columns trunc(Left·w) .. trunc(Right·w), rows trunc((1 − Top)·h) .. trunc((1 − Bottom)·h).
SourceCropWindow sourceCropWindow(const PostProcessSettings& settings, int32_t width, int32_t height);

// The edge colour in the stored type: each channel times M, truncated (and limited to
// 0..M for integer channels).
template <class Px>
Px edgeColourPixel(const KlRGBAColF& colour);

// Crop window, edge modes and edge colour of the source texture; with "expand" on, the
// whole image with transparent black beyond it.
template <class Px>
void applySourceCrop(KlTexture<Px>& source, const PostProcessSettings& settings);

// A blended pixel in the stored type: float as it is, integers limited to 0..M and truncated.
template <class Px>
inline Px storeBlended(const WorkPixel& w)
{
    if constexpr (Px::isInteger) {
        Px p;
        for (int c = 0; c < 4; ++c) {
            const float v = w[c] > 0.0f ? (w[c] < Px::M ? w[c] : Px::M) : 0.0f;
            p[c] = Pixel::storeChannel<typename Px::Channel>(v);
        }
        return p;
    } else {
        return pixelCast<Px>(w);
    }
}

// The blend processor: each output pixel becomes blendPixel(source pixel, output pixel).
// The source texture is walked in runs, so inside its window a row costs no edge test.
template <class Px>
class KlColourBlendProc : public Kiln::Sampler<Px, Px> {
public:
    // method, source gain, effect gain, amount, premultiply source / effect,
    // unpremultiply result, clamp.
    Blend::PixelBlend blend;

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty() || this->source_ == nullptr) return;
        const Blend::PixelBlend p = blend;
        // One choice of the method per band; the pixel loop is compiled for it.
        Blend::withMethod(p.method, [&](auto method) {
            constexpr int32_t m = decltype(method)::value;
            this->forEachRow([&](int32_t y) {
                Px* out = this->destination_->pixelAddress(r.x0, y);
                this->source_->forEachRun(
                    y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
                        Px* o = out + (xs - r.x0);
                        for (int32_t i = 0; i < n; ++i, s += step)
                            o[i] =
                                storeBlended<Px>(Blend::blendPixelT<m>(p, s->toWork(), o[i].toWork(), Px::M));
                    });
            });
        });
    }
};

// The blend (when the method is not None) and then the alpha finish on `output`, in
// place. effectIsStraight: the effect's picture is not premultiplied. The hook, when
// given, is asked once per row on the calling thread; an interrupt stops the work and
// throws nothing.
template <class Px>
void postProcess(const PostProcessSettings& settings, const KlTexture<Px>& source, KlTexture<Px>& output,
                 bool effectIsStraight, KlInterruptHook* hook = nullptr);

extern template PixARGB8 edgeColourPixel<PixARGB8>(const KlRGBAColF&);
extern template PixARGB16 edgeColourPixel<PixARGB16>(const KlRGBAColF&);
extern template PixARGBF edgeColourPixel<PixARGBF>(const KlRGBAColF&);
extern template void applySourceCrop<PixARGB8>(KlTexture<PixARGB8>&, const PostProcessSettings&);
extern template void applySourceCrop<PixARGB16>(KlTexture<PixARGB16>&, const PostProcessSettings&);
extern template void applySourceCrop<PixARGBF>(KlTexture<PixARGBF>&, const PostProcessSettings&);
extern template void postProcess<PixARGB8>(const PostProcessSettings&, const KlTexture<PixARGB8>&,
                                           KlTexture<PixARGB8>&, bool, KlInterruptHook*);
extern template void postProcess<PixARGB16>(const PostProcessSettings&, const KlTexture<PixARGB16>&,
                                            KlTexture<PixARGB16>&, bool, KlInterruptHook*);
extern template void postProcess<PixARGBF>(const PostProcessSettings&, const KlTexture<PixARGBF>&,
                                           KlTexture<PixARGBF>&, bool, KlInterruptHook*);

}  // namespace Kiln::Wrapper
