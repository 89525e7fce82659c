#pragma once
// Gaussian blur by repeated box filters, and precalculated resampling kernels.
//
// BlurGeneralGauss approximates a Gaussian by running a box filter `iterations` times
// (3 for the Gaussian look) along each axis. Every box pass walks its line with a running
// sum, so the cost per pixel does not depend on the radius; only the margin read beyond the
// output rectangle grows with it. A box of radius r = n + f (n whole, 0 <= f < 1) weights the
// 2n + 1 central samples fully and the two samples just outside by f, all divided by
// 2n + 1 + 2f, so a constant image stays constant.
//
// Arithmetic: samples are floats, running sums are doubles (no drift along a line, and a
// constant stays exactly constant); integer channels are stored by truncation toward zero.
//
// Threads: pass 0 blurs rows horizontally into a float buffer (rows shared among threads);
// pass 1 blurs that buffer vertically and stores the destination, sharing column strips
// among threads. Every running sum starts at the same place, the source's first valid column
// or row, whatever the thread count and whatever part of the image is asked for, so a pixel
// comes out the same however the work is split. Rows beyond the source are read through its
// edge modes; each distinct source row is blurred horizontally only once.
//
// Use: setSource, setDestination, optionally setRectangle, setSizes(box radius per pass along
// x and y), setIterations(3), execute(). Sizes are limited to 3 x the source's larger side;
// sizes 0, 0 copy the source exactly.
//
// Channel flags <R, G, B, A> (0/1):
//   R, G, B = 1: that colour channel is blurred weighted by alpha (premultiplied while the
//                rows are read, divided by the blurred alpha as the result is stored), so
//                transparent pixels do not bleed their colour into their neighbours.
//   A = 1:       the result keeps the source's alpha instead of the blurred alpha.
// With all flags 0 every channel is blurred plainly. The fix-up of flagged channels is done
// as each pixel is stored by pass 1, so it needs no pass of its own.
#include "image/klImgProc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

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

// The same for L = lanes (1 or 4), the output split into groups: after every `group` samples the
// output pointer skips `gap` values (the pass writes straight into a strip layout, which is read
// back only in a later pass: with gap > 0 and an output aligned to a pixel it is written past the
// caches, same values). Instantiated for float samples.
template <class In, class Out>
void boxPassLineGrouped(int lanes, const In* in, Out* out, int32_t count, const BoxParams& p, int32_t group,
                        size_t gap);
// Two lines of the same geometry at once; each gets exactly what boxPassLineGrouped gives it.
template <class In, class Out>
void boxPassLinePair(int lanes, const In* inA, Out* outA, const In* inB, Out* outB, int32_t count,
                     const BoxParams& p, int32_t group, size_t gap);

// Channels <-> floats, `count` values. Integer channels are stored by truncation toward zero
// keeping the low bits; NaN and values beyond the int32 range are held inside it first.
void toFloats(const uint8_t* in, float* out, size_t count);
void toFloats(const uint16_t* in, float* out, size_t count);
void fromFloats(const float* in, uint8_t* out, size_t count);
void fromFloats(const float* in, uint16_t* out, size_t count);

// values[i] *= factor, four at a time.
void scaleFloats(float* values, size_t count, float factor);

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
// each `lanes` values wide; out[i] receives output row i. acc holds `lanes` doubles. A sink, when
// given (float output only), is called with each finished part of an output row: lanes
// first .. first + count - 1 of row `row`, at `values` (= out[row] + first). Every lane is
// finished exactly once.
using RowSink = void (*)(void* context, int32_t row, int32_t first, int32_t count, const float* values);
template <class In, class Out>
void boxPassRows(const In* const* in, Out* const* out, int32_t count, int32_t lanes, const BoxParams& p, double* acc,
                 RowSink sink = nullptr, void* context = nullptr);

}  // namespace Blur

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

template <class SrcPx, class DstPx = SrcPx, int64_t M = DstPx::maxInt, int FR = 0, int FG = 0, int FB = 0,
          int FA = 0>
