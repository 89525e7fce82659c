#include "effect/klControlsHost.h"

#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"

#include <algorithm>

namespace Kiln::Watchcam {

namespace Ex = Kiln::Exceptions;

ControlsHost::ControlsHost(int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output)
    : FixedHost(frame, rate, output, kSourceClip)
{ }

int32_t ControlsHost::slotOf(const char* function, const std::string& name, const char* word,
                             std::initializer_list<ValueKind> kinds, const ControlSpec** control) const
{
    int32_t slot = -1;
    const ControlSpec* c = value(name, slot);
    if (c == nullptr) throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
    if (std::find(kinds.begin(), kinds.end(), c->kind) == kinds.end())
        throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    if (control != nullptr) *control = c;
    return slot;
}

bool ControlsHost::hasParam(const std::string& name)
{
    int32_t slot = -1;
    return value(name, slot) != nullptr;
}

double ControlsHost::getDoubleParam(const std::string& name, double)
{
    const ControlSpec* c = nullptr;
    const int32_t slot = slotOf("Kiln::Watchcam::ControlsHost::getDoubleParam", name, "float",
                                {ValueKind::Double, ValueKind::Scale}, &c);
    const double v = number(slot);
    return c->kind == ValueKind::Scale ? v / 100.0 : v;
}

double ControlsHost::getScaleParam(const std::string& name, double)
{
    return number(slotOf("Kiln::Watchcam::ControlsHost::getScaleParam", name, "scale", {ValueKind::Scale})) /
           100.0;
}

int ControlsHost::getIntParam(const std::string& name, double)
{
    const ControlSpec* c = nullptr;
    const int32_t slot = slotOf("Kiln::Watchcam::ControlsHost::getIntParam", name, "integer",
                                {ValueKind::Int, ValueKind::Choice, ValueKind::Bool}, &c);
    const int32_t n = int32_t(number(slot));
    if (c->kind != ValueKind::Choice) return n;
    const int32_t v = choiceValue(*c, n);
    return v == kQualityResolved ? 2 : v;
}

bool ControlsHost::getBoolParam(const std::string& name, double)
{
    return number(slotOf("Kiln::Watchcam::ControlsHost::getBoolParam", name, "boolean", {ValueKind::Bool})) !=
           0.0;
}

KlRGBAColF ControlsHost::getRGBAParam(const std::string& name, double)
{
    const std::array<uint8_t, 3>& rgb =
        colour(slotOf("Kiln::Watchcam::ControlsHost::getRGBAParam", name, "colour",
                      {ValueKind::RGBColour, ValueKind::RGBAColour}));
    // The alpha is the colour's own slider, as the module's host keeps the two in step.
    float alpha = 1.0f;
    int32_t a = -1;
    if (value(name + "Alpha", a) != nullptr)
        alpha = float(uint8_t(std::clamp(number(a) / 100.0 * 255.0, 0.0, 255.0))) / 255.0f;
    return {rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f, alpha};
}

}  // namespace Kiln::Watchcam
