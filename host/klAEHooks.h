#pragma once
// What the command table asks of the host adapter, the effect and the About box.
//
// The module carries a default for each of these (weak definitions in klAEParamsDefault.cpp,
// klAERegionDefault.cpp and klAEAboutDefault.cpp); the adapter and the About box supply the
// real ones. Any of them may raise exceptions of the Kiln family: the entry point turns them
// into host results.
#include "sdk/klHostAPI.h"

namespace Kiln::AfterEffects {

// PF_Cmd_PARAMS_SETUP: declares the controls with add_param(-1, ...) and sets out_data->num_params.
PF_Err declareParams(PF_InData* in_data, PF_OutData* out_data);
// PF_Cmd_USER_CHANGED_PARAM (extra may be null).
PF_Err userChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                        const PF_UserChangedParamExtra* extra);
// PF_Cmd_UPDATE_PARAMS_UI.
PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]);
// Enables and disables dependent controls; run before each non-smart render on hosts other
// than the native one, which never send PF_Cmd_UPDATE_PARAMS_UI.
PF_Err updateParamUIState(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]);

// Smart pre-render: the rectangle of the "Source" clip the effect needs for the requested output
// rectangle, as left, top, right, bottom (the caller truncates toward zero). False when the
// effect does not answer (the request is then used as it is).
bool sourceRegionOfInterest(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra,
                            const PF_LRect& request, double needed[4]);
// Smart pre-render: the output rectangle of an effect that grows its output (a boolean "expand"
// parameter that is on), given the checkout of its source. False when it does not grow it.
bool expandedOutputRect(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra,
                        const PF_CheckoutResult& checkout, PF_LRect* rect);

// Opens the modal About box over the owner window (0: none), with the module's resource file path.
void showAboutBox(PF_InData* in_data, unsigned long ownerWindow, const char* resourcePath);

}  // namespace Kiln::AfterEffects
