#pragma once
// Conversions between the host's raw control values and the effect's values, and between the
// effect's times (frames of the layer, doubles) and the host's (integers in 1/time_scale seconds).
//
//   fixed slider    value ÷ 65536            (16.16 fixed point)
//   scale           value ÷ 65536 ÷ 100      (a percent slider as a fraction)
//   angle           value ÷ 65536 degrees, as radians
//   colour channel  value ÷ 255
// The inverse conversions round to the nearest representable host value and saturate.
#include "image/klPixel.h"
#include "sdk/klHostAPI.h"

#include <cmath>
#include <cstdint>

namespace Kiln::AfterEffects::Convert {

inline constexpr double kFixedOne = 65536.0;
inline constexpr double kPi = 3.14159265358979323846;

inline double fixedToDouble(PF_Fixed v) { return v / kFixedOne; }
inline double fixedToScale(PF_Fixed v) { return v / kFixedOne / 100.0; }
inline double fixedToRadians(PF_Fixed v) { return v / kFixedOne * kPi / 180.0; }

// Rounded to the nearest 1/65536, saturated to the 32-bit range (NaN gives 0).
inline PF_Fixed saturateFixed(double f)
{
    if (std::isnan(f)) return 0;
    if (f <= -2147483648.0) return INT32_MIN;
    if (f >= 2147483647.0) return INT32_MAX;
    return static_cast<PF_Fixed>(std::lround(f));
}
inline PF_Fixed doubleToFixed(double v) { return saturateFixed(v * kFixedOne); }
inline PF_Fixed scaleToFixed(double v) { return saturateFixed(v * 100.0 * kFixedOne); }
inline PF_Fixed radiansToFixed(double v) { return saturateFixed(v * 180.0 / kPi * kFixedOne); }

inline float channelToFloat(A_u_char c) { return static_cast<float>(c) / 255.0f; }
// Clamped into 0..1 first; NaN gives 0.
inline A_u_char floatToChannel(float v)
{
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return static_cast<A_u_char>(std::lround(v * 255.0f));
}

// Saturating conversion of a double toward zero (NaN gives 0).
inline A_long truncToLong(double v)
{
    if (std::isnan(v)) return 0;
    if (v <= -2147483648.0) return INT32_MIN;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<A_long>(std::trunc(v));
}

// Frames -> host time: frames × time_step, truncated toward zero.
inline A_long framesToHostTime(double frames, A_long timeStep) { return truncToLong(frames * timeStep); }
// Host time -> frames (0 when the step is 0).
inline double hostTimeToFrames(double hostTime, A_long timeStep)
{
    return timeStep != 0 ? hostTime / timeStep : 0.0;
}
// A rational as a double (den 0 gives `fallback`).
inline double rational(const PF_RationalScale& r, double fallback)
{
    return r.den != 0 ? static_cast<double>(r.num) / static_cast<double>(r.den) : fallback;
}

// The host pixel format of a texture's pixel type; PF_PixelFormat_INVALID for any other type.
template <class Px>
constexpr PF_PixelFormat pixelFormatFor()
{
    return PF_PixelFormat_INVALID;
}
template <>
constexpr PF_PixelFormat pixelFormatFor<Kiln::PixARGB8>()
{
    return PF_PixelFormat_ARGB32;
}
template <>
constexpr PF_PixelFormat pixelFormatFor<Kiln::PixARGB16>()
{
    return PF_PixelFormat_ARGB64;
}
template <>
constexpr PF_PixelFormat pixelFormatFor<Kiln::PixARGBF>()
{
    return PF_PixelFormat_ARGB128;
}
inline bool isKnownFormat(PF_PixelFormat f)
{
    return f == PF_PixelFormat_ARGB32 || f == PF_PixelFormat_ARGB64 || f == PF_PixelFormat_ARGB128;
}

// The pixel format of a host world: the world suite's answer when the host offers one, else read
// from the world's flags (deep: 16 bits, else 8 bits). PF_PixelFormat_INVALID when the suite fails.
PF_PixelFormat worldPixelFormat(PF_InData* in_data, const PF_EffectWorld& world);

}  // namespace Kiln::AfterEffects::Convert
