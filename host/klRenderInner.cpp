// The render entry: builds the host adapter for one render call over the host's records and runs the
// frame through the effect (effect/klRenderFrame.h: controls, source crop, render routine, alpha clamp,
// post-processing) into the output world. Everything built here is gone when it returns,
// also when a stage raises; the failure is then mapped to the host's result by failureResult.
#include "host/klRenderInner.h"

#include "effect/klRenderFrame.h"
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "host/klAEHeldFrames.h"
#include "host/klAERender.h"
#include "host/klAEWrapperHost.h"
#include "image/klTexture.h"
#include "wrapper/klPostProcess.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace Kiln::AfterEffects {

namespace {

constexpr const char* kFunction = "Kiln::AfterEffects::RenderInner";

// The host is asked from the rendering thread only: its abort callback, then its progress callback
// with a count that grows by one per question, out of 1000.
struct HostProgress {
    PF_InData* in_data = nullptr;
    A_long asked = 0;
};

int interruptCallback(void* userData, std::atomic<int32_t>*)
{
    auto* progress = static_cast<HostProgress*>(userData);
    PF_InData* in = progress->in_data;
    if (in == nullptr) return 0;
    if (in->inter.abort && in->inter.abort(in->effect_ref) != PF_Err_NONE) return 1;
    if (in->inter.progress && in->inter.progress(in->effect_ref, ++progress->asked, 1000) != PF_Err_NONE)
        return 1;
    return 0;
}

void throwIfInterrupted(const KlInterruptHook& hook)
{
    if (hook.interrupted.load() != 0)
        throw Kiln::Exceptions::AfterEffects::InterruptedCritical(kFunction, __FILE__, __LINE__);
}

}  // namespace

template <class Px>
PF_Err RenderInner(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_EffectWorld* input,
                   PF_EffectWorld* output, PF_SmartRenderExtra* extra)
{
    try {
        if (output == nullptr || output->data == nullptr)
            throw Kiln::Exceptions::OutOfMemory(kFunction, __FILE__, __LINE__, "AE Output buffer is null!");

        Wrapper::Host host(in_data, out_data, params, Wrapper::RenderWorlds{input, output, extra != nullptr});
        Kiln::Watchcam::registerMappings(host);
        const double time = host.currentTime();
        Kiln::Watchcam::readEveryControl(host, time);
        // Reads "expand" too: without it the source and output keep the regions the host gave.
        const Kiln::Wrapper::PostProcessSettings post = Kiln::Wrapper::readPostProcessSettings(host, time);
        writePresetIfAsked(host, time);

        KlTexture<Px> destination;
        host.fetchOutputImage(destination);

        HostProgress progress{in_data};
        KlInterruptHook hook;
        hook.userData = &progress;
        hook.callback = &interruptCallback;

        // The instance's held frame stays with this render until it returns.
        const std::shared_ptr<Kiln::Watchcam::HeldFrame> held = heldFrameOf(in_data->sequence_data);
        const bool layerSize = in_data->width > 0 && in_data->height > 0;
        Kiln::Watchcam::renderFrame(host, post, destination, layerSize ? in_data->width : output->width,
                                    layerSize ? in_data->height : output->height, &hook, held.get());
        throwIfInterrupted(hook);
        return PF_Err_NONE;
    } catch (...) {
        return failureResult(in_data, out_data, true, kFunction, __FILE__, __LINE__);
    }
}

template PF_Err RenderInner<Kiln::PixARGB8>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                            PF_EffectWorld*, PF_SmartRenderExtra*);
template PF_Err RenderInner<Kiln::PixARGB16>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                             PF_EffectWorld*, PF_SmartRenderExtra*);
template PF_Err RenderInner<Kiln::PixARGBF>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                            PF_EffectWorld*, PF_SmartRenderExtra*);

}  // namespace Kiln::AfterEffects
