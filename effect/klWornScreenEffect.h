#pragma once
// The security-camera effect: one input clip, "Source", and parameters that live in the host.
//
// The effect holds no parameters of its own. While a host adapter serves a call it is attached
// (attachHost) and every read by script name is answered by the adapter from the host's control of
// that name (effect/klWatchcamParams.h maps them). The render routine (render, klRenderRoutine.cpp)
// reads them all at the render time and runs the stages into the output.
//
// Picture form. The host's frames are premultiplied and every stage treats the four channels alike
// (warp and blur sample all of them, scan lines scale alpha with the colour), so the effect's picture
// stays premultiplied: isStraight() is false.
//
// Region of interest: how much of "Source" the render reads for an output rectangle.
//   blur   three box passes of radius r = blur * scale / 3 each, each reading trunc(r) + 1 pixels
//          beyond its output on both sides (r = 1/3: one pixel per pass): 3 * (trunc(r) + 1) in all,
//          about ceil(blur * scale) + 1;
//   lens   a warped pixel reads from inside the lens ellipse, or, when the strength pinches hard
//          (k = exp(-strength) > 2), from up to k / (2 sqrt(k - 1)) radii out, plus one pixel for the
//          bilinear neighbour; the rectangle grows to its union with that box;
//   white dot above 0 and source crops other than the whole frame can read any pixel of the layer:
//          the whole layer is needed; so does an axis in Wrap mode when the reads leave the layer;
// and the answer is clipped to the layer. A white dot above 0.99 reads nothing but the request.
#include "effect/klWatchcamParams.h"
#include "image/klMultiProcessor.h"
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "wrapper/klWrapperEffect.h"

#include <cstdint>
#include <string>

namespace Kiln::Watchcam {

class HeldFrame;

// What the region query needs, in render pixels.
struct RegionInputs {
    double blur = 0.0;  // the "Blur" control
    bool lensOn = false;  // lens switch (lensEffect and |lensStrength| > 0.1)
    double lensRadius = 0.0;
    double lensStrength = 0.0;
    double whiteDot = 0.0;
    bool wholeLayer = false;  // something reads anywhere in the layer (a crop window, the quantiser)
    int32_t edgeModeX = 0;  // the source's edge modes beyond the layer (3 wrap reads the far side)
    int32_t edgeModeY = 0;
    double sx = 1.0;  // horizontal render scale
    double syAdj = 1.0;  // vertical render scale
    double pixelAspect = 1.0;
    int32_t frameWidth = 0;  // the layer; 0 when unknown
    int32_t frameHeight = 0;
};

// The rectangle of the source (x0, x1, y0, y1, ends exclusive) needed for the output rectangle `in`.
// False when it cannot be told: the lens or the whole layer is needed and the layer size is unknown.
bool sourceRegionNeeded(const RegionInputs& inputs, const float in[4], float out[4]);

// How far the lens reads from its centre, in radii: 1, or k / (2 sqrt(k - 1)) for k > 2.
double lensReadReach(double k);

}  // namespace Kiln::Watchcam

namespace Kiln::Wrapper {

class WornScreenEffect : public EffectI {
public:
    static constexpr const char* kEffectName = "Q_Watchcam";

    WornScreenEffect();
    ~WornScreenEffect() override;

    bool isStraight() const override { return false; }
    bool regionOfInterest(const std::string& clip, const float in[4], float out[4]) override;

    // The layer's size in render pixels (the lens centre, the white-dot frame height, the region
    // query's clip). 0 x 0 until set; a render then takes its output's size.
    void setFrameSize(int32_t width, int32_t height);
    int32_t frameWidth() const { return frameWidth_; }
    int32_t frameHeight() const { return frameHeight_; }

    // The render routine at one depth (Px: PixARGB8, PixARGB16, PixARGBF): writes every pixel of
    // `output`. `current`, when given, is the "Source" frame at the render time as the caller has
    // prepared it (cropped and edge-extended); other frames are fetched through the clip. The hook
    // stops the stages when the host asks; the routine then returns without raising. `held`, when given,
    // is the instance's held frame (effect/klHeldFrame.h): the lens, blur and quantiser result of a source
    // frame shown again is taken from it instead of computed.
    // `alphaFrom`, when given, sets every output pixel's alpha as the last step (read through its window
    // and edges): what the finish's "Process" RGB does, drawn row by row where the picture allows.
    template <class Px>
    void render(KlTexture<Px>& output, const KlTexture<Px>* current = nullptr,
                KlInterruptHook* hook = nullptr, Kiln::Watchcam::HeldFrame* held = nullptr,
                const KlTexture<Px>* alphaFrom = nullptr);

private:
    // The picture; whether it also took the alpha of `alphaFrom`.
    template <class Px>
    bool renderPicture(KlTexture<Px>& output, const KlTexture<Px>* current, KlInterruptHook* hook,
                       Kiln::Watchcam::HeldFrame* held, const KlTexture<Px>* alphaFrom);

    int32_t frameWidth_ = 0;
    int32_t frameHeight_ = 0;
};

extern template void WornScreenEffect::render<PixARGB8>(KlTexture<PixARGB8>&, const KlTexture<PixARGB8>*,
                                                        KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                        const KlTexture<PixARGB8>*);
extern template void WornScreenEffect::render<PixARGB16>(KlTexture<PixARGB16>&, const KlTexture<PixARGB16>*,
                                                         KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                         const KlTexture<PixARGB16>*);
extern template void WornScreenEffect::render<PixARGBF>(KlTexture<PixARGBF>&, const KlTexture<PixARGBF>*,
                                                        KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                        const KlTexture<PixARGBF>*);

}  // namespace Kiln::Wrapper
