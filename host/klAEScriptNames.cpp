// The exported lists a host reads beside the entry point, one entry per parameter index (the input layer
// and layout controls included), ended by a null pointer: the script names ("" for controls without
// one) and a one-line description of each control. Built from the controls table at compile time.
#include "effect/klWatchcamControls.h"
#include "sdk/klHostAPI.h"

#include <array>
#include <cstddef>

namespace {

using TextList = std::array<const char*, Kiln::Watchcam::kControlCount + 1>;

constexpr TextList makeNames()
{
    TextList names{};
    for (const Kiln::Watchcam::ControlSpec& c : Kiln::Watchcam::kControls)
        names[static_cast<std::size_t>(c.index)] = c.scriptName ? c.scriptName : "";
    names[Kiln::Watchcam::kControlCount] = nullptr;
    return names;
}

constexpr TextList makeDescriptions()
{
    TextList texts{};
    for (const Kiln::Watchcam::ControlText& t : Kiln::Watchcam::kControlTexts)
        texts[static_cast<std::size_t>(t.index)] = t.description;
    texts[Kiln::Watchcam::kControlCount] = nullptr;
    return texts;
}

constexpr TextList kScriptNames = makeNames();
constexpr TextList kDescriptions = makeDescriptions();

}  // namespace

// Each symbol is the array itself (a host reads the texts straight from the symbol's address);
// std::array has exactly the layout of the C array it holds.
extern "C" {
extern __attribute__((visibility("default"))) const TextList kiln_param_script_names;
extern __attribute__((visibility("default"))) const TextList kiln_param_descriptions;
}
const TextList kiln_param_script_names = kScriptNames;
const TextList kiln_param_descriptions = kDescriptions;
