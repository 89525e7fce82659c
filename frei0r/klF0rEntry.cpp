// The frei0r entry points of watchcam.so. Nothing escapes into the host: every failure becomes a
// refused value, a null instance or an output that holds the input, with one line on standard error
// (once per instance and cause, as hosts set parameters and filter frames many times a second).
//
// Time. frei0r hands the time in seconds; FFmpeg's frei0r filter (5.1) hands milliseconds. The unit is
// told by where the calls come from: a caller inside libavfilter (or a static ffmpeg/ffplay) means
// milliseconds. The same caller hands rows padded to 64 bytes (frei0r has no row stride), so a width
// that is not a multiple of 16 gets a warning with the way round it.
#include "frei0r/klF0rInstance.h"
#include "frei0r/klF0rParams.h"

// The header declares the entry points without C linkage.
extern "C" {
#include <frei0r.h>
}

#include <dlfcn.h>

#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

namespace {

using namespace Kiln::Frei0r;

struct FilterInstance {
    FilterInstance(int32_t width, int32_t height, double unit) : instance(width, height), secondsPerUnit(unit)
    { }
    Instance instance;
    const double secondsPerUnit;
    // Messages once per cause, whichever thread meets it.
    std::mutex said;
    std::bitset<kParamCount> warned;
    std::string lastFailure;
};

void say(const std::string& text) { std::fprintf(stderr, "watchcam (frei0r): %s\n", text.c_str()); }

bool calledByFFmpeg(const void* caller)
{
    Dl_info info{};
    if (caller != nullptr && dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
        std::string_view file(info.dli_fname);
        if (const size_t slash = file.rfind('/'); slash != std::string_view::npos)
            file.remove_prefix(slash + 1);
        return file.substr(0, 11) == "libavfilter" || file == "ffmpeg" || file == "ffplay";
    }
    return false;
}

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The value a host offered, as text for a message.
std::string offered(const ParamSpec& p, const void* value)
{
    char text[96];
    switch (p.type) {
    case ParamType::Bool:
    case ParamType::Double: std::snprintf(text, sizeof text, "%g", *static_cast<const double*>(value)); break;
    case ParamType::Colour: {
        const auto* c = static_cast<const f0r_param_color_t*>(value);
        std::snprintf(text, sizeof text, "%g,%g,%g", double(c->r), double(c->g), double(c->b));
        break;
    }
    case ParamType::String: {
        // A few characters of a long text, as the command line quotes them: a host may hand megabytes.
        const char* s = *static_cast<const char* const*>(value);
        if (s == nullptr) return "no text";
        const size_t length = std::strlen(s);
        if (length <= 60) return "\"" + std::string(s) + "\"";
        return "\"" + std::string(s, 24) + "...\" (" + std::to_string(length) + " characters)";
    }
    }
    return text;
}

}  // namespace

// The entry points are the only symbols the module shows (klExports.map).
#define KL_F0R_EXPORT __attribute__((visibility("default")))

extern "C" {

KL_F0R_EXPORT int f0r_init(void)
{
    installHeapMemory();
    return 1;
}

KL_F0R_EXPORT void f0r_deinit(void) { }

KL_F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info)
{
    if (info == nullptr) return;
    info->name = "watchcam";
    info->author = "Q_Watchcam";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = KL_VERSION_MAJOR;
    info->minor_version = KL_VERSION_MINOR;
    info->num_params = kParamCount;
    info->explanation = "Security camera footage on a worn monitor";
}

KL_F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int index)
{
    if (info == nullptr || index < 0 || index >= kParamCount) return;
    info->name = kParams[size_t(index)].name;
    info->type = int(kParams[size_t(index)].type);
    info->explanation = explanation(index);
}

KL_F0R_EXPORT f0r_instance_t f0r_construct(unsigned int width, unsigned int height)
{
    const void* caller = __builtin_return_address(0);
    if (width == 0 || height == 0 || width > 65536 || height > 65536) {
        say("frames of " + std::to_string(width) + "x" + std::to_string(height) +
            " cannot be filtered: each side must be 1 to 65536");
        return nullptr;
    }
    try {
        const bool ffmpeg = calledByFFmpeg(caller);
        if (ffmpeg && width % 16 != 0) {
            const std::string w = std::to_string(width), h = std::to_string(height);
            say("FFmpeg pads the rows of frames " + w + " wide and frei0r filters cannot see the padding: " +
                "the picture comes out skewed. Pad the width to a multiple of 16 and crop back: " +
                "-vf \"pad=ceil(iw/16)*16:ih,frei0r=watchcam,crop=" + w + ":" + h + ":0:0\"");
        }
        return new FilterInstance(int32_t(width), int32_t(height), ffmpeg ? 0.001 : 1.0);
    } catch (...) {
        say("no memory for a new instance");
        return nullptr;
    }
}

KL_F0R_EXPORT void f0r_destruct(f0r_instance_t instance) { delete static_cast<FilterInstance*>(instance); }

KL_F0R_EXPORT void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index)
{
    auto* f = static_cast<FilterInstance*>(instance);
    if (f == nullptr || index < 0 || index >= kParamCount) return;
    try {
        const Instance::SetResult result = f->instance.set(index, param);
        const std::lock_guard<std::mutex> lock(f->said);
        if (result == Instance::SetResult::Set) {
            f->warned.reset(size_t(index));
            return;
        }
        if (f->warned.test(size_t(index))) return;
        f->warned.set(size_t(index));
        const ParamSpec& p = kParams[size_t(index)];
        // What it keeps, in the same form as what was offered.
        double kept = 0.0;
        f0r_param_color_t colour{};
        const char* text = nullptr;
        void* now = p.type == ParamType::Colour   ? static_cast<void*>(&colour)
                    : p.type == ParamType::String ? static_cast<void*>(&text)
                                                  : static_cast<void*>(&kept);
        f->instance.get(index, now);
        const std::string given = param == nullptr ? "no value" : offered(p, param);
        if (result == Instance::SetResult::Clamped) {
            const double span = p.high - p.low;
            say(std::string("parameter ") + p.name + ": " + given + " is beyond " +
                number((p.validLow - p.low) / span) + ".." + number((p.validHigh - p.low) / span) + " (" +
                number(p.validLow) + ".." + number(p.validHigh) + "); clamped to " + number(kept) + " (" +
                number(p.low + kept * span) + ")");
            return;
        }
        std::string keeps = offered(p, now);
        if (p.type == ParamType::String) keeps += std::string(" (one of ") + controlOf(p)->choices + ")";
        say(std::string("parameter ") + p.name + ": " + given + " refused; it stays " + keeps);
    } catch (...) {
        // A message that cannot be made is no reason to stop the host.
    }
}

KL_F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index)
{
    const auto* f = static_cast<const FilterInstance*>(instance);
    if (f == nullptr) return;
    f->instance.get(index, param);
}

KL_F0R_EXPORT void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe,
                              uint32_t* outframe)
{
    auto* f = static_cast<FilterInstance*>(instance);
    if (f == nullptr) return;
    try {
        const std::string failure = f->instance.update(time * f->secondsPerUnit, inframe, outframe);
        const std::lock_guard<std::mutex> lock(f->said);
        if (!failure.empty() && failure != f->lastFailure) say("frame not filtered: " + failure);
        f->lastFailure = failure;
    } catch (...) {
        // update reports its own failures; this is only the message's memory running out.
    }
}

}  // extern "C"
