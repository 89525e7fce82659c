#pragma once
// The effect's host during one call: the host adapter, seen from the effect.
//
// It answers every parameter query by name (NamedParamSetI: an EffectI whose
// host is set forwards its getters and setters here), and adds what only a host
// knows: the render facts, the clips and the output image. The adapter lives for
// one host call; the effect must not keep it beyond that.
//
// Times are in frames of the effect's layer, as everywhere in the interface.
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "param/klNamedParamSet.h"
#include "wrapper/klWrapperClipI.h"

#include <string>

namespace Kiln::Wrapper {

class HostI : public Kiln::Param::NamedParamSetI {
public:
    ~HostI() override = default;

    // The render time t, in frames of the layer.
    virtual double currentTime() = 0;
    // The layer's frames per second (H); 0 when the host does not say.
    virtual double frameRate() = 0;
    // The host's downsample factors (1 at full resolution) and the layer's pixel aspect ratio.
    virtual double renderScaleX() = 0;
    virtual double renderScaleY() = 0;
    virtual double pixelAspectRatio() = 0;

    // The host clip bound to an effect clip name; Kiln::Exceptions::Wrapper::ClipUndefined
    // for a name without a binding. Owned by the host.
    virtual ClipI& getClip(const std::string& clipName) = 0;

    // Makes `texture` view the host's output image; FetchImageFailed for a texture of
    // another pixel type than the render's.
    virtual void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) = 0;
    virtual void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>& texture) = 0;
    virtual void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>& texture) = 0;

    // Whether the user asked the host to stop the current render. Asked only on the
    // thread that serves the host's call.
    virtual bool abort() = 0;
};

}  // namespace Kiln::Wrapper
