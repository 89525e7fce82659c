#include "runner/klRunnerImpl.h"
#include "runner/klRunnerValues.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <sstream>
#include <utility>

namespace Kiln::Runner {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

bool isRenderCommand(PF_Cmd cmd)
{
    return cmd == PF_Cmd_RENDER || cmd == PF_Cmd_SMART_PRE_RENDER || cmd == PF_Cmd_SMART_RENDER ||
           cmd == PF_Cmd_FRAME_SETUP || cmd == PF_Cmd_FRAME_SETDOWN;
}

bool sameFrame(double a, double b) { return std::fabs(a - b) <= 1e-9; }

A_short bitDepthOf(Depth d) { return d == Depth::Eight ? 8 : d == Depth::Sixteen ? 16 : 32; }

void checkSettings(const HostSettings& s)
{
    std::string bad;
    if (s.width <= 0 || s.height <= 0 || s.width > 65536 || s.height > 65536)
        bad = "the layer size " + std::to_string(s.width) + " x " + std::to_string(s.height) +
              " is not between 1 and 65536 on each side";
    else if (s.frameCount < 1)
        bad = "the frame count " + std::to_string(s.frameCount) + " is below 1";
    else if (s.timeScale <= 0 || s.timeStep <= 0)
        bad = "the time scale and time step must be positive";
    else if (double(s.frameCount) * s.timeStep > 2147483647.0)
        bad = "the clip is too long for the host's time";
    else if (!(s.downsampleX > 0 && s.downsampleX <= 1 && s.downsampleY > 0 && s.downsampleY <= 1))
        bad = "downsample factors must be above 0 and at most 1";
    else if (!(s.pixelAspect > 0 && std::isfinite(s.pixelAspect)))
        bad = "the pixel aspect must be positive";
    else if (s.specMajor < 0 || s.specMajor > 32767 || s.specMinor < 0 || s.specMinor > 32767)
        bad = "the host API version is out of range";
    if (!bad.empty()) throw RunnerError("Kiln::Runner::Host::Host: " + bad);
}

}  // namespace

namespace {

void describe(PF_EffectWorld& pw, const Image& image, PF_RationalScale pixelAspect, HostWorld* owner)
{
    pw.world_flags = image.depth == Depth::Sixteen ? PF_WorldFlag_DEEP : 0;
    // A view's pixels belong to the frame source; the module reads them and never writes them.
    pw.data = const_cast<uint8_t*>(image.pixels.data());
    pw.rowbytes = A_long(image.rowBytes);
    pw.width = image.width;
    pw.height = image.height;
    pw.extent_hint = PF_Rect{0, 0, pw.width, pw.height};
    pw.pix_aspect_ratio = pixelAspect;
    pw.pixel_format = pixelFormatOf(image.depth);
    pw.host_reserved = owner;
}

}  // namespace

std::unique_ptr<HostWorld> makeWorld(Image image, PF_RationalScale pixelAspect)
{
    auto w = std::make_unique<HostWorld>();
    w->image = std::move(image);
    describe(w->world, w->image, pixelAspect, w.get());
    return w;
}

std::unique_ptr<HostWorld> viewWorld(const Image& frame, PF_RationalScale pixelAspect)
{
    auto w = std::make_unique<HostWorld>();
    describe(w->world, frame, pixelAspect, w.get());
    return w;
}

bool ControlInfo::animatable() const { return hasValue(type) && !(flags & PF_ParamFlag_CANNOT_TIME_VARY); }

// ---- Impl ----------------------------------------------------------------------------------------

Host::Impl::Impl(Module& m, const HostSettings& s)
    : module(m), settings(s), kept(s.keptMemory), specMajor(s.specMajor), specMinor(s.specMinor),
      applId(kRunnerApplId), headless(s.headless)
{
    installCallbacks(*this);
    registerHost(this);
}

Host::Impl::~Impl()
{
    unregisterHost(this);
    disposeHandlesOf(this);
}

std::string Host::Impl::who() const
{
    const char* name = module.registration().name;
    return std::string("module \"") + (name ? name : module.path().c_str()) + "\"";
}

double Host::Impl::frameOfTime(A_long time, A_u_long scale) const
{
    return double(time) / double(scale) * double(settings.timeScale) / double(settings.timeStep);
}

