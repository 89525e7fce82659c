// Whole renders of the 1920x1080 demo clip at each depth: frames per second and the share of the time
// spent outside the module (making and converting input frames, converting and encoding output frames).
// "Passthrough" runs a module that only copies its layer, so its numbers are the renderer's own cost;
// "Effect" runs the real module with its default controls. Outputs: 8-bit H.264 mp4, 16-bit FFV1 mkv,
// float OpenEXR frames.
#include "render/klRenderJob.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using Kiln::Footage::Depth;

constexpr int kFrames = 8;

std::string scratchDirectory()
{
    static const std::string dir = [] {
        const auto d =
            std::filesystem::temp_directory_path() / ("watchcam-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir;
}

void renderDemo(benchmark::State& state, const std::string& module, Depth depth)
{
    if (module.empty() || !std::filesystem::exists(module)) {
        state.SkipWithError("module not built");
        return;
    }
    const char* output = depth == Depth::Eight     ? "/bench.mp4"
                         : depth == Depth::Sixteen ? "/bench.mkv"
                                                   : "/bench.%04d.exr";
    Kiln::Footage::RenderStats sum;
    for (auto _ : state) {
        Kiln::Footage::RenderOptions o;
        o.demo = true;
        o.demoWidth = 1920;
        o.demoHeight = 1080;
        o.demoFrames = kFrames;
        o.depth = depth;
        o.output = scratchDirectory() + output;
        o.overwrite = true;
        o.modulePath = module;
        Kiln::Footage::RenderJob job(o);
        const Kiln::Footage::RenderStats s = job.run();
        state.SetIterationTime(s.totalSeconds);
        sum.frames += s.frames;
        sum.readSeconds += s.readSeconds;
        sum.moduleSeconds += s.moduleSeconds;
        sum.writeSeconds += s.writeSeconds;
        sum.totalSeconds += s.totalSeconds;
    }
    if (sum.totalSeconds <= 0) return;
    state.counters["fps"] = sum.frames / sum.totalSeconds;
    state.counters["outside_share"] = (sum.totalSeconds - sum.moduleSeconds) / sum.totalSeconds;
    state.counters["read_ms"] = 1000 * sum.readSeconds / sum.frames;
    state.counters["module_ms"] = 1000 * sum.moduleSeconds / sum.frames;
    state.counters["write_ms"] = 1000 * sum.writeSeconds / sum.frames;
}

void registerAll()
{
    const std::pair<const char*, Depth> depths[] = {
        {"8", Depth::Eight}, {"16", Depth::Sixteen}, {"float", Depth::Float}};
    const std::pair<const char*, std::string> modules[] = {{"Passthrough", PASSTHROUGH_MODULE},
                                                           {"Effect", WATCHCAM_EFFECT_MODULE}};
    for (const auto& [moduleName, modulePath] : modules)
        for (const auto& [depthName, depth] : depths)
            benchmark::RegisterBenchmark(
                (std::string("RenderDemo1080/") + moduleName + "/" + depthName).c_str(),
                [path = modulePath, d = depth](benchmark::State& s) { renderDemo(s, path, d); })
                ->Iterations(2)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratchDirectory(), ec);
    return 0;
}
