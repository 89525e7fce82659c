#pragma once
// The one-dimensional passes of the blur: a box filter of fractional radius run along a line or down
// a column of rows with a running sum, and the conversions of channels to and from the floats they
// work on. Where the processor has AVX2 a copy of each pass that uses it is chosen at run time; both
// do the same IEEE operations in the same order, so both give the same picture.
//
// Arithmetic: samples are floats, running sums are doubles (no drift along a line, and a constant
// stays exactly constant); integer channels are stored by truncation toward zero.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Kiln {

namespace Blur {

// One box pass of radius r: n = trunc(r), f = r - n, weight = 1 / (2n + 1 + 2f).
struct BoxParams {
    int32_t n = 0;
    float f = 0.0f;
    double weight = 1.0;
    // Samples read on each side of an output: n + 1.
    int32_t reach = 1;
};

// Negative or NaN radii count as 0.
BoxParams boxParams(float radius);

// Testing: run the portable passes even where the processor offers AVX2 (both give the same
// picture).
void usePortablePassesForTesting(bool on);

// A size limited to [0, 3 x the larger side]; NaN counts as 0.
float clampSize(float size, int32_t width, int32_t height);

// One box pass along a line of L-float samples (L = 1 or 4). `in` points at sample 0; samples
// -reach .. count - 1 + reach are read. Writes `count` samples to out.
template <int L>
void boxPassLine(const float* in, float* out, int32_t count, const BoxParams& p);
template <>
void boxPassLine<1>(const float* in, float* out, int32_t count, const BoxParams& p);
template <>
void boxPassLine<4>(const float* in, float* out, int32_t count, const BoxParams& p);

// Two lines of the same geometry at once (inB may be null: one line); each gets exactly what
// boxPassLine gives it. L = lanes (1 or 4). The output is split into groups: after every `group`
// samples the output pointer skips `gap` values (rows of several bands written at once); with
// `past` the groups may be written past the caches (same values, for output read back much later).
// Instantiated for float samples.
template <class In, class Out>
void boxPassLinePair(int lanes, const In* inA, Out* outA, const In* inB, Out* outB, int32_t count,
                     const BoxParams& p, int32_t group, size_t gap, bool past);

// Channels <-> floats, `count` values. Integer channels are stored by truncation toward zero
// keeping the low bits; NaN and values beyond the int32 range are held inside it first.
void toFloats(const uint8_t* in, float* out, size_t count);
void toFloats(const uint16_t* in, float* out, size_t count);
void fromFloats(const float* in, uint8_t* out, size_t count);
void fromFloats(const float* in, uint16_t* out, size_t count);

// values[i] *= factor, four at a time.
void scaleFloats(float* values, size_t count, float factor);
// Stored channels times a factor, in place: what toFloats, scaleFloats and fromFloats give in turn, in one
// pass.
void scaleStored(uint8_t* values, size_t count, float factor);
void scaleStored(uint16_t* values, size_t count, float factor);

template <class Ch>
void toFloats(const Ch* in, float* out, size_t count)
{
    if constexpr (std::is_same_v<Ch, float>)
        std::memcpy(out, in, count * sizeof(float));
    else
        for (size_t i = 0; i < count; ++i) out[i] = float(in[i]);
}

template <class Ch>
void fromFloats(const float* in, Ch* out, size_t count)
{
    if constexpr (std::is_same_v<Ch, float>) {
        std::memcpy(out, in, count * sizeof(float));
    } else {
        for (size_t i = 0; i < count; ++i) {
            float f = in[i] > -9.2233720e18f ? in[i] : -9.2233720e18f;  // NaN ends here too
            f = f < 9.2233715e18f ? f : 9.2233715e18f;
            out[i] = static_cast<Ch>(static_cast<int64_t>(f));
        }
    }
}

// The same pass down a column of rows: in[i] is row i (i from -reach to count - 1 + reach),
// each `lanes` values wide; out[i] receives output row i. acc holds `lanes` doubles: the running
// sums, started afresh from rows -n .. n, or with resume carried on from the call that produced
// the rows above (the same sums as one call over all the rows).
template <class In, class Out>
void boxPassRows(const In* const* in, Out* const* out, int32_t count, int32_t lanes, const BoxParams& p,
                 double* acc, bool resume);

}  // namespace Blur

}  // namespace Kiln
