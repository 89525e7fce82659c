// The post-processing stage on a 1920x1080 frame at each depth: the blend with a few
// methods (per-channel, square-root and HLS ones) over a cropped source, and the
// finish alone (method None, Process RGB).
#include "wrapper/klPostProcess.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

using namespace Kiln::Wrapper;

namespace {

constexpr int32_t kW = 1920, kH = 1080;

template <class Px>
std::vector<Px> noise(uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<Px> v(static_cast<size_t>(kW) * kH);
    for (Px& p : v) {
        Kiln::WorkPixel w;
        w.a = u(rng) * Px::M;
        w.r = u(rng) * Px::M;
        w.g = u(rng) * Px::M;
        w.b = u(rng) * Px::M;
        p = Px::fromWork(w);
    }
    return v;
}

template <class Px>
void BM_PostProcess(benchmark::State& state)
{
    std::vector<Px> src = noise<Px>(1);
    const std::vector<Px> effect = noise<Px>(2);
    std::vector<Px> out = effect;
    const int32_t rowBytes = kW * static_cast<int32_t>(sizeof(Px));
    KlTexture<Px> source(src.data(), kW, kH, rowBytes);
    KlTexture<Px> output(out.data(), kW, kH, rowBytes);
    PostProcessSettings s;
    s.method = static_cast<int32_t>(state.range(0));
    s.left = 5;
    s.right = 95;
    s.bottom = 5;
    s.top = 95;
    applySourceCrop(source, s);
    for (auto _ : state) {
        // The effect's picture is the same every time; the copy is part of the measure.
        std::copy(effect.begin(), effect.end(), out.begin());
        postProcess(s, source, output, true);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void methods(benchmark::internal::Benchmark* b)
{
    for (int m : {Blend::None, Blend::Mix, Blend::Overlay, Blend::SoftLight, Blend::Colour}) b->Arg(m);
    b->ArgName("method")->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_PostProcess, Kiln::PixARGB8)->Apply(methods);
BENCHMARK_TEMPLATE(BM_PostProcess, Kiln::PixARGB16)->Apply(methods);
BENCHMARK_TEMPLATE(BM_PostProcess, Kiln::PixARGBF)->Apply(methods);