class BlurGeneralGauss : public KlImgProc<DstPx> {
    static_assert(SrcPx::channels == DstPx::channels && SrcPx::order == DstPx::order,
                  "source and destination need the same channel layout");
    static constexpr int C = SrcPx::channels;
    static constexpr bool kWeighted = FR != 0 || FG != 0 || FB != 0;
    static constexpr bool kKeepAlpha = FA != 0;
    static_assert(!(kWeighted || kKeepAlpha) || SrcPx::alphaIndex >= 0, "channel flags need an alpha channel");

public:
    BlurGeneralGauss() = default;
    ~BlurGeneralGauss() override
    {
        if (buffer_) buffer_->release();
        if (scratch_) scratch_->release();
    }

    void setSizes(float sx, float sy)
    {
        sizeX_ = sx;
        sizeY_ = sy;
    }
    // Box passes per axis, held to 0 .. kMaxIterations (0 copies); 3 approximate a Gaussian.
    static constexpr int32_t kMaxIterations = 8;
    void setIterations(int32_t n) { iterations_ = std::clamp<int32_t>(n, 0, kMaxIterations); }
    void setSource(const KlTexture<SrcPx>* s) { source_ = s; }

    float sizeX() const { return sizeX_; }
    float sizeY() const { return sizeY_; }
    int32_t iterations() const { return iterations_; }
    // The sizes after the clamp of the last set-up.
    float usedSizeX() const { return usedX_; }
    float usedSizeY() const { return usedY_; }
    // Pass 1 shares strips of this many columns among threads (set-up chooses it).
    int32_t stripWidth() const { return strip_; }

    void setUp() override
    {
        mode_ = Mode::Nothing;
        this->setPasses(1);
        rect_ = this->clippedRect();
        if (rect_.isEmpty() || source_ == nullptr || this->destination() == nullptr) return;
        usedX_ = Blur::clampSize(sizeX_, source_->width(), source_->height());
        usedY_ = Blur::clampSize(sizeY_, source_->width(), source_->height());
        if ((usedX_ == 0.0f && usedY_ == 0.0f) || iterations_ <= 0) {
            mode_ = Mode::Copy;
            return;
        }
        mode_ = Mode::Blur;
        this->setPasses(2);
        px_ = Blur::boxParams(usedX_);
        py_ = Blur::boxParams(usedY_);
        marginX_ = usedX_ > 0.0f ? iterations_ * px_.reach : 0;
        marginY_ = usedY_ > 0.0f ? iterations_ * py_.reach : 0;
        // Running sums start at the source's first valid column and row (or at the rectangle when
        // it starts before them), so a pixel's value does not depend on the rectangle asked for.
        const KlTexAxis& ax = source_->xAxis();
        const KlTexAxis& ay = source_->yAxis();
        startX_ = std::min(rect_.x0, source_->isNull() ? rect_.x0 : ax.origin2 + ax.lo);
        startY_ = std::min(rect_.y0, source_->isNull() ? rect_.y0 : ay.origin2 + ay.lo);
        mapRows();
        // Pass 1 shares column strips; two strip temporaries per thread stay within about 256 KB
        // (narrow strips measured fastest: the temporaries stay in the core's own cache).
        const int64_t column = int64_t(rect_.y1 - startY_ + 2 * marginY_) * C * int64_t(sizeof(float)) * 2;
        strip_ = int32_t(std::clamp<int64_t>((int64_t(256) << 10) / std::max<int64_t>(column, 1), 4, 64)) & ~3;
        strips_ = (rect_.width() + strip_ - 1) / strip_;
        // The buffer is kept strip by strip, so pass 1 reads it sequentially.
        ensureBuffer(buffer_, size_t(strips_) * repY_.size() * size_t(strip_) * C * sizeof(float) + 64);
        const Scratch h = horizontalScratch(), v = verticalScratch();
        scratchPerThread_ = std::max(h.bytes, v.bytes);
    }

