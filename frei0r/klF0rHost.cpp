#include "frei0r/klF0rHost.h"

#include "effect/klTimeRemap.h"

#include <utility>

namespace Kiln::Frei0r {

void Clip::setFrames(const KlTexture<Kiln::PixARGB8>* current, OtherFrames others)
{
    setCurrent(current);
    others_ = std::move(others);
    served_.clear();
}

const KlTexture<Kiln::PixARGB8>* Clip::otherFrame(double time)
{
    SharedFrame other = others_ ? others_(Kiln::Watchcam::truncToInt(time)) : nullptr;
    if (other == nullptr || other->isNull()) return nullptr;
    served_.push_back(std::move(other));
    return served_.back().get();
}

Host::Host(const ParamValues& values, int32_t frame, double frameRate, KlTexture<Kiln::PixARGB8>& output)
    : ControlsHost(frame, frameRate, output), values_(values), clip_(*this)
{ }

const Kiln::Watchcam::ControlSpec* Host::value(const std::string& name, int32_t& slot) const
{
    const int32_t i = name == kFootageFps ? -1 : paramIndex(name);
    if (i < 0) return nullptr;
    slot = i;
    return controlOf(kParams[size_t(i)]);
}

}  // namespace Kiln::Frei0r
