// Milliseconds per 1920 x 1080 frame of the default look at 8, 16 and float: each stage of the render
// on its own (in process, with the settings the default controls give), the whole frame through
// the substitute host and the built module (host-side work included: parameter arrays, checkouts, the
// output world), and 25 consecutive frames with and without the held frame.
#include "effect/klHeldFrame.h"
#include "effect/klLensWarper.h"
#include "bench/klBenchPattern.h"
#include "bench/klBenchMemory.h"
#include "effect/klRenderRoutine.h"
#include "effect/klScanLines.h"
#include "effect/klWornScreenSampler.h"
#include "image/klBlur.h"
#include "image/klFunctors.h"
#include "runner/klRunner.h"
#include "wrapper/klPostProcess.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace Kiln;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The default controls as the render reads them.
Watchcam::Settings defaults()
{
    Watchcam::Settings s;
    s.tvType = 1;
    s.contrast = 0.15;
    s.brightness = 0.25;
    s.lensEffect = true;
    s.lensRadius = 450;
    s.lensStrength = 0.4;
    s.seed = 25;
    s.emInterference = 0.15;
    s.scanlineWidth = 3;
    s.blur = 1;
    s.filtered = 2;
    return s;
}

template <class Px>
struct Frame {
    KlTexture<Px> source, work, output;
    Frame()
    {
        Bench::installBenchMemory();
        source = KlTexture<Px>(kWidth, kHeight);
        work = KlTexture<Px>(kWidth, kHeight);
        output = KlTexture<Px>(kWidth, kHeight);
        source.setEdgeModes(KlEdgeReflect, KlEdgeWrap);
        fillBenchPattern(source);
    }
};

template <class Px>
void Stage_Lens(benchmark::State& state)
{
    Frame<Px> f;
    const Watchcam::Settings s = defaults();
    const Watchcam::LensGeometry g = Watchcam::lensGeometry(s, Watchcam::RenderFacts{}, kWidth, kHeight);
    KlLensWarper warper;
    warper.setStrength(g.k);
    warper.setRadii(g.radiusX, g.radiusY);
    warper.setCentre(g.centreX, g.centreY);
    warper.rebuild();
    for (auto _ : state) {
        KlWarpRender<Px> stage;
        stage.setWarper(&warper);
        stage.setSource(&f.source);
        stage.setDestination(&f.work);
        stage.setFilter(g.filter);
        stage.execute();
        benchmark::DoNotOptimize(f.work.data());
    }
}

template <class Px>
void Stage_Blur(benchmark::State& state)
{
    Frame<Px> f;
    const Watchcam::BlurSizes b = Watchcam::blurSizes(defaults(), Watchcam::RenderFacts{});
    for (auto _ : state) {
        BlurGeneralGauss<Px> stage;
        stage.setSizes(b.x, b.y);
        stage.setIterations(b.iterations);
        stage.setSource(&f.source);
        stage.setDestination(&f.work);
        stage.execute();
        benchmark::DoNotOptimize(f.work.data());
    }
}

template <class Px>
void Stage_Sampler(benchmark::State& state)
{
    Frame<Px> f;
    const WornScreenSettings w =
        Watchcam::samplerSettings(defaults(), Watchcam::RenderFacts{}, 0, float(kWidth), float(kHeight));
    for (auto _ : state) {
        WornScreenSampler<Px> stage;
        stage.setSource(&f.source);
        stage.setDestination(&f.output);
        stage.setSettings(w);
        stage.execute();
        benchmark::DoNotOptimize(f.output.data());
    }
}

template <class Px>
void Stage_ScanLines(benchmark::State& state)
{
    Frame<Px> f;
    for (auto _ : state) {
        KlScanLineAdder<Px> stage;
        stage.setSource(&f.work);
        stage.setDestination(&f.work);
        stage.setSpacing(Watchcam::scanlineSpacing(defaults(), Watchcam::RenderFacts{}));
        stage.execute();
        benchmark::DoNotOptimize(f.work.data());
    }
}

// The held frame's check: a hash of every byte of the source.
template <class Px>
void Stage_Hash(benchmark::State& state)
{
    Frame<Px> f;
    for (auto _ : state) {
        uint64_t h = 0;
        Watchcam::hashPixels(f.source, nullptr, h);
        benchmark::DoNotOptimize(h);
    }
}

// The alpha clamp and the default finish (no blend, Process RGB: the source's alpha).
template <class Px>
void Stage_Finish(benchmark::State& state)
{
    Frame<Px> f;
    const Wrapper::PostProcessSettings post;
    for (auto _ : state) {
        Processor::Functor1<Px, Processor::ClampChannel<Px>> clamp;
        clamp.functor().channel = Px::alphaIndex;
        clamp.setDestination(&f.output);
        clamp.execute();
        Wrapper::postProcess(post, f.source, f.output, false);
        benchmark::DoNotOptimize(f.output.data());
    }
}

Runner::Module& benchModule(bool reuse);

// The same picture as the stage benchmarks, converted to the depth.
Runner::Image patternAt(Runner::Depth depth)
{
    Runner::Image image = Runner::Image::make(kWidth, kHeight, depth);
    Frame<PixARGB8> pattern;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const PixARGB8& p = *pattern.source.pixelAddress(x, y);
            const float v[4] = {p.a / 255.0f, p.r / 255.0f, p.g / 255.0f, p.b / 255.0f};
            for (int c = 0; c < 4; ++c) {
                if (depth == Runner::Depth::Eight)
                    image.row<uint8_t>(y)[4 * x + c] = uint8_t(v[c] * 255.0f);
                else if (depth == Runner::Depth::Sixteen)
                    image.row<uint16_t>(y)[4 * x + c] = uint16_t(v[c] * 32768.0f);
                else
                    image.row<float>(y)[4 * x + c] = v[c];
            }
        }
    return image;
}

