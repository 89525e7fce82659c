#include "host/klAEUIState.h"

#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "host/klAEHooks.h"
#include "host/klAEWrapperHost.h"

#include <algorithm>
#include <cmath>

namespace Kiln::AfterEffects {

namespace {

using Kiln::Watchcam::indexOf;

static_assert(Wrapper::kResolveFromQuality == Kiln::Watchcam::kQualityResolved,
              "the controls table and the adapter agree on the quality-resolved popup entry");

constexpr PF_ParamIndex kMethod = indexOf("blendMethod");
constexpr PF_ParamIndex kProcess = indexOf("postAlphaYesNoNo");
constexpr PF_ParamIndex kTVType = indexOf("TVType");
constexpr PF_ParamIndex kQuantise = indexOf("quantise");
constexpr PF_ParamIndex kShashType = indexOf("shashType");
constexpr PF_ParamIndex kEdgeColour = indexOf("SourceEdgeColour");
constexpr PF_ParamIndex kEdgeAlpha = indexOf("SourceEdgeColourAlpha");

const char* typeWord(PF_ParamType type)
{
    switch (type) {
    case PF_Param_POPUP: return "popup";
    case PF_Param_CHECKBOX: return "checkbox";
    case PF_Param_COLOR: return "colour";
    case PF_Param_FIX_SLIDER: return "fixed slider";
    default: return "control";
    }
}

// The record of a control of the expected type in the parameter array.
PF_ParamDef& control(const char* function, PF_ParamDef* params[], PF_ParamIndex index, PF_ParamType type)
{
    PF_ParamDef* def = params[index];
    if (def == nullptr) throw Kiln::Exceptions::NullPointer(function, __FILE__, __LINE__, "params");
    if (def->param_type != type)
        throw Kiln::Exceptions::WrongType(function, __FILE__, __LINE__,
                                          Kiln::Watchcam::kControls[index].label, typeWord(type));
    return *def;
}

// An adapter over the call's records with the effect's mapping; the parameter array must hold every
// control.
struct MappedHost {
    Wrapper::Host host;
    MappedHost(const char* function, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[])
        : host(in_data, out_data, params)
    {
        if (in_data->num_params > 0 && in_data->num_params < Kiln::Watchcam::kControlCount)
            throw Kiln::Exceptions::BadValue(function, __FILE__, __LINE__, "num_params",
                                             int(in_data->num_params));
        Kiln::Watchcam::registerMappings(host);
    }
};

// The slider follows the colour's alpha.
void mirrorColourToSlider(const char* function, Wrapper::Host& host, PF_ParamDef* params[])
{
    const A_u_char alpha = control(function, params, kEdgeColour, PF_Param_COLOR).u.cd.value.alpha;
    PF_ParamDef& slider = control(function, params, kEdgeAlpha, PF_Param_FIX_SLIDER);
    slider.u.fd.value = sliderFromEdgeAlpha(alpha);
    slider.change_flags |= PF_ChangeFlag_CHANGED_VALUE;
    host.updateParamUI(kEdgeAlpha);
}

}  // namespace

A_u_char edgeAlphaFromSlider(PF_Fixed slider)
{
    const double alpha = std::clamp(slider / 65536.0 / 100.0 * 255.0, 0.0, 255.0);
    return static_cast<A_u_char>(alpha);
}

PF_Fixed sliderFromEdgeAlpha(A_u_char alpha)
{
    return static_cast<PF_Fixed>(std::trunc(alpha / 255.0 * 100.0 * 65536.0));
}

std::vector<ControlEnable> dependentControls(A_long methodItem, A_long processItem, A_long tvTypeItem,
                                             bool quantise, A_long shashTypeItem)
{
    const bool blending = methodItem > 1;
    return {
        {indexOf("blendMix"), blending},
        {indexOf("blendEffect"), blending},
        {indexOf("blendSrc"), blending},
        {kEdgeAlpha, !(processItem == 1 || processItem == 3)},
        {indexOf("tintColour"), tvTypeItem == 3},
        {indexOf("quantiseLevels"), quantise},
        {indexOf("shashPeriod"), shashTypeItem == 6},
        {indexOf("clampBlendAtFloat"), false},
    };
}

PF_Err updateParamUIState(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[])
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::updateParamUIState";
    MappedHost mapped(kFunction, in_data, out_data, params);
    const std::vector<ControlEnable> states =
        dependentControls(control(kFunction, params, kMethod, PF_Param_POPUP).u.pd.value,
                          control(kFunction, params, kProcess, PF_Param_POPUP).u.pd.value,
                          control(kFunction, params, kTVType, PF_Param_POPUP).u.pd.value,
                          control(kFunction, params, kQuantise, PF_Param_CHECKBOX).u.bd.value != 0,
                          control(kFunction, params, kShashType, PF_Param_POPUP).u.pd.value);
    for (const ControlEnable& s : states) {
        PF_ParamDef* def = params[s.index];
        if (def == nullptr) throw Kiln::Exceptions::NullPointer(kFunction, __FILE__, __LINE__, "params");
        if (s.enabled)
            def->ui_flags &= ~PF_PUI_DISABLED;
        else
            def->ui_flags |= PF_PUI_DISABLED;
        mapped.host.updateParamUI(s.index);
    }
    return PF_Err_NONE;
}

PF_Err userChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                        const PF_UserChangedParamExtra* extra)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::userChangedParam";
    MappedHost mapped(kFunction, in_data, out_data, params);
    if (extra == nullptr) return PF_Err_NONE;
    if (extra->param_index == kEdgeAlpha) {
        const PF_Fixed slider = control(kFunction, params, kEdgeAlpha, PF_Param_FIX_SLIDER).u.fd.value;
        PF_ParamDef& colour = control(kFunction, params, kEdgeColour, PF_Param_COLOR);
        colour.u.cd.value.alpha = edgeAlphaFromSlider(slider);
        colour.change_flags |= PF_ChangeFlag_CHANGED_VALUE;
    } else if (extra->param_index == kEdgeColour) {
        mirrorColourToSlider(kFunction, mapped.host, params);
    }
    return PF_Err_NONE;
}

PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[])
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::updateParamsUI";
    {
        MappedHost mapped(kFunction, in_data, out_data, params);
        mirrorColourToSlider(kFunction, mapped.host, params);
    }
    return updateParamUIState(in_data, out_data, params);
}

}  // namespace Kiln::AfterEffects
