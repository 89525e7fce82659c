// The blur on a 1920 x 1080 frame at each depth against a plain copy of the same frame (the ratio is
// what matters), at the effect's "Blur" values 1 (the default look), 4, 20 and 300 (box sizes of a
// third of that per pass, as the render sets them); the noise generator, plain and softened. CPU time
// is the whole process's (every thread).
#include "bench/klBenchMemory.h"
#include "image/klBlur.h"
#include "bench/klBenchPattern.h"
#include "image/klNoise.h"
#include "image/klSamplers.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace Kiln;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void useHeap() { Bench::installBenchMemory(); }

template <class Px>
struct BlurFrame {
    KlTexture<Px> source, destination;

    BlurFrame()
    {
        useHeap();
        source = KlTexture<Px>(kWidth, kHeight);
        destination = KlTexture<Px>(kWidth, kHeight);
        source.setEdgeModes(KlEdgeReflect, KlEdgeReflect);
        fillBenchPattern(source);
    }
};

template <class Px>
void BM_Copy(benchmark::State& state)
{
    BlurFrame<Px> f;
    for (auto _ : state) {
        SimpleCopySampler<Px> c;
        c.setMultiThreaded(state.range(0) != 0);
        c.setSource(&f.source);
        c.setDestination(&f.destination);
        c.execute();
        benchmark::DoNotOptimize(f.destination.data());
    }
}

template <class Px>
void BM_Blur(benchmark::State& state)
{
    BlurFrame<Px> f;
    BlurGeneralGauss<Px, Px> b;  // one blur: its buffer is built on first use and kept
    b.setSource(&f.source);
    b.setDestination(&f.destination);
    b.setSizes(float(state.range(0)) / 3.0f, float(state.range(0)) / 3.0f);
    b.setIterations(3);
    b.setMultiThreaded(state.range(1) != 0);
    for (auto _ : state) {
        b.execute();
        benchmark::DoNotOptimize(f.destination.data());
    }
}

void BM_Noise(benchmark::State& state)
{
    useHeap();
    KlTexture<PixNoiseF> t(kWidth, kHeight);
    KlNoiseGen<> g;
    g.setDestination(&t);
    g.setSeed(7);
    g.setSoftness(float(state.range(0)), float(state.range(0)));
    for (auto _ : state) {
        g.execute();
        benchmark::DoNotOptimize(t.data());
    }
}

}  // namespace

BENCHMARK(BM_Copy<PixARGB8>)
    ->Name("Blur/copy/8")
    ->ArgNames({"mt"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Blur<PixARGB8>)
    ->Name("Blur/8")
    ->ArgNames({"blur", "mt"})
    ->ArgsProduct({{1, 4, 20, 300}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Copy<PixARGB16>)
    ->Name("Blur/copy/16")
    ->ArgNames({"mt"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Blur<PixARGB16>)
    ->Name("Blur/16")
    ->ArgNames({"blur", "mt"})
    ->ArgsProduct({{1, 4, 20, 300}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Copy<PixARGBF>)
    ->Name("Blur/copy/float")
    ->ArgNames({"mt"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Blur<PixARGBF>)
    ->Name("Blur/float")
    ->ArgNames({"blur", "mt"})
    ->ArgsProduct({{1, 4, 20, 300}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Noise)
    ->Name("Noise/mono")
    ->Arg(0)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