// The whole frame: pre-render and render through the host, every control at its default. Every frame
// here is the same picture, which a held frame would serve after the first: the module copy without
// reuse computes each one.
void Whole(benchmark::State& state, Runner::Depth depth, bool smart)
{
    Runner::Module* module = &benchModule(false);
    Runner::HostSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.frameCount = 10;
    settings.smartPath = smart;
    Runner::Host host(*module, settings);
    const Runner::Image frame = patternAt(depth);
    host.setFrameSource([&frame](int, Runner::Depth) -> const Runner::Image& { return frame; });
    int n = 0;
    for (auto _ : state) {
        Runner::Image out = host.render(n++ % settings.frameCount, depth);
        benchmark::DoNotOptimize(out.pixels.data());
        host.recycle(std::move(out));  // as a renderer does once the frame is written
    }
}

// The built module, or a copy of it loaded with the held frame switched off (the routine as it was before
// a held frame was kept): the variable is read when a module loads.
Runner::Module& benchModule(bool reuse)
{
    static std::unique_ptr<Runner::Module> built = Runner::Module::load(KL_BENCH_MODULE);
    static std::unique_ptr<Runner::Module> plain = [] {
        namespace fs = std::filesystem;
        const fs::path dir = fs::temp_directory_path() / ("kl_bench_" + std::to_string(getpid()));
        fs::create_directories(dir);
        const fs::path file = dir / "Q_Watchcam.so";
        fs::copy_file(KL_BENCH_MODULE, file, fs::copy_options::overwrite_existing);
        setenv("KILN_NO_REUSE", "1", 1);
        std::unique_ptr<Runner::Module> m = Runner::Module::load(file.string());
        unsetenv("KILN_NO_REUSE");
        fs::remove_all(dir);  // the loaded copy stays mapped
        return m;
    }();
    return reuse ? *built : *plain;
}

// The default look on 25 consecutive frames, each its own picture (the pattern moved by 7 pixels a
// frame): with the default Frame Rate of 5 on 25 fps, five source frames are shown five times each. One
// iteration renders all 25; "frame" is the average time per frame.
void Consecutive(benchmark::State& state, Runner::Depth depth, bool reuse)
{
    constexpr int kFrames = 25;
    Runner::HostSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.frameCount = kFrames;
    Runner::Host host(benchModule(reuse), settings);
    std::vector<Runner::Image> frames;
    {
        const Runner::Image base = patternAt(depth);
        const size_t pixel = Runner::bytesPerPixel(depth), row = size_t(kWidth) * pixel;
        for (int f = 0; f < kFrames; ++f) {
            Runner::Image img = Runner::Image::make(kWidth, kHeight, depth);
            const size_t shift = size_t(7 * f % kWidth) * pixel;
            for (int y = 0; y < kHeight; ++y) {
                std::memcpy(img.row<uint8_t>(y), base.row<uint8_t>(y) + shift, row - shift);
                std::memcpy(img.row<uint8_t>(y) + row - shift, base.row<uint8_t>(y), shift);
            }
            frames.push_back(std::move(img));
        }
    }
    host.setFrameSource(
        [&frames](int f, Runner::Depth) -> const Runner::Image& { return frames[size_t(f)]; });
    for (auto _ : state) {
        for (int f = 0; f < kFrames; ++f) {
            Runner::Image out = host.render(f, depth);
            benchmark::DoNotOptimize(out.pixels.data());
            host.recycle(std::move(out));
        }
    }
    state.counters["frame"] = benchmark::Counter(
        double(kFrames), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

#define KL_STAGES(Px, depth)                                                                                 \
    BENCHMARK(Stage_Lens<Px>)                                                                                \
        ->Name("Render/lens/" depth)                                                                         \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK(Stage_Blur<Px>)                                                                                \
        ->Name("Render/blur/" depth)                                                                         \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK(Stage_Sampler<Px>)                                                                             \
        ->Name("Render/sampler/" depth)                                                                      \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK(Stage_ScanLines<Px>)                                                                           \
        ->Name("Render/scanlines/" depth)                                                                    \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK(Stage_Hash<Px>)                                                                                \
        ->Name("Render/hash/" depth)                                                                         \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK(Stage_Finish<Px>)                                                                              \
        ->Name("Render/finish/" depth)                                                                       \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();

KL_STAGES(Kiln::PixARGB8, "8")
KL_STAGES(Kiln::PixARGB16, "16")
KL_STAGES(Kiln::PixARGBF, "float")

BENCHMARK_CAPTURE(Whole, 8, Kiln::Runner::Depth::Eight, true)
    ->Name("Render/whole/8")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Whole, 16, Kiln::Runner::Depth::Sixteen, true)
    ->Name("Render/whole/16")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Whole, float, Kiln::Runner::Depth::Float, true)
    ->Name("Render/whole/float")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Whole, legacy8, Kiln::Runner::Depth::Eight, false)
    ->Name("Render/whole-legacy/8")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// Before and after the held frame, in one run: the same 25 frames without and with reuse.
#define KL_CONSECUTIVE(depth, name)                                                                          \
    BENCHMARK_CAPTURE(Consecutive, name##_plain, Kiln::Runner::Depth::depth, false)                          \
        ->Name("Render/consecutive25/" #name "/no-reuse")                                                    \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();                                                                           \
    BENCHMARK_CAPTURE(Consecutive, name##_reuse, Kiln::Runner::Depth::depth, true)                           \
        ->Name("Render/consecutive25/" #name "/reuse")                                                       \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->MeasureProcessCPUTime();

KL_CONSECUTIVE(Eight, 8)
KL_CONSECUTIVE(Sixteen, 16)
KL_CONSECUTIVE(Float, float)
