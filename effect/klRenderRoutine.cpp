#include "effect/klRenderRoutine.h"

#include "effect/klHeldFrame.h"
#include "effect/klLensWarper.h"
#include "effect/klQuantise.h"
#include "effect/klRandom.h"
#include "effect/klScanLines.h"
#include "effect/klTimeRemap.h"
#include "effect/klWornScreenEffect.h"
#include "image/klBlur.h"
#include "image/klFunctors.h"

#include <cmath>
#include <utility>

namespace Kiln::Watchcam {

RenderFacts renderFacts(Kiln::Wrapper::HostI* host)
{
    RenderFacts f;
    if (host != nullptr) {
        f.time = host->currentTime();
        f.sx = host->renderScaleX();
        f.sy = host->renderScaleY();
        f.pixelAspect = host->pixelAspectRatio();
        f.hostRate = host->frameRate();
    }
    f.syAdj = f.sy * 1.0;
    f.meanScale = (f.sx + f.syAdj) / 2.0;
    return f;
}

SourceFrame sourceFrame(const Settings& s, double position, double hostRate)
{
    SourceFrame f;
    f.position = position;
    f.played = playedFrame(position);
    if (s.hasRepeatFrames)
        f.fetched = repeatedFrame(f.played, s.repeatFrames);
    else
        f.fetched = droppedFrame(f.played, hostRate, s.hasFramesPerSec ? s.framesPerSec : hostRate);
    return f;
}

bool lensOn(const Settings& s) { return s.lensEffect && std::fabs(float(s.lensStrength)) > 0.1f; }

bool blurOn(double blur) { return blur > 0.1 + 0.5 / 65536.0; }

bool isBlank(const Settings& s) { return WornScreen::isBlankFrame(float(s.whiteDot)) || s.resolution < 0.01; }

LensGeometry lensGeometry(const Settings& s, const RenderFacts& f, int32_t frameWidth, int32_t frameHeight)
{
    LensGeometry g;
    g.k = float(std::exp(-s.lensStrength));
    g.radiusX = float(s.lensRadius * f.sx);
    g.radiusY = float(s.lensRadius * verticalScale(f));
    g.centreX = float(frameWidth) * 0.5f;
    g.centreY = float(frameHeight) * 0.5f;
    g.filter = s.filtered != 0 ? 1 : 0;
    return g;
}

BlurSizes blurSizes(const Settings& s, const RenderFacts& f)
{
    BlurSizes b;
    b.x = float(s.blur * f.sx / 3.0);
    b.y = float(s.blur * f.syAdj / 3.0);
    return b;
}

double verticalScale(const RenderFacts& f) { return f.syAdj * f.pixelAspect; }

int32_t scanlineSpacing(const Settings& s, const RenderFacts& f)
{
    return truncToInt(double(s.scanlineWidth) * verticalScale(f));
}

int32_t frameNumber(double time) { return truncToInt(time); }

Kiln::WornScreenSettings samplerSettings(const Settings& s, const RenderFacts& f, int32_t frame,
                                         float frameWidth, float frameHeight)
{
    Kiln::WornScreenSettings w;
    w.tvType = s.tvType;
    w.brightness = float(s.brightness);
    w.contrast = float(s.contrast);
    w.redBrightness = float(s.redBrightness);
    w.greenBrightness = float(s.greenBrightness);
    w.blueBrightness = float(s.blueBrightness);
    w.saturation = float(s.saturation);
    w.tintRed = s.tintColour.r;
    w.tintGreen = s.tintColour.g;
    w.tintBlue = s.tintColour.b;
    w.emAmount = float(s.emInterference);
    w.whiteDot = float(s.whiteDot);
    w.seed = s.seed;
    w.frame = frame;
    w.shashType = s.shashType;
    w.shashMax = float(s.shashMax);
    w.shashPeriod = s.shashPeriod;
    w.shashColour = false;
    w.scaleX = float(f.sx);
    w.scaleY = float(f.syAdj);
    w.frameWidth = frameWidth;
    w.frameHeight = frameHeight;
    return w;
}

}  // namespace Kiln::Watchcam

