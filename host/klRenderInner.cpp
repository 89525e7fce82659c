// The render entry: builds the host adapter and the effect for one render call, reads the controls,
// prepares the source frame, runs the effect's render routine into the output world and finishes it
// with the alpha clamp and the shared post-processing. Everything built here is gone when it returns,
// also when a stage raises; the failure is then mapped to the host's result by failureResult.
#include "host/klRenderInner.h"

#include "effect/klWatchcamParams.h"
#include "effect/klWornScreenEffect.h"
#include "exceptions/klException.h"
#include "host/klAERender.h"
#include "host/klAEWrapperHost.h"
#include "image/klFunctors.h"
#include "image/klTexture.h"
#include "wrapper/klPostProcess.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace Kiln::AfterEffects {

namespace {

constexpr const char* kFunction = "Kiln::AfterEffects::RenderInner";

// The host is asked from the rendering thread only: its abort callback, then its progress callback
// with a count that grows by one per question, out of 1000.
struct HostProgress {
    PF_InData* in_data = nullptr;
    A_long asked = 0;
};

int interruptCallback(void* userData, std::atomic<int32_t>*) {
    auto* progress = static_cast<HostProgress*>(userData);
    PF_InData* in = progress->in_data;
    if (in == nullptr) return 0;
    if (in->inter.abort && in->inter.abort(in->effect_ref) != PF_Err_NONE) return 1;
    if (in->inter.progress && in->inter.progress(in->effect_ref, ++progress->asked, 1000) != PF_Err_NONE) return 1;
    return 0;
}

// Reads every mapped control once, in host order, with the read of its kind: a record the host got
// wrong fails here, before any pixel is touched.
void readMappedControls(Wrapper::Host& host, double time) {
    using Kiln::Watchcam::ValueKind;
    for (const Kiln::Watchcam::ControlSpec& c : Kiln::Watchcam::kControls) {
        if (c.scriptName == nullptr) continue;
        switch (c.kind) {
            case ValueKind::Bool: host.getBoolParam(c.scriptName, time); break;
            case ValueKind::Int:
            case ValueKind::Choice: host.getIntParam(c.scriptName, time); break;
            case ValueKind::Double: host.getDoubleParam(c.scriptName, time); break;
            case ValueKind::Scale: host.getScaleParam(c.scriptName, time); break;
            case ValueKind::RGBAColour: host.getRGBAParam(c.scriptName, time); break;
            case ValueKind::RGBColour: host.getRGBParam(c.scriptName, time); break;
            default: break;
        }
    }
}

void throwIfInterrupted(const KlInterruptHook& hook) {
    if (hook.interrupted.load() != 0)
        throw Kiln::Exceptions::AfterEffects::InterruptedCritical(kFunction, __FILE__, __LINE__);
}

}  // namespace

template <class Px>
PF_Err RenderInner(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_EffectWorld* input,
                   PF_EffectWorld* output, PF_SmartRenderExtra* extra) {
    try {
        if (output == nullptr || output->data == nullptr)
            throw Kiln::Exceptions::OutOfMemory(kFunction, __FILE__, __LINE__, "AE Output buffer is null!");

        Wrapper::Host host(in_data, out_data, params, Wrapper::RenderWorlds{input, output, extra != nullptr});
        Kiln::Watchcam::registerMappings(host);
        const double time = host.currentTime();
        readMappedControls(host, time);
        // Reads "expand" too: without it the source and output keep the regions the host gave.
        const Kiln::Wrapper::PostProcessSettings post = Kiln::Wrapper::readPostProcessSettings(host, time);
        writePresetIfAsked(host, time);

        // The source at the render time, cropped before anything reads it. A layer without pixels
        // leaves it empty: the routine then reports the failed fetch, the finish reads edge colour.
        KlTexture<Px> source;
        host.getClip(Kiln::Watchcam::kSourceClip).fetchImage(time, source);
        Kiln::Wrapper::applySourceCrop(source, post);

        KlTexture<Px> destination;
        host.fetchOutputImage(destination);

        HostProgress progress{in_data};
        KlInterruptHook hook;
        hook.userData = &progress;
        hook.callback = &interruptCallback;

        Kiln::Wrapper::WornScreenEffect effect;
        effect.attachHost(&host);
        if (in_data->width > 0 && in_data->height > 0)
            effect.setFrameSize(in_data->width, in_data->height);
        else
            effect.setFrameSize(output->width, output->height);
        effect.render(destination, &source, &hook);
        throwIfInterrupted(hook);

        const bool straight = effect.isStraight();
        // 8-bit alpha cannot leave 0..255: the clamp is for the deeper depths.
        if constexpr (!std::is_same_v<typename Px::Channel, uint8_t>) {
            Kiln::Processor::Functor1<Px, Kiln::Processor::ClampChannel<Px>> clamp;
            clamp.functor().channel = Px::alphaIndex;
            clamp.functor().low = 0.0f;
            clamp.functor().high = Px::M;
            clamp.setDestination(&destination);
            clamp.setInterruptHook(&hook);
            clamp.execute();
        }
        Kiln::Wrapper::postProcess(post, source, destination, straight, &hook);
        throwIfInterrupted(hook);

        effect.attachHost(nullptr);
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
