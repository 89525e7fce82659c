#include "host/klAEPreset.h"

#include "host/klAEGlobals.h"
#include "host/klRenderInner.h"

#include <cstdio>
#include <memory>

namespace Kiln::AfterEffects::Preset {

using Wrapper::ParamKind;

std::string directoryOf(const char* resourcePath)
{
    const std::string path = resourcePath ? resourcePath : "";
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string fileName(const std::string& directory, const std::tm& t)
{
    char name[kNameLimit];
    const int n = std::snprintf(name, sizeof name, "%s//%02d%02d%02d_%02d%02d%02d.preset", directory.c_str(),
                                t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday, t.tm_mon, t.tm_year + 1900);
    // A cut name would write to some other file.
    if (n < 0 || size_t(n) >= sizeof name) return {};
    return name;
}

namespace {

template <class... Values>
std::string printed(const char* format, const std::string& name, Values... values)
{
    const int n = std::snprintf(nullptr, 0, format, name.c_str(), values...);
    if (n <= 0) return {};
    std::string text(size_t(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, name.c_str(), values...);
    text.pop_back();
    return text;
}

}  // namespace

std::string formatLine(ParamKind kind, const std::string& name, const double v[4])
{
    switch (kind) {
    case ParamKind::Bool: return printed("\tsetBoolParam(\"%s\",%d);\n", name, int(v[0]));
    case ParamKind::Double: return printed("\tsetDoubleParam(\"%s\",%f);\n", name, v[0]);
    case ParamKind::Int: return printed("\tsetIntParam(\"%s\",%d);\n", name, int(v[0]));
    case ParamKind::RGBColour:
        return printed("\tsetRGBParam(\"%s\",KlRGBColF(%f,%f,%f));\n", name, v[0], v[1], v[2]);
    case ParamKind::RGBAColour:
        return printed("\tsetRGBAParam(\"%s\",KlRGBAColF(%f,%f,%f,%f));\n", name, v[0], v[1], v[2], v[3]);
    case ParamKind::Double2: return printed("\tsetDoubleParam(\"%s\",HvVec2(%f,%f));\n", name, v[0], v[1]);
    case ParamKind::Scale: return printed("\tsetScaleParam(\"%s\",%f);\n", name, v[0]);
    case ParamKind::Angle: return printed("\tsetAngleParam(\"%s\",%f);\n", name, v[0]);
    default: return {};
    }
}

std::string presetText(Wrapper::Host& host, double time)
{
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [name, mapping] : host.mappings()) {
        double v[4] = {0, 0, 0, 0};
        switch (mapping.kind) {
        case ParamKind::Bool: v[0] = host.getBoolParam(name, time) ? 1 : 0; break;
        case ParamKind::Double: v[0] = host.getDoubleParam(name, time); break;
        case ParamKind::Int: v[0] = host.getIntParam(name, time); break;
        case ParamKind::RGBColour: {
            const KlRGBColF c = host.getRGBParam(name, time);
            v[0] = c.r, v[1] = c.g, v[2] = c.b;
            break;
        }
        case ParamKind::RGBAColour: {
            const KlRGBAColF c = host.getRGBAParam(name, time);
            v[0] = c.r, v[1] = c.g, v[2] = c.b, v[3] = c.a;
            break;
        }
        case ParamKind::Double2: {
            const HvVec2 p = host.get2DDoubleParam(name, time);
            v[0] = p.x, v[1] = p.y;
            break;
        }
        case ParamKind::Scale: v[0] = host.getScaleParam(name, time); break;
        case ParamKind::Angle: v[0] = host.getAngleParam(name, time); break;
        default:  // choices are not written
            continue;
        }
        text += formatLine(mapping.kind, name, v);
    }
    return text + kFooter + "\n";
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w+"), &std::fclose);
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && written;
}

std::string writePreset(Wrapper::Host& host, const char* resourcePath, const std::tm& localTime, double time)
{
    const std::string path = fileName(directoryOf(resourcePath), localTime);
    if (path.empty()) return {};
    const std::string text = presetText(host, time);
    return writeFile(path, text) ? path : std::string();
}

bool presetAsked(Wrapper::Host& host, double time)
{
    return host.hasParam(kSwitchName) && host.getParameterType(kSwitchName) == ParamKind::Bool &&
           host.getBoolParam(kSwitchName, time);
}

}  // namespace Kiln::AfterEffects::Preset

namespace Kiln::AfterEffects {

void writePresetIfAsked(Wrapper::Host& host, double time)
{
    if (!Preset::presetAsked(host, time)) return;
    PF_InData* in_data = host.inData();
    char path[260];
    resourcePath(in_data, path);
    if (path[0] == '\0' && in_data->utils && in_data->utils->get_platform_data) {
        in_data->utils->get_platform_data(in_data->effect_ref, PF_PlatData_RES_FILE_PATH, path);
        path[sizeof(path) - 1] = '\0';
    }
    // Without the module's path there is no directory to write into.
    if (path[0] == '\0') return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return;
    Preset::writePreset(host, path, local, time);
}

}  // namespace Kiln::AfterEffects
