// PF_Cmd_PARAMS_SETUP: the host controls, declared in table order from the controls table.
//
// Every popup is declared with its full count of entries, so that each name is selectable.
// Fixed sliders go to the host as 16.16 values and show one decimal when their slider reaches
// above 10, else two.
#include "host/klAEParamDecl.h"

#include "effect/klWatchcamControls.h"
#include "effect/klWatchcamParams.h"
#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"

#include <cmath>
#include <cstring>

namespace Kiln::AfterEffects {

namespace {

using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ControlType;

void setName(PF_ParamDef& def, const char* name)
{
    std::strncpy(def.name, name ? name : "", sizeof(def.name) - 1);
    def.name[sizeof(def.name) - 1] = '\0';
}

PF_Pixel toPixel(const std::array<uint8_t, 4>& c) { return PF_Pixel{c[0], c[1], c[2], c[3]}; }

}  // namespace

PF_Fixed toFixed(double v)
{
    const double f = std::round(v * 65536.0);
    if (!(f > -2147483648.0)) return INT32_MIN;
    if (!(f < 2147483647.0)) return INT32_MAX;
    return static_cast<PF_Fixed>(f);
}

A_short fixedPrecision(double sliderMax) { return sliderMax > 10.0 ? 1 : 2; }

PF_ParamDef controlDefinition(const ControlSpec& c, int32_t aboutWidth, int32_t aboutHeight)
{
    PF_ParamDef def;
    std::memset(&def, 0, sizeof(def));
    setName(def, c.label);
    def.flags = c.flags;
    switch (c.type) {
    case ControlType::Layer: def.param_type = PF_Param_LAYER; break;
    case ControlType::About:
        def.param_type = PF_Param_NO_DATA;
        def.ui_flags = PF_PUI_CONTROL;
        def.ui_width = static_cast<A_short>(aboutWidth);
        def.ui_height = static_cast<A_short>(aboutHeight);
        break;
    case ControlType::Popup:
        def.param_type = PF_Param_POPUP;
        def.u.pd.num_choices = static_cast<A_short>(Kiln::Watchcam::choiceCount(c));
        def.u.pd.dephault = static_cast<A_short>(c.dflt);
        def.u.pd.value = static_cast<A_long>(c.dflt);
        def.u.pd.namesptr = c.choices;
        break;
    case ControlType::Colour:
        def.param_type = PF_Param_COLOR;
        def.u.cd.value = def.u.cd.dephault = toPixel(c.colour);
        break;
    case ControlType::FixedSlider:
        def.param_type = PF_Param_FIX_SLIDER;
        def.u.fd.value = def.u.fd.dephault = toFixed(c.dflt);
        def.u.fd.valid_min = toFixed(c.validMin);
        def.u.fd.valid_max = toFixed(c.validMax);
        def.u.fd.slider_min = toFixed(c.sliderMin);
        def.u.fd.slider_max = toFixed(c.sliderMax);
        def.u.fd.precision = fixedPrecision(c.sliderMax);
        if (Kiln::Watchcam::kControlTexts[c.index].percent)
            def.u.fd.display_flags = PF_ValueDisplayFlag_PERCENT;
        break;
    case ControlType::IntSlider:
        def.param_type = PF_Param_SLIDER;
        def.u.sd.value = def.u.sd.dephault = static_cast<A_long>(c.dflt);
        def.u.sd.valid_min = static_cast<A_long>(c.validMin);
        def.u.sd.valid_max = static_cast<A_long>(c.validMax);
        def.u.sd.slider_min = static_cast<A_long>(c.sliderMin);
        def.u.sd.slider_max = static_cast<A_long>(c.sliderMax);
        break;
    case ControlType::Checkbox:
        def.param_type = PF_Param_CHECKBOX;
        def.u.bd.value = def.u.bd.dephault = c.dflt != 0 ? 1 : 0;
        def.u.bd.nameptr = c.checkboxText;
        break;
    case ControlType::GroupStart: def.param_type = PF_Param_GROUP_START; break;
    case ControlType::GroupEnd: def.param_type = PF_Param_GROUP_END; break;
    }
    return def;
}

PF_Err declareParams(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr || out_data == nullptr || in_data->inter.add_param == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    const KlBitmap* title = titleBitmap(in_data);
    const int32_t aboutWidth = title ? title->width : kAboutDefaultWidth;
    const int32_t aboutHeight = title ? title->height : kAboutDefaultHeight;
    for (const ControlSpec& c : Kiln::Watchcam::kControls) {
        if (c.type == ControlType::Layer) continue;  // the host declares the input layer itself
        PF_ParamDef def = controlDefinition(c, aboutWidth, aboutHeight);
        if (PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def)) return err;
    }
    out_data->num_params = Kiln::Watchcam::kControlCount;
    return PF_Err_NONE;
}

}  // namespace Kiln::AfterEffects
