#include "render/klFrameMemory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

// The whole process's peak resident memory, measured with the effect module on the demo clip and on
// videos (960x540, 1920x1080 and 640x360, into mp4, mov and mkv), rises by 154 to 235 bytes a layer pixel at
// 8 bits, about 210 at 16 and 290 in float: the renderer's frames, the effect's working images and the
// encoders' own buffers (x264's look-ahead, FFV1's slices). The figures below stay above those.
constexpr uint64_t kBytesPerLayerPixel[] = {256, 320, 400};  // 8 bits, 16 bits, float
// A video decoder keeps its reference frames and one a thread: up to about 20 of 4:2:0 to 4:4:4.
constexpr uint64_t kDecoderBytesPerPixel = 48;
constexpr uint64_t kCodecBytesPerPixelAndThread = 8;
// The program, the module and the libraries before the first frame (30 MB measured), with room.
constexpr uint64_t kProgramBytes = uint64_t(64) << 20;

std::optional<uint64_t> readNumber(const char* file)
{
    std::ifstream in(file);
    uint64_t v = 0;
    if (in >> v) return v;
    return std::nullopt;
}

}  // namespace

uint64_t renderBytes(int inputWidth, int inputHeight, Depth inputDepth, int layerWidth, int layerHeight,
                     Depth depth, bool videoInput)
{
    const uint64_t input = uint64_t(std::max(inputWidth, 0)) * uint64_t(std::max(inputHeight, 0));
    const uint64_t layer = uint64_t(std::max(layerWidth, 0)) * uint64_t(std::max(layerHeight, 0));
    const size_t d = depth == Depth::Eight ? 0 : depth == Depth::Sixteen ? 1 : 2;
    // Codecs run a frame or more a thread (x264's frame threads): more with more processors.
    const uint64_t threads =
        codecThreads() > 0 ? uint64_t(codecThreads()) : std::max(1u, std::thread::hardware_concurrency());
    return kProgramBytes +
           input * (Runner::bytesPerPixel(inputDepth) + (videoInput ? kDecoderBytesPerPixel : 0)) +
           layer * (kBytesPerLayerPixel[d] + threads * kCodecBytesPerPixelAndThread);
}

std::optional<uint64_t> residentMemory()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    if (!(statm >> size >> resident)) return std::nullopt;
    return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

std::optional<uint64_t> availableMemory()
{
    std::optional<uint64_t> available;
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        uint64_t kb = 0;
        if (std::sscanf(line.c_str(), "MemAvailable: %lu kB", &kb) == 1) available = kb * 1024;
    }
    // A control group's limit (version 2, else version 1; "max" or a huge number when there is none).
    std::optional<uint64_t> limit = readNumber("/sys/fs/cgroup/memory.max"), used;
    if (limit)
        used = readNumber("/sys/fs/cgroup/memory.current");
    else if ((limit = readNumber("/sys/fs/cgroup/memory/memory.limit_in_bytes")))
        used = readNumber("/sys/fs/cgroup/memory/memory.usage_in_bytes");
    if (limit && used && *limit < (uint64_t(1) << 60)) {
        const uint64_t left = *limit > *used ? *limit - *used : 0;
        available = available ? std::min(*available, left) : left;
    }
    return available;
}

std::string formatBytes(uint64_t bytes)
{
    const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double v = double(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char text[32];
    if (u == 0)
        std::snprintf(text, sizeof text, "%lu bytes", static_cast<unsigned long>(bytes));
    else
        std::snprintf(text, sizeof text, v < 10 ? "%.1f %s" : "%.0f %s", v, units[u]);
    return text;
}

}  // namespace Kiln::Footage
