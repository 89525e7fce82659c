#pragma once
// Noise images: per-pixel hashed values, optionally softened by the blur.
//
// A pixel's value depends only on its global position and the seed
// (hash input n = y * 17387 + x * 7907 + seed, wrapping 32-bit), never on the thread split:
// the same seed and geometry always give the same image.
//
// KlNoiseGen      one channel: hashMasked(n) * amplitude / 2^31 + offset, in [offset, offset + amplitude).
// KlRGBANoiseGen  red, green, blue from n, n + 1, n + 2 (and alpha from n + 3 when asked), each
//                 hashMasked * amplitude / 2^31 with its own amplitude.
// Softening: softX, softY are the total reach of a 3-iteration box blur (each box pass gets a
// third). Noise is generated over the rectangle widened by that reach, so the blur reads real
// noise at the edges, and then blurred into the destination.
//
// KlRGBNoiseProc adds such noise to a picture in place (see its comment for the variants).
#include "image/klBlur.h"
#include "image/klHash.h"
#include "image/klImgProc.h"
#include "image/klSamplers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

namespace Kiln {

// One-channel float noise image; its maximum is the largest int32.
using PixNoiseF =
    PixelTemplate<Pixel::Descriptor<Pixel::Order::Single, float, float, 0, 2147483647, 2147483647, 0>>;

namespace Noise {

inline constexpr float kScale = 4.656613e-10f;  // 1 / 2^31
inline constexpr float kHighClamp = 2147483648.0f;  // 2^31

inline uint32_t hashInput(int32_t x, int32_t y, uint32_t seed)
{
    return uint32_t(y) * 17387u + uint32_t(x) * 7907u + seed;
}

// The hashed value of input n: uniform in [offset, offset + amplitude).
inline float value(uint32_t n, float amplitude, float offset)
{
    return float(hashMasked(n)) * amplitude * kScale + offset;
}

// Blur margin (columns or rows) for a softening reach: 3 iterations of a box of reach / 3.
int32_t softMargin(float reach);

}  // namespace Noise

// Shared settings and the widen / generate / blur sequence of both generators.
template <class Px>
class KlNoiseGenBase : public KlImgProc<Px> {
public:
    void setSeed(uint32_t s) { seed_ = s; }
    uint32_t seed() const { return seed_; }
    void setSoftness(float sx, float sy)
    {
        softX_ = sx;
        softY_ = sy;
    }
    float softX() const { return softX_; }
    float softY() const { return softY_; }
    // The reach actually used by the last set-up (after the clamp to twice the image size).
    float usedSoftX() const { return usedSoftX_; }
    float usedSoftY() const { return usedSoftY_; }

    void setUp() override
    {
        target_ = nullptr;
        rect_ = this->clippedRect();
        if (rect_.isEmpty() || this->destination() == nullptr) return;
        const float w = float(this->destination()->width()), h = float(this->destination()->height());
        usedSoftX_ = std::isfinite(softX_) ? std::clamp(softX_, 0.0f, 2.0f * w) : 0.0f;
        usedSoftY_ = std::isfinite(softY_) ? std::clamp(softY_, 0.0f, 2.0f * h) : 0.0f;
        if (usedSoftX_ == 0.0f && usedSoftY_ == 0.0f) {
            gen_ = rect_;
            target_ = this->destination();
            return;
        }
        const int32_t mx = Noise::softMargin(usedSoftX_), my = Noise::softMargin(usedSoftY_);
        gen_ = {rect_.x0 - mx, rect_.y0 - my, rect_.x1 + mx, rect_.y1 + my};
        own_ = KlTexture<Px>(gen_.width(), gen_.height(), gen_.x0, gen_.y0);
        own_.setEdgeModes(KlEdgeRepeat, KlEdgeRepeat);
        target_ = &own_;
    }

    void process() override
    {
        if (target_ == nullptr) return;
        const KlRowBand band = this->bandRows(gen_.y0, gen_.y1);
        for (int32_t y = band.begin; y < band.end; ++y) {
            if (this->shouldStop()) return;
            generateRow(target_->pixelAddress(gen_.x0, y), gen_.x0, gen_.width(), y);
        }
    }