void Host::Impl::fail(const std::string& message)
{
    if (pendingError.empty()) pendingError = message;
}

PF_Err Host::Impl::failWithCurrentException()
{
    if (!pendingException) pendingException = std::current_exception();
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (...) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
}

ParamValue Host::Impl::valueAt(int index, double at) const
{
    const ControlState& s = states[size_t(index)];
    return s.keys.empty() ? s.value : interpolate(controls[size_t(index)].type, s.keys, at);
}

std::vector<PF_ParamDef> Host::Impl::paramsAt(double at, const PF_EffectWorld* layer) const
{
    std::vector<PF_ParamDef> defs(controls.size());
    for (size_t i = 0; i < controls.size(); ++i) {
        PF_ParamDef& d = defs[i];
        d = controls[i].def;
        d.uu_id = A_long(i);
        d.change_flags = 0;
        d.ui_flags = controls[i].uiFlags;
        if (i == 0)
            d.u.ld = layer ? *layer : PF_LayerDef{};
        else if (hasValue(d.param_type))
            storeDisplayValue(d, valueAt(int(i), at));
    }
    return defs;
}

void Host::Impl::adoptValue(int index, const PF_ParamDef& def, double at)
{
    const ControlInfo& c = controls[size_t(index)];
    if (!hasValue(c.type) || def.param_type != c.type) return;
    // Compare as records: a value the module merely read back must not turn into a key.
    PF_ParamDef current = c.def;
    storeDisplayValue(current, valueAt(index, at));
    const ParamValue now = displayValueOf(current), wanted = displayValueOf(def);
    if (now == wanted) return;
    ControlState& s = states[size_t(index)];
    if (s.keys.empty()) {
        s.value = wanted;
        return;
    }
    auto it =
        std::find_if(s.keys.begin(), s.keys.end(), [&](const Keyframe& k) { return k.first >= at - 1e-9; });
    if (it != s.keys.end() && sameFrame(it->first, at))
        it->second = wanted;
    else
        s.keys.insert(it, Keyframe{at, wanted});
}

std::unique_ptr<HostWorld> Host::Impl::layerWorld(double at, Depth d)
{
    // Times outside the clip hold its first or last frame.
    const int f = std::clamp(int(std::floor(at + 1e-9)), 0, settings.frameCount - 1);
    const PF_RationalScale par = toRational(settings.pixelAspect);
    if (!frameSource) {
        Image& blank = blankLayer[int(d)];
        if (blank.pixels.empty()) blank = Image::make(settings.width, settings.height, d);
        return viewWorld(blank, par);
    }
    const Image& src = frameSource(f, d);
    if (src.width != settings.width || src.height != settings.height || src.depth != d ||
        src.rowBytes < size_t(src.width) * bytesPerPixel(d) ||
        src.pixels.size() < src.rowBytes * size_t(src.height)) {
        std::ostringstream s;
        s << "Kiln::Runner::Host: the frame source gave frame " << f << " as " << src.width << " x "
          << src.height << " at depth " << depthName(src.depth) << " where the layer is " << settings.width
          << " x " << settings.height << " at depth " << depthName(d);
        throw RunnerError(s.str());
    }
    // The frame stays valid until the render returns, as a real host's cached frame does: no copy.
    return viewWorld(src, par);
}

