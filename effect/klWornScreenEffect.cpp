#include "effect/klWornScreenEffect.h"

#include "effect/klRenderRoutine.h"
#include "image/klBlur.h"
#include "image/klTexture.h"

#include <algorithm>
#include <cmath>

namespace Kiln::Watchcam {

double lensReadReach(double k)
{
    if (!(k > 2.0) || !std::isfinite(k)) return 1.0;
    return k / (2.0 * std::sqrt(k - 1.0));
}

bool sourceRegionNeeded(const RegionInputs& r, const float in[4], float out[4])
{
    std::copy(in, in + 4, out);
    // A blank frame reads nothing; the request itself is still checked out for the blend.
    if (WornScreen::isBlankFrame(float(r.whiteDot))) return true;

    const bool known = r.frameWidth > 0 && r.frameHeight > 0;
    const double w = r.frameWidth, h = r.frameHeight;
    if (r.whiteDot > 0.0 || r.wholeLayer) {
        if (!known) return false;
        out[0] = 0.0f, out[1] = float(w), out[2] = 0.0f, out[3] = float(h);
        return true;
    }

    double x0 = in[0], x1 = in[1], y0 = in[2], y1 = in[3];
    if (blurOn(r.blur)) {
        const double mx = 3.0 * Kiln::Blur::boxParams(float(r.blur * r.sx / 3.0)).reach;
        const double my = 3.0 * Kiln::Blur::boxParams(float(r.blur * r.syAdj / 3.0)).reach;
        x0 -= mx, x1 += mx, y0 -= my, y1 += my;
    }
    if (r.lensOn) {
        if (!known) return false;
        const double reach = lensReadReach(std::exp(-r.lensStrength));
        // One more pixel for the bilinear neighbour of a read on the box's edge.
        const double rx = std::fabs(r.lensRadius * r.sx) * reach + 1.0;
        const double ry = std::fabs(r.lensRadius * r.syAdj * r.pixelAspect) * reach + 1.0;
        const double cx = w * 0.5, cy = h * 0.5;
        x0 = std::min(x0, std::floor(cx - rx)), x1 = std::max(x1, std::ceil(cx + rx));
        y0 = std::min(y0, std::floor(cy - ry)), y1 = std::max(y1, std::ceil(cy + ry));
    }
    if (known) {
        // Wrapping brings in the far side of the layer.
        if (r.edgeModeX == KlEdgeWrap && (x0 < 0.0 || x1 > w)) x0 = 0.0, x1 = w;
        if (r.edgeModeY == KlEdgeWrap && (y0 < 0.0 || y1 > h)) y0 = 0.0, y1 = h;
        x0 = std::clamp(x0, 0.0, w), x1 = std::clamp(x1, x0, w);
        y0 = std::clamp(y0, 0.0, h), y1 = std::clamp(y1, y0, h);
    }
    out[0] = float(x0), out[1] = float(x1), out[2] = float(y0), out[3] = float(y1);
    return true;
}

}  // namespace Kiln::Watchcam

namespace Kiln::Wrapper {

WornScreenEffect::WornScreenEffect() : EffectI(kEffectName)
{
    Attributes& a = attributes();
    a.label = kEffectName;
    a.description = "Security camera footage on a worn monitor";
    a.temporalAccess = true;  // the play speed and frame rate fetch other frames
    a.bitdepths = Depth8 | Depth16 | DepthFloat;
    a.components = ComponentColour | ComponentAlpha;
    createClip(Kiln::Watchcam::kSourceClip);
}

WornScreenEffect::~WornScreenEffect() = default;

void WornScreenEffect::setFrameSize(int32_t width, int32_t height)
{
    frameWidth_ = std::max(width, 0);
    frameHeight_ = std::max(height, 0);
}

bool WornScreenEffect::regionOfInterest(const std::string& clip, const float in[4], float out[4])
{
    using namespace Kiln::Watchcam;
    if (clip != kSourceClip) return false;
    const RenderFacts f = renderFacts(effectHost());
    const Settings s = readSettings(*this, f.time);
    RegionInputs r;
    r.blur = s.blur;
    r.lensOn = lensOn(s);
    r.lensRadius = s.lensRadius;
    r.lensStrength = s.lensStrength;
    r.whiteDot = s.whiteDot;
    // A crop window reads anywhere; the quantiser's bounds and averages are the whole picture's.
    r.wholeLayer = s.quantise || s.sourceLeft > 0.0 || s.sourceRight < 100.0 || s.sourceBottom > 0.0 ||
                   s.sourceTop < 100.0;
    r.edgeModeX = s.sourceXMethod;
    r.edgeModeY = s.sourceYMethod;
    r.sx = f.sx;
    r.syAdj = f.syAdj;
    r.pixelAspect = f.pixelAspect;
    r.frameWidth = frameWidth_;
    r.frameHeight = frameHeight_;
    return sourceRegionNeeded(r, in, out);
}

}  // namespace Kiln::Wrapper