    // Each thread's working lines come from host memory taken once per pass on the rendering thread
    // (a renderer that keeps its memory hands the same block back every frame).
    void beforePass() override
    {
        if (mode_ == Mode::Blur) ensureBuffer(scratch_, size_t(std::max(this->threadCount(), 1)) * scratchPerThread_);
    }

    void process() override
    {
        if (mode_ == Mode::Copy)
            copy();
        else if (mode_ == Mode::Blur)
            (this->pass() == 0) ? horizontal() : vertical();
    }

private:
    enum class Mode { Nothing, Copy, Blur };

    // Buffer row b of strip s: strip_ pixels of C floats.
    // The buffer starts on a cache line, so each strip row fills whole lines when streamed in.
    float* stripRow(int32_t s, int32_t b) const
    {
        const uintptr_t base = (reinterpret_cast<uintptr_t>(buffer_->data()) + 63) & ~uintptr_t(63);
        return reinterpret_cast<float*>(base) + (size_t(s) * repY_.size() + size_t(b)) * size_t(strip_) * C;
    }

    static void ensureBuffer(Image::DataHandle*& buffer, size_t bytes)
    {
        if (buffer && buffer->size() >= bytes) return;
        if (buffer) buffer->release();
        buffer = nullptr;
        buffer = new Image::DataHandle(std::max<size_t>(bytes, 16));
    }

    // A thread's scratch: arrays laid one after another, each on a cache line.
    struct Scratch {
        size_t bytes = 0;
        template <class T>
        size_t add(size_t count)
        {
            const size_t at = bytes;
            bytes += (count * sizeof(T) + 63) & ~size_t(63);
            return at;
        }
    };
    unsigned char* threadScratch() const
    {
        return static_cast<unsigned char*>(scratch_->data()) + size_t(this->currentThreadIndex()) * scratchPerThread_;
    }
    template <class T>
    T* scratchAt(size_t offset) const
    {
        return reinterpret_cast<T*>(threadScratch() + offset);
    }

    // Pass 0: four lines (two rows, current and next).
    size_t horizontalLine() const { return size_t(rect_.x1 - startX_ + 2 * marginX_) * C; }
    Scratch horizontalScratch() const
    {
        Scratch s;
        s.add<float>(4 * horizontalLine());
        return s;
    }
    // Pass 1: two strip temporaries, the row pointers, the running sums and the last row.
    struct VerticalLayout {
        size_t ta, tb, inRows, outRows, acc, lastRow;
    };
    int32_t verticalRows() const { return rect_.y1 - startY_ + 2 * marginY_; }
    Scratch verticalScratch(VerticalLayout* at = nullptr) const
    {
        const size_t rows = size_t(verticalRows()), stripValues = size_t(strip_) * C;
        const bool temporaries = marginY_ > 0 && iterations_ > 1;
        Scratch s;
        VerticalLayout l;
        l.ta = s.add<float>(temporaries ? rows * stripValues : 0);
        l.tb = s.add<float>(temporaries ? rows * stripValues : 0);
        l.inRows = s.add<const float*>(rows);
        l.outRows = s.add<float*>(rows);
        l.acc = s.add<double>(stripValues);
        l.lastRow = s.add<float>(stripValues);
        if (at) *at = l;
        return s;
    }

    // Distinct source rows the vertical pass reads (through the source's vertical edge
    // mode), each blurred horizontally once into its own buffer row.
    void mapRows()
    {
        const KlTexAxis& ay = source_->yAxis();
        const int32_t first = startY_ - marginY_, count = rect_.y1 - startY_ + 2 * marginY_;
        std::vector<int32_t> slotOfMemoryRow(size_t(std::max(ay.memoryLength(), 0)), -1);
        int32_t edgeSlot = -1;
        slot_.assign(size_t(count), 0);
        repY_.clear();
        for (int32_t k = 0; k < count; ++k) {
            const int32_t y = first + k;
            const int32_t mi = source_->isNull() ? -1 : ay.resolve(y);
            int32_t& s = (mi >= 0 && size_t(mi) < slotOfMemoryRow.size()) ? slotOfMemoryRow[size_t(mi)] : edgeSlot;
            if (s < 0) {
                s = int32_t(repY_.size());
                repY_.push_back(y);
            }
            slot_[size_t(k)] = s;
        }
    }

