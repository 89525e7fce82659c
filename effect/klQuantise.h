#pragma once
// Colour quantisation: the colour cube spanned by the picture's own bounds is cut into
// n x n x n cells; every pixel is counted into the cell of its colour and then replaced by
// the average colour of that cell. Alpha is kept per pixel.
//
// Two passes over rows: BucketMaker counts pixels into a private grid per worker (merged
// after the pass), then every occupied cell's mean is computed once, and ColourImage writes
// the means. Sums are exact fixed-point integers, so the averages do not depend on how the
// rows were split among threads.
#include "exceptions/klException.h"
#include "image/klAnalyser.h"
#include "image/klImgProc.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace Kiln::Quantise {

struct Bucket {
    float mean[4] = {0, 0, 0, 0};  // R, G, B, A
    int64_t sum[4] = {0, 0, 0, 0};  // fixed point, see Buckets::shift()
    int64_t count = 0;
    bool meanValid = false;
};

// Cell along one axis: trunc((value - min) * n / (max - min)) in single precision; a result
// that is NaN or outside the int32 range counts as INT32_MIN; then >= n -> n - 1, < 0 -> 0.
inline int32_t axisIndex(float value, float min, float max, int32_t n)
{
    const float q = (value - min) * float(n) / (max - min);
    // NaN and values outside the int32 range become INT32_MIN, without undefined conversion.
    int32_t i = (q >= -2147483648.0f && q < 2147483648.0f) ? int32_t(q) : INT32_MIN;
    if (i >= n) i = n - 1;
    if (i < 0) i = 0;
    return i;
}

class Buckets {
public:
    static constexpr int32_t kCells = 32768;  // 32 x 32 x 32, whatever the levels
    static constexpr int32_t kMaxLevels = 32;

    // levels 1 .. 32; BadValue("levels", ">32") above, BadValue("levels", "<1") below.
    static void checkLevels(int32_t levels);
    Buckets(int32_t levels, float minR, float minG, float minB, float minA, float maxR, float maxG,
            float maxB, float maxA);

    int32_t levels() const { return n_; }
    const float* minimum() const { return min_; }  // R, G, B, A
    const float* maximum() const { return max_; }

    // (iB * n + iG) * n + iR, clamped into 0 .. n^3 - 1.
    int32_t cellIndex(float r, float g, float b) const
    {
        const int32_t n = n_;
        const int32_t i = (axisIndex(b, min_[2], max_[2], n) * n + axisIndex(g, min_[1], max_[1], n)) * n +
                          axisIndex(r, min_[0], max_[0], n);
        return i < 0 ? 0 : (i > n * n * n - 1 ? n * n * n - 1 : i);
    }
    Bucket& cell(float r, float g, float b) { return cells_[size_t(cellIndex(r, g, b))]; }

