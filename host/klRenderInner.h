#pragma once
// The render entry of one depth, called by the command table for PF_Cmd_RENDER and
// PF_Cmd_SMART_RENDER. Px is Kiln::PixARGB8, Kiln::PixARGB16 or Kiln::PixARGBF.
//
//   in_data, out_data  the host's records of the call
//   params             the parameter array (index 0 is the input layer); may be null in a smart render
//   input              the source world, or null in a non-smart render (the source is params[0])
//   output             the output world (its data null raises OutOfMemory "AE Output buffer is null!")
//   extra              the smart-render record, null in a non-smart render
//
// Returns the host result; every exception is caught and mapped with failureResult (klAERender.h).
#include "image/klPixel.h"
#include "sdk/klHostAPI.h"

namespace Kiln::AfterEffects {

namespace Wrapper {
class Host;
}

// Writes the preset file when the effect asks for one at `time` (a boolean "savePreset" that is on).
// The preset writer (klAEPreset.cpp) defines it; the weak default (klAEPresetDefault.cpp) writes nothing.
void writePresetIfAsked(Wrapper::Host& host, double time);

template <class Px>
PF_Err RenderInner(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_EffectWorld* input,
                   PF_EffectWorld* output, PF_SmartRenderExtra* extra);

extern template PF_Err RenderInner<Kiln::PixARGB8>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                                   PF_EffectWorld*, PF_SmartRenderExtra*);
extern template PF_Err RenderInner<Kiln::PixARGB16>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                                    PF_EffectWorld*, PF_SmartRenderExtra*);
extern template PF_Err RenderInner<Kiln::PixARGBF>(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_EffectWorld*,
                                                   PF_EffectWorld*, PF_SmartRenderExtra*);

}  // namespace Kiln::AfterEffects