    void afterPass() override
    {
        if (target_ == nullptr || target_ == this->destination()) return;
        soften();
    }

    void tearDown() override
    {
        own_ = KlTexture<Px>();
        target_ = nullptr;
    }

protected:
    // Row y, columns x0 .. x0 + count - 1, into out.
    virtual void generateRow(Px* out, int32_t x0, int32_t count, int32_t y) const = 0;
    // Blurs own_ into the destination over rect_.
    virtual void soften()
    {
        BlurGeneralGauss<Px, Px> blur;
        configureBlur(blur, this->destination());
        blur.execute();
    }
    template <class B>
    void configureBlur(B& blur, KlTexture<Px>* dst) const
    {
        blur.setSource(&own_);
        blur.setDestination(dst);
        blur.setRect(rect_);
        blur.setSizes(usedSoftX_ / 3.0f, usedSoftY_ / 3.0f);
        blur.setIterations(3);
        blur.setInterruptHook(this->interruptHook());
        blur.setMultiThreaded(this->multiThreaded());
    }

    uint32_t seed_ = 0;
    float softX_ = 0.0f, softY_ = 0.0f;
    float usedSoftX_ = 0.0f, usedSoftY_ = 0.0f;
    KlRect rect_, gen_;
    KlTexture<Px> own_;
    KlTexture<Px>* target_ = nullptr;
};

// One-channel noise; Px is a one-channel float pixel (PixNoiseF by default).
template <class Px = PixNoiseF>
class KlNoiseGen : public KlNoiseGenBase<Px> {
    static_assert(Px::channels == 1, "one-channel noise");

public:
    void setOffset(float o) { offset_ = o; }
    void setAmplitude(float a) { amplitude_ = a; }
    void setClampLow(bool on) { clampLow_ = on; }
    void setClampHigh(bool on) { clampHigh_ = on; }
    float offset() const { return offset_; }
    float amplitude() const { return amplitude_; }

    // The value at (x, y) before softening.
    float valueAt(int32_t x, int32_t y) const
    {
        return clamp(Noise::value(Noise::hashInput(x, y, this->seed_), amplitude_, offset_));
    }

protected:
    void generateRow(Px* out, int32_t x0, int32_t count, int32_t y) const override
    {
        uint32_t n = Noise::hashInput(x0, y, this->seed_);
        for (int32_t i = 0; i < count; ++i, n += 7907u)
            out[i][0] =
                Pixel::storeChannel<typename Px::Channel>(clamp(Noise::value(n, amplitude_, offset_)));
    }

private:
    float clamp(float v) const
    {
        if (clampLow_) v = std::max(v, 0.0f);
        if (clampHigh_) v = std::min(v, Noise::kHighClamp);
        return v;
    }

    float offset_ = 0.0f;
    float amplitude_ = 1.0f;
    bool clampLow_ = false;
    bool clampHigh_ = false;
};

// Four-channel noise (RGBA float by default). Alpha is written only when enabled.
template <class Px = PixRGBAF>
class KlRGBANoiseGen : public KlNoiseGenBase<Px> {
    static_assert(Px::channels == 4, "four-channel noise");

public:
    void setAmplitudes(float r, float g, float b, float a)
    {
        amp_[0] = r;
        amp_[1] = g;
        amp_[2] = b;
        amp_[3] = a;
    }
    void setAlpha(bool on) { alpha_ = on; }
    void setClamp(bool on) { clamp_ = on; }

