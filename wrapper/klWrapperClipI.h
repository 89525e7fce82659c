#pragma once
// The host side of one input clip of an effect, as the effect sees it.
//
// A host adapter gives one ClipI per clip name (HostI::getClip). Times are in
// frames of the effect's layer. Operations a host cannot offer raise
// Kiln::Exceptions::AfterEffects::FeatureUnsupported (or another exception of the
// family) naming the operation.
#include "image/klPixel.h"
#include "image/klTexture.h"

#include <array>
#include <cstdint>

namespace Kiln::Wrapper {

class ClipI {
public:
    virtual ~ClipI() = default;

    // The clip's extent at a time: x0, x1, y0, y1 (first the x range, then the y range).
    virtual std::array<double, 4> getRegionOfDefinition(double time) = 0;
    // Whether the clip has pixels (a layer is connected).
    virtual bool isConnected() = 0;
    // The clip's components (EffectI::Components flags) and depth (EffectI::BitDepths flag).
    virtual int32_t getComponents() = 0;
    virtual int32_t getDepth() = 0;
    // Makes `texture` hold (or view) the clip's image at `time` in the texture's pixel
    // type. Returns false when the clip has no image at that time; failures of the
    // host raise. The texture keeps the host's pixels alive as long as it views them.
    virtual bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture) = 0;
    virtual bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB16>& texture) = 0;
    virtual bool fetchImageRaw(double time, KlTexture<Kiln::PixARGBF>& texture) = 0;
    // Tells the host which frames a render at the current time will read.
    virtual void setFramesNeeded(double time0, double time1) = 0;
    // First and last frame of the clip.
    virtual std::array<double, 2> getFrameRange() = 0;
};

}  // namespace Kiln::Wrapper
