// The exported script names: one per parameter index (the input layer and layout controls have
// none and give ""), ended by a null pointer. Built from the controls table at compile time.
#include "effect/klWatchcamControls.h"
#include "sdk/klHostAPI.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<const char*, Kiln::Watchcam::kControlCount + 1> makeNames() {
    std::array<const char*, Kiln::Watchcam::kControlCount + 1> names{};
    for (const Kiln::Watchcam::ControlSpec& c : Kiln::Watchcam::kControls)
        names[static_cast<std::size_t>(c.index)] = c.scriptName ? c.scriptName : "";
    names[Kiln::Watchcam::kControlCount] = nullptr;
    return names;
}

constexpr auto kScriptNames = makeNames();

}  // namespace

// The symbol is the array itself (a host reads names straight from the symbol's address);
// std::array has exactly the layout of the C array it holds.
extern "C" {
extern __attribute__((visibility("default"))) const std::array<const char*, Kiln::Watchcam::kControlCount + 1>
    kiln_param_script_names;
}
const std::array<const char*, Kiln::Watchcam::kControlCount + 1> kiln_param_script_names = kScriptNames;
