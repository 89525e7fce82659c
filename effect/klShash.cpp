#include "effect/klShash.h"

#include "image/klFiller.h"
#include "image/klHash.h"
#include "image/klNoise.h"

#include <algorithm>
#include <cmath>

namespace Kiln::Shash {

namespace {
constexpr float kTwoPi = 6.2831855f;
} // namespace

uint32_t frameBase(uint32_t seed, int32_t frame) noexcept
{
    // |seed + frame * 100| < 2^38, well inside int64.
    const double d = double(seed) + double(frame) * 100.0;
    return uint32_t(uint64_t(int64_t(d)));
}

int32_t resolveType(int32_t type, int32_t period, int32_t frame, int32_t seed) noexcept
{
    if (type >= 0 && type < kPatterns) {
        return type;
    }
    if (type != kRandom) {
        return kNone;
    }
    if (period <= 0) {
        return 0;
    }
    RandomGenerator g(uint32_t(int64_t(frame / period) + int64_t(seed)));
    const int32_t t = g.range(0, kPatterns);
    return t < kPatterns ? t : kNone;
}

uint32_t noiseSeed(int32_t frame) noexcept
{
    return uint32_t(uint64_t(int64_t(std::fabs(double(frame) * 12541.0)))) + 1u;
}

int64_t runSpan(float length, int64_t counter) noexcept
{
    constexpr int64_t kEndless = int64_t(1) << 40;
    if (std::isnan(length) || length >= 1.0e12f) {
        return kEndless;
    }
    if (length < 0.0f) {
        return 1;
    }
    const int64_t last = int64_t(std::floor(length));
    return std::max<int64_t>(1, last - counter + 1);
}

float coarseReach(float scale, float pixelScale) noexcept
{
    const float reach = 1.32f * scale * pixelScale;
    return std::isfinite(reach) && reach > 0.0f ? reach : 0.0f;
}

float bandBrightness(int32_t x, float l1, float p1, float l2, float p2, float offset) noexcept
{
    const float fx = kTwoPi * float(x);
    const float b = (std::sin(fx / l2 + p2) + std::sin(fx / l1 + p1)) * 0.2f + offset;
    // A wavelength of 0 makes b NaN; such a band adds nothing.
    return b > 0.0f ? (b < 1.0f ? b : 1.0f) : 0.0f;
}

BandWave bandWave(uint32_t k, float scale, float pixelScale) noexcept
{
    const float h1 = hashSigned(k);
    const float h2 = hashSigned(k + 1u);
    return {scale * pixelScale * (((h1 + 1.0f) * 0.5f) * 400.0f + 100.0f), kTwoPi * ((h2 + 1.0f) * 0.5f)};
}

} // namespace Kiln::Shash