    static float toFloat(typename SrcPx::Channel v) { return static_cast<float>(v); }

    // Source pixels -> floats, premultiplied where flagged.
    static void loadRun(const SrcPx* s, int32_t step, int32_t n, float* out)
    {
        using Ch = typename SrcPx::Channel;
        if (step == 1) {
            Blur::toFloats(reinterpret_cast<const Ch*>(s), out, size_t(n) * C);
        } else {
            for (int32_t i = 0; i < n; ++i, s += step)
                for (int c = 0; c < C; ++c) out[size_t(i) * C + c] = toFloat((*s)[c]);
        }
        if constexpr (kWeighted) {
            for (int32_t i = 0; i < n; ++i, out += C) {
                const float a = out[SrcPx::alphaIndex];
                for (int c = 0; c < C; ++c)
                    if (flagged(c)) out[c] = out[c] * a / float(M);
            }
        }
    }

    // Whether memory channel c is a colour channel weighted by alpha.
    static constexpr bool flagged(int c)
    {
        if constexpr (SrcPx::order == Pixel::Order::ARGB)
            return (c == 1 && FR != 0) || (c == 2 && FG != 0) || (c == 3 && FB != 0);
        else if constexpr (SrcPx::order == Pixel::Order::RGBA || SrcPx::order == Pixel::Order::RGB)
            return (c == 0 && FR != 0) || (c == 1 && FG != 0) || (c == 2 && FB != 0);
        else
            return false;
    }

    void copy()
    {
        // In place there is nothing to copy.
        if (source_->data() == this->destination()->data() && source_->rowBytes() == this->destination()->rowBytes() &&
            source_->originX() == this->destination()->originX() && source_->originY() == this->destination()->originY())
            return;
        const KlRect r = rect_;
        this->forEachRow([&](int32_t y) { source_->copyRow(y, r.x0, r.x1, this->destination()->pixelAddress(r.x0, y)); });
    }

    // Pass 0: each buffer row is its source row blurred horizontally; the rectangle's columns go
    // into the buffer. Rows go two at a time (two running sums keep the processor busy); each
    // row's result is the same as on its own.
    void horizontal()
    {
        const int32_t W = rect_.x1 - startX_;  // outputs from the anchor column on
        const int32_t L = W + 2 * marginX_;
        const size_t line = horizontalLine();
        float* work = scratchAt<float>(0);
        const KlRowBand band = this->bandRows(0, int32_t(repY_.size()));
        for (int32_t k = band.begin; k < band.end; k += 2) {
            if (this->shouldStop()) return;
            const int32_t rowsNow = std::min(2, band.end - k);
            // Sample s (column startX_ + s) sits at index s + marginX_ of every line array.
            float* cur[2] = {work, work + line};
            float* nxt[2] = {work + 2 * line, work + 3 * line};
            for (int32_t j = 0; j < rowsNow; ++j)
                load(repY_[size_t(k + j)], cur[j], startX_ - marginX_, rect_.x1 + marginX_);
            // When the rectangle starts at the anchor the last pass writes straight into the strips.
            const bool direct = startX_ == rect_.x0 && marginX_ > 0;
            const size_t gap = (repY_.size() - 1) * size_t(strip_) * C;
            for (int32_t it = 0; marginX_ > 0 && it < iterations_; ++it) {
                const int32_t outMargin = marginX_ - (it + 1) * px_.reach;
                const size_t first = size_t(marginX_ - outMargin) * C;
                const int32_t count = W + 2 * outMargin;
                const bool toStrips = direct && it == iterations_ - 1;
                float* o0 = toStrips ? stripRow(0, k) : nxt[0] + first;
                float* o1 = toStrips ? (rowsNow > 1 ? stripRow(0, k + 1) : nullptr) : nxt[1] + first;
                const int32_t group = toStrips ? strip_ : L;
                const size_t jump = toStrips ? gap : 0;
                if (rowsNow == 2)
                    Blur::boxPassLinePair<float, float>(C, cur[0] + first, o0, cur[1] + first, o1, count, px_, group,
                                                        jump);
                else
                    Blur::boxPassLineGrouped<float, float>(C, cur[0] + first, o0, count, px_, group, jump);
                std::swap(cur[0], nxt[0]);
                std::swap(cur[1], nxt[1]);
            }
            if (direct) continue;
            for (int32_t j = 0; j < rowsNow; ++j)
                scatter(cur[j] + size_t(marginX_ + rect_.x0 - startX_) * C, k + j);
        }
    }

