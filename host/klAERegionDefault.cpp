// Stand-ins for the effect's region queries: the effect needs exactly the requested rectangle
// and never grows its output. The adapter's own definitions replace these.
#include "host/klAEHooks.h"

namespace Kiln::AfterEffects {

__attribute__((weak)) bool sourceRegionOfInterest(PF_InData*, PF_OutData*, PF_PreRenderExtra*,
                                                  const PF_LRect&, double*)
{
    return false;
}

__attribute__((weak)) bool expandedOutputRect(PF_InData*, PF_OutData*, PF_PreRenderExtra*,
                                              const PF_CheckoutResult&, PF_LRect*)
{
    return false;
}

}  // namespace Kiln::AfterEffects
