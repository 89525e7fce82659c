#pragma once
// Shash: the snow of a bad video signal, drawn into a layer of its own and mixed over the picture.
//
// Five patterns. 0 to 2 are drawn row by row from the two-step generator; 3 and 4 are hashed noise built
// from a frame filler and the noise generators. A layer depends only on (seed, frame, pattern, scale,
// pixel scale, geometry): the generator state at the top of every row is worked out on the calling
// thread before the rows are shared out, so any thread split gives the same layer.
//
// Pixel values: "grey g" sets all four channels to g, "white" all four to M, "clear" all four to 0.

#include "effect/klRandom.h"
#include "image/klFunctors.h"
#include "image/klImgProc.h"

#include <cstdint>
#include <vector>

namespace Kiln::Shash {

// Number of drawn patterns ("Type 1" .. "Type 5"); the choice value kRandom picks one per period.
constexpr int32_t kPatterns = 5;
constexpr int32_t kRandom = 5;
// No pattern this frame.
constexpr int32_t kNone = -1;

// Generator state every pattern starts from: trunc(seed + frame * 100) in double, kept to 32 bits.
uint32_t frameBase(uint32_t seed, int32_t frame) noexcept;

// The pattern to draw for a shashType choice. Random: period <= 0 gives pattern 0; otherwise an integer
// draw in [0, 5) from state frame / period + seed, where a draw of exactly 5 gives kNone. Values outside
// 0..5 give kNone.
int32_t resolveType(int32_t type, int32_t period, int32_t frame, int32_t seed) noexcept;

// Seed of the hashed noise of patterns 3 and 4: trunc(|frame * 12541|) + 1.
uint32_t noiseSeed(int32_t frame) noexcept;

// Run span of pattern 2: the columns, the current one included, that keep the current run when the run
// counter stands at `counter` (the run ends once the counter passes `length`). At least 1.
int64_t runSpan(float length, int64_t counter) noexcept;

// Pattern 0 level of |noise| as a fraction of M: 1 above 0.44, a ramp over (0.418, 0.44], else 0.
inline float streakLevel(float a) noexcept
{
    if (a > 0.44f) {
        return 1.0f;
    }
    return a > 0.418f ? (a - 0.418f) / 0.022000015f : 0.0f;
}

// Softening reach of pattern 4 in pixels: 1.32 * scale * pixelScale (0 when not positive and finite).
float coarseReach(float scale, float pixelScale) noexcept;

// Pattern 1 band brightening of column x: clamp((sin(2 pi x / L2 + p2) + sin(2 pi x / L1 + p1)) * 0.2 + o, 0, 1).
float bandBrightness(int32_t x, float l1, float p1, float l2, float p2, float offset) noexcept;

// Wavelength and phase of a pattern 1 band from the hash of row group k.
struct BandWave {
    float length;
    float phase;
};
BandWave bandWave(uint32_t k, float scale, float pixelScale) noexcept;

} // namespace Kiln::Shash

namespace Kiln {

// The layer over the picture: picture * (1 - w) + layer * w on all four channels.
template <class Px>
struct MixCombiner {
    float weight = 0.0f;

    void operator()(const Px& layer, Px& picture) const
    {
        const float keep = 1.0f - weight;
        for (int c = 0; c < Px::channels; ++c) {
            picture[c] = Pixel::storeChannel<typename Px::Channel>(float(picture[c]) * keep + float(layer[c]) * weight);
        }
    }
};

// Mixes `layer` over `picture` across `rect` with weight w (limited to 0..1), on all threads unless
// multiThreaded is false.
template <class Px>
void mixShashLayer(const KlTexture<Px>& layer, KlTexture<Px>& picture, const KlRect& rect, float weight,
                   KlInterruptHook* hook, bool multiThreaded = true);

template <class Px>
class KlShashProc : public KlImgProc<Px> {
public:
    using Channel = typename Px::Channel;

    KlShashProc() = default;

    void setSeed(uint32_t seed) { seed_ = seed; }
    void setFrame(int32_t frame) { frame_ = frame; }
    // Pattern size factor; pattern sizes are scale * pixelScale times their nominal pixels.
    void setScale(float scale) { scale_ = scale; }
    // 0..4; anything else draws nothing.
    void setType(int32_t type) { type_ = type; }
    // Pattern 2 (and 3) draw coloured runs instead of grey ones.
    void setColour(bool colour) { colour_ = colour; }
    // The render's smooth noise; the seed-0 standard instance when not given.
    void setSmoothNoise(const SmoothNoise* noise) { smooth_ = noise; }

    uint32_t seed() const { return seed_; }
    int32_t frame() const { return frame_; }
    float scale() const { return scale_; }
    int32_t type() const { return type_; }

    // Work out the frame base and the generator state at the top of every row of the rectangle.
    void prepare();
    // Patterns 0..2 are drawn by drawRow; 3 and 4 by drawWhole.
    bool drawsRows() const { return type_ >= 0 && type_ <= 2; }
    // One row of patterns 0..2 (after prepare); any thread, any order.
    void drawRow(int32_t y) const;
    // Patterns 3 and 4 over the whole rectangle; runs its own processors from the calling thread.
    void drawWhole();

    void setUp() override { prepare(); }
    void beforePass() override
    {
        if (!drawsRows()) {
            drawWhole();
        }
    }
    void process() override
    {
        if (drawsRows()) {
            this->forEachRow([&](int32_t y) { drawRow(y); });
        }
    }

private:
    // Pattern 2: walks the runs of row y from generator g; with Draw, writes them into out.
    template <bool Draw>
    void runRow(int32_t y, const KlRect& r, RandomGenerator& g, Px* out) const;
    void streakRow(int32_t y, const KlRect& r, RandomGenerator g, Px* out) const;
    void bandRow(int32_t y, const KlRect& r, RandomGenerator g, Px* out) const;

    const SmoothNoise& smooth() const { return smooth_ ? *smooth_ : SmoothNoise::standard(); }

    uint32_t seed_ = 0;
    int32_t frame_ = 0;
    float scale_ = 0.0f;
    int32_t type_ = 0;
    bool colour_ = false;
    const SmoothNoise* smooth_ = nullptr;
    SineNoise sine_;

    // Set by prepare().
    uint32_t base_ = 0;
    float frameOffset_ = 0.0f;
    KlRect prepared_{};
    std::vector<uint32_t> rowStates_;
};

extern template class KlShashProc<PixARGB8>;
extern template class KlShashProc<PixARGB16>;
extern template class KlShashProc<PixARGBF>;

} // namespace Kiln