    // For integer channels: the cell index of every channel value 0 .. values - 1 worked out once
    // with cellIndex's rules, so that a pixel's cell is three table reads.
    void buildTable(int32_t values);
    bool hasTable() const { return !table_.empty(); }
    int32_t tableIndex(uint32_t r, uint32_t g, uint32_t b) const
    {
        const size_t v = table_.size() / 3;
        return table_[r] + table_[v + g] + table_[2 * v + b];
    }
    // The cells of n pixels of type Px; float pixels four at a time with cellIndex's arithmetic.
    template <class Px>
    void rowCells(const Px* p, int32_t count, int32_t* cells) const
    {
        int32_t i = 0;
        if constexpr (!Px::isInteger) {
            typedef float F4 __attribute__((vector_size(16)));
            typedef int32_t I4 __attribute__((vector_size(16)));
            const int32_t n = n_;
            const F4 nf = {float(n), float(n), float(n), float(n)};
            const I4 top = {n - 1, n - 1, n - 1, n - 1}, zero = {0, 0, 0, 0};
            const F4 lo = {-2147483648.0f, -2147483648.0f, -2147483648.0f, -2147483648.0f}, hi = -lo;
            const I4 worst = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
            auto axis = [&](F4 v, int c) {
                const F4 mn = {min_[c], min_[c], min_[c], min_[c]}, mx = {max_[c], max_[c], max_[c], max_[c]};
                const F4 q = (v - mn) * nf / (mx - mn);
                const I4 ok = (q >= lo) & (q < hi);
                const F4 z = {0.0f, 0.0f, 0.0f, 0.0f};
                I4 k = ok ? __builtin_convertvector(ok ? q : z, I4) : worst;
                k = k >= top + 1 ? top : k;
                return k < zero ? zero : k;
            };
            const I4 last = {n * n * n - 1, n * n * n - 1, n * n * n - 1, n * n * n - 1};
            for (; i + 4 <= count; i += 4) {
                const F4 r = {float(p[i].r), float(p[i + 1].r), float(p[i + 2].r), float(p[i + 3].r)};
                const F4 g = {float(p[i].g), float(p[i + 1].g), float(p[i + 2].g), float(p[i + 3].g)};
                const F4 b = {float(p[i].b), float(p[i + 1].b), float(p[i + 2].b), float(p[i + 3].b)};
                I4 c = (axis(b, 2) * n + axis(g, 1)) * n + axis(r, 0);
                c = c > last ? last : c;
                c = c < zero ? zero : c;
                std::memcpy(cells + i, &c, sizeof c);
            }
        }
        for (; i < count; ++i) cells[i] = pixelCell(p[i]);
    }

    // The cell of a pixel of type Px (the table when there is one).
    template <class Px>
    int32_t pixelCell(const Px& p) const
    {
        if constexpr (Px::isInteger && sizeof(typename Px::Channel) <= 2) {
            if (hasTable()) return tableIndex(p.r, p.g, p.b);
        }
        return cellIndex(float(p.r), float(p.g), float(p.b));
    }
    Bucket& at(int32_t i) { return cells_[size_t(i)]; }
    const Bucket& at(int32_t i) const { return cells_[size_t(i)]; }

    // Fixed point of the sums: a value v is summed as round(v * 2^shift). Chosen from the
    // bounds and the number of pixels that can be counted so that no sum can overflow.
    void setPixelCount(int64_t pixels);
    void setShift(int32_t shift);
    void copyScale(const Buckets& other)
    {
        shift_ = other.shift_;
        scale_ = other.scale_;
        limit_ = other.limit_;
    }
    int32_t shift() const { return shift_; }
    int64_t toFixed(float v) const
    {
        const float s = v * scale_;  // a power of two: exact
        if (!(s > -limit_)) return s == s ? int64_t(-limit_) : 0;
        if (!(s < limit_)) return int64_t(limit_);
        return int64_t(s);
    }

    // Adds another grid cell by cell (sums and counts; two valid means are averaged).
    void merge(const Buckets& other);
    // Mean of every cell: sum / count, 0 for an empty cell.
    void computeMeans();
    void clear();

private:
    std::unique_ptr<Bucket[]> cells_;
    std::vector<int16_t> table_;  // R, G, B parts of the cell index per channel value (all below 32768)
    int32_t n_;
    float min_[4];
    float max_[4];
    int32_t shift_ = 0;
    float scale_ = 1.0f;  // 2^shift
    float limit_ = 0.0f;  // largest |v * 2^shift| that is summed
};

// Pass 1: counts the source's pixels inside the rectangle into per-worker grids, merged into
// the shared grid after the pass; the means are computed there too.
template <class Px>
class BucketMaker : public KlImgProcBase {
    static constexpr bool kRaw = Px::isInteger && sizeof(typename Px::Channel) <= 2;

public:
    BucketMaker(Buckets& grid, const KlTexture<Px>& source) : grid_(grid), source_(source) { }

    void beforePass() override
    {
        grids_.clear();
        grids_.resize(size_t(std::max(threadCount(), processorCount())));
    }

