#include "effect/klRenderFrame.h"

#include "effect/klWatchcamParams.h"
#include "effect/klWornScreenEffect.h"
#include "image/klFunctors.h"

#include <type_traits>

namespace Kiln::Watchcam {

namespace {

bool interrupted(const KlInterruptHook* hook) { return hook != nullptr && hook->interrupted.load() != 0; }

}  // namespace

void readEveryControl(Kiln::Wrapper::HostI& host, double time)
{
    for (const ControlSpec& c : kControls) {
        // A host may leave out controls that mean nothing to it (a filter has no play speed).
        if (c.scriptName == nullptr || !host.hasParam(c.scriptName)) continue;
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

template <class Px>
void renderFrame(Kiln::Wrapper::HostI& host, const Kiln::Wrapper::PostProcessSettings& post,
                 KlTexture<Px>& output, int32_t frameWidth, int32_t frameHeight, KlInterruptHook* hook,
                 HeldFrame* held)
{
    const double time = host.currentTime();
    // A layer without pixels leaves the source empty: the routine then reports the failed fetch, and
    // the finish reads edge colour.
    KlTexture<Px> source;
    host.getClip(kSourceClip).fetchImageRaw(time, source);
    Kiln::Wrapper::applySourceCrop(source, post);

    Kiln::Wrapper::WornScreenEffect effect;
    effect.attachHost(&host);
    if (frameWidth > 0 && frameHeight > 0)
        effect.setFrameSize(frameWidth, frameHeight);
    else
        effect.setFrameSize(output.width(), output.height());
    const bool straight = effect.isStraight();
    // Without a blend, "Process" RGB on a premultiplied picture is nothing but the source's alpha over the
    // output's: the effect sets it on each row it finishes, instead of the finish going over the output.
    const bool alphaFromSource =
        post.method == Kiln::Wrapper::Blend::None && !straight && post.process == Kiln::Wrapper::ProcessRGB;
    effect.render(output, &source, hook, held, alphaFromSource ? &source : nullptr);
    if (interrupted(hook)) return;

    // 8-bit alpha cannot leave 0..255: the clamp is for the deeper depths, and only when the finish reads
    // the output's alpha or keeps it. Without a blend, "Process" RGB on a premultiplied picture replaces
    // every alpha by the source's, and Opaque by M, without reading it.
    const bool alphaReplaced =
        post.method == Kiln::Wrapper::Blend::None && !straight &&
        (post.process == Kiln::Wrapper::ProcessRGB || post.process == Kiln::Wrapper::ProcessOpaque);
    if constexpr (!std::is_same_v<typename Px::Channel, uint8_t>) {
        if (!alphaReplaced) {
            Kiln::Processor::Functor1<Px, Kiln::Processor::ClampChannel<Px>> clamp;
            clamp.functor().channel = Px::alphaIndex;
            clamp.functor().low = 0.0f;
            clamp.functor().high = Px::M;
            clamp.setDestination(&output);
            clamp.setInterruptHook(hook);
            clamp.execute();
        }
    }
    if (!alphaFromSource) Kiln::Wrapper::postProcess(post, source, output, straight, hook);
    effect.attachHost(nullptr);
}

template void renderFrame<PixARGB8>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                    KlTexture<PixARGB8>&, int32_t, int32_t, KlInterruptHook*, HeldFrame*);
template void renderFrame<PixARGB16>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                     KlTexture<PixARGB16>&, int32_t, int32_t, KlInterruptHook*, HeldFrame*);
template void renderFrame<PixARGBF>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                    KlTexture<PixARGBF>&, int32_t, int32_t, KlInterruptHook*, HeldFrame*);

}  // namespace Kiln::Watchcam
