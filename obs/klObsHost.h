#pragma once
// The OBS filter as the effect's host: the third implementation of Kiln::Wrapper::HostI, beside the
// plug-in module's adapter (host/) and the frei0r filter's. It lives for one frame.
//
// Parameters are the filter's values (klObsSettings.h), read by script name as every filter host reads
// the effect's controls (effect/klControlsHost.h). Values do not vary within a frame.
//
// Time is in frames of OBS's output rate: the frame number of the shown frame's timestamp (klObsClock.h),
// and the rate OBS runs at (30, 60, 30000/1001, ...). Render scale and pixel aspect are 1.
//
// The "Source" clip serves the frame being filtered at the current time and one held frame (the camera's
// last kept frame, klObsRenderer.h). A frame asked for at another time that is not held is served by the
// current frame, which then stands in for it.
#include "effect/klControlsHost.h"
#include "obs/klObsSettings.h"

#include <array>
#include <cstdint>
#include <string>

namespace Kiln::Obs {

class SourceClip : public Kiln::Wrapper::FixedClip {
public:
    using FixedClip::FixedClip;

    // `held` may be null.
    void setFrames(const KlTexture<Kiln::PixARGB8>* current, const KlTexture<Kiln::PixARGB8>* held,
                   int32_t heldFrame);
    bool servedHeld() const { return servedHeld_; }
    // Whether the current frame stood in for another (and for which).
    bool stoodIn() const { return stoodIn_; }
    int32_t stoodInFor() const { return stoodInFor_; }

protected:
    const KlTexture<Kiln::PixARGB8>* otherFrame(double time) override;

private:
    const KlTexture<Kiln::PixARGB8>* held_ = nullptr;
    int32_t heldFrame_ = 0;
    bool servedHeld_ = false;
    bool stoodIn_ = false;
    int32_t stoodInFor_ = 0;
};

class Host : public Kiln::Watchcam::ControlsHost {
public:
    // `values` and `output` must outlive the host. Play speed is no setting: ParameterUndefined.
    Host(const Values& values, int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output);

    SourceClip& sourceClip() { return clip_; }

protected:
    Kiln::Wrapper::ClipI& clip() override { return clip_; }
    const Kiln::Watchcam::ControlSpec* value(const std::string& name, int32_t& slot) const override;
    double number(int32_t slot) const override { return values_.number(slot); }
    const std::array<uint8_t, 3>& colour(int32_t slot) const override { return values_.colour(slot); }

private:
    const Values& values_;
    SourceClip clip_;
};

}  // namespace Kiln::Obs
