#pragma once
#include <cstdint>
#include <vector>

namespace Kiln {

// 1-D resampling kernels at sub-pixel phases.
//
// The kernel function is a Gaussian with sigma = radius / 3, cut at R = ceil(radius) samples
// each side; the table holds kPhases + 1 phases f = i / kPhases (i = 0 .. kPhases), each a
// normalised kernel of 2R + 1 weights: weight k (k = -R .. R) is G(k - f) / sum. A fractional
// phase blends its two neighbouring table entries linearly.
class KlCachedPrecalculatedKernels {
public:
    static constexpr int kPhases = 64;
    // Radii are limited to [0, kMaxRadius]; NaN counts as 0.
    static constexpr float kMaxRadius = 256.0f;

    KlCachedPrecalculatedKernels(float radiusX, float radiusY);

    // R of an axis (0 x, 1 y) and the number of taps 2R + 1.
    int32_t halfWidth(int axis) const { return axes_[axis & 1].R; }
    int32_t taps(int axis) const { return 2 * axes_[axis & 1].R + 1; }
    // The table entry for phase i / kPhases, i = 0 .. kPhases.
    const float* phaseKernel(int axis, int32_t phase) const;
    // The kernel at phase f (the fractional part is used), blended; out has taps(axis) floats.
    void kernelAt(int axis, float f, float* out) const;

    // Unnormalised kernel value at distance x for a radius.
    static float kernelFunction(float x, float radius);

private:
    struct Axis {
        int32_t R = 0;
        std::vector<float> table;  // (kPhases + 1) x (2R + 1)
    };
    static Axis build(float radius);
    Axis axes_[2];
};

}  // namespace Kiln
