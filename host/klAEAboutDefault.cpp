// Stand-in for the About box, which the module's window code replaces.
#include "host/klAEHooks.h"

namespace Kiln::AfterEffects {

__attribute__((weak)) void showAboutBox(PF_InData*, unsigned long, const char*) {}

}  // namespace Kiln::AfterEffects
