// The effect's answer to the smart pre-render: which part of "Source" a render of the requested
// rectangle reads (WornScreenEffect::regionOfInterest says how it grows the rectangle).
#include "effect/klWatchcamParams.h"
#include "effect/klWornScreenEffect.h"
#include "host/klAEHooks.h"
#include "host/klAEWrapperHost.h"

namespace Kiln::AfterEffects {

bool sourceRegionOfInterest(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra,
                            const PF_LRect& request, double needed[4])
{
    Wrapper::Host host(in_data, out_data, extra);
    Kiln::Watchcam::registerMappings(host);
    Kiln::Wrapper::WornScreenEffect effect;
    effect.attachHost(&host);
    effect.setFrameSize(in_data->width, in_data->height);
    const float in[4] = {float(request.left), float(request.right), float(request.top),
                         float(request.bottom)};
    float out[4] = {0, 0, 0, 0};
    const bool answered = effect.regionOfInterest(Kiln::Watchcam::kSourceClip, in, out);
    effect.attachHost(nullptr);
    if (!answered) return false;
    needed[0] = out[0];
    needed[1] = out[2];
    needed[2] = out[1];
    needed[3] = out[3];
    return true;
}

}  // namespace Kiln::AfterEffects
