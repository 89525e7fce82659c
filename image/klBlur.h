#pragma once
// Gaussian blur by repeated box filters. Its parts: the one-dimensional passes (klBlurPasses.h), the
// schedule of the threads (klBlurSchedule.h) and, beside it, precalculated resampling kernels
// (klCachedKernels.h); the bodies of the blur are in klBlur.cpp, instantiated for the pixel types used.
//
// BlurGeneralGauss approximates a Gaussian by running a box filter `iterations` times
// (3 for the Gaussian look) along each axis. Every box pass walks its line with a running
// sum, so the cost per pixel does not depend on the radius; only the margin read beyond the
// output rectangle grows with it. A box of radius r = n + f (n whole, 0 <= f < 1) weights the
// 2n + 1 central samples fully and the two samples just outside by f, all divided by
// 2n + 1 + 2f, so a constant image stays constant.
//
// Arithmetic: that of the passes (floats summed in doubles; integers stored truncated).
//
// Order: every running sum starts at the same place, the source's first valid column or row,
// whatever the thread count and whatever part of the image is asked for, and each is carried
// along its whole line in order, so a pixel comes out the same however the work is split or
// ordered. Rows beyond the source are read through its edge modes.
//
// Threads: one pass. Rows are blurred horizontally a few at a time into a small ring of rows,
// and column bands carry their vertical sums down the image over the rows blurred so far; any
// thread takes whichever of the two is ready next (see plan() in klBlur.cpp), so the picture streams through
// the caches instead of through a frame-sized buffer, and a thread that starts late or is held
// up leaves its share to the others. The destination may be the source itself.
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
// as each pixel is stored, so it needs no pass of its own.
#include "image/klBlurPasses.h"
#include "image/klBlurSchedule.h"
#include "image/klCachedKernels.h"
#include "image/klImgProc.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace Kiln {

namespace Blur {

// Whether two blocks of rows share any byte (rows of `bytes` bytes, `stride` apart, either sign).
bool overlaps(const void* a, int32_t strideA, int32_t rowsA, int32_t bytesA, const void* b, int32_t strideB,
              int32_t rowsB, int32_t bytesB);

}  // namespace Blur

template <class SrcPx, class DstPx = SrcPx, int64_t M = DstPx::maxInt, int FR = 0, int FG = 0, int FB = 0,
          int FA = 0>
class BlurGeneralGauss : public KlImgProc<DstPx> {
    static_assert(SrcPx::channels == DstPx::channels && SrcPx::order == DstPx::order,
                  "source and destination need the same channel layout");
    static constexpr int C = SrcPx::channels;
    static constexpr bool kWeighted = FR != 0 || FG != 0 || FB != 0;
    static constexpr bool kKeepAlpha = FA != 0;
    static_assert(!(kWeighted || kKeepAlpha) || SrcPx::alphaIndex >= 0,
                  "channel flags need an alpha channel");

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
    // Whether the last set-up streams the picture through small buffers (else it keeps every
    // horizontally blurred row until the columns are done: radii near the image's size).
    bool streams() const { return stream_; }

    void setUp() override;

    // Each thread's working lines come from host memory taken once per pass on the rendering thread
    // (a renderer that keeps its memory hands the same block back every frame).
    void beforePass() override;

    void process() override;

    void tearDown() override { copy_ = KlTexture<SrcPx>(); }

private:
    enum class Mode { Nothing, Copy, Blur };
    struct Layout;

    void plan();
    size_t bandStateBytes() const;
    double* sums(unsigned char* state, int32_t pass) const;
    float* bandRing(unsigned char* state, int32_t pass) const;
    int32_t* progressOf(int32_t band);
    void resetProgress(int32_t* o) const;
    unsigned char* aligned(Image::DataHandle* h) const;
    static void ensureBuffer(Image::DataHandle*& buffer, size_t bytes);
    unsigned char* threadScratch() const;
    template <class T>
    T* scratchAt(size_t offset) const;
    size_t horizontalLine() const;
    size_t bandStride(size_t slots) const;
    float* pinnedRow(int32_t slot) const;
    float* ringRow(int32_t k) const;
    const float* rowOf(int32_t k, int32_t b) const;
    bool sameLayout() const;
    const KlTexture<SrcPx>& copyOfSource();
    static float toFloat(typename SrcPx::Channel v);
    static void loadRun(const SrcPx* s, int32_t step, int32_t n, float* out);
    static constexpr bool flagged(int c);
    void copy();
    void work();
    void produce(int32_t item);
    void load(int32_t y, float* line, int32_t xa, int32_t xb) const;
    bool advance(int32_t b);
    template <class P>
    void ringRows(float* ring, int32_t k, int32_t n, P* rows) const;
    void inputRows(int32_t b, int32_t k, int32_t n, const float** rows) const;

    // Float results need no conversion: the last vertical pass writes them into the destination itself.
    static constexpr bool kDirectStore =
        std::is_same_v<typename DstPx::Channel, float> && !kWeighted && !kKeepAlpha;
    float* finalRow(int32_t y, int32_t x, float* scratch) const;
    void storeRow(int32_t sx, int32_t sw, int32_t k, const float* v) const;
    void fixUp(float* px, int32_t x, int32_t y) const;

    const KlTexture<SrcPx>* source_ = nullptr;
    float sizeX_ = 0.0f, sizeY_ = 0.0f;
    int32_t iterations_ = 3;

    // Set-up results.
    Mode mode_ = Mode::Nothing;
    const KlTexture<SrcPx>* read_ = nullptr;  // the source, or copy_
    KlTexture<SrcPx> copy_;
    KlRect rect_;
    float usedX_ = 0.0f, usedY_ = 0.0f;
    Blur::BoxParams px_, py_;
    int32_t marginX_ = 0, marginY_ = 0;
    int32_t startX_ = 0, startY_ = 0;  // first column and row the running sums produce
    int32_t first_ = 0, rows_ = 0;  // extended rows: source rows first_ .. first_ + rows_ - 1
    int32_t passesY_ = 0, reachY_ = 0;
    bool stream_ = true;
    int32_t step_ = 16, ringRows_ = 0, bandRing_ = 0;
    int32_t bandPixels_ = 0, bands_ = 0;
    size_t bandLanes_ = 0, rowStride_ = 0, rowValues_ = 0;
    std::vector<int32_t> slot_;  // extended row -> pinned slot, -1 in the ring
    std::vector<int32_t> pinnedY_;  // pinned slot -> a source row (global y) it holds
    std::vector<int32_t> itemRows_;  // per item: pinned slots or extended rows
    std::vector<int32_t> itemStart_;
    std::vector<int32_t> progress_;  // per band and vertical pass: next output row
    Blur::Schedule schedule_;
    size_t pinnedAt_ = 0, ringAt_ = 0, bandsAt_ = 0;
    size_t lineAt_ = 0, inRowsAt_ = 0, outRowsAt_ = 0, storeAt_ = 0, threadStateAt_ = 0;
    Image::DataHandle* buffer_ = nullptr;
    Image::DataHandle* scratch_ = nullptr;  // threadCount() x scratchPerThread_ bytes
    size_t scratchPerThread_ = 0;
};

}  // namespace Kiln