    // Source row y, columns [xa, xb), into floats (premultiplied where flagged).
    void load(int32_t y, float* line, int32_t xa, int32_t xb) const
    {
        source_->forEachRun(y, xa, xb, [&](int32_t xs, int32_t n, const SrcPx* s, int32_t step) {
            loadRun(s, step, n, line + size_t(xs - xa) * C);
        });
    }

    // A finished row of the rectangle's width into buffer row k of every strip.
    void scatter(const float* row, int32_t k) const
    {
        const int32_t W = rect_.width();
        for (int32_t s = 0; s < strips_; ++s) {
            const int32_t sx = s * strip_;
            std::memcpy(stripRow(s, k), row + size_t(sx) * C, size_t(std::min(strip_, W - sx)) * C * sizeof(float));
        }
    }

    // Pass 1: vertical passes over column strips, then the store (and the flagged fix-up).
    void vertical()
    {
        const int32_t W = rect_.width(), H = rect_.y1 - startY_;  // outputs from the anchor row on
        const KlRowBand band = this->bandRows(0, strips_);
        if (band.begin >= band.end) return;
        const int32_t rows = verticalRows();
        const size_t stripValues = size_t(strip_) * C;
        const int32_t passes = marginY_ > 0 ? iterations_ : 0;
        VerticalLayout at;
        verticalScratch(&at);
        float* const ta = scratchAt<float>(at.ta);
        float* const tb = scratchAt<float>(at.tb);
        const float** const inRows = scratchAt<const float*>(at.inRows);
        float** const outRows = scratchAt<float*>(at.outRows);
        double* const acc = scratchAt<double>(at.acc);
        float* const lastRow = scratchAt<float>(at.lastRow);
        for (int32_t s = band.begin; s < band.end; ++s) {
            if (this->shouldStop()) return;
            const int32_t sx = s * strip_;
            const int32_t sw = std::min(strip_, W - sx);
            const int32_t lanes = sw * C;
            for (int32_t k = 0; k < rows; ++k) inRows[size_t(k)] = stripRow(s, slot_[size_t(k)]);
            // Extended row k is row startY_ - marginY_ + k; each iteration narrows the rows it
            // produces, and the last one hands each finished row straight to the store.
            float* tmp[2] = {ta, tb};
            StoreContext ctx{this, sx, rect_.y0 - startY_};
            for (int32_t it = 0; it < passes; ++it) {
                const int32_t outMargin = marginY_ - (it + 1) * py_.reach;
                const int32_t count = H + 2 * outMargin;
                const size_t first = size_t(marginY_ - outMargin);
                const bool last = it == passes - 1;
                for (int32_t k = 0; k < count; ++k)
                    outRows[size_t(k)] = last ? lastRowFor(k, sx, ctx.skip, lastRow) : tmp[it & 1] + size_t(k) * stripValues;
                Blur::boxPassRows<float, float>(inRows + first, outRows, count, lanes, py_, acc,
                                                last && !kDirectStore ? &storeSink : nullptr, &ctx);
                for (int32_t k = 0; !last && k < count; ++k) inRows[first + size_t(k)] = outRows[size_t(k)];
            }
            if (passes == 0)
                for (int32_t k = rect_.y0 - startY_; k < H; ++k)
                    storeRow(sx, sw, k - (rect_.y0 - startY_), inRows[size_t(marginY_ + k)]);
        }
    }

