#pragma once
// Render routing: which depth a render runs at, the smart pre-render and render, and how a
// failure inside a render becomes a host result.
//
// Depth. The non-smart path renders 8 bits unless the host is at least 12.6 (each half of the
// version tested on its own) and the output world is deep, then 16 bits; never float. The smart
// path takes the depth from the checked-out source world's pixel format.
#include "sdk/klHostAPI.h"

#include <string>

namespace Kiln::AfterEffects {

enum class RenderDepth { Eight, Sixteen, Float };

// The depth of a non-smart render.
RenderDepth legacyDepth(A_short specMajor, A_short specMinor, A_long outputWorldFlags);
// The depth of a smart-render pixel format ("argb", "ae16", "ae32"); false for any other.
bool smartDepth(PF_PixelFormat format, RenderDepth* depth);

// Rectangles with exclusive right and bottom. Empty: left not below right or top not below bottom.
bool rectIsEmpty(const PF_LRect& r);
// The union; with an empty rectangle it is the other one.
PF_LRect rectUnion(const PF_LRect& a, const PF_LRect& b);
// a clipped to b: left and top the larger, right and bottom the smaller.
PF_LRect rectClip(const PF_LRect& a, const PF_LRect& b);

inline constexpr const char* kOutOfMemoryMessage = "Q_Watchcam out of memory.";
inline constexpr const char* kReleaseSuiteMessage = "Couldn't release suite.";
// The result of an internal failure when the host has no user interface to show it: nothing
// was rendered, so the host must not take the frame as good.
inline constexpr PF_Err kHeadlessFailure = PF_Err_INTERNAL_STRUCT_DAMAGED;

// PF_Cmd_RENDER, PF_Cmd_SMART_PRE_RENDER and PF_Cmd_SMART_RENDER.
PF_Err render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output);
PF_Err smartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra);
PF_Err smartRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                   PF_SmartRenderExtra* extra);

// Whether the host runs without a user interface ("PF AE App Suite" PF_IsHeadless). Asked once
// per process; a host without the suite counts as having one.
bool hostIsHeadless(PF_InData* in_data);

// The host result of the exception being handled. Call only inside a catch block; `function`,
// `file` and `line` name the catch site, which is recorded in the trail.
//   out of memory             -> PF_Err_OUT_OF_MEMORY
//   interruption by the host  -> PF_Interrupt_CANCEL
//   a failed source fetch after the host signalled an abort -> PF_Err_NONE, quietly
//   anything else: an internal failure, written to the error log. Inside a render with a
//   user interface: the report text goes to the return message (shown) and standard error and
//   the result is PF_Err_NONE; otherwise (headless, or outside a render) kHeadlessFailure.
PF_Err failureResult(PF_InData* in_data, PF_OutData* out_data, bool inRender, const char* function,
                     const char* file, int line) noexcept;

// Whether the host asks the render to stop (its abort or progress callback answers non-zero).
bool hostInterrupted(PF_InData* in_data);

// The text shown for an internal failure that is not of the Kiln family.
std::string foreignFailureText(const char* what);

}  // namespace Kiln::AfterEffects
