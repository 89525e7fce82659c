#pragma once
// The monitor look: TV type through the brightness/contrast tone curve, EM interference bands, the shash
// mix and the white-dot collapse with its glow.
//
// WornScreenSampler reads the working image and writes the output picture in passes:
//   0  picture: table look-ups of the TV type times the row's EM gain, clamped to 0..M, truncated;
//   1, 2  ghost images and edge distortion of the shared routine: nothing to do for this effect;
//   3  the shash layer, mixed over the picture after the pass;
//   4  (white dot only) the collapse into a second layer, blurred into the output after the pass.
// With a white dot the picture passes render into a working layer instead of the output.
//
// Every per-pixel tone operation is a table look-up; the tone curve is evaluated once per table entry at
// set-up. Row work depends only on the row, so any band split gives the same picture. Everything that
// depends on where a pixel lies in the frame (EM bands, shash rows and runs, the white-dot collapse) is
// laid out from the frame (settings frameWidth x frameHeight at the origin), never from the output
// rectangle, so any part of the frame comes out as in the whole: with a white dot the picture, shash and
// collapse cover the whole frame and the glow writes the output rectangle.
//
// Use, once per render:
//     WornScreenSampler<Px> sampler;
//     sampler.setSource(&working);      // the picture after lens, blur and quantise
//     sampler.setDestination(&output);  // the output image (rectangle: the whole output by default)
//     sampler.setSettings(settings);    // WornScreenSettings filled from the parameters and render facts
//     sampler.setInterruptHook(&hook);
//     sampler.execute();
// A white dot above 0.99 is not drawn by the sampler: the caller fills the output with
// WornScreen::blankFrame and skips the picture stages.
//
// Render scale: the shash patterns get scale 1 and pixel scale = the horizontal render scale (their sizes
// are horizontal); the glow blur gets scale = the horizontal render scale and a vertical factor = vertical
// scale / horizontal scale, so both radii follow their own axis.

