#include "obs/klObsHost.h"

#include "effect/klTimeRemap.h"
#include "effect/klWatchcamParams.h"

namespace Kiln::Obs {

void SourceClip::setFrames(const KlTexture<Kiln::PixARGB8>* current, const KlTexture<Kiln::PixARGB8>* held,
                           int32_t heldFrame)
{
    setCurrent(current);
    held_ = held;
    heldFrame_ = heldFrame;
    servedHeld_ = false;
    stoodIn_ = false;
}

const KlTexture<Kiln::PixARGB8>* SourceClip::otherFrame(double time)
{
    if (held_ != nullptr && !held_->isNull() && double(heldFrame_) == time) {
        servedHeld_ = true;
        return held_;
    }
    stoodIn_ = true;
    stoodInFor_ = Kiln::Watchcam::truncToInt(time);
    return nullptr;
}

Host::Host(const Values& values, int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output)
    : ControlsHost(frame, rate, output), values_(values), clip_(*this)
{ }

const Kiln::Watchcam::ControlSpec* Host::value(const std::string& name, int32_t& slot) const
{
    const Kiln::Watchcam::ControlSpec* c = Kiln::Watchcam::findControl(name);
    if (c == nullptr || !isSetting(*c)) return nullptr;
    slot = c->index;
    return c;
}

}  // namespace Kiln::Obs