namespace Kiln::Wrapper {

namespace {

bool stopped(const KlInterruptHook* hook) { return hook != nullptr && hook->interrupted.load() != 0; }

template <class Stage>
void runStage(Stage& stage, KlInterruptHook* hook)
{
    stage.setInterruptHook(hook);
    stage.execute();
}

// Whether the output's memory can hold the working image: the same pixels at the same place, and a
// valid window over the whole image (edge rules then only apply outside it).
template <class Px>
bool canWorkIn(const KlTexture<Px>& output, const KlTexture<Px>& working)
{
    auto whole = [](const KlTexAxis& a) { return a.lo == 0 && a.hi == a.size - 1; };
    return !output.isNull() && !working.isNull() && output.data() != working.data() && !output.hasRegion() &&
           !working.hasRegion() && output.width() == working.width() && output.height() == working.height() &&
           output.originX() == working.originX() && output.originY() == working.originY() &&
           whole(working.xAxis()) && whole(working.yAxis());
}

// A view of `memory` that reads beyond its edges as `like` does.
template <class Px>
KlTexture<Px> viewWithEdgesOf(const KlTexture<Px>& memory, const KlTexture<Px>& like)
{
    KlTexture<Px> view(memory.data(), memory.width(), memory.height(), memory.rowBytes(), memory.originX(),
                       memory.originY(), memory.holder());
    view.setEdgeModes(like.xAxis().edgeMode, like.yAxis().edgeMode);
    view.setEdgeColour(like.edgeColour());
    return view;
}

}  // namespace

template <class Px>
bool WornScreenEffect::renderPicture(KlTexture<Px>& output, const KlTexture<Px>* current,
                                     KlInterruptHook* hook, Kiln::Watchcam::HeldFrame* held,
                                     const KlTexture<Px>* alphaFrom)
{
    using namespace Kiln::Watchcam;
    const RenderFacts facts = renderFacts(effectHost());
    const Settings s = readSettings(*this, facts.time);
    const bool lens = lensOn(s);
    const int32_t frameW = frameWidth_ > 0 ? frameWidth_ : output.width();
    const int32_t frameH = frameHeight_ > 0 ? frameHeight_ : output.height();

    // Held for the whole render, before any image that may share the kept picture's memory.
    HeldFrame::Use heldUse(held);

    if (isBlank(s)) {
        heldUse.release();
        WornScreen::blankFrame(output, hook);
        return false;
    }

    // The source frame: the caller's prepared frame at the render time, any other through the clip.
    const SourceFrame frame = sourceFrame(s, playPosition(*this, facts.time), facts.hostRate);
    const double fetchTime = double(frame.fetched);
    KlTexture<Px> working;
    if (current != nullptr && fetchTime == facts.time) {
        if (current->isNull()) reportFetchImageFailure(kSourceClip, fetchTime);
        working = *current;
    } else {
        fetchImage(kSourceClip, fetchTime, working);
    }

    // The breakup step takes the stream's first draw; with this effect's breakupVariation of 0 it
    // changes nothing, and no later stage continues the stream.
    RandomGenerator random(uint32_t(s.seed));
    const float breakup = float(random.draw()) * (1.0f / 32767.0f) * 100.0f * float(s.breakupVariation);
    static_cast<void>(breakup);

    // The lens, the blur and the quantiser see nothing but the source frame and settings that the key
    // holds: a source frame shown again with the same key takes their result from the held frame. A
    // render likely to be followed by one that shows its source frame again keeps its result there.
    const bool blur = blurOn(s);
    bool reused = false;
    KlTexture<Px> keeping;  // memory for the picture to keep, when this render keeps one
    HeldKey key;
    if (heldUse.active() && (lens || blur || s.quantise)) {
        key = heldKey(working, s, facts, frameW, frameH);
        const bool mayMatch = heldUse.mayMatch(key);
        const bool keep = heldLikely(s, facts);
        if (mayMatch || keep) {
            if (!hashPixels(working, hook, key.pixels)) return false;
            if (mayMatch) {
                KlTexture<Px> kept = heldUse.find<Px>(key);
                if (!kept.isNull()) {
                    working = std::move(kept);
                    reused = true;
                }
            }
        }
        if (!reused) {
            heldUse.release();
            if (keep) keeping = heldUse.allocateLike(working);
        }
    } else {
        heldUse.release();
    }

    // Where the next stage that changes the picture writes. The blur and the quantiser read all of
    // their source before they write and the sampler reads each pixel where it writes it, so once the
    // working image is the routine's own they continue in place. The first one writes into the picture
    // to keep, or else into the output's memory when that holds exactly the working image's pixels and
    // no crop window sends a read to another pixel; otherwise it takes an image of its own. The host's
    // frame is never written.
    bool ownsWorking = false;
    const bool outputAsScratch = canWorkIn(output, working);
    auto nextImage = [&]() -> KlTexture<Px> {
        if (ownsWorking) return working;
        if (!keeping.isNull()) return keeping;
        if (outputAsScratch) return viewWithEdgesOf(output, working);
        return KlTexture<Px>::createLike(working);
    };

    if (lens && !reused) {
        const LensGeometry g = lensGeometry(s, facts, frameW, frameH);
        KlLensWarper warper;
        warper.setStrength(g.k);
        warper.setRadii(g.radiusX, g.radiusY);
        warper.setCentre(g.centreX, g.centreY);
        warper.setAngle(0.0f);
        warper.setAspect(1.0f);
        warper.rebuild();
        KlTexture<Px> warped = nextImage();  // never in place: the working image is still the host's
        KlWarpRender<Px> stage;
        stage.setWarper(&warper);
        stage.setSource(&working);
        stage.setDestination(&warped);
        stage.setFilter(g.filter);
        runStage(stage, hook);
        working = std::move(warped);
        ownsWorking = true;
        if (stopped(hook)) return false;
    }

    if (blur && !reused) {
        const BlurSizes b = blurSizes(s, facts);
        KlTexture<Px> blurred = nextImage();
        BlurGeneralGauss<Px> stage;
        stage.setSizes(b.x, b.y);
        stage.setIterations(b.iterations);
        stage.setSource(&working);
        stage.setDestination(&blurred);
        runStage(stage, hook);
        working = std::move(blurred);
        ownsWorking = true;
        if (stopped(hook)) return false;
    }

    const WornScreenSettings sampling =
        samplerSettings(s, facts, frameNumber(facts.time), float(frameW), float(frameH));

    if (s.quantise && !reused) {
        Quantise::Buckets::checkLevels(s.quantiseLevels);
        const Quantise::Bounds bounds = Quantise::analyse(working, nullptr, hook);
        KlTexture<Px> quantised = nextImage();
        Quantise::quantise(s.quantiseLevels, bounds.min, bounds.max, working, quantised, nullptr, hook);
        working = std::move(quantised);
        ownsWorking = true;
        if (stopped(hook)) return false;
    }

    // Every stage wrote into the kept memory and none was stopped.
    if (!keeping.isNull()) heldUse.keep(key, working);

    const int32_t spacing = scanlineSpacing(s, facts);
    bool linesDrawn = false;
    bool alphaCopied = false;
    {
        WornScreenSampler<Px> sampler;
        sampler.setSource(&working);
        sampler.setDestination(&output);
        sampler.setSettings(sampling);
        sampler.setScanLines(spacing);
        sampler.setAlphaFrom(alphaFrom);
        runStage(sampler, hook);
        if (stopped(hook)) return false;
        linesDrawn = sampler.scanLinesDrawn();
        alphaCopied = sampler.alphaCopied();
    }

    if (spacing > 1 && !linesDrawn) {
        KlScanLineAdder<Px> lines;
        lines.setSource(&output);
        lines.setDestination(&output);
        lines.setSpacing(spacing);
        runStage(lines, hook);
    }
    return alphaCopied;
}

template <class Px>
void WornScreenEffect::render(KlTexture<Px>& output, const KlTexture<Px>* current, KlInterruptHook* hook,
                              Kiln::Watchcam::HeldFrame* held, const KlTexture<Px>* alphaFrom)
{
    if (renderPicture(output, current, hook, held, alphaFrom) || alphaFrom == nullptr || stopped(hook))
        return;
    Kiln::Processor::Functor2<Px, Px, Kiln::Processor::CopyAlpha<Px>> copy;
    copy.setSource(alphaFrom);
    copy.setDestination(&output);
    runStage(copy, hook);
}

template void WornScreenEffect::render<PixARGB8>(KlTexture<PixARGB8>&, const KlTexture<PixARGB8>*,
                                                 KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                 const KlTexture<PixARGB8>*);
template void WornScreenEffect::render<PixARGB16>(KlTexture<PixARGB16>&, const KlTexture<PixARGB16>*,
                                                  KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                  const KlTexture<PixARGB16>*);
template void WornScreenEffect::render<PixARGBF>(KlTexture<PixARGBF>&, const KlTexture<PixARGBF>*,
                                                 KlInterruptHook*, Kiln::Watchcam::HeldFrame*,
                                                 const KlTexture<PixARGBF>*);

}  // namespace Kiln::Wrapper