A_long Host::Impl::invoke(PF_Cmd cmd, double at, std::vector<PF_ParamDef>* params, PF_EffectWorld* out,
                          void* extra)
{
    PF_InData in{};
    in.inter = inter;
    in.utils = &utils;
    in.effect_ref = effectRef();
    in.quality = settings.highQuality ? PF_Quality_HI : PF_Quality_LO;
    in.version = PF_SpecVersion{A_short(specMajor), A_short(specMinor)};
    in.appl_id = applId;
    in.num_params = A_long(controls.size());
    in.current_time = A_long(std::llround(at * settings.timeStep));
    in.time_step = settings.timeStep;
    in.total_time = settings.frameCount * settings.timeStep;
    in.time_scale = A_u_long(settings.timeScale);
    in.width = settings.width;
    in.height = settings.height;
    in.extent_hint = out ? out->extent_hint : PF_Rect{0, 0, settings.width, settings.height};
    in.downsample_x = toRational(settings.downsampleX);
    in.downsample_y = toRational(settings.downsampleY);
    in.pixel_aspect_ratio = toRational(settings.pixelAspect);
    in.global_data = globalData;
    in.sequence_data = sequenceData;
    in.pica_basicP = &basic;

    PF_OutData outData{};
    outData.global_data = globalData;
    outData.sequence_data = sequenceData;
    outData.num_params = A_long(controls.size());
    outData.width = settings.width;
    outData.height = settings.height;

    std::vector<PF_ParamDef*> pointers;
    if (params) {
        for (PF_ParamDef& d : *params) pointers.push_back(&d);
        pointers.push_back(nullptr);
    }

    frame = at;
    pendingError.clear();
    pendingException = nullptr;
    cancelAnswered = false;
    log.push_back(cmd);
    A_long result;
    {
        CurrentHostScope scope(this);
        result = module.entry()(cmd, &in, &outData, params ? pointers.data() : nullptr, out, extra);
    }
    outData.return_msg[sizeof(outData.return_msg) - 1] = '\0';
    lastMessage = outData.return_msg;
    globalData = outData.global_data;
    sequenceData = outData.sequence_data;
    if (cmd == PF_Cmd_GLOBAL_SETUP) {
        outFlags = outData.out_flags;
        outFlags2 = outData.out_flags2;
        myVersion = outData.my_version;
    }
    if (cmd == PF_Cmd_PARAMS_SETUP && result == PF_Err_NONE && outData.num_params != A_long(controls.size()))
        fail(who() + " declared " + std::to_string(controls.size()) +
             " parameters (the input layer included) but set num_params to " +
             std::to_string(outData.num_params));
    // Values the module changed in the array outside a render become the controls' values.
    if (params && !isRenderCommand(cmd))
        for (size_t i = 1; i < params->size(); ++i)
            if ((*params)[i].change_flags & PF_ChangeFlag_CHANGED_VALUE) adoptValue(int(i), (*params)[i], at);
    return result;
}

void Host::Impl::check(A_long result, PF_Cmd cmd, double at, bool render)
{
    std::ostringstream where;
    where << who() << " failed " << commandName(cmd);
    if (render) where << " at frame " << at;
    // The frame source's own failure reaches the caller unchanged.
    if (pendingException) std::rethrow_exception(std::exchange(pendingException, nullptr));
    if (!pendingError.empty()) throw RunnerError(where.str() + ": " + pendingError);
    if (result == PF_Interrupt_CANCEL || (render && cancelAnswered))
        throw RenderCancelled(who() + ": " + commandName(cmd) + " cancelled");
    if (result != PF_Err_NONE)
        throw RunnerError(where.str() + ": " +
                          (lastMessage.empty() ? "error code " + std::to_string(result) : lastMessage));
}

void Host::Impl::endCall()
{
    phase = Phase::None;
    layerRequests.clear();
    // Pixels the module did not check in stay counted in liveLayerCheckouts.
    layerPixels.clear();
    output = nullptr;
}

void Host::Impl::declare(const PF_ParamDef& def)
{
    ControlInfo c;
    c.index = int(controls.size());
    c.type = def.param_type;
    c.def = def;
    c.def.u.bd.nameptr = nullptr;
    c.label = std::string(def.name, strnlen(def.name, sizeof(def.name)));
    c.flags = def.flags;
    c.uiFlags = def.ui_flags;
    const std::string who = "control " + std::to_string(c.index) + " \"" + c.label + "\"";
    switch (c.type) {
    case PF_Param_SLIDER:
        c.validMin = def.u.sd.valid_min;
        c.validMax = def.u.sd.valid_max;
        c.sliderMin = def.u.sd.slider_min;
        c.sliderMax = def.u.sd.slider_max;
        break;
    case PF_Param_FIX_SLIDER:
        c.validMin = def.u.fd.valid_min / 65536.0;
        c.validMax = def.u.fd.valid_max / 65536.0;
        c.sliderMin = def.u.fd.slider_min / 65536.0;
        c.sliderMax = def.u.fd.slider_max / 65536.0;
        c.precision = def.u.fd.precision;
        c.percent = (def.u.fd.display_flags & PF_ValueDisplayFlag_PERCENT) != 0;
        break;
    case PF_Param_CHECKBOX:
        if (def.u.bd.nameptr) c.checkboxText = def.u.bd.nameptr;
        break;
    case PF_Param_POPUP:
        c.popupItems = splitPopupNames(def.u.pd.namesptr);
        if (c.popupItems.empty()) throw RunnerError(who + ": a popup needs at least one name");
        break;
    case PF_Param_ANGLE:
    case PF_Param_COLOR:
    case PF_Param_POINT:
    case PF_Param_NO_DATA:
    case PF_Param_GROUP_START:
    case PF_Param_GROUP_END: break;
    default: throw RunnerError(who + ": this host has no parameter type " + std::to_string(c.type));
    }
    if (c.validMin > c.validMax) throw RunnerError(who + ": the valid range is empty");
    c.defaultValue = displayValueOf(def, true);
    // Every name of a popup is selectable, whatever count was declared with it.
    if (c.type == PF_Param_POPUP)
        c.defaultValue.v[0] = std::clamp(c.defaultValue.v[0], 1.0, double(c.popupItems.size()));
    states.push_back(ControlState{c.defaultValue, {}});
    popupNames.push_back(c.type == PF_Param_POPUP && def.u.pd.namesptr ? def.u.pd.namesptr : "");
    controls.push_back(std::move(c));
}

