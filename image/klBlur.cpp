#include "image/klBlur.h"

#include "image/klNoise.h"

#include <cstring>

namespace Kiln {

namespace Blur {

bool overlaps(const void* a, int32_t strideA, int32_t rowsA, int32_t bytesA, const void* b, int32_t strideB,
              int32_t rowsB, int32_t bytesB)
{
    if (a == nullptr || b == nullptr || rowsA <= 0 || rowsB <= 0 || bytesA <= 0 || bytesB <= 0) return false;
    auto span = [](const void* p, int32_t stride, int32_t rows, int32_t bytes, uintptr_t& lo, uintptr_t& hi) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(p);
        const intptr_t last = intptr_t(stride) * (rows - 1);
        lo = last < 0 ? start - uintptr_t(-last) : start;
        hi = (last < 0 ? start : start + uintptr_t(last)) + uintptr_t(bytes);
    };
    uintptr_t loA, hiA, loB, hiB;
    span(a, strideA, rowsA, bytesA, loA, hiA);
    span(b, strideB, rowsB, bytesB, loB, hiB);
    return loA < hiB && loB < hiA;
}

}  // namespace Blur

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::setUp()
{
    mode_ = Mode::Nothing;
    this->setPasses(1);
    rect_ = this->clippedRect();
    read_ = source_;
    if (rect_.isEmpty() || source_ == nullptr || this->destination() == nullptr) return;
    // Pixels are read after others are written only when the two images share memory laid out
    // differently (or for the kept alpha): such a source is read from a copy.
    if (Blur::overlaps(source_->isNull() ? nullptr : source_->data(), source_->rowBytes(),
                       source_->yAxis().memoryLength(),
                       source_->xAxis().memoryLength() * int32_t(sizeof(SrcPx)), this->destination()->data(),
                       this->destination()->rowBytes(), this->destination()->yAxis().memoryLength(),
                       this->destination()->xAxis().memoryLength() * int32_t(sizeof(DstPx))) &&
        (kKeepAlpha || !sameLayout()))
        read_ = &copyOfSource();
    usedX_ = Blur::clampSize(sizeX_, source_->width(), source_->height());
    usedY_ = Blur::clampSize(sizeY_, source_->width(), source_->height());
    if ((usedX_ == 0.0f && usedY_ == 0.0f) || iterations_ <= 0) {
        mode_ = Mode::Copy;
        return;
    }
    mode_ = Mode::Blur;
    px_ = Blur::boxParams(usedX_);
    py_ = Blur::boxParams(usedY_);
    marginX_ = usedX_ > 0.0f ? iterations_ * px_.reach : 0;
    marginY_ = usedY_ > 0.0f ? iterations_ * py_.reach : 0;
    // Running sums start at the source's first valid column and row (or at the rectangle when
    // it starts before them), so a pixel's value does not depend on the rectangle asked for.
    const KlTexAxis& ax = read_->xAxis();
    const KlTexAxis& ay = read_->yAxis();
    startX_ = std::min(rect_.x0, read_->isNull() ? rect_.x0 : ax.origin2 + ax.lo);
    startY_ = std::min(rect_.y0, read_->isNull() ? rect_.y0 : ay.origin2 + ay.lo);
    plan();
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::beforePass()
{
    if (mode_ == Mode::Blur)
        ensureBuffer(scratch_, size_t(std::max(this->threadCount(), 1)) * scratchPerThread_);
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::process()
{
    if (mode_ == Mode::Copy)
        copy();
    else if (mode_ == Mode::Blur)
        work();
}

// The plan of the one pass.
//
// Extended row k (0 .. rows_ - 1) is source row first_ + k. Each is blurred horizontally into a
// row of the rectangle's width: rows that are read through the vertical edge mode, or whose
// memory row stands for several extended rows, into the pinned rows (one per distinct memory
// row, all made before any band starts, so an image blurred in place is read before it is
// written); the others into a ring of rows that bands read shortly after. Column bands carry the
// vertical running sums of every pass down the image in steps of at most step_ rows, keeping
// each pass's recent rows in a small ring of their own; whichever thread is free takes the next
// rows to blur or the next band that can move on. When the rings would not be smaller than the
// image (radii near its size) every row is pinned and each band is done top to bottom at once.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::plan()
{
    const KlTexAxis& ay = read_->yAxis();
    first_ = startY_ - marginY_;
    rows_ = rect_.y1 - startY_ + 2 * marginY_;
    passesY_ = marginY_ > 0 ? iterations_ : 0;
    reachY_ = passesY_ > 0 ? py_.reach : 0;
    rowValues_ = size_t(rect_.width()) * C;
    const int32_t lineRows = 2;
    // A band moves on by at least step_ rows at a time, several times the rows its passes read
    // behind, so most of what it reads was written moments before.
    step_ = std::max(16, 4 * reachY_);
    ringRows_ = 4 * step_ + 2 * reachY_ + lineRows;
    bandRing_ = step_ + 2 * reachY_;
    stream_ = passesY_ == 0 || int64_t(ringRows_) + int64_t(passesY_ - 1) * bandRing_ < int64_t(rows_) / 2;
    if (!stream_) {
        step_ = rows_;
        bandRing_ = rows_;
        ringRows_ = 0;
    }

    // Rows: pinned slot, or -1 for a row of the ring.
    std::vector<int32_t> memoryRow(size_t(rows_), -1);
    std::vector<int32_t> uses(size_t(std::max(ay.memoryLength(), 0)), 0);
    for (int32_t k = 0; k < rows_; ++k) {
        const int32_t mi = read_->isNull() ? -1 : ay.resolve(first_ + k);
        memoryRow[size_t(k)] = mi;
        if (mi >= 0 && size_t(mi) < uses.size()) ++uses[size_t(mi)];
    }
    std::vector<int32_t> slotOfMemoryRow(uses.size(), -1);
    int32_t edgeSlot = -1;
    slot_.assign(size_t(rows_), -1);
    pinnedY_.clear();
    std::vector<int32_t> streamed;
    for (int32_t k = 0; k < rows_; ++k) {
        const int32_t y = first_ + k, mi = memoryRow[size_t(k)];
        const bool own =
            mi >= 0 && size_t(mi) < uses.size() && mi == ay.memoryIndex(y) && uses[size_t(mi)] == 1;
        if (stream_ && own) {
            streamed.push_back(k);
            continue;
        }
        int32_t& s = (mi >= 0 && size_t(mi) < uses.size()) ? slotOfMemoryRow[size_t(mi)] : edgeSlot;
        if (s < 0) {
            s = int32_t(pinnedY_.size());
            pinnedY_.push_back(y);
        }
        slot_[size_t(k)] = s;
    }
    // Items of up to lineRows rows: the pinned rows first, then the ring's rows in order.
    itemRows_.clear();
    itemStart_.clear();
    for (size_t i = 0; i < pinnedY_.size(); i += lineRows) {
        itemStart_.push_back(int32_t(itemRows_.size()));
        for (size_t j = i; j < std::min(pinnedY_.size(), i + lineRows); ++j) itemRows_.push_back(int32_t(j));
    }
    const int32_t pinnedItems = int32_t(itemStart_.size());
    std::vector<int32_t> firstRow, lastRow;
    for (size_t i = 0; i < streamed.size(); i += lineRows) {
        itemStart_.push_back(int32_t(itemRows_.size()));
        const size_t end = std::min(streamed.size(), i + lineRows);
        for (size_t j = i; j < end; ++j) itemRows_.push_back(streamed[j]);
        firstRow.push_back(streamed[i]);
        lastRow.push_back(streamed[end - 1]);
    }
    itemStart_.push_back(int32_t(itemRows_.size()));

    // Bands: wide while streaming (fewer, longer runs), narrow when a band's column is kept whole.
    const int32_t width = rect_.width();
    if (stream_) {
        bandPixels_ = 128;
    } else {
        const int64_t column = int64_t(rows_) * C * int64_t(sizeof(float)) * std::max(passesY_, 1);
        bandPixels_ =
            int32_t(std::clamp<int64_t>((int64_t(1024) << 10) / std::max<int64_t>(column, 1), 4, 64));
    }
    bandPixels_ = std::min(width, (bandPixels_ + 3) & ~3);
    bands_ = (width + bandPixels_ - 1) / bandPixels_;
    bandLanes_ = size_t(bandPixels_) * C;
    // Rows of a band lie 64 bytes more than a whole number of cache lines apart, so that a row
    // written and the rows read just after it do not fall at the same offsets within 4 KB pages
    // (the processor would then take the reads for reads of the write and hold them back).
    rowStride_ = ((bandLanes_ + 15) & ~size_t(15)) + 16;

    // Shared memory: pinned rows, the ring, and while streaming each band's sums and rings. The
    // rows are kept band by band, so a band reads its part of them in one run.
    Layout l;
    pinnedAt_ = l.template add<float>(size_t(bands_) * pinnedY_.size() * rowStride_);
    ringAt_ = l.template add<float>(size_t(bands_) * size_t(ringRows_) * rowStride_);
    const size_t state = bandStateBytes();
    bandsAt_ = l.template add<unsigned char>(stream_ ? size_t(bands_) * state : 0);
    ensureBuffer(buffer_, l.bytes + 64);
    progress_.assign(stream_ ? size_t(bands_) * size_t(std::max(passesY_, 1)) : 0, 0);
    for (int32_t b = 0; stream_ && b < bands_; ++b) resetProgress(progressOf(b));

    // Per thread: the lines of the horizontal passes, row pointers, the rows stored, and when a
    // band is done at once its sums and rings.
    Layout t;
    lineAt_ = t.template add<float>(2 * size_t(lineRows) * horizontalLine());
    inRowsAt_ = t.template add<const float*>(size_t(step_) + 2 * size_t(reachY_) + 1);
    outRowsAt_ = t.template add<float*>(size_t(step_) + 1);
    storeAt_ = t.template add<float>(size_t(step_) * rowStride_);
    threadStateAt_ = t.template add<unsigned char>(stream_ ? 0 : state);
    scratchPerThread_ = t.bytes;

    const int32_t end0 = passesY_ > 0 ? rows_ - reachY_ : rows_;
    schedule_.reset(pinnedItems, std::move(firstRow), std::move(lastRow), rows_, ringRows_, reachY_, end0,
                    stream_ ? step_ : rows_, bands_);
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
struct BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::Layout {
    size_t bytes = 0;
    template <class T>
    size_t add(size_t count)
    {
        const size_t at = bytes;
        bytes += (count * sizeof(T) + 63) & ~size_t(63);
        return at;
    }
};

// A band's running sums (one set per vertical pass) and the rings between its passes.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
size_t BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::bandStateBytes() const
{
    Layout s;
    s.template add<double>(size_t(std::max(passesY_, 1)) * bandLanes_);
    s.template add<float>(size_t(std::max(passesY_ - 1, 0)) * size_t(bandRing_) * rowStride_);
    return s.bytes;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
double* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::sums(unsigned char* state, int32_t pass) const
{
    return reinterpret_cast<double*>(state) + size_t(pass) * bandLanes_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
float* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::bandRing(unsigned char* state, int32_t pass) const
{
    const size_t sumsBytes = (size_t(std::max(passesY_, 1)) * bandLanes_ * sizeof(double) + 63) & ~size_t(63);
    return reinterpret_cast<float*>(state + sumsBytes) + size_t(pass) * size_t(bandRing_) * rowStride_;
}

// Next output row of each vertical pass.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
int32_t* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::progressOf(int32_t band)
{
    return progress_.data() + size_t(band) * size_t(std::max(passesY_, 1));
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::resetProgress(int32_t* o) const
{
    for (int32_t it = 0; it < std::max(passesY_, 1); ++it) o[it] = passesY_ > 0 ? (it + 1) * reachY_ : 0;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
unsigned char* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::aligned(Image::DataHandle* h) const
{
    return reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(h->data()) + 63) & ~uintptr_t(63));
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::ensureBuffer(Image::DataHandle*& buffer, size_t bytes)
{
    if (buffer && buffer->size() >= bytes) return;
    if (buffer) buffer->release();
    buffer = nullptr;
    buffer = new Image::DataHandle(std::max<size_t>(bytes, 16));
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
unsigned char* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::threadScratch() const
{
    return static_cast<unsigned char*>(scratch_->data()) +
           size_t(this->currentThreadIndex()) * scratchPerThread_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
template <class T>
T* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::scratchAt(size_t offset) const
{
    return reinterpret_cast<T*>(threadScratch() + offset);
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
size_t BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::horizontalLine() const
{
    return size_t(rect_.x1 - startX_ + 2 * marginX_) * C;
}

// Horizontally blurred rows, band by band: a row's part in band b lies `bandStride(slots)`
// floats after its part in band b - 1.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
size_t BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::bandStride(size_t slots) const
{
    return slots * rowStride_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
float* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::pinnedRow(int32_t slot) const
{
    return reinterpret_cast<float*>(aligned(buffer_) + pinnedAt_) + size_t(slot) * rowStride_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
float* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::ringRow(int32_t k) const
{
    return reinterpret_cast<float*>(aligned(buffer_) + ringAt_) + size_t(k % ringRows_) * rowStride_;
}

// Extended row k's part in band b.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
const float* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::rowOf(int32_t k, int32_t b) const
{
    const int32_t s = slot_[size_t(k)];
    if (s >= 0) return pinnedRow(s) + size_t(b) * bandStride(pinnedY_.size());
    return ringRow(k) + size_t(b) * bandStride(size_t(ringRows_));
}

// Whether source and destination give every pixel the same address.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
bool BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::sameLayout() const
{
    const KlTexture<DstPx>& d = *this->destination();
    const KlTexAxis &sx = source_->xAxis(), &sy = source_->yAxis(), &dx = d.xAxis(), &dy = d.yAxis();
    return static_cast<const void*>(source_->data()) == static_cast<const void*>(d.data()) &&
           source_->rowBytes() == d.rowBytes() && sizeof(SrcPx) == sizeof(DstPx) &&
           sx.origin2 + sx.regionStart == dx.origin2 + dx.regionStart &&
           sy.origin2 + sy.regionStart == dy.origin2 + dy.regionStart;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
const KlTexture<SrcPx>& BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::copyOfSource()
{
    copy_ = KlTexture<SrcPx>::createLike(*source_);
    const int32_t w = source_->xAxis().memoryLength();
    for (int32_t i = 0; i < source_->yAxis().memoryLength(); ++i)
        std::memcpy(copy_.rowAt(i), source_->rowAt(i), size_t(w) * sizeof(SrcPx));
    return copy_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
float BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::toFloat(typename SrcPx::Channel v)
{
    return static_cast<float>(v);
}

// Source pixels -> floats, premultiplied where flagged.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::loadRun(const SrcPx* s, int32_t step, int32_t n,
                                                                float* out)
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
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
constexpr bool BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::flagged(int c)
{
    if constexpr (SrcPx::order == Pixel::Order::ARGB)
        return (c == 1 && FR != 0) || (c == 2 && FG != 0) || (c == 3 && FB != 0);
    else if constexpr (SrcPx::order == Pixel::Order::RGBA || SrcPx::order == Pixel::Order::RGB)
        return (c == 0 && FR != 0) || (c == 1 && FG != 0) || (c == 2 && FB != 0);
    else
        return false;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::copy()
{
    // In place there is nothing to copy.
    if (read_->data() == this->destination()->data() &&
        read_->rowBytes() == this->destination()->rowBytes() &&
        read_->originX() == this->destination()->originX() &&
        read_->originY() == this->destination()->originY())
        return;
    const KlRect r = rect_;
    this->forEachRow(
        [&](int32_t y) { read_->copyRow(y, r.x0, r.x1, this->destination()->pixelAddress(r.x0, y)); });
}

// The pass: take work until every band is done. A thread that leaves early (interrupted, or
// failing) makes the others leave too, so none waits for work that will not come.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::work()
{
    struct Leave {
        Blur::Schedule& s;
        ~Leave()
        {
            if (!s.finished()) s.abandon();
        }
    } leave{schedule_};
    int32_t hint = this->currentThreadIndex() * 5;
    while (!schedule_.finished()) {
        if (schedule_.abandoned() || this->shouldStop()) return;
        const uint32_t seen = schedule_.events();
        const int32_t b = schedule_.claimBand(hint);
        if (b >= 0) {
            const bool done = advance(b);
            schedule_.releaseBand(b, stream_ ? progressOf(b)[0] : 0, done);
            hint = b + 1;
            continue;
        }
        const int32_t item = schedule_.claimItem();
        if (item >= 0) {
            produce(item);
            schedule_.finishItem(item);
            continue;
        }
        schedule_.wait(seen);
    }
}

// One item: its source rows blurred horizontally into their pinned or ring rows. Rows go two
// at a time (two running sums keep the processor busy); each row's result is the same as on
// its own.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::produce(int32_t item)
{
    const int32_t W = rect_.x1 - startX_;  // outputs from the anchor column on
    const size_t line = horizontalLine();
    float* work = scratchAt<float>(lineAt_);
    const bool pinned = item < schedule_.pinnedItems();
    const size_t gap = bandStride(pinned ? pinnedY_.size() : size_t(ringRows_)) - bandLanes_;
    for (int32_t e = itemStart_[size_t(item)]; e < itemStart_[size_t(item) + 1]; e += 2) {
        const int32_t rowsNow = std::min(2, itemStart_[size_t(item) + 1] - e);
        float* target[2] = {nullptr, nullptr};
        int32_t y[2] = {0, 0};
        for (int32_t j = 0; j < rowsNow; ++j) {
            const int32_t r = itemRows_[size_t(e + j)];
            y[j] = pinned ? pinnedY_[size_t(r)] : first_ + r;
            target[j] = pinned ? pinnedRow(r) : ringRow(r);
        }
        // Sample s (column startX_ + s) sits at index s + marginX_ of every line array.
        float* cur[2] = {work, work + line};
        float* nxt[2] = {work + 2 * line, work + 3 * line};
        for (int32_t j = 0; j < rowsNow; ++j) load(y[j], cur[j], startX_ - marginX_, rect_.x1 + marginX_);
        // When the rectangle starts at the anchor the last pass writes straight into the bands.
        const bool direct = startX_ == rect_.x0 && marginX_ > 0;
        for (int32_t it = 0; marginX_ > 0 && it < iterations_; ++it) {
            const int32_t outMargin = marginX_ - (it + 1) * px_.reach;
            const size_t first = size_t(marginX_ - outMargin) * C;
            const int32_t count = W + 2 * outMargin;
            const bool toRows = direct && it == iterations_ - 1;
            Blur::boxPassLinePair<float, float>(C, cur[0] + first, toRows ? target[0] : nxt[0] + first,
                                                rowsNow > 1 ? cur[1] + first : nullptr,
                                                toRows ? target[1] : nxt[1] + first, count, px_,
                                                toRows ? bandPixels_ : count, toRows ? gap : 0, !stream_);
            std::swap(cur[0], nxt[0]);
            std::swap(cur[1], nxt[1]);
        }
        if (direct) continue;
        for (int32_t j = 0; j < rowsNow; ++j) {
            const float* from = cur[j] + size_t(marginX_ + rect_.x0 - startX_) * C;
            for (int32_t b = 0; b < bands_; ++b)
                std::memcpy(target[j] + size_t(b) * (gap + bandLanes_), from + size_t(b) * bandLanes_,
                            std::min(bandLanes_, rowValues_ - size_t(b) * bandLanes_) * sizeof(float));
        }
    }
}

// Source row y, columns [xa, xb), into floats (premultiplied where flagged).
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::load(int32_t y, float* line, int32_t xa,
                                                             int32_t xb) const
{
    read_->forEachRun(y, xa, xb, [&](int32_t xs, int32_t n, const SrcPx* s, int32_t step) {
        loadRun(s, step, n, line + size_t(xs - xa) * C);
    });
}

// Moves band b down as far as the rows blurred so far allow; true when the band is finished.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
bool BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::advance(int32_t b)
{
    const int32_t x = b * bandPixels_;
    const int32_t pixels = std::min(bandPixels_, rect_.width() - x);
    const int32_t lanes = pixels * C;
    unsigned char* state = stream_ ? aligned(buffer_) + bandsAt_ + size_t(b) * bandStateBytes()
                                   : scratchAt<unsigned char>(threadStateAt_);
    int32_t wholeProgress[kMaxIterations];
    int32_t* o = stream_ ? progressOf(b) : wholeProgress;
    if (!stream_) resetProgress(o);
    const float** in = scratchAt<const float*>(inRowsAt_);
    float** out = scratchAt<float*>(outRowsAt_);
    float* stored = scratchAt<float>(storeAt_);
    const int32_t last = passesY_ - 1;
    for (;;) {
        const int32_t ready = schedule_.frontier();
        bool moved = false;
        if (passesY_ == 0) {
            const int32_t n = std::min(ready, rows_) - o[0];
            for (int32_t k = o[0]; k < o[0] + n; ++k)
                if (first_ + k >= rect_.y0) storeRow(x, pixels, first_ + k - rect_.y0, rowOf(k, b));
            o[0] += std::max(n, 0);
            moved = n > 0;
        }
        for (int32_t it = 0; it < passesY_; ++it) {
            const int32_t available = it == 0 ? ready : o[it - 1];
            const int32_t end = rows_ - (it + 1) * reachY_;
            const int32_t count = std::min(std::min(end, available - reachY_) - o[it], step_);
            if (count <= 0) continue;
            if (it == 0)
                inputRows(b, o[0] - reachY_, count + 2 * reachY_, in);
            else
                ringRows(bandRing(state, it - 1), o[it] - reachY_, count + 2 * reachY_, in);
            if (it < last)
                ringRows(bandRing(state, it), o[it], count, out);
            else
                for (int32_t j = 0; j < count; ++j)
                    out[j] = finalRow(first_ + o[it] + j, x, stored + size_t(j) * rowStride_);
            Blur::boxPassRows<float, float>(in + reachY_, out, count, lanes, py_, sums(state, it),
                                            o[it] != (it + 1) * reachY_);
            if (it == last && !kDirectStore)
                for (int32_t j = 0; j < count; ++j)
                    if (first_ + o[it] + j >= rect_.y0)
                        storeRow(x, pixels, first_ + o[it] + j - rect_.y0, out[j]);
            o[it] += count;
            moved = true;
        }
        if (!moved) break;
        if (stream_) schedule_.publish(b, o[0]);
        if (this->shouldStop()) break;
    }
    return o[std::max(last, 0)] == (passesY_ > 0 ? rows_ - passesY_ * reachY_ : rows_);
}

// Rows k .. k + n - 1 of a band's ring, and of the horizontally blurred rows in band b.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
template <class P>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::ringRows(float* ring, int32_t k, int32_t n,
                                                                 P* rows) const
{
    int32_t i = k % bandRing_;
    for (int32_t j = 0; j < n; ++j, i = i + 1 == bandRing_ ? 0 : i + 1)
        rows[j] = ring + size_t(i) * rowStride_;
}

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::inputRows(int32_t b, int32_t k, int32_t n,
                                                                  const float** rows) const
{
    const float* pinned = pinnedRow(0) + size_t(b) * bandStride(pinnedY_.size());
    const float* ring = ringRows_ > 0 ? ringRow(0) + size_t(b) * bandStride(size_t(ringRows_)) : nullptr;
    int32_t i = ringRows_ > 0 ? k % ringRows_ : 0;
    for (int32_t j = 0; j < n; ++j, ++k, i = i + 1 == ringRows_ ? 0 : i + 1) {
        const int32_t s = slot_[size_t(k)];
        rows[j] = s >= 0 ? pinned + size_t(s) * rowStride_ : ring + size_t(i) * rowStride_;
    }
}

// Where the last pass writes row y of the band at column offset x.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
float* BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::finalRow(int32_t y, int32_t x, float* scratch) const
{
    if constexpr (kDirectStore) {
        if (y >= rect_.y0)
            return reinterpret_cast<float*>(this->destination()->pixelAddress(rect_.x0 + x, y));
    }
    return scratch;
}

// Row k of the rectangle (`sw` pixels from column offset sx) into the destination.
template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::storeRow(int32_t sx, int32_t sw, int32_t k,
                                                                 const float* v) const
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

template <class SrcPx, class DstPx, int64_t M, int FR, int FG, int FB, int FA>
void BlurGeneralGauss<SrcPx, DstPx, M, FR, FG, FB, FA>::fixUp(float* px, int32_t x, int32_t y) const
{
    constexpr int A = SrcPx::alphaIndex;
    if constexpr (kWeighted) {
        const float a = px[A];
        const bool some = a > float(M) * 1.5259022e-5f;
        for (int c = 0; c < C; ++c)
            if (flagged(c)) px[c] = some ? std::clamp(px[c] * float(M) / a, 0.0f, float(M)) : 0.0f;
    }
    if constexpr (kKeepAlpha) px[A] = toFloat(read_->sampleNearest(x, y)[A]);
}

// The blurs the effect, the noise and the tests use: plain at every depth, and with alpha weighting
// and kept alpha at the host's depths.
#define KL_BLUR_FLAGS(Px)                                                                                    \
    template class BlurGeneralGauss<Px, Px, Px::maxInt, 0, 0, 0, 0>;                                         \
    template class BlurGeneralGauss<Px, Px, Px::maxInt, 1, 1, 1, 0>;                                         \
    template class BlurGeneralGauss<Px, Px, Px::maxInt, 0, 0, 0, 1>;                                         \
    template class BlurGeneralGauss<Px, Px, Px::maxInt, 1, 1, 1, 1>;
KL_BLUR_FLAGS(PixARGB8)
KL_BLUR_FLAGS(PixARGB16)
KL_BLUR_FLAGS(PixARGBF)
#undef KL_BLUR_FLAGS
template class BlurGeneralGauss<PixRGBAF, PixRGBAF>;
template class BlurGeneralGauss<PixNoiseF, PixNoiseF>;

}  // namespace Kiln
