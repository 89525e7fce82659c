// The monitor sampler on a 1920 x 1080 frame: its default look at each depth against a plain copy of the
// same frame, the table set-up on its own, each shash pattern, and the white dot.
#include "bench/klBenchMemory.h"
#include "effect/klShash.h"
#include "effect/klWornScreenSampler.h"
#include "image/klSamplers.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

using namespace Kiln;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

template <class Px>
struct Frame {
    std::vector<Px> in, out;
    KlTexture<Px> source, destination;

    Frame() : in(size_t(kWidth) * kHeight), out(size_t(kWidth) * kHeight)
    {
        Bench::installBenchMemory();
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                Px& p = in[size_t(y) * kWidth + size_t(x)];
                auto level = [](int k) {
                    return typename Px::Channel(Px::isInteger ? float(int64_t(k % 256) * Px::maxInt / 255)
                                                              : float(k % 256) / 255.0f);
                };
                p.a = level(255);
                p.r = level(x + y);
                p.g = level(x * 3 + y);
                p.b = level(x + y * 5);
            }
        }
        source = KlTexture<Px>(in.data(), kWidth, kHeight, int32_t(kWidth * sizeof(Px)));
        destination = KlTexture<Px>(out.data(), kWidth, kHeight, int32_t(kWidth * sizeof(Px)));
    }
};

WornScreenSettings defaultLook()
{
    WornScreenSettings s;  // "B and W", contrast 0.15, brightness 0.25, EM 0.15, no shash, no white dot
    s.frameHeight = float(kHeight);
    return s;
}

template <class Px>
void runSampler(benchmark::State& state, const WornScreenSettings& s)
{
    Frame<Px> f;
    for (auto _ : state) {
        WornScreenSampler<Px> sampler;
        sampler.setSource(&f.source);
        sampler.setDestination(&f.destination);
        sampler.setSettings(s);
        sampler.execute();
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

template <class Px>
void Sampler_PlainCopy(benchmark::State& state)
{
    Frame<Px> f;
    for (auto _ : state) {
        SimpleCopySampler<Px> copy;
        copy.setSource(&f.source);
        copy.setDestination(&f.destination);
        copy.execute();
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

template <class Px>
void Sampler_DefaultLook(benchmark::State& state)
{
    runSampler<Px>(state, defaultLook());
}

template <class Px>
void Sampler_ColourLook(benchmark::State& state)
{
    WornScreenSettings s = defaultLook();
    s.tvType = WornScreen::kColour;
    runSampler<Px>(state, s);
}

template <class Px>
void Sampler_TableSetUp(benchmark::State& state)
{
    const WornScreenSettings s = defaultLook();
    WornScreenTables<Px> t;
    for (auto _ : state) {
        t.build(s);
        benchmark::DoNotOptimize(t.grey().data());
    }
}

template <class Px>
void Sampler_Shash(benchmark::State& state)
{
    WornScreenSettings s = defaultLook();
    s.shashType = int32_t(state.range(0));
    s.shashMax = 0.5f;
    runSampler<Px>(state, s);
}

template <class Px>
void Sampler_ShashLayerOnly(benchmark::State& state)
{
    Frame<Px> f;
    for (auto _ : state) {
        KlShashProc<Px> shash;
        shash.setDestination(&f.destination);
        shash.setSeed(30);
        shash.setFrame(12);
        shash.setScale(1.0f);
        shash.setType(int32_t(state.range(0)));
        shash.execute();
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

template <class Px>
void Sampler_WhiteDot(benchmark::State& state)
{
    WornScreenSettings s = defaultLook();
    s.whiteDot = 0.5f;
    runSampler<Px>(state, s);
}

}  // namespace

BENCHMARK(Sampler_PlainCopy<PixARGB8>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_DefaultLook<PixARGB8>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_ColourLook<PixARGB8>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_PlainCopy<PixARGB16>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_DefaultLook<PixARGB16>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_ColourLook<PixARGB16>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_PlainCopy<PixARGBF>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_DefaultLook<PixARGBF>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_ColourLook<PixARGBF>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_TableSetUp<PixARGB8>)->Unit(benchmark::kMicrosecond);
BENCHMARK(Sampler_TableSetUp<PixARGB16>)->Unit(benchmark::kMicrosecond);
BENCHMARK(Sampler_TableSetUp<PixARGBF>)->Unit(benchmark::kMicrosecond);
BENCHMARK(Sampler_ShashLayerOnly<PixARGB8>)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_Shash<PixARGB8>)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_Shash<PixARGBF>)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_WhiteDot<PixARGB8>)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sampler_WhiteDot<PixARGBF>)->Unit(benchmark::kMillisecond)->UseRealTime();