void Host::Impl::finishDeclaration()
{
    // The records handed out later point at the host's own copies of the texts, never into the module.
    const std::vector<std::string>& names = module.scriptNames();
    const std::vector<std::string>& descriptions = module.descriptions();
    for (size_t i = 0; i < controls.size(); ++i) {
        ControlInfo& c = controls[i];
        if (i < names.size()) c.scriptName = names[i];
        if (i < descriptions.size()) c.description = descriptions[i];
        if (c.type == PF_Param_CHECKBOX) c.def.u.bd.nameptr = c.checkboxText.c_str();
        if (c.type == PF_Param_POPUP) c.def.u.pd.namesptr = popupNames[i].c_str();
    }
}

void Host::Impl::close()
{
    std::string firstError;
    auto send = [&](PF_Cmd cmd) {
        std::vector<PF_ParamDef> params = paramsAt(0, nullptr);
        const A_long r = invoke(cmd, 0, &params, nullptr, nullptr);
        try {
            check(r, cmd, 0, false);
        } catch (const RunnerError& e) {
            if (firstError.empty()) firstError = e.what();
        }
    };
    if (sequenceUp) {
        sequenceUp = false;
        send(PF_Cmd_SEQUENCE_SETDOWN);
    }
    if (globalUp) {
        globalUp = false;
        send(PF_Cmd_GLOBAL_SETDOWN);
    }
    if (!firstError.empty()) throw RunnerError(firstError);
}

// ---- Host ----------------------------------------------------------------------------------------

Host::Host(Module& module, HostSettings settings) : module_(module), settings_(settings)
{
    checkSettings(settings_);
    impl_ = std::make_unique<Impl>(module, settings_);
    Lock lock(module.callMutex());
    Impl& h = *impl_;

    ControlInfo layer;
    layer.index = 0;
    layer.label = "Input";
    layer.type = PF_Param_LAYER;
    layer.def.param_type = PF_Param_LAYER;
    h.controls.push_back(layer);
    h.states.emplace_back();
    h.popupNames.emplace_back();

    A_long r = h.invoke(PF_Cmd_GLOBAL_SETUP, 0, nullptr, nullptr, nullptr);
    h.check(r, PF_Cmd_GLOBAL_SETUP, 0, false);
    h.globalUp = true;
    try {
        h.declaring = true;
        r = h.invoke(PF_Cmd_PARAMS_SETUP, 0, nullptr, nullptr, nullptr);
        h.declaring = false;
        h.check(r, PF_Cmd_PARAMS_SETUP, 0, false);
        h.finishDeclaration();
        h.sequenceUp = true;  // a failed set-up still gets its set-down
        std::vector<PF_ParamDef> params = h.paramsAt(0, nullptr);
        r = h.invoke(PF_Cmd_SEQUENCE_SETUP, 0, &params, nullptr, nullptr);
        h.check(r, PF_Cmd_SEQUENCE_SETUP, 0, false);
    } catch (...) {
        try {
            h.close();
        } catch (const RunnerError&) {
            // the first failure is the one to report
        }
        throw;
    }
}

