// The registration record the host reads before the first call. Its flags and version are the
// ones global set-up reports.
#include "host/klAEGlobals.h"
#include "sdk/klHostAPI.h"

extern "C" __attribute__((visibility("default"))) const KlRegistration kiln_registration;

extern "C" const KlRegistration kiln_registration = {
    KL_FOURCC('e', 'F', 'K', 'T'),
    "Q_Watchcam (2.1)",
    "Halcyon 4",
    "main",
    2,
    12,
    12,
    0x00108605,
    "Q_Watchcam 1086",
    0,
    Kiln::AfterEffects::kGlobalOutFlags,
    Kiln::AfterEffects::kGlobalOutFlags2,
    {0, 0},
};

static_assert(Kiln::AfterEffects::kGlobalOutFlags == 0x02008053);
