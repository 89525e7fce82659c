#include "host/klAEWrapperHost.h"

#include "exceptions/klException.h"
#include "host/klAEConvert.h"
#include "host/klAEGlobals.h"
#include "host/klAERender.h"
#include "host/klAESuite.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace Kiln::AfterEffects::Wrapper {

namespace Ex = Kiln::Exceptions;
namespace AEx = Kiln::Exceptions::AfterEffects;
using Kiln::Param::KeySearch;

namespace {

constexpr const char* kHost = "Kiln::AfterEffects::Wrapper::Host::Host";

bool isKnownKind(int32_t kind)
{
    switch (static_cast<ParamKind>(kind)) {
    case ParamKind::Bool:
    case ParamKind::Double:
    case ParamKind::Int:
    case ParamKind::RGBColour:
    case ParamKind::RGBAColour:
    case ParamKind::Choice:
    case ParamKind::Double2:
    case ParamKind::Scale:
    case ParamKind::Angle: return true;
    }
    return false;
}

// Checks a keyframe call's result.
void checkStream(const char* function, const char* operation, const std::string& name, PF_Err err)
{
    if (err == PF_Interrupt_CANCEL) throw AEx::InterruptedCritical(function, __FILE__, __LINE__);
    if (err != PF_Err_NONE) throw AEx::ParamCheckoutFailed(function, __FILE__, __LINE__, operation, name);
}

void accumulate(double& sum, double v, double weight) { sum += v * weight; }
void accumulate(HvVec2& sum, const HvVec2& v, double weight)
{
    sum.x = static_cast<float>(sum.x + v.x * weight);
    sum.y = static_cast<float>(sum.y + v.y * weight);
}
double scaled(double v, double k) { return v * k; }
HvVec2 scaled(const HvVec2& v, double k)
{
    return {static_cast<float>(v.x * k), static_cast<float>(v.y * k)};
}
double difference(double a, double b) { return a - b; }
HvVec2 difference(const HvVec2& a, const HvVec2& b) { return {a.x - b.x, a.y - b.y}; }

A_long clampLong(A_long v, A_long lo, A_long hi) { return lo <= hi ? std::clamp(v, lo, hi) : v; }

}  // namespace

int32_t qualityResolver(const Host& host) { return host.highQuality() ? 2 : 1; }

// ---- construction -----------------------------------------------------------------------------

void Host::init(PF_InData* in_data, PF_OutData* out_data, const char* function)
{
    if (in_data == nullptr) throw Ex::NullPointer(function, __FILE__, __LINE__, "in_data");
    if (out_data == nullptr) throw Ex::NullPointer(function, __FILE__, __LINE__, "out_data");
    in_data_ = in_data;
    out_data_ = out_data;
}

Host::Host(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[])
{
    init(in_data, out_data, kHost);
    if (params == nullptr) throw Ex::NullPointer(kHost, __FILE__, __LINE__, "params");
    params_ = params;
}

Host::Host(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], const RenderWorlds& worlds)
{
    init(in_data, out_data, kHost);
    if (params == nullptr && !worlds.smart) throw Ex::NullPointer(kHost, __FILE__, __LINE__, "params");
    params_ = params;
    worlds_ = worlds;
    rendering_ = true;
}

Host::Host(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra)
{
    init(in_data, out_data, kHost);
    if (extra == nullptr || extra->output == nullptr)
        throw Ex::NullPointer(kHost, __FILE__, __LINE__, "output");
    preRender_ = true;
}

Host::~Host() = default;

// ---- mapping ----------------------------------------------------------------------------------

void Host::addParamMapping(int32_t index, const std::string& name, ParamKind kind)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::addParamMapping";
    if (index < 0) throw Ex::BadValue(kFunction, __FILE__, __LINE__, "index", index);
    if (!isKnownKind(static_cast<int32_t>(kind)))
        throw Ex::BadValue(kFunction, __FILE__, __LINE__, "kind", static_cast<int32_t>(kind));
    if (mappings_.count(name) != 0) throw AEx::ParameterAlreadyDefined(kFunction, __FILE__, __LINE__);
    mappings_[name] = ParamMapping{index, kind};
}

void Host::addParamMapping(int32_t index, const std::string& name, int32_t kind)
{
    addParamMapping(index, name, static_cast<ParamKind>(kind));
}

void Host::addPopupMapping(int32_t index, const std::string& name, PopupMap map)
{
    addParamMapping(index, name, ParamKind::Choice);
    popups_[name] = std::move(map);
}

