#include "effect/klQuantise.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace Kiln::Quantise {

int32_t axisIndex(float value, float min, float max, int32_t n)
{
    const float q = (value - min) * float(n) / (max - min);
    // NaN and values outside the int32 range become INT32_MIN, without undefined conversion.
    int32_t i = (q >= -2147483648.0f && q < 2147483648.0f) ? int32_t(q) : INT32_MIN;
    if (i >= n) i = n - 1;
    if (i < 0) i = 0;
    return i;
}

void Buckets::checkLevels(int32_t levels)
{
    if (levels > kMaxLevels)
        throw Exceptions::BadValue("Kiln::Quantise::Buckets::Buckets", __FILE__, __LINE__, "levels", ">32");
    if (levels < 1)
        throw Exceptions::BadValue("Kiln::Quantise::Buckets::Buckets", __FILE__, __LINE__, "levels", "<1");
}

Buckets::Buckets(int32_t levels, float minR, float minG, float minB, float minA, float maxR, float maxG, float maxB,
                 float maxA)
    : n_(levels), min_{minR, minG, minB, minA}, max_{maxR, maxG, maxB, maxA}
{
    checkLevels(levels);
    cells_ = std::make_unique<Bucket[]>(kCells);
    setPixelCount(int64_t(1) << 24);
}

int32_t Buckets::cellIndex(float r, float g, float b) const
{
    const int32_t n = n_;
    const int32_t iR = axisIndex(r, min_[0], max_[0], n);
    const int32_t iG = axisIndex(g, min_[1], max_[1], n);
    const int32_t iB = axisIndex(b, min_[2], max_[2], n);
    return std::clamp((iB * n + iG) * n + iR, 0, n * n * n - 1);
}

void Buckets::setPixelCount(int64_t pixels)
{
    pixels = std::max<int64_t>(pixels, 1);
    float largest = 0.0f;
    for (int c = 0; c < 4; ++c) {
        const float m = std::max(std::fabs(min_[c]), std::fabs(max_[c]));
        if (std::isfinite(m)) largest = std::max(largest, m);
    }
    largest = std::max(largest, 1.0f / 1073741824.0f);
    // n values of at most `limit` sum to less than 2^62.
    const double limit = std::ldexp(1.0, 62) / double(pixels);
    const int shift = int(std::floor(std::log2(limit))) - int(std::ceil(std::log2(double(largest))));
    shift_ = std::clamp(shift, 0, 60);
    limit_ = float(limit);
}

int64_t Buckets::toFixed(float v) const
{
    const float s = std::ldexp(v, shift_);
    if (!(s > -limit_)) return s == s ? int64_t(-limit_) : 0;
    if (!(s < limit_)) return int64_t(limit_);
    return int64_t(s);
}

void Buckets::merge(const Buckets& other)
{
    const int32_t used = n_ * n_ * n_;
    for (int32_t i = 0; i < used; ++i) {
        Bucket& a = cells_[size_t(i)];
        const Bucket& b = other.cells_[size_t(i)];
        if (b.count == 0 && !b.meanValid) continue;
        for (int c = 0; c < 4; ++c) a.sum[c] += b.sum[c];
        a.count += b.count;
        if (a.meanValid && b.meanValid)
            for (int c = 0; c < 4; ++c) a.mean[c] = (a.mean[c] + b.mean[c]) * 0.5f;
    }
}

void Buckets::computeMeans()
{
    const int32_t used = n_ * n_ * n_;
    const double unit = std::ldexp(1.0, -shift_);
    for (int32_t i = 0; i < used; ++i) {
        Bucket& b = cells_[size_t(i)];
        for (int c = 0; c < 4; ++c)
            b.mean[c] = b.count > 0 ? float(double(b.sum[c]) / double(b.count) * unit) : 0.0f;
        b.meanValid = true;
    }
}

void Buckets::clear()
{
    std::fill(cells_.get(), cells_.get() + kCells, Bucket{});
}

}  // namespace Kiln::Quantise
