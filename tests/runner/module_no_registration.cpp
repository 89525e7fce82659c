// A module with an entry point but no registration record.
#include "sdk/klHostAPI.h"

extern "C" __attribute__((visibility("default"))) PF_Err
nr_main(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef**, PF_LayerDef*, void*) __asm__("main");
extern "C" PF_Err nr_main(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef**, PF_LayerDef*, void*)
{
    return PF_Err_NONE;
}