void Host::addPopupMapping(int32_t index, const std::string& name, const std::vector<int32_t>& values)
{
    PopupMap map;
    for (size_t k = 0; k < values.size(); ++k) {
        const int32_t item = static_cast<int32_t>(k);
        map[item] =
            PopupEntry{values[k] == kResolveFromQuality ? &qualityResolver : nullptr, values[k], item};
    }
    addPopupMapping(index, name, std::move(map));
}

Clip& Host::addClipMapping(const std::string& name, int32_t index)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::addClipMapping";
    if (index < 0) throw Ex::BadValue(kFunction, __FILE__, __LINE__, "index", index);
    if (clips_.count(name) != 0) throw AEx::ClipAlreadyDefined(kFunction, __FILE__, __LINE__, name);
    auto clip = std::make_unique<Clip>(name, index, in_data_, out_data_, this);
    if (index == 0) {
        if (preRender_) {
            clip->setRegion(-kUnboundedRegion, -kUnboundedRegion, 3 * kUnboundedRegion, 3 * kUnboundedRegion);
        } else {
            const PF_EffectWorld* world = worlds_.input;
            if (world == nullptr && params_ != nullptr && params_[0] != nullptr) world = &params_[0]->u.ld;
            if (world != nullptr) {
                // Outside a render the frame is only looked at, never fetched: no need to ask the host.
                const PF_PixelFormat format =
                    rendering_ ? Convert::worldPixelFormat(in_data_, *world)
                               : ((world->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64
                                                                           : PF_PixelFormat_ARGB32);
                clip->setCurrentFrame(world, currentTime(), format);
            }
        }
    }
    Clip& result = *clip;
    clips_[name] = std::move(clip);
    return result;
}

const ParamMapping& Host::mapped(const char* function, const std::string& name) const
{
    auto it = mappings_.find(name);
    if (it == mappings_.end()) throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
    return it->second;
}

const ParamMapping& Host::mappedAs(const char* function, const std::string& name, const char* word,
                                   std::initializer_list<ParamKind> kinds) const
{
    const ParamMapping& m = mapped(function, name);
    if (std::find(kinds.begin(), kinds.end(), m.kind) == kinds.end())
        throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    return m;
}

int32_t Host::getParamID(const std::string& name) const
{
    return mapped("Kiln::AfterEffects::Wrapper::Host::getParamID", name).index;
}

const ParamMapping& Host::getParam(const std::string& name) const
{
    return mapped("Kiln::AfterEffects::Wrapper::Host::getParam", name);
}

ParamKind Host::getParameterType(const std::string& name) const
{
    return mapped("Kiln::AfterEffects::Wrapper::Host::getParameterType", name).kind;
}

Clip& Host::getClip(const std::string& name)
{
    auto it = clips_.find(name);
    if (it == clips_.end())
        throw Ex::Wrapper::ClipUndefined("Kiln::AfterEffects::Wrapper::Host::getClip", __FILE__, __LINE__,
                                         name);
    return *it->second;
}

int32_t Host::getClipID(const std::string& name) const
{
    auto it = clips_.find(name);
    if (it == clips_.end())
        throw Ex::Wrapper::ClipUndefined("Kiln::AfterEffects::Wrapper::Host::getClipID", __FILE__, __LINE__,
                                         name);
    return it->second->hostIndex();
}

int32_t Host::getForwardPopupMapping(const std::string& name, int32_t hostItem) const
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getForwardPopupMapping";
    auto map = popups_.find(name);
    if (map != popups_.end()) {
        auto entry = map->second.find(hostItem);
        if (entry != map->second.end())
            return entry->second.resolver ? entry->second.resolver(*this) : entry->second.value;
    }
    throw AEx::ForwardMappingUndefined(kFunction, __FILE__, __LINE__, hostItem, name);
}

int32_t Host::getBackwardPopupMapping(const std::string& name, int32_t value) const
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getBackwardPopupMapping";
    auto map = popups_.find(name);
    if (map != popups_.end()) {
        // Entries with fixed values first: a resolved entry stands for a value only by accident.
        for (const auto& [item, entry] : map->second)
            if (entry.resolver == nullptr && entry.value == value) return entry.hostItem;
    }
    throw AEx::BackwardMappingUndefined(kFunction, __FILE__, __LINE__, value, name);
}

// ---- render facts -----------------------------------------------------------------------------

