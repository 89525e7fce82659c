// The frei0r entry points of watchcam.so. Nothing escapes into the host: every failure becomes a
// refused value, a null instance or an output that holds the input, with one line on standard error
// (once per instance and cause, as hosts set parameters and filter frames many times a second).
//
// Time. frei0r hands the time in seconds; FFmpeg's frei0r filter (5.1) hands milliseconds. The unit is
// told by where the call comes from: a caller inside libavfilter (or a static ffmpeg/ffplay) means
// milliseconds.
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
#include <new>
#include <string>
#include <string_view>

namespace {

using namespace Kiln::Frei0r;

struct FilterInstance {
    FilterInstance(int32_t width, int32_t height) : instance(width, height) { }
    Instance instance;
    double secondsPerUnit = 0.0;  // 0: not known yet
    std::bitset<kParamCount> warned;
    std::string lastFailure;
};

void say(const std::string& text) { std::fprintf(stderr, "watchcam (frei0r): %s\n", text.c_str()); }

double secondsPerUnit(const void* caller)
{
    Dl_info info{};
    if (caller != nullptr && dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
        std::string_view file(info.dli_fname);
        if (const size_t slash = file.rfind('/'); slash != std::string_view::npos)
            file.remove_prefix(slash + 1);
        if (file.substr(0, 11) == "libavfilter" || file == "ffmpeg" || file == "ffplay") return 0.001;
    }
    return 1.0;
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
    if (width == 0 || height == 0 || width > 65536 || height > 65536) {
        say("frames of " + std::to_string(width) + "x" + std::to_string(height) +
            " cannot be filtered: each side must be 1 to 65536");
        return nullptr;
    }
    try {
        return new FilterInstance(int32_t(width), int32_t(height));
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
        if (f->instance.values().set(index, param)) {
            f->warned.reset(size_t(index));
            return;
        }
        if (f->warned.test(size_t(index))) return;
        f->warned.set(size_t(index));
        const ParamSpec& p = kParams[size_t(index)];
        // What it keeps, in the same form as what was offered.
        double number = 0.0;
        f0r_param_color_t colour{};
        const char* text = nullptr;
        void* now = p.type == ParamType::Colour   ? static_cast<void*>(&colour)
                    : p.type == ParamType::String ? static_cast<void*>(&text)
                                                  : static_cast<void*>(&number);
        f->instance.values().get(index, now);
        std::string kept = offered(p, now);
        if (p.type == ParamType::String) kept += std::string(" (one of ") + controlOf(p)->choices + ")";
        const std::string given = param == nullptr ? "no value" : offered(p, param);
        say(std::string("parameter ") + p.name + ": " + given + " refused; it stays " + kept);
    } catch (...) {
        // A message that cannot be made is no reason to stop the host.
    }
}

KL_F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index)
{
    const auto* f = static_cast<const FilterInstance*>(instance);
    if (f == nullptr) return;
    f->instance.values().get(index, param);
}

KL_F0R_EXPORT void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe,
                              uint32_t* outframe)
{
    const void* caller = __builtin_return_address(0);
    auto* f = static_cast<FilterInstance*>(instance);
    if (f == nullptr) return;
    try {
        if (f->secondsPerUnit == 0.0) f->secondsPerUnit = secondsPerUnit(caller);
        const std::string failure = f->instance.update(time * f->secondsPerUnit, inframe, outframe);
        if (!failure.empty() && failure != f->lastFailure) say("frame not filtered: " + failure);
        f->lastFailure = failure;
    } catch (...) {
        // update reports its own failures; this is only the message's memory running out.
    }
}

}  // extern "C"
