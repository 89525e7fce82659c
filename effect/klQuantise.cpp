#include "effect/klQuantise.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace Kiln::Quantise {

void Buckets::checkLevels(int32_t levels)
{
    if (levels > kMaxLevels)
        throw Exceptions::BadValue("Kiln::Quantise::Buckets::Buckets", __FILE__, __LINE__, "levels", ">32");
    if (levels < 1)
        throw Exceptions::BadValue("Kiln::Quantise::Buckets::Buckets", __FILE__, __LINE__, "levels", "<1");
}

Buckets::Buckets(int32_t levels, float minR, float minG, float minB, float minA, float maxR, float maxG,
                 float maxB, float maxA)
    : n_(levels), min_{minR, minG, minB, minA}, max_{maxR, maxG, maxB, maxA}
{
    checkLevels(levels);
    cells_ = std::make_unique<Bucket[]>(kCells);
    setPixelCount(int64_t(1) << 24);
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
    setShift(shift);
    limit_ = float(limit);
}

void Buckets::setShift(int32_t shift)
{
    shift_ = std::clamp(shift, 0, 60);
    scale_ = std::ldexp(1.0f, shift_);
}

void Buckets::buildTable(int32_t values)
{
    const int32_t n = n_;
    table_.assign(size_t(values) * 3, 0);
    for (int32_t v = 0; v < values; ++v) {
        table_[size_t(v)] = int16_t(axisIndex(float(v), min_[0], max_[0], n));
        table_[size_t(values + v)] = int16_t(axisIndex(float(v), min_[1], max_[1], n) * n);
        table_[size_t(2 * values + v)] = int16_t(axisIndex(float(v), min_[2], max_[2], n) * n * n);
    }
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

void Buckets::clear() { std::fill(cells_.get(), cells_.get() + kCells, Bucket{}); }

}  // namespace Kiln::Quantise