double Host::nowFrames() const
{
    return Convert::hostTimeToFrames(in_data_->current_time, in_data_->time_step);
}
double Host::currentTime() { return nowFrames(); }
double Host::renderScaleX() { return Convert::rational(in_data_->downsample_x, 1.0); }
double Host::renderScaleY() { return Convert::rational(in_data_->downsample_y, 1.0); }
double Host::pixelAspectRatio() { return Convert::rational(in_data_->pixel_aspect_ratio, 1.0); }

double Host::frameRate()
{
    return in_data_->time_step != 0 ? static_cast<double>(in_data_->time_scale) / in_data_->time_step : 0.0;
}

int32_t Host::frameCount() const
{
    if (in_data_->time_step <= 0 || in_data_->total_time <= 0) return 0;
    return in_data_->total_time / in_data_->time_step;
}

bool Host::highQuality() const { return in_data_->quality == PF_Quality_HI; }
bool Host::abort() { return hostInterrupted(in_data_); }

// ---- reading ----------------------------------------------------------------------------------

Kiln::RefPtr<CheckinHandle> Host::checkoutAEParam(const char* function, const std::string& name,
                                                  int32_t index, double time) const
{
    if (in_data_->inter.checkout_param == nullptr)
        throw AEx::FeatureUnsupported(function, __FILE__, __LINE__, "checkout_param");
    Kiln::RefPtr<CheckinHandle> held(new CheckinHandle(in_data_));
    const PF_Err err = in_data_->inter.checkout_param(
        in_data_->effect_ref, index, Convert::framesToHostTime(time, in_data_->time_step),
        in_data_->time_step, in_data_->time_scale, &held->record());
    if (err == PF_Interrupt_CANCEL) throw AEx::InterruptedCritical(function, __FILE__, __LINE__);
    if (err != PF_Err_NONE) throw AEx::ParamCheckoutFailed(function, __FILE__, __LINE__, "checkout", name);
    held->armed();
    return held;
}

template <class F>
auto Host::readAt(const char* function, const std::string& name, const ParamMapping& m, PF_ParamType type,
                  const char* word, double time, F&& f) -> decltype(f(std::declval<const PF_ParamDef&>()))
{
    if (params_ != nullptr && time == currentTime()) {
        if (in_data_->num_params > 0 && m.index >= in_data_->num_params)
            throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
        const PF_ParamDef* def = params_[m.index];
        if (def == nullptr) throw Ex::NullPointer(function, __FILE__, __LINE__, "params");
        if (def->param_type != type) throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
        return f(*def);
    }
    // The copy is checked back in when `held` goes, on every path out of here.
    Kiln::RefPtr<CheckinHandle> held = checkoutAEParam(function, name, m.index, time);
    if (held->record().param_type != type) throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    return f(held->record());
}

bool Host::hasParam(const std::string& name) { return mappings_.count(name) != 0; }

double Host::getDoubleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getDoubleParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "float", {ParamKind::Double, ParamKind::Scale, ParamKind::Angle});
    if (m.kind == ParamKind::Angle)
        return readAt(kFunction, name, m, PF_Param_ANGLE, "float", time,
                      [](const PF_ParamDef& d) { return Convert::fixedToRadians(d.u.ad.value); });
    const bool scale = m.kind == ParamKind::Scale;
    return readAt(kFunction, name, m, PF_Param_FIX_SLIDER, "float", time, [scale](const PF_ParamDef& d) {
        return scale ? Convert::fixedToScale(d.u.fd.value) : Convert::fixedToDouble(d.u.fd.value);
    });
}

double Host::getScaleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getScaleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "scale", {ParamKind::Scale});
    return readAt(kFunction, name, m, PF_Param_FIX_SLIDER, "scale", time,
                  [](const PF_ParamDef& d) { return Convert::fixedToScale(d.u.fd.value); });
}

double Host::getAngleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getAngleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "angle", {ParamKind::Angle});
    return readAt(kFunction, name, m, PF_Param_ANGLE, "angle", time,
                  [](const PF_ParamDef& d) { return Convert::fixedToRadians(d.u.ad.value); });
}

int Host::getIntParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getIntParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "integer", {ParamKind::Int, ParamKind::Choice, ParamKind::Bool});
    switch (m.kind) {
    case ParamKind::Choice: {
        const int32_t item = readAt(kFunction, name, m, PF_Param_POPUP, "integer", time,
                                    [](const PF_ParamDef& d) { return d.u.pd.value; });
        return getForwardPopupMapping(name, item - 1);
    }
    case ParamKind::Bool:
        return readAt(kFunction, name, m, PF_Param_CHECKBOX, "integer", time,
                      [](const PF_ParamDef& d) { return d.u.bd.value != 0 ? 1 : 0; });
    default:
        return readAt(kFunction, name, m, PF_Param_SLIDER, "integer", time,
                      [](const PF_ParamDef& d) { return static_cast<int>(d.u.sd.value); });
    }
}