    // Channel values at (x, y) before softening: red, green, blue, alpha.
    void valuesAt(int32_t x, int32_t y, float out[4]) const
    {
        const uint32_t n = Noise::hashInput(x, y, this->seed_);
        for (int c = 0; c < 4; ++c) out[c] = clamp(Noise::value(n + uint32_t(c), amp_[c], 0.0f));
    }

protected:
    void generateRow(Px* out, int32_t x0, int32_t count, int32_t y) const override
    {
        using Ch = typename Px::Channel;
        uint32_t n = Noise::hashInput(x0, y, this->seed_);
        for (int32_t i = 0; i < count; ++i, n += 7907u) {
            out[i].r = Pixel::storeChannel<Ch>(clamp(Noise::value(n, amp_[0], 0.0f)));
            out[i].g = Pixel::storeChannel<Ch>(clamp(Noise::value(n + 1u, amp_[1], 0.0f)));
            out[i].b = Pixel::storeChannel<Ch>(clamp(Noise::value(n + 2u, amp_[2], 0.0f)));
            // Softened without alpha: the blur's alpha is thrown away, so any value will do.
            if (alpha_)
                out[i].a = Pixel::storeChannel<Ch>(clamp(Noise::value(n + 3u, amp_[3], 0.0f)));
            else if (this->target_ != this->destination())
                out[i].a = Ch(0);
        }
    }

    // Without alpha the destination's alpha must survive: blur into a scratch image and
    // copy only the colour channels.
    void soften() override
    {
        if (alpha_) {
            KlNoiseGenBase<Px>::soften();
            return;
        }
        KlTexture<Px> tmp(this->rect_.width(), this->rect_.height(), this->rect_.x0, this->rect_.y0);
        BlurGeneralGauss<Px, Px> blur;
        this->configureBlur(blur, &tmp);
        blur.execute();
        ChannelCopySampler<Px, Px, 1, 1, 1, 0> copy;
        copy.setSource(&tmp);
        copy.setDestination(this->destination());
        copy.setRect(this->rect_);
        copy.setInterruptHook(this->interruptHook());
        copy.setMultiThreaded(this->multiThreaded());
        copy.execute();
    }

private:
    float clamp(float v) const { return clamp_ ? std::min(v, Noise::kHighClamp) : v; }

    float amp_[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    bool alpha_ = false;
    bool clamp_ = false;
};

// Adds hashed noise to a picture's colour channels, in place over the rectangle.
//
// For channel c (red, green, blue) with range [low_c, high_c), gain g_c and noise u in [0, 1):
//     delta_c = (low_c + u * (high_c - low_c)) * g_c * strength * M
//     out_c   = clamp(in_c + (1 - mix) * delta_c, 0, M), stored by truncation; alpha unchanged.
// Variants (setVariant):
//     0  mono: one u per pixel for all three channels (grey grain);
//     1  colour: an independent u per channel (RGBA generator);
//     2  mono weighted by the pixel's brightness: delta_c is multiplied by mean(R, G, B) / M,
//        so dark areas stay clean.
// Nothing is done when mix >= 1 or when every channel's effective amplitude
// max(high_c, |low_c|) * |g_c| * |strength| is 0.
template <class Px>
class KlRGBNoiseProc : public KlImgProc<Px> {
public:
    void setSeed(uint32_t s) { seed_ = s; }
    void setGains(float r, float g, float b)
    {
        gain_[0] = r;
        gain_[1] = g;
        gain_[2] = b;
    }
    void setMix(float m) { mix_ = m; }
    void setStrength(float s) { strength_ = s; }
    void setVariant(int32_t v) { variant_ = v; }
    // Channel 0..3 = red, green, blue, alpha (the alpha range is kept but not used).
    void setRange(int channel, float low, float high)
    {
        low_[channel & 3] = low;
        high_[channel & 3] = high;
    }
    void setSoftness(float sx, float sy)
    {
        softX_ = sx;
        softY_ = sy;
    }

    int32_t variant() const { return variant_; }
    // Whether the last set-up found anything to do.
    bool enabled() const { return enabled_; }