Host::~Host()
{
    Lock lock(module_.callMutex());
    try {
        impl_->close();
    } catch (const RunnerError&) {
        // nothing to report a failed set-down to from a destructor; close() reports it to those who ask
    }
}

void Host::close()
{
    Lock lock(module_.callMutex());
    impl_->close();
}

const std::vector<ControlInfo>& Host::controls() const { return impl_->controls; }

int Host::findControl(const std::string& name) const
{
    Lock lock(module_.callMutex());
    const auto& cs = impl_->controls;
    // Groups repeat their label at start and end; a control with a value wins.
    auto find = [&](auto match) {
        int any = -1;
        for (const ControlInfo& c : cs) {
            if (!match(c)) continue;
            if (hasValue(c.type)) return c.index;
            if (any < 0) any = c.index;
        }
        return any;
    };
    if (name.empty()) return -1;
    int i = find([&](const ControlInfo& c) { return c.scriptName == name; });
    if (i < 0) i = find([&](const ControlInfo& c) { return c.label == name; });
    if (i < 0) i = find([&](const ControlInfo& c) { return c.checkboxText == name; });
    return i;
}

namespace {

const ControlInfo& valueControl(const std::vector<ControlInfo>& cs, int index, const char* function)
{
    if (index <= 0 || index >= int(cs.size()))
        throw RunnerError(std::string(function) + ": there is no control " + std::to_string(index) +
                          " (1 to " + std::to_string(int(cs.size()) - 1) + ")");
    const ControlInfo& c = cs[size_t(index)];
    if (!hasValue(c.type))
        throw RunnerError(std::string(function) + ": control " + std::to_string(index) + " \"" + c.label +
                          "\" has no value");
    return c;
}

}  // namespace

void Host::setValue(int index, ParamValue value)
{
    Lock lock(module_.callMutex());
    Impl& h = *impl_;
    const ControlInfo& c = valueControl(h.controls, index, "Kiln::Runner::Host::setValue");
    if (std::string bad = checkValue(c, value); !bad.empty())
        throw RunnerError("Kiln::Runner::Host::setValue: " + bad);
    h.states[size_t(index)] = ControlState{value, {}};
    if (!(c.flags & PF_ParamFlag_SUPERVISE)) return;
    PF_UserChangedParamExtra changed{index};
    std::vector<PF_ParamDef> params = h.paramsAt(0, nullptr);
    A_long r = h.invoke(PF_Cmd_USER_CHANGED_PARAM, 0, &params, nullptr, &changed);
    h.check(r, PF_Cmd_USER_CHANGED_PARAM, 0, false);
    params = h.paramsAt(0, nullptr);
    r = h.invoke(PF_Cmd_UPDATE_PARAMS_UI, 0, &params, nullptr, nullptr);
    h.check(r, PF_Cmd_UPDATE_PARAMS_UI, 0, false);
}

void Host::setKeyframes(int index, std::vector<Keyframe> keys)
{
    Lock lock(module_.callMutex());
    Impl& h = *impl_;
    const char* fn = "Kiln::Runner::Host::setKeyframes";
    const ControlInfo& c = valueControl(h.controls, index, fn);
    if (keys.empty())
        throw RunnerError(std::string(fn) + ": control \"" + c.label + "\" needs at least one keyframe");
    if (keys.size() > 1 && !c.animatable())
        throw RunnerError(std::string(fn) + ": control \"" + c.label + "\" cannot vary over time");
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Keyframe& a, const Keyframe& b) { return a.first < b.first; });
    for (size_t i = 0; i < keys.size(); ++i) {
        if (!std::isfinite(keys[i].first))
            throw RunnerError(std::string(fn) + ": a keyframe of \"" + c.label +
                              "\" is not at a finite frame");
        if (i > 0 && sameFrame(keys[i].first, keys[i - 1].first))
            throw RunnerError(std::string(fn) + ": control \"" + c.label + "\" has two keyframes at frame " +
                              std::to_string(keys[i].first));
        if (std::string bad = checkValue(c, keys[i].second); !bad.empty())
            throw RunnerError(std::string(fn) + ": " + bad + " (keyframe at frame " +
                              std::to_string(keys[i].first) + ")");
    }
    h.states[size_t(index)] = ControlState{keys.front().second, std::move(keys)};
}

