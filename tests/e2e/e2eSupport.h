#pragma once
// The built module loaded by the substitute host, driven like a compositing host would: controls set by
// script name in display units, synthetic frames painted per frame number and depth, whole renders.
#include "runner/klRunner.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace E2E {

using Kiln::Runner::Depth;
using Kiln::Runner::Host;
using Kiln::Runner::HostSettings;
using Kiln::Runner::Image;
using Kiln::Runner::Module;
using Kiln::Runner::ParamValue;

// A pixel in stored units (8 bits 0..255, 16 bits 0..32768, float 0..1): a, r, g, b.
using Px = std::array<double, 4>;

inline double channelMax(Depth d) { return d == Depth::Eight ? 255.0 : d == Depth::Sixteen ? 32768.0 : 1.0; }
inline const char* name(Depth d) { return Kiln::Runner::depthName(d); }

inline Module& builtModule()
{
    static std::unique_ptr<Module> m = Module::load(KL_E2E_MODULE);
    return *m;
}

// A private copy of the module file: its own process-wide state (processor limit, headless answer).
inline std::unique_ptr<Module> loadCopy(const std::string& tag)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kl_e2e_" + std::to_string(getpid()) + "_" + tag);
    fs::create_directories(dir);
    const fs::path file = dir / "Q_Watchcam.so";
    fs::copy_file(KL_E2E_MODULE, file, fs::copy_options::overwrite_existing);
    std::unique_ptr<Module> m = Module::load(file.string());
    fs::remove_all(dir);  // the loaded copy stays mapped
    return m;
}

inline Px getPixel(const Image& img, int x, int y)
{
    switch (img.depth) {
    case Depth::Eight: {
        const uint8_t* p = img.row<uint8_t>(y) + 4 * x;
        return {double(p[0]), double(p[1]), double(p[2]), double(p[3])};
    }
    case Depth::Sixteen: {
        const uint16_t* p = img.row<uint16_t>(y) + 4 * x;
        return {double(p[0]), double(p[1]), double(p[2]), double(p[3])};
    }
    default: {
        const float* p = img.row<float>(y) + 4 * x;
        return {double(p[0]), double(p[1]), double(p[2]), double(p[3])};
    }
    }
}

inline void setPixel(Image& img, int x, int y, const Px& v)
{
    for (int c = 0; c < 4; ++c) {
        switch (img.depth) {
        case Depth::Eight: img.row<uint8_t>(y)[4 * x + c] = uint8_t(v[c]); break;
        case Depth::Sixteen: img.row<uint16_t>(y)[4 * x + c] = uint16_t(v[c]); break;
        default: img.row<float>(y)[4 * x + c] = float(v[c]); break;
        }
    }
}

inline bool samePixels(const Image& a, const Image& b)
{
    if (a.width != b.width || a.height != b.height || a.depth != b.depth) return false;
    const size_t bytes = size_t(a.width) * Kiln::Runner::bytesPerPixel(a.depth);
    for (int y = 0; y < a.height; ++y)
        if (std::memcmp(a.row<uint8_t>(y), b.row<uint8_t>(y), bytes) != 0) return false;
    return true;
}

// Paints frame `frame` of the layer at a depth into a cleared image.
using Painter = std::function<void(Image& image, int frame)>;

// One effect instance on a layer of synthetic frames.
class Rig {
public:
    explicit Rig(HostSettings s, Painter painter, Module& module = builtModule())
        : host_(std::make_unique<Host>(module, s)), painter_(std::move(painter)), settings_(s)
    {
        host_->setFrameSource([this](int frame, Depth d) -> const Image& { return frame_(frame, d); });
    }
    // The frame source refers to this object.
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    Host& host() { return *host_; }
    const HostSettings& settings() const { return settings_; }

    int control(const std::string& scriptName) const
    {
        const int i = host_->findControl(scriptName);
        EXPECT_GT(i, 0) << "no control " << scriptName;
        return i;
    }
    // Display units: slider value as shown, popup item 1-based, checkbox 0/1.
    Rig& set(const std::string& scriptName, double v)
    {
        host_->setValue(control(scriptName), ParamValue{{v, 0, 0, 0}});
        return *this;
    }
    Rig& setColour(const std::string& scriptName, double a, double r, double g, double b)
    {
        host_->setValue(control(scriptName), ParamValue{{a, r, g, b}});
        return *this;
    }
    Rig& keys(const std::string& scriptName, std::vector<std::pair<double, double>> frameValues)
    {
        std::vector<Kiln::Runner::Keyframe> k;
        for (auto [f, v] : frameValues) k.push_back({f, ParamValue{{v, 0, 0, 0}}});
        host_->setKeyframes(control(scriptName), std::move(k));
        return *this;
    }
    // Every stage that changes the picture off: lens, blur, tone curve (Colour, B = C = 0), EM, scan
    // lines, shash, and frame dropping (Frame Rate 0). The output is then the source.
    Rig& neutral()
    {
        return set("lensEffect", 0)
            .set("blur", 0)
            .set("TVType", 1)
            .set("contrast", 0)
            .set("brightness", 0)
            .set("EMInterference", 0)
            .set("scanlineWidth", 1)
            .set("shashMax", 0)
            .set("framesPerSec", 0);
    }

    Image render(int frame, Depth d) { return host_->render(frame, d); }
    // The layer's frame as the host hands it to the module.
    const Image& source(int frame, Depth d) { return frame_(frame, d); }

private:
    const Image& frame_(int frame, Depth d)
    {
        auto key = std::make_pair(frame, int(d));
        auto it = frames_.find(key);
        if (it == frames_.end()) {
            Image img = Image::make(settings_.width, settings_.height, d);
            painter_(img, frame);
            it = frames_.emplace(key, std::move(img)).first;
        }
        return it->second;
    }

    std::unique_ptr<Host> host_;
    Painter painter_;
    HostSettings settings_;
    std::map<std::pair<int, int>, Image> frames_;
};

inline HostSettings layer(int w, int h, int frames = 1, bool smart = true)
{
    HostSettings s;
    s.width = w;
    s.height = h;
    s.frameCount = frames;
    s.smartPath = smart;
    return s;
}

// Every pixel of a frame set to one value.
inline Painter uniform(const std::function<Px(Depth, int frame)>& value)
{
    return [value](Image& img, int frame) {
        const Px v = value(img.depth, frame);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) setPixel(img, x, y, v);
    };
}

// A pattern over the whole range of the depth, different in every pixel and frame.
inline Painter pattern()
{
    return [](Image& img, int frame) {
        const double M = channelMax(img.depth);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                const double r = double((x * 37 + y * 11 + frame * 5) % 256) / 255.0;
                const double g = double((x * 13 + y * 29 + frame * 3) % 256) / 255.0;
                const double b = double((x * 7 + y * 3 + frame) % 256) / 255.0;
                Px v{M, r * M, g * M, b * M};
                if (img.depth != Depth::Float)
                    for (double& c : v) c = double(int64_t(c));
                setPixel(img, x, y, v);
            }
    };
}

// The render paths and depths a look is checked on: the legacy path has no float.
struct Case {
    bool smart;
    Depth depth;
};
inline std::vector<Case> everyCase()
{
    return {{true, Depth::Eight},
            {true, Depth::Sixteen},
            {true, Depth::Float},
            {false, Depth::Eight},
            {false, Depth::Sixteen}};
}
inline std::string caseName(const Case& c)
{
    return std::string(c.smart ? "smart " : "legacy ") + name(c.depth);
}

}  // namespace E2E
