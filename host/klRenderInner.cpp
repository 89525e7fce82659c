// The render entry: for now the source passes through unchanged. It is copied into a working
// image taken from the host's memory (as the effect's stages take theirs) and from there into
// the output world, both copies run as multi-threaded samplers that stop when the host asks.
#include "host/klRenderInner.h"

#include "exceptions/klException.h"
#include "host/klAERender.h"
#include "image/klSamplers.h"
#include "image/klTexture.h"

namespace Kiln::AfterEffects {

namespace {

constexpr const char* kFunction = "Kiln::AfterEffects::RenderInner";

int interruptCallback(void* userData, std::atomic<int32_t>*) {
    return hostInterrupted(static_cast<PF_InData*>(userData)) ? 1 : 0;
}

// A texture over a host world, at the world's origin.
template <class Px>
KlTexture<Px> viewWorld(const PF_EffectWorld& w) {
    return KlTexture<Px>(static_cast<Px*>(w.data), w.width, w.height, w.rowbytes, w.origin_x, w.origin_y);
}

template <class Px>
void copyInto(const KlTexture<Px>& source, KlTexture<Px>& destination, KlInterruptHook& hook) {
    Kiln::SimpleCopySampler<Px> copy;
    copy.setSource(&source);
    copy.setDestination(&destination);
    copy.setInterruptHook(&hook);
    copy.execute();
}

}  // namespace

template <class Px>
PF_Err RenderInner(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_EffectWorld* input,
                   PF_EffectWorld* output, PF_SmartRenderExtra*) {
    try {
        if (output == nullptr || output->data == nullptr)
            throw Kiln::Exceptions::OutOfMemory(kFunction, __FILE__, __LINE__, "AE Output buffer is null!");
        const PF_EffectWorld* sourceWorld = input;
        if (sourceWorld == nullptr) {
            if (params == nullptr || params[0] == nullptr)
                throw Kiln::Exceptions::NullPointer(kFunction, __FILE__, __LINE__, "params");
            sourceWorld = &params[0]->u.ld;
        }

        KlInterruptHook hook;
        hook.userData = in_data;
        hook.callback = &interruptCallback;

        // A source world without pixels reads as transparent black (the texture's edge colour).
        const KlTexture<Px> source = viewWorld<Px>(*sourceWorld);
        KlTexture<Px> working(sourceWorld->width, sourceWorld->height, sourceWorld->origin_x, sourceWorld->origin_y);
        copyInto(source, working, hook);
        KlTexture<Px> destination = viewWorld<Px>(*output);
        if (!hook.interrupted.load()) copyInto(working, destination, hook);
        if (hook.interrupted.load())
            throw Kiln::Exceptions::AfterEffects::InterruptedCritical(kFunction, __FILE__, __LINE__);
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