const std::vector<Keyframe>& Host::keyframes(int index) const
{
    Lock lock(module_.callMutex());
    valueControl(impl_->controls, index, "Kiln::Runner::Host::keyframes");
    return impl_->states[size_t(index)].keys;
}

ParamValue Host::valueAt(int index, double frame) const
{
    Lock lock(module_.callMutex());
    valueControl(impl_->controls, index, "Kiln::Runner::Host::valueAt");
    return impl_->valueAt(index, frame);
}

void Host::setFrameSource(std::function<const Image&(int, Depth)> source)
{
    Lock lock(module_.callMutex());
    impl_->frameSource = std::move(source);
}

A_long Host::outFlags() const { return impl_->outFlags; }
A_long Host::outFlags2() const { return impl_->outFlags2; }
A_u_long Host::moduleVersion() const { return impl_->myVersion; }

bool Host::supportsDepth(Depth depth) const
{
    switch (depth) {
    case Depth::Eight: return true;
    case Depth::Sixteen: return (impl_->outFlags & PF_OutFlag_DEEP_COLOR_AWARE) != 0;
    case Depth::Float:
        return settings_.smartPath && (impl_->outFlags2 & PF_OutFlag2_SUPPORTS_SMART_RENDER) &&
               (impl_->outFlags2 & PF_OutFlag2_FLOAT_COLOR_AWARE);
    }
    return false;
}

Image Host::render(int frame, Depth depth)
{
    return render(frame, depth, Region{0, 0, settings_.width, settings_.height});
}

Image Host::render(int frame, Depth depth, const Region& region)
{
    Lock lock(module_.callMutex());
    Impl& h = *impl_;
    const char* fn = "Kiln::Runner::Host::render: ";
    if (region.left < 0 || region.top < 0 || region.right > settings_.width ||
        region.bottom > settings_.height || region.width() <= 0 || region.height() <= 0)
        throw RunnerError(fn + std::string("the region ") + std::to_string(region.left) + "," +
                          std::to_string(region.top) + " to " + std::to_string(region.right) + "," +
                          std::to_string(region.bottom) + " is empty or leaves the layer (" +
                          std::to_string(settings_.width) + " x " + std::to_string(settings_.height) + ")");
    if (frame < 0 || frame >= settings_.frameCount)
        throw RunnerError(fn + std::string("frame ") + std::to_string(frame) + " is outside the clip (0 to " +
                          std::to_string(settings_.frameCount - 1) + ")");
    if (!settings_.smartPath && depth == Depth::Float)
        throw RunnerError(fn + std::string("the legacy render path has no float"));
    if (settings_.smartPath && !(h.outFlags2 & PF_OutFlag2_SUPPORTS_SMART_RENDER))
        throw RunnerError(fn + h.who() + " does not support the smart render path");
    if (!supportsDepth(depth))
        throw RunnerError(fn + h.who() + " does not render at depth " + depthName(depth));

    struct EndCall {
        Impl& h;
        ~EndCall() { h.endCall(); }
    } endCall{h};
    const PF_RationalScale par = toRational(settings_.pixelAspect);
    h.depth = depth;
    const PF_LRect asked{region.left, region.top, region.right, region.bottom};
    // The smart path's output covers the request; the legacy path's is the whole layer with the request as
    // its extent hint.
    auto output = settings_.smartPath
                      ? makeWorld(h.kept.takeImage(region.width(), region.height(), depth), par)
                      : makeWorld(h.kept.takeImage(settings_.width, settings_.height, depth), par);
    output->world.extent_hint = asked;
    // A failed render gives the output's memory back for the next one.
    struct KeepOutput {
        KeptMemory& kept;
        HostWorld& world;
        ~KeepOutput()
        {
            if (!world.image.pixels.empty()) kept.keepImage(std::move(world.image));
        }
    } keepOutput{h.kept, *output};

    if (settings_.smartPath) {
        // The output world lies where the request does in the layer.
        output->world.origin_x = region.left;
        output->world.origin_y = region.top;
        PF_RenderRequest request{};
        request.rect = asked;
        request.channel_mask = 15;
        PF_PreRenderInput preIn{request, bitDepthOf(depth)};
        PF_PreRenderOutput preOut{};
        PF_PreRenderExtra preExtra{&preIn, &preOut, preRenderCallbacks()};
        std::vector<PF_ParamDef> params = h.paramsAt(frame, nullptr);
        h.phase = Impl::Phase::PreRender;
        A_long r = h.invoke(PF_Cmd_SMART_PRE_RENDER, frame, &params, nullptr, &preExtra);
        h.check(r, PF_Cmd_SMART_PRE_RENDER, frame, true);

        PF_SmartRenderInput renderIn{request, bitDepthOf(depth), preOut.pre_render_data};
        PF_SmartRenderExtra renderExtra{&renderIn, smartRenderCallbacks()};
        params = h.paramsAt(frame, nullptr);
        h.phase = Impl::Phase::SmartRender;
        h.output = &output->world;
        r = h.invoke(PF_Cmd_SMART_RENDER, frame, &params, nullptr, &renderExtra);
        h.check(r, PF_Cmd_SMART_RENDER, frame, true);
        return std::move(output->image);
    }
    {
        auto layer = h.layerWorld(frame, depth);
        std::vector<PF_ParamDef> params = h.paramsAt(frame, &layer->world);
        h.phase = Impl::Phase::Render;
        A_long r = h.invoke(PF_Cmd_FRAME_SETUP, frame, &params, &output->world, nullptr);
        h.check(r, PF_Cmd_FRAME_SETUP, frame, true);
        params = h.paramsAt(frame, &layer->world);
        r = h.invoke(PF_Cmd_RENDER, frame, &params, &output->world, nullptr);
        // Frame set-down follows whatever the render did; the render's own failure is the one to report.
        const std::string pending = h.pendingError, message = h.lastMessage;
        const std::exception_ptr pendingException = h.pendingException;
        const bool cancelled = h.cancelAnswered;
        params = h.paramsAt(frame, &layer->world);
        const A_long down = h.invoke(PF_Cmd_FRAME_SETDOWN, frame, &params, &output->world, nullptr);
        const std::string downPending = h.pendingError, downMessage = h.lastMessage;
        const std::exception_ptr downException = h.pendingException;
        h.pendingError = pending;
        h.pendingException = pendingException;
        h.lastMessage = message;
        h.cancelAnswered = cancelled;
        h.check(r, PF_Cmd_RENDER, frame, true);
        h.pendingError = downPending;
        h.pendingException = downException;
        h.lastMessage = downMessage;
        h.check(down, PF_Cmd_FRAME_SETDOWN, frame, false);
        if (region == Region{0, 0, settings_.width, settings_.height}) return std::move(output->image);
        Image part = h.kept.takeImage(region.width(), region.height(), depth);
        const size_t bytes = size_t(region.width()) * bytesPerPixel(depth);
        for (int y = 0; y < region.height(); ++y)
            std::memcpy(part.row<uint8_t>(y),
                        output->image.row<uint8_t>(region.top + y) +
                            size_t(region.left) * bytesPerPixel(depth),
                        bytes);
        return part;
    }
}