bool Host::getBoolParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getBoolParam";
    const ParamMapping& m = mappedAs(kFunction, name, "boolean", {ParamKind::Bool});
    return readAt(kFunction, name, m, PF_Param_CHECKBOX, "boolean", time,
                  [](const PF_ParamDef& d) { return d.u.bd.value != 0; });
}

KlRGBColF Host::getRGBParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getRGBParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "colour", {ParamKind::RGBColour, ParamKind::RGBAColour});
    return readAt(kFunction, name, m, PF_Param_COLOR, "colour", time, [](const PF_ParamDef& d) {
        const PF_Pixel& p = d.u.cd.value;
        return KlRGBColF(Convert::channelToFloat(p.red), Convert::channelToFloat(p.green),
                         Convert::channelToFloat(p.blue));
    });
}

KlRGBAColF Host::getRGBAParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getRGBAParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "colour", {ParamKind::RGBAColour, ParamKind::RGBColour});
    return readAt(kFunction, name, m, PF_Param_COLOR, "colour", time, [](const PF_ParamDef& d) {
        const PF_Pixel& p = d.u.cd.value;
        return KlRGBAColF(Convert::channelToFloat(p.red), Convert::channelToFloat(p.green),
                          Convert::channelToFloat(p.blue), Convert::channelToFloat(p.alpha));
    });
}

HvVec2 Host::get2DDoubleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::get2DDoubleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "2D", {ParamKind::Double2});
    return readAt(kFunction, name, m, PF_Param_POINT, "2D", time, [](const PF_ParamDef& d) {
        return HvVec2(static_cast<float>(Convert::fixedToDouble(d.u.td.x_value)),
                      static_cast<float>(Convert::fixedToDouble(d.u.td.y_value)));
    });
}

void Host::getStringParam(const std::string& name, std::string&, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getStringParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getStringParam");
}

HvBox2 Host::getRectDParam(const std::string& name, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getRectDParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getRectDParam");
}

KlRectI Host::getRectIParam(const std::string& name, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getRectIParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getRectIParam");
}

KlRotoShape Host::getRotoParam(const std::string& name, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getRotoParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getRotoParam");
}

KlColGradDescription Host::getGradParam(const std::string& name, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getGradParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getGradParam");
}

void Host::getLightParam(const std::string& name, Kiln::Param::LightDescription&, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getLightParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getLightParam");
}

void Host::getCameraParam(const std::string& name, Kiln::Param::CameraDescription&, double)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::getCameraParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "getCameraParam");
}

// ---- integrals --------------------------------------------------------------------------------

double Host::lastFrame() const
{
    const int32_t frames = frameCount();
    return frames > 0 ? static_cast<double>(frames - 1) : std::numeric_limits<double>::infinity();
}

bool Host::animated(const std::string& name)
{
    AcquiredSuite<AEGP_StreamSuite1> streams(in_data_, kAEGPStreamSuite, kAEGPStreamSuiteVersion1);
    if (!streams || streams->GetNumKeys == nullptr) return true;  // unknown: sample every frame
    A_long keys = 0;
    if (streams->GetNumKeys(in_data_->effect_ref, getParamID(name), &keys) != PF_Err_NONE) return true;
    return keys > 0;
}

template <class V, class Sample>
V Host::integrate(const char* function, double time0, double time1, bool constant, Sample&& sample)
{
    if (!std::isfinite(time0)) throw Ex::BadValue(function, __FILE__, __LINE__, "time0", time0);
    if (!std::isfinite(time1)) throw Ex::BadValue(function, __FILE__, __LINE__, "time1", time1);
    const double last = lastFrame();
    double lo = std::clamp(time0, 0.0, last);
    double hi = std::clamp(time1, 0.0, last);
    double sign = 1.0;
    if (hi < lo) {
        std::swap(lo, hi);
        sign = -1.0;
    }
    V sum{};
    if (hi == lo) return sum;
    // A value without keyframes is the same at every frame: one read instead of one per frame.
    if (constant) return scaled(sample(currentTime()), (hi - lo) * sign);
    for (double s = lo; s < hi;) {
        const double frame = std::floor(s);
        const double next = std::min(frame + 1.0, hi);
        accumulate(sum, sample(frame), next - s);
        s = next;
    }
    return scaled(sum, sign);
}