    void process() override
    {
        const KlRect r = clippedRect();
        if (r.isEmpty()) return;
        const int32_t index = currentThreadIndex();
        if (index < 0 || size_t(index) >= grids_.size()) return;
        std::unique_ptr<Buckets>& mine = grids_[size_t(index)];
        const KlRowRange rows = rowRange();
        if (rows.begin >= rows.end) return;
        // Each worker fills only its own slot, so no two threads share a grid.
        const float* lo = grid_.minimum();
        const float* hi = grid_.maximum();
        mine =
            std::make_unique<Buckets>(grid_.levels(), lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]);
        mine->copyScale(grid_);
        Bucket* cells = &mine->at(0);
        std::vector<int32_t> cellOf(size_t(r.width()));
        forEachRow([&](int32_t y) {
            const Px* p = source_.pixelAddress(r.x0, y);
            grid_.rowCells(p, r.width(), cellOf.data());
            for (int32_t i = 0; i < r.width(); ++i) {
                Bucket& b = cells[cellOf[size_t(i)]];
                if constexpr (kRaw) {
                    // Integer channels are summed as they are (shift 0).
                    b.sum[0] += p[i].r;
                    b.sum[1] += p[i].g;
                    b.sum[2] += p[i].b;
                    b.sum[3] += p[i].a;
                } else {
                    b.sum[0] += mine->toFixed(float(p[i].r));
                    b.sum[1] += mine->toFixed(float(p[i].g));
                    b.sum[2] += mine->toFixed(float(p[i].b));
                    b.sum[3] += mine->toFixed(float(p[i].a));
                }
                ++b.count;
            }
        });
    }

    void afterPass() override
    {
        for (auto& g : grids_)
            if (g) grid_.merge(*g);
        grids_.clear();
        grid_.computeMeans();
    }

    void setUp() override
    {
        const KlRect r = clippedRect();
        if constexpr (kRaw)
            grid_.setShift(0);
        else
            grid_.setPixelCount(int64_t(r.width()) * int64_t(r.height()));
    }

protected:
    KlRect defaultRect() const override { return klTextureRect(source_); }
    KlRect memoryRect() const override { return klTextureMemoryRect(source_); }

private:
    Buckets& grid_;
    const KlTexture<Px>& source_;
    std::vector<std::unique_ptr<Buckets>> grids_;
};

// Pass 2: each destination pixel takes its cell's mean colour (truncated) and the source
// pixel's alpha; the source's edge colour stands in where the source has no pixel.
template <class Px>
class ColourImage : public KlImgProc<Px> {
public:
    ColourImage(const Buckets& grid, const KlTexture<Px>& source) : grid_(grid), source_(source) { }

    // The stored colour of every cell, converted once (truncation toward zero).
    void setUp() override
    {
        using Ch = typename Px::Channel;
        const int32_t used = grid_.levels() * grid_.levels() * grid_.levels();
        colours_.resize(size_t(used));
        for (int32_t i = 0; i < used; ++i) {
            const Bucket& b = grid_.at(i);
            colours_[size_t(i)].r = Pixel::storeChannel<Ch>(b.mean[0]);
            colours_[size_t(i)].g = Pixel::storeChannel<Ch>(b.mean[1]);
            colours_[size_t(i)].b = Pixel::storeChannel<Ch>(b.mean[2]);
        }
    }

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty()) return;
        const KlTexAxis& ax = source_.xAxis();
        const KlTexAxis& ay = source_.yAxis();
        // Columns where the source has memory; the edge colour stands in elsewhere.
        const int32_t m0 = ax.origin2 + ax.regionStart;
        const int32_t mx0 = std::clamp(m0, r.x0, r.x1), mx1 = std::clamp(m0 + ax.memoryLength(), mx0, r.x1);
        const Px edge = source_.edgeColour();
        const Px edgeOut = colourOf(edge);
        std::vector<int32_t> cellOf(size_t(r.width()));
        this->forEachRow([&](int32_t y) {
            Px* out = this->destination()->pixelAddress(r.x0, y) - r.x0;
            const int32_t yi = source_.isNull() ? -1 : ay.memoryIndex(y);
            if (yi < 0) {
                std::fill(out + r.x0, out + r.x1, edgeOut);
                return;
            }
            const Px* row = source_.rowAt(yi) - m0;
            std::fill(out + r.x0, out + mx0, edgeOut);
            if (mx1 > mx0) grid_.rowCells(row + mx0, mx1 - mx0, cellOf.data());
            for (int32_t x = mx0; x < mx1; ++x) {
                Px o = colours_[size_t(cellOf[size_t(x - mx0)])];
                o.a = row[x].a;
                out[x] = o;
            }
            std::fill(out + mx1, out + r.x1, edgeOut);
        });
    }

    // The cell's stored colour with the pixel's own alpha.
    Px colourOf(const Px& s) const
    {
        Px o = colours_[size_t(grid_.pixelCell(s))];
        o.a = s.a;
        return o;
    }

