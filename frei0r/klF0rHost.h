#pragma once
// The frei0r filter as the effect's host: the second implementation of Kiln::Wrapper::HostI, beside the
// plug-in module's adapter (host/). It lives for one f0r_update.
//
// Parameters are the instance's values (klF0rParams.h), read by script name as every filter host reads
// the effect's controls (effect/klControlsHost.h); the adapter's own "footageFps" is no name of the
// effect's. Values do not vary within a frame, so every time reads the same value.
//
// Time is in frames: the frame number of the host's time. The footage rate is the instance's (the
// user's "footageFps" or the rate of the host's times); render scale and pixel aspect are 1 (a frame comes
// at its own size with square pixels as far as frei0r says).
//
// The "Source" clip serves the frame being filtered at the current time, and frames of other times from
// the instance's kept source frames (klF0rFrames.h), cropped as a host's checkout is.
#include "effect/klControlsHost.h"
#include "frei0r/klF0rFrames.h"
#include "frei0r/klF0rParams.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace Kiln::Frei0r {

class Clip : public Kiln::Wrapper::FixedClip {
public:
    using FixedClip::FixedClip;

    // Source of the frame of another time (may be null: the current frame then stands in).
    using OtherFrames = std::function<SharedFrame(int32_t frame)>;

    // The frames the clip can serve.
    void setFrames(const KlTexture<Kiln::PixARGB8>* current, OtherFrames others);

protected:
    const KlTexture<Kiln::PixARGB8>* otherFrame(double time) override;

private:
    OtherFrames others_;
    std::vector<SharedFrame> served_;  // alive while the render reads them
};

class Host : public Kiln::Watchcam::ControlsHost {
public:
    // `values` and `output` must outlive the host.
    Host(const ParamValues& values, int32_t frame, double frameRate, KlTexture<Kiln::PixARGB8>& output);

    Clip& sourceClip() { return clip_; }

protected:
    Kiln::Wrapper::ClipI& clip() override { return clip_; }
    const Kiln::Watchcam::ControlSpec* value(const std::string& name, int32_t& slot) const override;
    double number(int32_t slot) const override { return values_.number(slot); }
    const std::array<uint8_t, 3>& colour(int32_t slot) const override { return values_.colour(slot); }

private:
    const ParamValues& values_;
    Clip clip_;
};

}  // namespace Kiln::Frei0r