template <class V, class Sample>
V Host::differentiate(const char* function, double time, Sample&& sample)
{
    if (!std::isfinite(time)) throw Ex::BadValue(function, __FILE__, __LINE__, "time", time);
    const double last = lastFrame();
    const double frame = std::clamp(std::round(time), 0.0, last);
    const double lo = std::max(frame - 1.0, 0.0);
    const double hi = std::min(frame + 1.0, last);
    if (!(hi > lo)) return V{};
    return scaled(difference(sample(hi), sample(lo)), 1.0 / (hi - lo));
}

double Host::integrateDoubleParam(const std::string& name, double time0, double time1)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::integrateDoubleParam";
    mappedAs(kFunction, name, "float", {ParamKind::Double, ParamKind::Scale, ParamKind::Angle});
    return integrate<double>(kFunction, time0, time1, !animated(name),
                             [&](double t) { return getDoubleParam(name, t); });
}

double Host::integrateScaleParam(const std::string& name, double time0, double time1)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::integrateScaleParam";
    mappedAs(kFunction, name, "scale", {ParamKind::Scale});
    return integrate<double>(kFunction, time0, time1, !animated(name),
                             [&](double t) { return getScaleParam(name, t); });
}

HvVec2 Host::integrate2DDoubleParam(const std::string& name, double time0, double time1)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::integrate2DDoubleParam";
    mappedAs(kFunction, name, "2D", {ParamKind::Double2});
    return integrate<HvVec2>(kFunction, time0, time1, !animated(name),
                             [&](double t) { return get2DDoubleParam(name, t); });
}

double Host::differentiateDoubleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::differentiateDoubleParam";
    mappedAs(kFunction, name, "float", {ParamKind::Double, ParamKind::Scale, ParamKind::Angle});
    return differentiate<double>(kFunction, time, [&](double t) { return getDoubleParam(name, t); });
}

double Host::differentiateScaleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::differentiateScaleParam";
    mappedAs(kFunction, name, "scale", {ParamKind::Scale});
    return differentiate<double>(kFunction, time, [&](double t) { return getScaleParam(name, t); });
}

HvVec2 Host::differentiate2DDoubleParam(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::differentiate2DDoubleParam";
    mappedAs(kFunction, name, "2D", {ParamKind::Double2});
    return differentiate<HvVec2>(kFunction, time, [&](double t) { return get2DDoubleParam(name, t); });
}

// ---- writing ----------------------------------------------------------------------------------

PF_ParamDef& Host::writable(const char* function, const char* operation, const std::string& name,
                            const ParamMapping& m, PF_ParamType type, const char* word)
{
    if (params_ == nullptr) throw AEx::FeatureUnsupported(function, __FILE__, __LINE__, operation);
    if (in_data_->num_params > 0 && m.index >= in_data_->num_params)
        throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
    PF_ParamDef* def = params_[m.index];
    if (def == nullptr) throw Ex::NullPointer(function, __FILE__, __LINE__, "params");
    if (def->param_type != type) throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    return *def;
}

void Host::changed(int32_t index)
{
    params_[index]->change_flags |= PF_ChangeFlag_CHANGED_VALUE;
    out_data_->out_flags |= PF_OutFlag_REFRESH_UI;
    updateParamUI(index);
}

PF_Err Host::updateParamUI(int32_t index) const
{
    if (params_ == nullptr || index < 0 || (in_data_->num_params > 0 && index >= in_data_->num_params) ||
        params_[index] == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    AcquiredSuite<PF_ParamUtilsSuite1> utils(in_data_, kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1);
    if (!utils || utils->PF_UpdateParamUI == nullptr) return PF_Err_NONE;
    return utils->PF_UpdateParamUI(in_data_->effect_ref, index, params_[index]);
}

void Host::setDoubleParam(const std::string& name, double value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setDoubleParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "float", {ParamKind::Double, ParamKind::Scale, ParamKind::Angle});
    if (m.kind == ParamKind::Angle) {
        writable(kFunction, "setDoubleParam", name, m, PF_Param_ANGLE, "float").u.ad.value =
            Convert::radiansToFixed(value);
    } else {
        PF_FixedSliderDef& fd =
            writable(kFunction, "setDoubleParam", name, m, PF_Param_FIX_SLIDER, "float").u.fd;
        const PF_Fixed raw =
            m.kind == ParamKind::Scale ? Convert::scaleToFixed(value) : Convert::doubleToFixed(value);
        fd.value = clampLong(raw, fd.valid_min, fd.valid_max);
    }
    changed(m.index);
}