void Host::flatten()
{
    Lock lock(module_.callMutex());
    std::vector<PF_ParamDef> params = impl_->paramsAt(0, nullptr);
    const A_long r = impl_->invoke(PF_Cmd_SEQUENCE_FLATTEN, 0, &params, nullptr, nullptr);
    impl_->check(r, PF_Cmd_SEQUENCE_FLATTEN, 0, false);
}

void Host::resetup()
{
    Lock lock(module_.callMutex());
    std::vector<PF_ParamDef> params = impl_->paramsAt(0, nullptr);
    const A_long r = impl_->invoke(PF_Cmd_SEQUENCE_RESETUP, 0, &params, nullptr, nullptr);
    impl_->check(r, PF_Cmd_SEQUENCE_RESETUP, 0, false);
}

Image Host::drawControl(int index, int width, int height)
{
    Lock lock(module_.callMutex());
    Impl& h = *impl_;
    if (index <= 0 || index >= int(h.controls.size()))
        throw RunnerError("Kiln::Runner::Host::drawControl: there is no control " + std::to_string(index));
    auto canvas = makeWorld(Image::make(width, height, Depth::Eight), PF_RationalScale{1, 1});
    h.canvas = canvas.get();
    struct DropCanvas {
        Impl& h;
        ~DropCanvas() { h.canvas = nullptr; }
    } drop{h};
    PF_Context context{KL_FOURCC('K', 'l', 'C', 'x'), PF_Window_EFFECT, {nullptr, nullptr}};
    for (A_long type :
         {A_long(PF_Event_NEW_CONTEXT), A_long(PF_Event_DRAW), A_long(PF_Event_CLOSE_CONTEXT)}) {
        PF_EventExtra event{};
        event.contextH = &context;
        event.e_type = type;
        event.effect_win = PF_EffectArea{index, PF_EA_CONTROL, PF_Rect{0, 0, width, height}};
        std::vector<PF_ParamDef> params = h.paramsAt(0, nullptr);
        const A_long r = h.invoke(PF_Cmd_EVENT, 0, &params, nullptr, &event);
        h.check(r, PF_Cmd_EVENT, 0, false);
    }
    return std::move(canvas->image);
}

