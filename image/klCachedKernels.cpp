#include "image/klCachedKernels.h"

#include <algorithm>
#include <cmath>

namespace Kiln {

float KlCachedPrecalculatedKernels::kernelFunction(float x, float radius)
{
    if (!(radius > 0.0f)) return x == 0.0f ? 1.0f : 0.0f;
    const float sigma = radius / 3.0f;
    return std::exp(-(x * x) / (2.0f * sigma * sigma));
}

KlCachedPrecalculatedKernels::Axis KlCachedPrecalculatedKernels::build(float radius)
{
    if (!(radius > 0.0f)) radius = 0.0f;
    radius = std::min(radius, kMaxRadius);
    Axis a;
    a.R = int32_t(std::ceil(radius));
    const int32_t taps = 2 * a.R + 1;
    a.table.resize(size_t(kPhases + 1) * size_t(taps));
    for (int32_t i = 0; i <= kPhases; ++i) {
        const float f = float(i) / float(kPhases);
        float* k = a.table.data() + size_t(i) * size_t(taps);
        double sum = 0.0;
        for (int32_t t = -a.R; t <= a.R; ++t) sum += (k[t + a.R] = kernelFunction(float(t) - f, radius));
        // With radius 0 the phase's only tap may be 0 (f > 0): fall back to the nearest sample.
        if (!(sum > 0.0)) {
            std::fill(k, k + taps, 0.0f);
            k[a.R] = 1.0f;
            continue;
        }
        for (int32_t t = 0; t < taps; ++t) k[t] = float(k[t] / sum);
    }
    return a;
}

KlCachedPrecalculatedKernels::KlCachedPrecalculatedKernels(float radiusX, float radiusY)
{
    axes_[0] = build(radiusX);
    axes_[1] = build(radiusY);
}

const float* KlCachedPrecalculatedKernels::phaseKernel(int axis, int32_t phase) const
{
    const Axis& a = axes_[axis & 1];
    phase = std::clamp<int32_t>(phase, 0, kPhases);
    return a.table.data() + size_t(phase) * size_t(2 * a.R + 1);
}

void KlCachedPrecalculatedKernels::kernelAt(int axis, float f, float* out) const
{
    const int32_t n = taps(axis);
    float frac = std::isfinite(f) ? f - std::floor(f) : 0.0f;
    const float t = std::min(frac * float(kPhases), float(kPhases));
    const int32_t i = std::min<int32_t>(int32_t(t), kPhases - 1);
    const float u = t - float(i);
    const float* k0 = phaseKernel(axis, i);
    const float* k1 = phaseKernel(axis, i + 1);
    for (int32_t k = 0; k < n; ++k) out[k] = k0[k] + (k1[k] - k0[k]) * u;
}

}  // namespace Kiln