void Host::setScaleParam(const std::string& name, double value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setScaleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "scale", {ParamKind::Scale});
    PF_FixedSliderDef& fd = writable(kFunction, "setScaleParam", name, m, PF_Param_FIX_SLIDER, "scale").u.fd;
    fd.value = clampLong(Convert::scaleToFixed(value), fd.valid_min, fd.valid_max);
    changed(m.index);
}

void Host::setAngleParam(const std::string& name, double value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setAngleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "angle", {ParamKind::Angle});
    writable(kFunction, "setAngleParam", name, m, PF_Param_ANGLE, "angle").u.ad.value =
        Convert::radiansToFixed(value);
    changed(m.index);
}

void Host::setIntParam(const std::string& name, int value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setIntParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "integer", {ParamKind::Int, ParamKind::Choice, ParamKind::Bool});
    switch (m.kind) {
    case ParamKind::Choice: {
        const int32_t item = getBackwardPopupMapping(name, value);
        writable(kFunction, "setIntParam", name, m, PF_Param_POPUP, "integer").u.pd.value = item + 1;
        break;
    }
    case ParamKind::Bool:
        writable(kFunction, "setIntParam", name, m, PF_Param_CHECKBOX, "integer").u.bd.value =
            value != 0 ? 1 : 0;
        break;
    default: {
        PF_SliderDef& sd = writable(kFunction, "setIntParam", name, m, PF_Param_SLIDER, "integer").u.sd;
        sd.value = clampLong(value, sd.valid_min, sd.valid_max);
        break;
    }
    }
    changed(m.index);
}

void Host::setBoolParam(const std::string& name, bool value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setBoolParam";
    const ParamMapping& m = mappedAs(kFunction, name, "boolean", {ParamKind::Bool});
    writable(kFunction, "setBoolParam", name, m, PF_Param_CHECKBOX, "boolean").u.bd.value = value ? 1 : 0;
    changed(m.index);
}

void Host::setRGBParam(const std::string& name, const KlRGBColF& value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setRGBParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "colour", {ParamKind::RGBColour, ParamKind::RGBAColour});
    PF_Pixel& p = writable(kFunction, "setRGBParam", name, m, PF_Param_COLOR, "colour").u.cd.value;
    p.red = Convert::floatToChannel(value.r);
    p.green = Convert::floatToChannel(value.g);
    p.blue = Convert::floatToChannel(value.b);
    changed(m.index);
}

void Host::setRGBAParam(const std::string& name, const KlRGBAColF& value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setRGBAParam";
    const ParamMapping& m =
        mappedAs(kFunction, name, "colour", {ParamKind::RGBAColour, ParamKind::RGBColour});
    PF_Pixel& p = writable(kFunction, "setRGBAParam", name, m, PF_Param_COLOR, "colour").u.cd.value;
    p.red = Convert::floatToChannel(value.r);
    p.green = Convert::floatToChannel(value.g);
    p.blue = Convert::floatToChannel(value.b);
    p.alpha = Convert::floatToChannel(value.a);
    changed(m.index);
}

void Host::set2DDoubleParam(const std::string& name, const HvVec2& value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::set2DDoubleParam";
    const ParamMapping& m = mappedAs(kFunction, name, "2D", {ParamKind::Double2});
    PF_PointDef& td = writable(kFunction, "set2DDoubleParam", name, m, PF_Param_POINT, "2D").u.td;
    td.x_value = Convert::doubleToFixed(value.x);
    td.y_value = Convert::doubleToFixed(value.y);
    changed(m.index);
}

void Host::setStringParam(const std::string& name, const std::string&)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setStringParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setStringParam");
}

void Host::setRectDParam(const std::string& name, const HvBox2&)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setRectDParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setRectDParam");
}

void Host::setRectIParam(const std::string& name, const KlRectI&)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setRectIParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setRectIParam");
}

void Host::setRotoParam(const std::string& name, const KlRotoShape&)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setRotoParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setRotoParam");
}

void Host::setGradParam(const std::string& name, const KlColGradDescription&)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setGradParam";
    mapped(kFunction, name);
    throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setGradParam");
}

