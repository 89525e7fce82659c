#pragma once
// Shash: the snow of a bad video signal, drawn into a layer of its own and mixed over the picture.
//
// Five patterns. 0 to 2 are drawn row by row from the two-step generator; 3 and 4 are speckles of hashed
// noise over the coloured frame generator's transparent black, one value per pixel and nothing blurred.
// A layer depends only on (seed, frame, pattern, scale, pixel scale) and the frame it is anchored to:
// the generator sweeps from the frame's top row (and, for the runs of pattern 2, its left column), and the
// state at the top of every row is worked out on the calling thread before the rows are shared out, so
// any thread split and any part of the frame give the same pixels.
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

// Patterns 3 and 4: the level, as a fraction of M limited to 0..1, of a pixel whose hashed noise is u in
// [0, 1). Pattern 3 takes the generator's gains of 0.9: 0.9 u. Pattern 4 spreads the noise to
// n = 10 (2u - 1) and takes gain +1.32 g on positive n and -1.32 g on negative n, g = 0.1 scale pixelScale,
// so both halves of the noise give grey or white (1.32 |2u - 1| at scale 1 and full size).
float speckleLevel(int32_t pattern, float u, float scale, float pixelScale) noexcept;
// The hashed noise u in [0, 1) of pixel (x, y) for a noise seed (channel k reads the hash of n + k).
float speckleNoise(int32_t x, int32_t y, uint32_t seed, int channel = 0) noexcept;

// Pattern 1 band brightening of column x: clamp((sin(2 pi x / L2 + p2) + sin(2 pi x / L1 + p1)) * 0.2 + o, 0, 1).
float bandBrightness(int32_t x, float l1, float p1, float l2, float p2, float offset) noexcept;

// Wavelength and phase of a pattern 1 band from the hash of row group k.
struct BandWave {
    float length;
    float phase;
};
BandWave bandWave(uint32_t k, float scale, float pixelScale) noexcept;

}  // namespace Kiln::Shash

namespace Kiln {

// The layer over the picture: picture * (1 - w) + layer * w on all four channels.
template <class Px>
struct MixCombiner {
    float weight = 0.0f;

    void operator()(const Px& layer, Px& picture) const
    {
        const float keep = 1.0f - weight;
        for (int c = 0; c < Px::channels; ++c) {
            picture[c] = Pixel::storeChannel<typename Px::Channel>(float(picture[c]) * keep +
                                                                   float(layer[c]) * weight);
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

    // The frame the draws start from: its top row and left column (global coordinates). Unset, the
    // rectangle drawn is the frame.
    void setAnchor(const KlRect& frame) { anchor_ = frame; }

    // Work out the frame base and the generator state at the top of every row of the rectangle.
    void prepare();
    // One row of the rectangle (after prepare); any thread, any order.
    void drawRow(int32_t y) const;

    void setUp() override { prepare(); }
    void process() override
    {
        this->forEachRow([&](int32_t y) { drawRow(y); });
    }

private:
    // Pattern 2: walks the runs of row y across walk_ from generator g; with Draw, writes the columns of
    // the rectangle into out.
    template <bool Draw>
    void runRow(int32_t y, RandomGenerator& g, Px* out) const;
    void streakRow(int32_t y, const KlRect& r, RandomGenerator g, Px* out) const;
    void bandRow(int32_t y, const KlRect& r, RandomGenerator g, Px* out) const;
    void speckleRow(int32_t y, const KlRect& r, Px* out) const;

    const SmoothNoise& smooth() const { return smooth_ ? *smooth_ : SmoothNoise::standard(); }

    uint32_t seed_ = 0;
    int32_t frame_ = 0;
    float scale_ = 0.0f;
    int32_t type_ = 0;
    bool colour_ = false;
    const SmoothNoise* smooth_ = nullptr;
    SineNoise sine_;

    KlRect anchor_{};

    // Set by prepare().
    uint32_t base_ = 0;
    float frameOffset_ = 0.0f;
    KlRect prepared_{};
    KlRect walk_{};  // the anchor and the rectangle together: rows and columns the generator sweeps
    std::vector<uint32_t> rowStates_;
};

extern template class KlShashProc<PixARGB8>;
extern template class KlShashProc<PixARGB16>;
extern template class KlShashProc<PixARGBF>;

}  // namespace Kiln