namespace Kiln {

template <class Px>
void mixShashLayer(const KlTexture<Px>& layer, KlTexture<Px>& picture, const KlRect& rect, float weight,
                   KlInterruptHook* hook, bool multiThreaded)
{
    Processor::Functor2<Px, Px, MixCombiner<Px>> mix;
    mix.functor().weight = weight > 0.0f ? (weight < 1.0f ? weight : 1.0f) : 0.0f;
    mix.setSource(&layer);
    mix.setDestination(&picture);
    mix.setRect(rect);
    mix.setInterruptHook(hook);
    mix.setMultiThreaded(multiThreaded);
    mix.execute();
}

template <class Px>
void KlShashProc<Px>::prepare()
{
    base_ = Shash::frameBase(seed_, frame_);
    prepared_ = this->clippedRect();
    rowStates_.clear();
    if (!drawsRows() || prepared_.isEmpty()) {
        return;
    }
    // One sweep from the top, exactly as a single band would draw: row k starts from rowStates_[k].
    RandomGenerator g(base_);
    if (type_ == 1) {
        frameOffset_ = g.unit() * 0.3f;
    }
    rowStates_.resize(size_t(prepared_.height()));
    for (int32_t y = prepared_.y0; y < prepared_.y1; ++y) {
        rowStates_[size_t(y - prepared_.y0)] = g.state();
        if (type_ == 2) {
            runRow<false>(y, prepared_, g, nullptr);
        } else {
            g.draw();
        }
    }
}

template <class Px>
void KlShashProc<Px>::drawRow(int32_t y) const
{
    if (y < prepared_.y0 || y >= prepared_.y1 || rowStates_.empty()) {
        return;
    }
    Px* out = this->destination_->pixelAddress(prepared_.x0, y);
    if (out == nullptr) {
        return;
    }
    RandomGenerator g(rowStates_[size_t(y - prepared_.y0)]);
    switch (type_) {
    case 0:
        streakRow(y, prepared_, g, out);
        break;
    case 1:
        bandRow(y, prepared_, g, out);
        break;
    case 2:
        runRow<true>(y, prepared_, g, out);
        break;
    default:
        break;
    }
}

template <class Px>
void KlShashProc<Px>::streakRow(int32_t, const KlRect& r, RandomGenerator g, Px* out) const
{
    constexpr float M = Px::M;
    g.draw();
    const SineNoise::Phases phases = sine_.phases(g.state(), 4);
    // A period of 0 gives non-finite positions, which the noise reads as position 0.
    const float period = scale_ * 2000.0f * this->pixelScale();
    for (int32_t x = r.x0; x < r.x1; ++x) {
        const float a = std::fabs(sine_.value(float(x) / period, phases));
        out[x - r.x0] = Px::filled(Pixel::storeChannel<Channel>(Shash::streakLevel(a) * M));
    }
}

template <class Px>
void KlShashProc<Px>::bandRow(int32_t y, const KlRect& r, RandomGenerator g, Px* out) const
{
    constexpr float M = Px::M;
    const float rowPhase = g.unit() * 100.0f;
    const float ps = this->pixelScale();
    const Shash::BandWave w1 = Shash::bandWave(uint32_t(y / 16) * 11u + base_, scale_, ps);
    const Shash::BandWave w2 = Shash::bandWave(uint32_t((y + 4) / 8) * 11u + base_, scale_, ps);
    const bool odd = (y & 1) != 0;
    const float size = scale_ * 50.0f * ps;
    const SmoothNoise& noise = smooth();
    for (int32_t x = r.x0; x < r.x1; ++x) {
        const float a = std::fabs(noise.value(float(x) / size + rowPhase, 3));
        Px& p = out[x - r.x0];
        if (a > 0.61f) {
            p = Px::filled(Pixel::storeChannel<Channel>(M));
            continue;
        }
        const float grey = a > 0.305f ? Pixel::storeChannel<Channel>(((a - 0.305f) / 0.305f) * M) : 0.0f;
        p = Px::filled(Pixel::storeChannel<Channel>(grey));
        if (odd) {
            const float lift = Shash::bandBrightness(x, w1.length, w1.phase, w2.length, w2.phase, frameOffset_) * M;
            // Brightened channels are limited to M rather than wrapping round.
            const Channel c = Pixel::storeChannel<Channel>(std::min(grey + lift, M));
            p.r = c;
            p.g = c;
            p.b = c;
        }
    }
}

template <class Px>
template <bool Draw>
void KlShashProc<Px>::runRow(int32_t, const KlRect& r, RandomGenerator& g, Px* out) const
{
    constexpr float M = Px::M;
    const float ps = this->pixelScale();
    const float size = scale_ * 10.0f * ps;
    float colour[4];
    auto newColour = [&] {
        if (colour_) {
            colour[1] = g.unit() * M;
            colour[2] = g.unit() * M;
            colour[3] = g.unit() * M;
            colour[0] = std::max(colour[1], std::max(colour[2], colour[3]));
        } else {
            colour[0] = colour[1] = colour[2] = colour[3] = g.unit() * M;
        }
    };
    auto newLength = [&] { return g.unit() * 100.0f * scale_ * ps; };

    const float rowOffset = g.unit() * 100.0f;
    newColour();
    float length = newLength();
    int64_t counter = 0;
    const SmoothNoise& noise = smooth();
    for (int32_t x = r.x0; x < r.x1;) {
        if (float(counter) > length) {
            if (g.unit() > 0.7f) {
                colour[0] = colour[1] = colour[2] = colour[3] = M;
            } else {
                newColour();
            }
            length = newLength();
            counter = 0;
        }
        const int32_t n = int32_t(std::min<int64_t>(Shash::runSpan(length, counter), int64_t(r.x1 - x)));
        if constexpr (Draw) {
            for (int32_t k = 0; k < n; ++k) {
                const int32_t cx = x + k;
                const float a = std::fabs(noise.value(float(cx) / size + rowOffset, 2));
                const float f = a > 0.15f ? 1.0f : (a > 0.12f ? (a - 0.12f) / 0.03f : 0.0f);
                Px& p = out[cx - r.x0];
                for (int c = 0; c < 4; ++c) {
                    p[c] = Pixel::storeChannel<Channel>(colour[c] * f);
                }
            }
        }
        x += n;
        counter += n;
    }
}

template <class Px>
void KlShashProc<Px>::drawWhole()
{
    if (type_ != 3 && type_ != 4) {
        return;
    }
    const KlRect r = this->clippedRect();
    if (r.isEmpty()) {
        return;
    }
    // Snow over an opaque black frame, so the mix keeps the picture's alpha.
    ColouredFrameGenerator<Px> fill;
    Px black{};
    black.a = Pixel::storeChannel<Channel>(Px::M);
    fill.setColour(black);
    fill.setDestination(this->destination_);
    fill.setRect(r);
    fill.setInterruptHook(this->interruptHook());
    fill.setMultiThreaded(this->multiThreaded());
    fill.execute();

    KlRGBNoiseProc<Px> noise;
    noise.setDestination(this->destination_);
    noise.setRect(r);
    noise.setInterruptHook(this->interruptHook());
    noise.setMultiThreaded(this->multiThreaded());
    noise.setSeed(Shash::noiseSeed(frame_));
    if (type_ == 3) {
        // Fine snow: every pixel an independent level in [0, 0.9 M).
        noise.setVariant(colour_ ? 1 : 0);
        for (int c = 0; c < 3; ++c) {
            noise.setRange(c, 0.0f, 1.0f);
        }
        noise.setGains(0.9f, 0.9f, 0.9f);
    } else {
        // Coarse snow: levels spread over [-1.32 M, 1.32 M) clip to black or white in clumps once softened.
        noise.setVariant(0);
        for (int c = 0; c < 3; ++c) {
            noise.setRange(c, -1.32f, 1.32f);
        }
        noise.setGains(1.0f, 1.0f, 1.0f);
        const float reach = Shash::coarseReach(scale_, this->pixelScale());
        noise.setSoftness(reach, reach);
    }
    noise.execute();
}

template void mixShashLayer<PixARGB8>(const KlTexture<PixARGB8>&, KlTexture<PixARGB8>&, const KlRect&, float,
                                      KlInterruptHook*, bool);
template void mixShashLayer<PixARGB16>(const KlTexture<PixARGB16>&, KlTexture<PixARGB16>&, const KlRect&, float,
                                       KlInterruptHook*, bool);
template void mixShashLayer<PixARGBF>(const KlTexture<PixARGBF>&, KlTexture<PixARGBF>&, const KlRect&, float,
                                      KlInterruptHook*, bool);

template class KlShashProc<PixARGB8>;
template class KlShashProc<PixARGB16>;
template class KlShashProc<PixARGBF>;

} // namespace Kiln