void Host::setParam(const std::string& name, double value)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setParam";
    switch (mapped(kFunction, name).kind) {
    case ParamKind::Bool: return setBoolParam(name, value != 0.0);
    case ParamKind::Int:
    case ParamKind::Choice: return setIntParam(name, Convert::truncToLong(value));
    case ParamKind::Scale: return setScaleParam(name, value);
    case ParamKind::Double:
    case ParamKind::Angle: return setDoubleParam(name, value);
    default: throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "setParam");
    }
}

void Host::setHost(Kiln::Param::NamedParamSetI* host)
{
    if (host != nullptr)
        throw AEx::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Host::setHost", __FILE__, __LINE__,
                                      "setHost");
}

// ---- keyframes --------------------------------------------------------------------------------

template <class F>
void Host::withStreams(const char* function, const char* operation, const std::string& name, F&& f)
{
    const ParamMapping& m = mapped(function, name);
    AcquiredSuite<AEGP_StreamSuite1> streams(in_data_, kAEGPStreamSuite, kAEGPStreamSuiteVersion1);
    if (!streams) throw AEx::FeatureUnsupported(function, __FILE__, __LINE__, operation);
    f(*streams.get(), m.index);
}

std::vector<double> Host::keyTimes(const char* function, const char* operation, const std::string& name)
{
    std::vector<double> times;
    withStreams(function, operation, name, [&](const AEGP_StreamSuite1& s, int32_t index) {
        if (s.GetNumKeys == nullptr || s.GetKeyTime == nullptr)
            throw AEx::FeatureUnsupported(function, __FILE__, __LINE__, operation);
        A_long keys = 0;
        checkStream(function, operation, name, s.GetNumKeys(in_data_->effect_ref, index, &keys));
        for (A_long k = 0; k < keys; ++k) {
            A_long time = 0;
            A_u_long scale = 0;
            checkStream(function, operation, name,
                        s.GetKeyTime(in_data_->effect_ref, index, k, &time, &scale));
            // Into the call's time scale, then into frames.
            const double hostTime = scale != 0 ? double(time) * in_data_->time_scale / scale : double(time);
            times.push_back(Convert::hostTimeToFrames(hostTime, in_data_->time_step));
        }
    });
    return times;
}

int Host::paramNumKeys(const std::string& name)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramNumKeys";
    A_long keys = 0;
    withStreams(kFunction, "paramNumKeys", name, [&](const AEGP_StreamSuite1& s, int32_t index) {
        if (s.GetNumKeys == nullptr)
            throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "paramNumKeys");
        checkStream(kFunction, "paramNumKeys", name, s.GetNumKeys(in_data_->effect_ref, index, &keys));
    });
    return keys;
}

bool Host::paramIsAnimating(const std::string& name) { return paramNumKeys(name) > 0; }

double Host::paramKeyTime(const std::string& name, int keyIndex)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramKeyTime";
    const std::vector<double> times = keyTimes(kFunction, "paramKeyTime", name);
    if (keyIndex < 0 || keyIndex >= static_cast<int>(times.size()))
        throw Ex::BadValue(kFunction, __FILE__, __LINE__, "keyIndex", keyIndex);
    return times[size_t(keyIndex)];
}

int Host::paramFindKey(const std::string& name, double time, KeySearch search)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramFindKey";
    const std::vector<double> times = keyTimes(kFunction, "paramFindKey", name);
    int found = -1;
    for (int k = 0; k < static_cast<int>(times.size()); ++k) {
        const double t = times[size_t(k)];
        switch (search) {
        case KeySearch::Previous:
            if (t < time) found = k;
            break;
        case KeySearch::Next:
            if (t > time && found < 0) found = k;
            break;
        case KeySearch::AtOrNearest:
            if (found < 0 || std::fabs(t - time) < std::fabs(times[size_t(found)] - time)) found = k;
            break;
        }
    }
    return found;
}

void Host::paramSetKey(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramSetKey";
    withStreams(kFunction, "paramSetKey", name, [&](const AEGP_StreamSuite1& s, int32_t index) {
        if (s.SetKey == nullptr) throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "paramSetKey");
        checkStream(kFunction, "paramSetKey", name,
                    s.SetKey(in_data_->effect_ref, index,
                             Convert::framesToHostTime(time, in_data_->time_step), in_data_->time_scale));
    });
}

