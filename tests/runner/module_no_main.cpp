// A module with a registration record but no entry point.
#include "sdk/klHostAPI.h"

extern "C" __attribute__((visibility("default"))) const KlRegistration kiln_registration = {
    KL_FOURCC('e', 'F', 'K', 'T'), "No Main", "Tests", "main", 2, 13, 28, 1, "No Main", 0, 0, 0, {0, 0}};