Image Host::about(int width, int height)
{
    Lock lock(module_.callMutex());
    Impl& h = *impl_;
    if (width <= 0 || height <= 0)
        throw RunnerError("Kiln::Runner::Host::about: the canvas must not be empty (" +
                          std::to_string(width) + " x " + std::to_string(height) + ")");
    auto canvas = makeWorld(Image::make(width, height, Depth::Eight), PF_RationalScale{1, 1});
    h.canvas = canvas.get();
    struct DropCanvas {
        Impl& h;
        ~DropCanvas() { h.canvas = nullptr; }
    } drop{h};
    std::vector<PF_ParamDef> params = h.paramsAt(0, nullptr);
    const A_long r = h.invoke(PF_Cmd_ABOUT, 0, &params, nullptr, nullptr);
    h.check(r, PF_Cmd_ABOUT, 0, false);
    return std::move(canvas->image);
}

void Host::recycle(Image&& image) { impl_->kept.keepImage(std::move(image)); }

void Host::requestAbort() noexcept { impl_->abortRequested.store(1, std::memory_order_relaxed); }
void Host::clearAbort() noexcept { impl_->abortRequested.store(0, std::memory_order_relaxed); }

HandleStats Host::stats() const
{
    const Impl& h = *impl_;
    HandleStats s;
    s.liveHandles = h.liveHandles;
    s.handlesAllocated = h.handlesAllocated;
    s.liveLayerCheckouts = h.liveLayerCheckouts;
    s.liveParamCheckouts = h.liveParamCheckouts;
    s.liveWorlds = h.liveWorlds;
    s.suiteAcquires = h.suiteAcquires;
    s.suiteReleases = h.suiteReleases;
    s.badCalls = h.badCalls;
    s.keptBytes = long(h.kept.keptBytes());
    return s;
}

void Host::failAllocationsAfter(long n) { impl_->allocationBudget.store(n < 0 ? -1 : n); }

A_long Host::sendCommand(PF_Cmd cmd, void* extra, double frame, PF_EffectWorld* output)
{
    Lock lock(module_.callMutex());
    std::vector<PF_ParamDef> params = impl_->paramsAt(frame, nullptr);
    return impl_->invoke(cmd, frame, &params, output, extra);
}

std::vector<PF_Cmd> Host::commandLog() const
{
    Lock lock(module_.callMutex());
    return impl_->log;
}

void Host::clearCommandLog()
{
    Lock lock(module_.callMutex());
    impl_->log.clear();
}

std::string Host::lastMessage() const
{
    Lock lock(module_.callMutex());
    return impl_->lastMessage;
}

PF_Handle Host::globalData() const { return impl_->globalData; }
PF_Handle Host::sequenceData() const { return impl_->sequenceData; }
std::vector<uint8_t> Host::sequenceBytes() const
{
    Lock lock(module_.callMutex());
    return impl_->sequenceData ? handleBytes(impl_->sequenceData) : std::vector<uint8_t>{};
}

void Host::setReportedPixelFormat(PF_PixelFormat format)
{
    Lock lock(module_.callMutex());
    impl_->reportedFormat = format;
}

void Host::setSpecVersion(int major, int minor)
{
    Lock lock(module_.callMutex());
    impl_->specMajor = major;
    impl_->specMinor = minor;
}

void Host::setApplId(A_long id)
{
    Lock lock(module_.callMutex());
    impl_->applId = id;
}

void Host::setHeadless(bool headless)
{
    Lock lock(module_.callMutex());
    impl_->headless = headless;
}

}  // namespace Kiln::Runner