#include "effect/klRandom.h"
#include "effect/klShash.h"
#include "image/klImgProc.h"

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace Kiln {

// What the render routine hands the sampler, one field per parameter or render fact.
struct WornScreenSettings {
    int32_t tvType = 1;  // 0 "Colour", 1 "B and W", 2 "Tint"
    float brightness = 0.25f;  // B, as a fraction
    float contrast = 0.15f;  // C, as a fraction
    float redBrightness = 0.0f;  // added to B for the red table of "Colour"
    float greenBrightness = 0.0f;
    float blueBrightness = 0.0f;
    float saturation = 1.0f;
    float tintRed = 0.25f;  // the middle stop of "Tint", 0..1 per channel
    float tintGreen = 0.6f;
    float tintBlue = 0.3f;
    float emAmount = 0.15f;  // EM interference; 0 or less is off
    float whiteDot = 0.0f;  // 0 is off; above 0.99 the caller renders a blank frame instead
    int32_t seed = 30;
    int32_t frame = 0;  // frame number being rendered (shash)
    int32_t shashType = 5;  // 0..4 "Type 1".."Type 5", 5 "Random"
    float shashMax = 0.0f;  // weight of the shash layer; 0 or less is off
    int32_t shashPeriod = 15;
    bool shashColour = false;
    float scaleX = 1.0f;  // horizontal render scale (sx)
    float scaleY = 1.0f;  // vertical render scale (syAdj)
    // The frame (the layer) in pixels, at the origin; with either 0 or less the output rectangle is the
    // frame (the EM bands still take a positive height).
    float frameWidth = 0.0f;
    float frameHeight = 0.0f;
};

namespace WornScreen {

constexpr int32_t kColour = 0;
constexpr int32_t kBlackAndWhite = 1;
constexpr int32_t kTint = 2;

// Above this white dot the effect draws no picture: the caller fills the output with blankFrame.
constexpr float kBlankWhiteDot = 0.99f;
inline bool isBlankFrame(float whiteDot) noexcept { return whiteDot > kBlankWhiteDot; }

// base^exponent evaluated in long double precision and rounded to float.
float extendedPower(float base, float exponent) noexcept;

// Tone curve T(x; B, C) for x in 0..1, single precision with the power in long double.
float toneCurve(float x, float brightness, float contrast) noexcept;

// One channel of the tint gradient at v (dark stop at 0, middle at 0.5, light at 1), on stored channel
// values; `truncate` truncates the step as the integer depths do.
float tintChannel(float v, float dark, float middle, float light, bool truncate) noexcept;

// r / 32767 * 100 for the one draw r of a fresh generator started at seed.
float emPhase(int32_t seed) noexcept;
// EM gain of row y: 1 + em * n(y / (frameHeight / 25) + phase), n the 2-octave smooth noise; exactly 1 when
// em <= 0, and 1 when the position is not finite (a frame height of 0).
float emRowGain(int32_t y, float frameHeight, float emAmount, float phase, const SmoothNoise& noise) noexcept;

// Float to int32 toward zero; NaN gives 0, values beyond the range saturate.
int32_t truncToInt(double v) noexcept;

// The white-dot collapse over a frame [left, right) x [top, bottom).
struct Collapse {
    float vertical;  // v = exp(-15 wd) + 0.005
    float horizontal;  // h = exp(-5 (q / len / 10 + wd)) + 0.005; q / len / 10 is integer and always 0
    int32_t rowStart;  // band of rows written, end exclusive
    int32_t rowEnd;
    int32_t colStart;  // columns written within a band row, end exclusive
    int32_t colEnd;
    float step;  // n = 1 / h: source columns per output column
};
Collapse collapse(float whiteDot, const KlRect& frame) noexcept;
// Source row (frame-relative) read by output row y of the band.
int32_t collapseSourceRow(const Collapse& c, int32_t y) noexcept;

// Horizontal glow radius trunc(wd * 5 * scale) in pixels.
int32_t glowRadius(float whiteDot, float scale) noexcept;

// Fills the texture (or just `rect` of it) with transparent black: the blank frame of a white dot above
// 0.99. Runs on all threads.
template <class Px>
void blankFrame(KlTexture<Px>& output, KlInterruptHook* hook = nullptr, const KlRect* rect = nullptr,
                bool multiThreaded = true);

}  // namespace WornScreen

// The lookup tables of one TV type and depth: 256 entries at 8 bits (x = i / 255), 32769 at 16 bits
// (x = i / 32768), 65536 in float (x = i / 65535). One entry past the end repeats the last, so an
// interpolation at the last entry never reads beyond it.
template <class Px>
class WornScreenTables {
public:
    using Channel = typename Px::Channel;
    static constexpr bool kInteger = Px::isInteger;
    static constexpr int32_t kSize = kInteger ? int32_t(Px::maxInt) + 1 : 65536;
    using ColourEntry = std::conditional_t<kInteger, Channel, float>;

    void build(const WornScreenSettings& s);
    // Tables built for `s`, shared: renders with the same tone settings (every frame of a clip, mostly)
    // reuse the last few built instead of evaluating the curve at every entry again.
    static std::shared_ptr<const WornScreenTables> shared(const WornScreenSettings& s);

    int32_t tvType() const { return tvType_; }
    // "Colour": channel 0 red, 1 green, 2 blue.
    const std::vector<ColourEntry>& colour(int channel) const { return colour_[channel]; }
    // "B and W": the unrounded curve times M.
    const std::vector<float>& grey() const { return grey_; }
    // "Tint": whole stored pixels (alpha M).
    const std::vector<Px>& tint() const { return tint_; }

    // "B and W" value of a mean l of R, G, B (limited to 0..M), interpolated.
    float greyAt(float mean) const;
    // Integer depths: greyAt(sum / 3) for every channel sum 0..3M (larger sums read entry 3M).
    const std::vector<float>& greyBySum() const { return greyBySum_; }

private:
    int32_t tvType_ = -1;
    std::vector<ColourEntry> colour_[3];
    std::vector<float> grey_;
    std::vector<float> greyBySum_;
    std::vector<Px> tint_;
};

// Tests: the portable row code only, not the processor's vector instructions (false again for both).
void usePortableSamplerRowsForTesting(bool on);

template <class Px>
class WornScreenSampler : public KlImgProc<Px> {
public:
    using Texture = KlTexture<Px>;

    WornScreenSampler() = default;

    // Configuration, before execute(): the working image read, the settings, and optionally the render's
    // smooth noise (the standard seed-0 instance otherwise). Destination and rectangle as any KlImgProc.
    void setSource(const Texture* source) { source_ = source; }
    const Texture* source() const { return source_; }
    void setSettings(const WornScreenSettings& s) { settings_ = s; }
    const WornScreenSettings& settings() const { return settings_; }
    void setSmoothNoise(const SmoothNoise* noise) { smooth_ = noise; }
    // Scan lines of this spacing (ScanLines::rowFactor), drawn by the sampler on each output row right
    // after it writes the row's final picture, while the row is still in the cache, when nothing is mixed
    // over the picture afterwards (no shash, no white dot): scanLinesDrawn() then says so after execute(),
    // and the caller runs the scan-line stage only otherwise.
    void setScanLines(int32_t spacing) { scanLines_ = spacing; }
    bool scanLinesDrawn() const { return scanLinesDrawn_; }
    // The same for the alpha of `from` at each pixel (read through its window and edges), set last:
    // alphaCopied() says whether the sampler did.
    void setAlphaFrom(const Texture* from) { alphaFrom_ = from; }
    bool alphaCopied() const { return alphaCopied_; }

    // After setUp: the tables, the pattern drawn this frame (Shash::kNone when none) and the EM phase.
    const WornScreenTables<Px>& tables() const { return *tables_; }
    int32_t shashPattern() const { return shashPattern_; }

    void setUp() override;
    void process() override;
    void beforePass() override;
    void afterPass() override;
    void tearDown() override;

private:
    // Calls f(y) for the calling thread's rows of r.
    template <class F>
    void eachRow(const KlRect& r, F&& f) const;
    void pictureRow(int32_t y, Texture& target) const;
    template <int32_t Type, bool Saturate>
    void pictureRowOf(int32_t y, Px* out, float gain) const;
    void collapseRow(int32_t y, Texture& target) const;
    void glow();
    const SmoothNoise& smooth() const { return smooth_ ? *smooth_ : SmoothNoise::standard(); }
    Texture& pictureTarget() { return whiteDotOn_ ? layerA_ : *this->destination_; }

    const Texture* source_ = nullptr;
    WornScreenSettings settings_;
    const SmoothNoise* smooth_ = nullptr;
    int32_t scanLines_ = 0;
    bool scanLinesDrawn_ = false;
    const Texture* alphaFrom_ = nullptr;
    bool alphaCopied_ = false;

    // Set up per render.
    std::shared_ptr<const WornScreenTables<Px>> tables_ = std::make_shared<WornScreenTables<Px>>();
    KlRect out_{};  // the output rectangle
    KlRect frame_{};  // the frame everything is laid out from
    KlRect work_{};  // where the picture and the shash are made: the output, or the frame with a white dot
    float frameHeight_ = 0.0f;
    float emPhase_ = 0.0f;
    float whiteDot_ = 0.0f;
    bool whiteDotOn_ = false;
    int32_t shashPattern_ = Shash::kNone;
    bool shashOn_ = false;
    WornScreen::Collapse collapse_{};
    Texture layerA_;  // the picture when a white dot is on
    Texture layerB_;  // the shash layer, then the collapse
    KlShashProc<Px> shash_;
};

extern template class WornScreenTables<PixARGB8>;
extern template class WornScreenTables<PixARGB16>;
extern template class WornScreenTables<PixARGBF>;
extern template class WornScreenSampler<PixARGB8>;
extern template class WornScreenSampler<PixARGB16>;
extern template class WornScreenSampler<PixARGBF>;

}  // namespace Kiln
