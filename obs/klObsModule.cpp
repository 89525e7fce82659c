// The OBS module: registers the "Security Camera" filter.
#include "obs/klObsFilter.h"

#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("watchcam-obs", "en-US")

MODULE_EXPORT const char* obs_module_description(void)
{
    return "Security Camera: footage as a security camera films it and a worn monitor shows it";
}

bool obs_module_load(void)
{
    obs_register_source(&Kiln::Obs::filterInfo());
    return true;
}