void Host::paramDeleteKey(const std::string& name, int keyIndex)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramDeleteKey";
    withStreams(kFunction, "paramDeleteKey", name, [&](const AEGP_StreamSuite1& s, int32_t index) {
        if (s.DeleteKey == nullptr)
            throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "paramDeleteKey");
        checkStream(kFunction, "paramDeleteKey", name, s.DeleteKey(in_data_->effect_ref, index, keyIndex));
    });
}

void Host::paramDeleteKey(const std::string& name, double time)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramDeleteKey";
    const std::vector<double> times = keyTimes(kFunction, "paramDeleteKey", name);
    for (int k = 0; k < static_cast<int>(times.size()); ++k)
        if (std::fabs(times[size_t(k)] - time) < 1e-6) return paramDeleteKey(name, k);
}

void Host::paramDeleteAllKeys(const std::string& name)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::paramDeleteAllKeys";
    withStreams(kFunction, "paramDeleteAllKeys", name, [&](const AEGP_StreamSuite1& s, int32_t index) {
        if (s.DeleteAllKeys == nullptr)
            throw AEx::FeatureUnsupported(kFunction, __FILE__, __LINE__, "paramDeleteAllKeys");
        checkStream(kFunction, "paramDeleteAllKeys", name, s.DeleteAllKeys(in_data_->effect_ref, index));
    });
}

// ---- other ------------------------------------------------------------------------------------

void Host::sendMessage(const std::string& text) { showMessage(out_data_, text.c_str()); }

void Host::setFramesNeeded(double, double)
{
    throw AEx::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Host::setFramesNeeded", __FILE__, __LINE__,
                                  "setFramesNeeded");
}

void Host::setInstanceData(PF_Handle objects)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::setInstanceData";
    PF_Handle h = in_data_->sequence_data;
    if (h == nullptr || handleSize(in_data_, h, sizeof(SequenceData)) < sizeof(SequenceData))
        throw AEx::NullSequenceData(kFunction, __FILE__, __LINE__);
    auto* block = static_cast<SequenceData*>(lockHandle(in_data_, h));
    if (block == nullptr || block->state != SequenceLive) {
        if (block) unlockHandle(in_data_, h);
        throw AEx::NullSequenceData(kFunction, __FILE__, __LINE__);
    }
    block->objects = objects;
    unlockHandle(in_data_, h);
}

template <class Px>
void Host::fetchOutputImage(KlTexture<Px>& texture)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Host::fetchOutputImageRaw";
    constexpr PF_PixelFormat wanted = Convert::pixelFormatFor<Px>();
    if constexpr (wanted == PF_PixelFormat_INVALID) {
        throw Ex::Wrapper::FetchImageFailed(kFunction, __FILE__, __LINE__,
                                            "fetchOutputImageRaw, unknown texture pixel type");
    } else {
        const PF_EffectWorld* out = worlds_.output;
        if (out == nullptr) throw Ex::NullPointer(kFunction, __FILE__, __LINE__, "Output");
        if (Convert::worldPixelFormat(in_data_, *out) != wanted)
            throw Ex::Wrapper::FetchImageFailed(kFunction, __FILE__, __LINE__, "texture wrong template");
        // The extent hint (layer coordinates) names the part to fill; one that is empty or leaves the
        // world asks for all of it.
        const PF_Rect& hint = out->extent_hint;
        const A_long l = hint.left - out->origin_x, t = hint.top - out->origin_y;
        const A_long r = hint.right - out->origin_x, b = hint.bottom - out->origin_y;
        const bool part = l >= 0 && t >= 0 && r <= out->width && b <= out->height && l < r && t < b;
        auto* first = static_cast<char*>(out->data);
        if (part) first += ptrdiff_t(t) * out->rowbytes + ptrdiff_t(l) * ptrdiff_t(sizeof(Px));
        texture = part ? KlTexture<Px>(reinterpret_cast<Px*>(first), r - l, b - t, out->rowbytes, hint.left,
                                       hint.top)
                       : KlTexture<Px>(static_cast<Px*>(out->data), out->width, out->height, out->rowbytes,
                                       out->origin_x, out->origin_y);
    }
}

template void Host::fetchOutputImage<Kiln::PixARGB8>(KlTexture<Kiln::PixARGB8>&);
template void Host::fetchOutputImage<Kiln::PixARGB16>(KlTexture<Kiln::PixARGB16>&);
template void Host::fetchOutputImage<Kiln::PixARGBF>(KlTexture<Kiln::PixARGBF>&);

}  // namespace Kiln::AfterEffects::Wrapper