    void setUp() override
    {
        enabled_ = false;
        rect_ = this->clippedRect();
        if (rect_.isEmpty() || this->destination() == nullptr || !(mix_ < 1.0f)) return;
        bool any = false;
        for (int c = 0; c < 3; ++c) {
            const float amp =
                std::max(high_[c], std::fabs(low_[c])) * std::fabs(gain_[c]) * std::fabs(strength_);
            any = any || (amp > 0.0f && std::isfinite(amp));
        }
        if (!any) return;
        enabled_ = true;
        if (variant_ == 1) {
            KlRGBANoiseGen<PixRGBAF> gen;
            colour_ = KlTexture<PixRGBAF>(rect_.width(), rect_.height(), rect_.x0, rect_.y0);
            runGenerator(gen, colour_);
        } else {
            KlNoiseGen<PixNoiseF> gen;
            mono_ = KlTexture<PixNoiseF>(rect_.width(), rect_.height(), rect_.x0, rect_.y0);
            runGenerator(gen, mono_);
        }
    }

    void process() override
    {
        if (!enabled_) return;
        using W = float;
        const W M = Px::M, keep = 1.0f - mix_;
        W scale[3], low[3], span[3];
        for (int c = 0; c < 3; ++c) {
            scale[c] = gain_[c] * strength_ * M * keep;
            low[c] = low_[c];
            span[c] = high_[c] - low_[c];
        }
        const bool colour = variant_ == 1, weighted = variant_ == 2;
        this->forEachRow([&](int32_t y) {
            Px* p = this->destination()->pixelAddress(rect_.x0, y);
            const PixRGBAF* cn = colour ? colour_.pixelAddress(rect_.x0, y) : nullptr;
            const PixNoiseF* mn = colour ? nullptr : mono_.pixelAddress(rect_.x0, y);
            for (int32_t i = 0; i < rect_.width(); ++i) {
                W v[3] = {W(p[i].r), W(p[i].g), W(p[i].b)};
                W u[3];
                if (colour) {
                    u[0] = cn[i].r, u[1] = cn[i].g, u[2] = cn[i].b;
                } else {
                    u[0] = u[1] = u[2] = mn[i].v;
                }
                const W weight = weighted ? (v[0] + v[1] + v[2]) / (3.0f * M) : 1.0f;
                for (int c = 0; c < 3; ++c) {
                    const W d = (low[c] + u[c] * span[c]) * scale[c] * weight;
                    v[c] = std::clamp(v[c] + d, W(0), M);
                    if (!(v[c] == v[c])) v[c] = 0.0f;  // NaN from a bad setting stores as 0
                }
                using Ch = typename Px::Channel;
                p[i].r = Pixel::storeChannel<Ch>(v[0]);
                p[i].g = Pixel::storeChannel<Ch>(v[1]);
                p[i].b = Pixel::storeChannel<Ch>(v[2]);
            }
        });
    }

    void tearDown() override
    {
        mono_ = KlTexture<PixNoiseF>();
        colour_ = KlTexture<PixRGBAF>();
    }

private:
    template <class G, class T>
    void runGenerator(G& gen, T& image)
    {
        gen.setDestination(&image);
        gen.setRect(rect_);
        gen.setSeed(seed_);
        gen.setSoftness(softX_, softY_);
        gen.setInterruptHook(this->interruptHook());
        gen.setMultiThreaded(this->multiThreaded());
        if constexpr (std::is_same_v<G, KlNoiseGen<PixNoiseF>>) {
            gen.setOffset(0.0f);
            gen.setAmplitude(1.0f);
        } else {
            gen.setAmplitudes(1.0f, 1.0f, 1.0f, 0.0f);
        }
        gen.execute();
    }

    uint32_t seed_ = 0;
    float gain_[3] = {0.0f, 0.0f, 0.0f};
    float mix_ = 0.0f;
    float strength_ = 1.0f;
    int32_t variant_ = 0;
    float low_[4] = {-0.05f, -0.05f, -0.05f, -0.05f};
    float high_[4] = {0.05f, 0.05f, 0.05f, 0.05f};
    float softX_ = 0.0f, softY_ = 0.0f;
    bool enabled_ = false;
    KlRect rect_;
    KlTexture<PixNoiseF> mono_;
    KlTexture<PixRGBAF> colour_;
};

}  // namespace Kiln
