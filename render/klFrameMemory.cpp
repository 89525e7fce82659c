#include "render/klFrameMemory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace Kiln::Footage {

namespace {

// Measured with the effect module at 960x540 and 1920x1080 (peak resident memory over the rise in
// pixels): 223, 286 and 363 bytes a pixel at 8, 16 and float. The figure below stays under those.
constexpr uint64_t kWorkingBytesPerPixel = 128;
constexpr uint64_t kFramesAtRenderDepth = 10;

std::optional<uint64_t> readNumber(const char* file)
{
    std::ifstream in(file);
    uint64_t v = 0;
    if (in >> v) return v;
    return std::nullopt;
}

}  // namespace

uint64_t renderBytes(int inputWidth, int inputHeight, Depth inputDepth, int layerWidth, int layerHeight,
                     Depth depth)
{
    const uint64_t input = uint64_t(std::max(inputWidth, 0)) * uint64_t(std::max(inputHeight, 0));
    const uint64_t layer = uint64_t(std::max(layerWidth, 0)) * uint64_t(std::max(layerHeight, 0));
    return input * Runner::bytesPerPixel(inputDepth) +
           layer * (kFramesAtRenderDepth * Runner::bytesPerPixel(depth) + kWorkingBytesPerPixel);
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
