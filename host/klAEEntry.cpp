// The module's entry point and command table.
//
// Every host call arrives at `main` with a command code. Each call stores its in_data in the
// in_data slot for its duration (restored however it ends), runs the command's handler, and
// turns anything the handler raises into a host result: no exception ever reaches the host.
// Codes without a handler, and codes above the last one, do nothing and succeed.
#include "exceptions/klException.h"
#include "host/klAEEvents.h"
#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"
#include "host/klAERender.h"
#include "sdk/klHostAPI.h"

#include <array>

// The C++ name differs from the exported one: a function called main is the program's entry in C++.
// The command arrives as the 32-bit integer the C interface passes, so that codes this module does
// not know are plain numbers, not values of the command enumeration.
extern "C" __attribute__((visibility("default"))) PF_Err
klEntryPoint(int32_t cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
             PF_LayerDef* output, void* extra) __asm__("main");

namespace {

using namespace Kiln::AfterEffects;

using Handler = PF_Err (*)(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*);

PF_Err cmdAbout(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return about(in, out);
}
PF_Err cmdGlobalSetup(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return globalSetup(in, out);
}
PF_Err cmdGlobalSetdown(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return globalSetdown(in, out);
}
PF_Err cmdParamsSetup(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return declareParams(in, out);
}
PF_Err cmdSequenceSetup(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return sequenceSetup(in, out);
}
PF_Err cmdSequenceResetup(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return sequenceResetup(in, out);
}
PF_Err cmdSequenceFlatten(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return sequenceFlatten(in, out);
}
PF_Err cmdSequenceSetdown(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*)
{
    return sequenceSetdown(in, out);
}
PF_Err cmdRender(PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef* output, void*)
{
    return render(in, out, params, output);
}
PF_Err cmdUserChangedParam(PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef*, void* extra)
{
    return userChangedParam(in, out, params, static_cast<const PF_UserChangedParamExtra*>(extra));
}
PF_Err cmdUpdateParamsUI(PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef*, void*)
{
    return updateParamsUI(in, out, params);
}
PF_Err cmdEvent(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void* extra)
{
    return handleEvent(in, out, static_cast<PF_EventExtra*>(extra));
}
PF_Err cmdSmartPreRender(PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void* extra)
{
    return smartPreRender(in, out, static_cast<PF_PreRenderExtra*>(extra));
}
PF_Err cmdSmartRender(PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef*, void* extra)
{
    return smartRender(in, out, params, static_cast<PF_SmartRenderExtra*>(extra));
}

constexpr std::array<Handler, PF_Cmd_SMART_RENDER + 1> makeTable()
{
    std::array<Handler, PF_Cmd_SMART_RENDER + 1> t{};
    t[PF_Cmd_ABOUT] = cmdAbout;
    t[PF_Cmd_GLOBAL_SETUP] = cmdGlobalSetup;
    t[PF_Cmd_GLOBAL_SETDOWN] = cmdGlobalSetdown;
    t[PF_Cmd_PARAMS_SETUP] = cmdParamsSetup;
    t[PF_Cmd_SEQUENCE_SETUP] = cmdSequenceSetup;
    t[PF_Cmd_SEQUENCE_RESETUP] = cmdSequenceResetup;
    t[PF_Cmd_SEQUENCE_FLATTEN] = cmdSequenceFlatten;
    t[PF_Cmd_SEQUENCE_SETDOWN] = cmdSequenceSetdown;
    t[PF_Cmd_RENDER] = cmdRender;
    t[PF_Cmd_USER_CHANGED_PARAM] = cmdUserChangedParam;
    t[PF_Cmd_UPDATE_PARAMS_UI] = cmdUpdateParamsUI;
    t[PF_Cmd_EVENT] = cmdEvent;
    t[PF_Cmd_SMART_PRE_RENDER] = cmdSmartPreRender;
    t[PF_Cmd_SMART_RENDER] = cmdSmartRender;
    return t;
}
constexpr std::array<Handler, PF_Cmd_SMART_RENDER + 1> kCommands = makeTable();

}  // namespace

PF_Err klEntryPoint(int32_t code, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                    PF_LayerDef* output, void* extra)
{
    InDataScope scope(in_data);
    if (code < 0 || code >= static_cast<int>(kCommands.size()) || kCommands[code] == nullptr)
        return PF_Err_NONE;
    try {
        Kiln::Errors::Initialise();
        return kCommands[code](in_data, out_data, params, output, extra);
    } catch (...) {
        const PF_Err err = failureResult(in_data, out_data, false, "main", __FILE__, __LINE__);
        if (err == PF_Err_OUT_OF_MEMORY) showMessage(out_data, kOutOfMemoryMessage);
        return err;
    }
}
