// Image core costs: the row copy against a plain memcpy of the same bytes, bilinear
// sampling on the fast path and near the edges, and one empty multi-threaded pass.
#include "bench/klBenchMemory.h"
#include "image/klSamplers.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void installService() { Kiln::Bench::installBenchMemory(); }

constexpr int32_t kW = 1920;
constexpr int32_t kH = 1080;

template <class Px>
KlTexture<Px> makeImage()
{
    installService();
    KlTexture<Px> t(kW, kH);
    for (int32_t y = 0; y < kH; ++y) {
        Px* row = t.pixelAddress(0, y);
        for (int32_t x = 0; x < kW; ++x) {
            typename Px::Work w;
            w.a = Px::M;
            w.r = Px::M * static_cast<float>(x % 255) / 255.0f;
            w.g = Px::M * static_cast<float>(y % 255) / 255.0f;
            w.b = Px::M * 0.5f;
            row[x] = Px::fromWork(w);
        }
    }
    return t;
}

template <class Px>
void BM_Memcpy(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(kW) * kH * sizeof(Px);
    std::vector<char> src(bytes, 1), dst(bytes, 0);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// Arg 0: one thread (the fair comparison with one memcpy); 1: every processor.
template <class Px>
void BM_SimpleCopySampler(benchmark::State& state)
{
    KlTexture<Px> src = makeImage<Px>();
    KlTexture<Px> dst(kW, kH);
    Kiln::SimpleCopySampler<Px> copy;
    copy.setSource(&src);
    copy.setDestination(&dst);
    copy.setMultiThreaded(state.range(0) != 0);
    for (auto _ : state) {
        copy.run();
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH *
                            static_cast<int64_t>(sizeof(Px)));
}

// Copy of a 1920x1080 destination from a source 64 pixels smaller on every side, with
// reflected edges: the run rule at work on every row.
template <class Px>
void BM_SimpleCopySamplerEdges(benchmark::State& state)
{
    installService();
    KlTexture<Px> src(kW - 128, kH - 128, 64, 64);
    std::memset(src.data(), 0, static_cast<size_t>(src.rowBytes()) * static_cast<size_t>(src.height()));
    src.setEdgeModes(KlEdgeReflect, KlEdgeReflect);
    KlTexture<Px> dst(kW, kH);
    Kiln::SimpleCopySampler<Px> copy;
    copy.setSource(&src);
    copy.setDestination(&dst);
    copy.setMultiThreaded(false);
    for (auto _ : state) {
        copy.run();
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH *
                            static_cast<int64_t>(sizeof(Px)));
}

// One bilinear sample per output pixel of a 1920x1080 frame, single thread.
// Arg 0: fast path (interior, fractional positions); 1: edge path (a band of
// coordinates reaching 40 pixels beyond every side, reflect mode).
template <class Px>
void BM_Bilinear(benchmark::State& state)
{
    KlTexture<Px> src = makeImage<Px>();
    src.setEdgeModes(KlEdgeReflect, KlEdgeReflect);
    const bool edges = state.range(0) != 0;
    const float sx = edges ? (kW + 80.0f) / kW : (kW - 2.0f) / kW;
    const float sy = edges ? (kH + 80.0f) / kH : (kH - 2.0f) / kH;
    const float ox = edges ? -40.0f : 1.0f, oy = edges ? -40.0f : 1.0f;
    const int32_t rows = edges ? 40 : kH;  // the edge case: rows that lie outside the image
    const int32_t cols = kW;
    std::vector<typename Px::Work> out(static_cast<size_t>(cols));
    for (auto _ : state) {
        for (int32_t y = 0; y < rows; ++y) {
            const float fy = oy + (static_cast<float>(y) + 0.3f) * sy;
            for (int32_t x = 0; x < cols; ++x)
                out[static_cast<size_t>(x)] =
                    src.sampleBilinear(ox + (static_cast<float>(x) + 0.3f) * sx, fy);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows * cols);
}

class EmptyPass : public KlMultiProcessor {
public:
    void process() override { benchmark::DoNotOptimize(currentThreadIndex()); }
};

// One pass with an empty body: the cost of forking and joining the workers.
void BM_EmptyPass(benchmark::State& state)
{
    EmptyPass p;
    state.counters["threads"] = p.threadCount();
    for (auto _ : state) p.run();
}

}  // namespace

BENCHMARK_TEMPLATE(BM_Memcpy, Kiln::PixARGB8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySampler, Kiln::PixARGB8)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySamplerEdges, Kiln::PixARGB8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Memcpy, Kiln::PixARGB16)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySampler, Kiln::PixARGB16)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySamplerEdges, Kiln::PixARGB16)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Memcpy, Kiln::PixARGBF)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySampler, Kiln::PixARGBF)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_SimpleCopySamplerEdges, Kiln::PixARGBF)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Bilinear, Kiln::PixARGB8)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Bilinear, Kiln::PixARGB16)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Bilinear, Kiln::PixARGBF)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_EmptyPass)->Unit(benchmark::kMicrosecond)->UseRealTime();