    // Float results need no conversion: the last vertical pass writes them into the destination itself.
    static constexpr bool kDirectStore = std::is_same_v<typename DstPx::Channel, float> && !kWeighted && !kKeepAlpha;
    // Where the last pass writes extended row k of the strip at column offset sx.
    float* lastRowFor(int32_t k, int32_t sx, int32_t skip, float* scratch) const
    {
        if constexpr (kDirectStore) {
            if (k >= skip)
                return reinterpret_cast<float*>(this->destination()->pixelAddress(rect_.x0 + sx, rect_.y0 + k - skip));
        }
        return scratch;
    }

    struct StoreContext {
        const BlurGeneralGauss* self;
        int32_t sx;
        int32_t skip;  // rows computed above the rectangle (from the anchor row)
    };
    static void storeSink(void* context, int32_t row, int32_t first, int32_t count, const float* values)
    {
        const auto* c = static_cast<const StoreContext*>(context);
        if (row >= c->skip) c->self->storeRow(c->sx + first / C, count / C, row - c->skip, values);
    }

    // Row k of a strip (`sw` pixels from column offset sx) into the destination.
    void storeRow(int32_t sx, int32_t sw, int32_t k, const float* v) const
    {
        using Ch = typename DstPx::Channel;
        const int32_t y = rect_.y0 + k;
        DstPx* d = this->destination()->pixelAddress(rect_.x0 + sx, y);
        if constexpr (kWeighted || kKeepAlpha) {
            for (int32_t i = 0; i < sw; ++i, v += C) {
                float px[C];
                for (int c = 0; c < C; ++c) px[c] = v[c];
                fixUp(px, rect_.x0 + sx + i, y);
                Blur::fromFloats(px, reinterpret_cast<Ch*>(d + i), C);
            }
        } else {
            Blur::fromFloats(v, reinterpret_cast<Ch*>(d), size_t(sw) * C);
        }
    }

    void fixUp(float* px, int32_t x, int32_t y) const
    {
        constexpr int A = SrcPx::alphaIndex;
        if constexpr (kWeighted) {
            const float a = px[A];
            const bool some = a > float(M) * 1.5259022e-5f;
            for (int c = 0; c < C; ++c)
                if (flagged(c)) px[c] = some ? std::clamp(px[c] * float(M) / a, 0.0f, float(M)) : 0.0f;
        }
        if constexpr (kKeepAlpha) px[A] = toFloat(source_->sampleNearest(x, y)[A]);
    }

    const KlTexture<SrcPx>* source_ = nullptr;
    float sizeX_ = 0.0f, sizeY_ = 0.0f;
    int32_t iterations_ = 3;

    // Set-up results.
    Mode mode_ = Mode::Nothing;
    KlRect rect_;
    float usedX_ = 0.0f, usedY_ = 0.0f;
    Blur::BoxParams px_, py_;
    int32_t marginX_ = 0, marginY_ = 0;
    int32_t startX_ = 0, startY_ = 0;  // first column and row the running sums produce
    std::vector<int32_t> slot_;  // extended row k -> buffer row
    std::vector<int32_t> repY_;  // buffer row -> a source row (global y) it holds
    int32_t strip_ = 16;
    int32_t strips_ = 0;
    Image::DataHandle* buffer_ = nullptr;
    Image::DataHandle* scratch_ = nullptr;  // threadCount() x scratchPerThread_ bytes
    size_t scratchPerThread_ = 0;
};

}  // namespace Kiln