private:
    const Buckets& grid_;
    const KlTexture<Px>& source_;
    std::vector<Px> colours_;
};

// Per-channel bounds (R, G, B, A) of an image over a rectangle, from the image core's analyser.
struct Bounds {
    float min[4] = {0, 0, 0, 0};
    float max[4] = {0, 0, 0, 0};
    bool found = false;
};

template <class Px>
Bounds analyse(const KlTexture<Px>& image, const KlRect* region = nullptr, KlInterruptHook* hook = nullptr,
               bool multiThreaded = true)
{
    KlAnalyserProc<Px> a;
    a.setImage(&image);
    if (region) a.setRect(*region);
    a.setInterruptHook(hook);
    a.setMultiThreaded(multiThreaded);
    a.execute();
    Bounds b;
    b.found = a.found();
    if (b.found) {
        const auto& lo = a.minimum();
        const auto& hi = a.maximum();
        const float l[4] = {float(lo.r), float(lo.g), float(lo.b), float(lo.a)};
        const float h[4] = {float(hi.r), float(hi.g), float(hi.b), float(hi.a)};
        for (int c = 0; c < 4; ++c) b.min[c] = l[c], b.max[c] = h[c];
    }
    return b;
}

// The quantise operation: grid, bucket pass over the source, colouring pass into the
// destination, grid freed. The region limits both passes (default: the destination).
template <class Px>
void quantise(int32_t levels, const float min[4], const float max[4], const KlTexture<Px>& source,
              KlTexture<Px>& destination, const KlRect* region = nullptr, KlInterruptHook* hook = nullptr,
              bool multiThreaded = true)
{
    Buckets::checkLevels(levels);
    Buckets grid(levels, min[0], min[1], min[2], min[3], max[0], max[1], max[2], max[3]);
    if constexpr (Px::isInteger && sizeof(typename Px::Channel) <= 2)
        grid.buildTable(int32_t(1) << (8 * sizeof(typename Px::Channel)));
    const KlRect area = region ? *region : klTextureRect(destination);
    {
        BucketMaker<Px> maker(grid, source);
        maker.setRect(area);
        maker.setInterruptHook(hook);
        maker.setMultiThreaded(multiThreaded);
        maker.execute();
    }
    ColourImage<Px> colour(grid, source);
    colour.setDestination(&destination);
    colour.setRect(area);
    colour.setInterruptHook(hook);
    colour.setMultiThreaded(multiThreaded);
    colour.execute();
}

// Quantise with the source's own bounds (KlAnalyserProc over the region).
template <class Px>
void quantise(int32_t levels, const KlTexture<Px>& source, KlTexture<Px>& destination,
              const KlRect* region = nullptr, KlInterruptHook* hook = nullptr, bool multiThreaded = true)
{
    Buckets::checkLevels(levels);
    const Bounds b = analyse(source, region, hook, multiThreaded);
    quantise(levels, b.min, b.max, source, destination, region, hook, multiThreaded);
}

}  // namespace Kiln::Quantise
