#include "effect/klShash.h"

#include "image/klHash.h"
#include "image/klNoise.h"

#include <algorithm>
#include <cmath>

namespace Kiln::Shash {

namespace {
constexpr float kTwoPi = 6.2831855f;
}  // namespace

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

float speckleLevel(int32_t pattern, float u, float scale, float pixelScale) noexcept
{
    float level = 0.0f;
    if (pattern == 3) {
        level = 0.9f * u;
    } else if (pattern == 4) {
        const float n = 10.0f * (2.0f * u - 1.0f);
        const float g = 0.1f * scale * pixelScale;
        level = n >= 0.0f ? n * (1.32f * g) : n * (-1.32f * g);
    }
    // NaN from a bad scale is clear.
    return level > 0.0f ? (level < 1.0f ? level : 1.0f) : 0.0f;
}

float speckleNoise(int32_t x, int32_t y, uint32_t seed, int channel) noexcept
{
    return Noise::value(Noise::hashInput(x, y, seed) + uint32_t(channel), 1.0f, 0.0f);
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

}  // namespace Kiln::Shash

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
    if (type_ < 0 || type_ > 2 || prepared_.isEmpty()) {
        return;
    }
    walk_ = prepared_;
    if (!anchor_.isEmpty()) {
        walk_ = {std::min(anchor_.x0, prepared_.x0), std::min(anchor_.y0, prepared_.y0),
                 std::max(anchor_.x1, prepared_.x1), std::max(anchor_.y1, prepared_.y1)};
    }
    // One sweep from the frame's top, exactly as a single band over the whole frame would draw: row k of
    // the rectangle starts from rowStates_[k].
    RandomGenerator g(base_);
    if (type_ == 1) {
        frameOffset_ = g.unit() * 0.3f;
    }
    rowStates_.resize(size_t(prepared_.height()));
    for (int32_t y = walk_.y0; y < prepared_.y1; ++y) {
        if (y >= prepared_.y0) {
            rowStates_[size_t(y - prepared_.y0)] = g.state();
        }
        if (type_ == 2) {
            runRow<false>(y, g, nullptr);
        } else {
            g.draw();
        }
    }
}

template <class Px>
void KlShashProc<Px>::drawRow(int32_t y) const
{
    if (y < prepared_.y0 || y >= prepared_.y1) {
        return;
    }
    Px* out = this->destination_->pixelAddress(prepared_.x0, y);
    if (out == nullptr) {
        return;
    }
    if (type_ == 3 || type_ == 4) {
        speckleRow(y, prepared_, out);
        return;
    }
    if (rowStates_.empty()) {
        return;
    }
    RandomGenerator g(rowStates_[size_t(y - prepared_.y0)]);
    switch (type_) {
    case 0: streakRow(y, prepared_, g, out); break;
    case 1: bandRow(y, prepared_, g, out); break;
    case 2: runRow<true>(y, g, out); break;
    default: break;
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
            const float lift =
                Shash::bandBrightness(x, w1.length, w1.phase, w2.length, w2.phase, frameOffset_) * M;
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
void KlShashProc<Px>::runRow(int32_t, RandomGenerator& g, Px* out) const
{
    const KlRect& r = prepared_;
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
    for (int32_t x = walk_.x0; x < walk_.x1;) {
        if (float(counter) > length) {
            if (g.unit() > 0.7f) {
                colour[0] = colour[1] = colour[2] = colour[3] = M;
            } else {
                newColour();
            }
            length = newLength();
            counter = 0;
        }
        const int32_t n = int32_t(std::min<int64_t>(Shash::runSpan(length, counter), int64_t(walk_.x1 - x)));
        if constexpr (Draw) {
            for (int32_t cx = std::max(x, r.x0); cx < std::min(x + n, r.x1); ++cx) {
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
void KlShashProc<Px>::speckleRow(int32_t y, const KlRect& r, Px* out) const
{
    constexpr float M = Px::M;
    const uint32_t seed = Shash::noiseSeed(frame_);
    const float ps = this->pixelScale();
    for (int32_t x = r.x0; x < r.x1; ++x) {
        // The generator's transparent black plus the noise's level.
        Px& p = out[x - r.x0];
        p = Px{};
        if (type_ == 3 && colour_) {
            for (int c = 1; c < 4; ++c) {
                p[c] = Pixel::storeChannel<Channel>(
                    Shash::speckleLevel(3, Shash::speckleNoise(x, y, seed, c - 1), scale_, ps) * M);
            }
            p.a = std::max(p.r, std::max(p.g, p.b));
        } else {
            p = Px::filled(Pixel::storeChannel<Channel>(
                Shash::speckleLevel(type_, Shash::speckleNoise(x, y, seed), scale_, ps) * M));
        }
    }
}

template void mixShashLayer<PixARGB8>(const KlTexture<PixARGB8>&, KlTexture<PixARGB8>&, const KlRect&, float,
                                      KlInterruptHook*, bool);
template void mixShashLayer<PixARGB16>(const KlTexture<PixARGB16>&, KlTexture<PixARGB16>&, const KlRect&,
                                       float, KlInterruptHook*, bool);
template void mixShashLayer<PixARGBF>(const KlTexture<PixARGBF>&, KlTexture<PixARGBF>&, const KlRect&, float,
                                      KlInterruptHook*, bool);

template class KlShashProc<PixARGB8>;
template class KlShashProc<PixARGB16>;
template class KlShashProc<PixARGBF>;

}  // namespace Kiln
