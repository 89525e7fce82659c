// The lens, quantise and scan-line stages on a 1920 x 1080 frame at each depth, each against a plain
// copy of the same frame in the same run (the ratio is what matters), with the effect's default
// settings: lens radius 450 and strength 0.4 (k = exp(-0.4)), 6 quantise levels, scan-line spacing 3.
#include "bench/klBenchMemory.h"
#include "effect/klLensWarper.h"
#include "bench/klBenchPattern.h"
#include "effect/klQuantise.h"
#include "effect/klScanLines.h"
#include "image/klSamplers.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

namespace {

using namespace Kiln;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

template <class Px>
struct StageFrame {
    KlTexture<Px> source, destination;

    StageFrame()
    {
        Bench::installBenchMemory();
        source = KlTexture<Px>(kWidth, kHeight);
        destination = KlTexture<Px>(kWidth, kHeight);
        source.setEdgeModes(KlEdgeRepeat, KlEdgeRepeat);
        fillBenchPattern(source);
    }
};

template <class Px>
void BM_Copy(benchmark::State& state)
{
    StageFrame<Px> f;
    for (auto _ : state) {
        SimpleCopySampler<Px> c;
        c.setSource(&f.source);
        c.setDestination(&f.destination);
        c.execute();
        benchmark::DoNotOptimize(f.destination.data());
    }
}

template <class Px>
void BM_Lens(benchmark::State& state)
{
    StageFrame<Px> f;
    KlLensWarper w;
    w.setCentre(kWidth * 0.5f, kHeight * 0.5f);
    w.setRadii(450.0f, 450.0f);
    w.setStrength(std::exp(-0.4f));
    w.rebuild();
    for (auto _ : state) {
        KlWarpRender<Px> r;
        r.setWarper(&w);
        r.setSource(&f.source);
        r.setDestination(&f.destination);
        r.setFilter(int32_t(state.range(0)));
        r.execute();
        benchmark::DoNotOptimize(f.destination.data());
    }
}

template <class Px>
void BM_Quantise(benchmark::State& state)
{
    StageFrame<Px> f;
    for (auto _ : state) {
        Quantise::quantise(6, f.source, f.destination);
        benchmark::DoNotOptimize(f.destination.data());
    }
}

template <class Px>
void BM_ScanLines(benchmark::State& state)
{
    StageFrame<Px> f;
    for (auto _ : state) {
        KlScanLineAdder<Px> s;
        s.setSource(&f.source);
        s.setDestination(&f.destination);
        s.setSpacing(3);
        s.execute();
        benchmark::DoNotOptimize(f.destination.data());
    }
}

}  // namespace

#define KL_STAGES_BENCH(Px, depth)                                                                           \
    BENCHMARK(BM_Copy<Px>)->Name("StagesA/copy/" depth)->Unit(benchmark::kMillisecond)->UseRealTime();       \
    BENCHMARK(BM_Lens<Px>)                                                                                   \
        ->Name("StagesA/lens/" depth)                                                                        \
        ->ArgName("filter")                                                                                  \
        ->Arg(0)                                                                                             \
        ->Arg(1)                                                                                             \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime();                                                                                     \
    BENCHMARK(BM_Quantise<Px>)                                                                               \
        ->Name("StagesA/quantise/" depth)                                                                    \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime();                                                                                     \
    BENCHMARK(BM_ScanLines<Px>)                                                                              \
        ->Name("StagesA/scanlines/" depth)                                                                   \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()

KL_STAGES_BENCH(PixARGB8, "8");
KL_STAGES_BENCH(PixARGB16, "16");
KL_STAGES_BENCH(PixARGBF, "float");
