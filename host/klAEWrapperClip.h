#pragma once
// The host side of an effect's input clips: images of a host layer at any time, as textures.
//
// A clip is bound to one host layer parameter (0 for "Source", the effect's own layer). The frame the
// host already supplied for the render (params[0], or the smart-render input) is the clip's current
// frame: fetching at its time makes the texture view it, with no host call. Any other time checks the
// layer out with checkout_param; the texture then views the checked-out pixels, and a CheckinHandle
// kept alive by the texture checks the layer back in when the last texture lets go of it. Every
// checkout is thus balanced by exactly one check-in, also when a fetch fails half-way.
//
// Times are in frames of the layer, like every time of the effect's interface.
#include "host/klAEConvert.h"
#include "image/klDataHandle.h"
#include "image/klTexture.h"
#include "param/klHostedObject.h"
#include "param/klNamedParamSet.h"
#include "sdk/klHostAPI.h"
#include "wrapper/klWrapperClipI.h"

#include <array>
#include <string>

namespace Kiln::AfterEffects::Wrapper {

// Holds one checked-out parameter record and checks it in when the last reference goes.
class CheckinHandle : public Kiln::Memory::Handle {
public:
    // An empty guard: check out into record(), then call armed() when the host answered yes.
    explicit CheckinHandle(PF_InData* in_data);
    ~CheckinHandle() override;

    PF_ParamDef& record() { return record_; }
    const PF_ParamDef& record() const { return record_; }
    // The record is checked out and must be checked in.
    void armed();
    bool isArmed() const { return armed_; }

private:
    PF_InData* in_data_;
    PF_ParamDef record_;
    bool armed_ = false;
};

// The optional crop of a clip, read from the parameters named after it ("SourceXMethod", ...).
struct ClipCrop {
    int32_t xMethod = 0;  // edge modes: 0 colour, 1 repeat, 2 reflect, 3 wrap
    int32_t yMethod = 0;
    KlRGBAColF edgeColour{};
    double left = 0.0;  // percent of the width
    double right = 100.0;
    double bottom = 0.0;  // percent of the height, measured up from the bottom
    double top = 100.0;
};

// The suffixes of a clip's crop parameters, in reading order.
inline constexpr std::array<const char*, 7> kCropSuffixes = {"XMethod", "YMethod", "EdgeColour", "Left",
                                                             "Right",   "Bottom",  "Top"};

// Gives a texture the crop's valid window, edge modes and edge colour by the render's own source crop
// (Kiln::Wrapper::applySourceCrop), so frames of other times are cut as the current one is.
template <class Px>
void applyCrop(KlTexture<Px>& texture, const ClipCrop& crop);

class Clip : public Kiln::Wrapper::ClipI {
public:
    // `params` answers the clip's optional parameters (the host adapter); it may be null.
    Clip(std::string name, int32_t hostIndex, PF_InData* in_data, PF_OutData* out_data,
         Kiln::Param::NamedParamSetI* params);
    ~Clip() override;
    Clip(const Clip&) = delete;
    Clip& operator=(const Clip&) = delete;

    const std::string& name() const { return name_; }
    int32_t hostIndex() const { return hostIndex_; }

    // The frame the host supplied for the render, at `time` (frames), in `format`; null drops it.
    void setCurrentFrame(const PF_EffectWorld* world, double time, PF_PixelFormat format);
    bool hasCurrentFrame() const { return current_ != nullptr; }
    double currentFrameTime() const { return currentTime_; }
    // A fixed region (pre-render): the region of definition without asking the host.
    void setRegion(double x, double y, double width, double height);
    void setPathClip(bool path) { path_ = path; }

    // x0, x1, y0, y1: first the x range, then the y range.
    std::array<double, 4> getRegionOfDefinition(double time) override;
    bool isConnected() override;
    // Not offered by this host: FeatureUnsupported naming the operation.
    int32_t getComponents() override;
    int32_t getDepth() override;
    void setFramesNeeded(double time0, double time1) override;
    std::array<double, 2> getFrameRange() override;

    // The clip's image at `time`: a view of the current frame, or of a checkout (see above). False,
    // with the texture untouched, when the layer has no pixels or its pixel format is none of the
    // three the effect renders.
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture) override
    {
        return fetchImage(time, texture);
    }
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB16>& texture) override
    {
        return fetchImage(time, texture);
    }
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGBF>& texture) override
    {
        return fetchImage(time, texture);
    }
    template <class Px>
    bool fetchImage(double time, KlTexture<Px>& texture);

    // The crop parameters at the render time; false when the effect does not define them all.
    bool readCrop(double time, ClipCrop& crop);

private:
    // The layer checked out at `time`, guarded; InterruptedCritical for 517, ClipCheckoutFailed otherwise.
    Kiln::RefPtr<CheckinHandle> checkout(const char* function, double time);

    std::string name_;
    int32_t hostIndex_;
    PF_InData* in_data_;
    PF_OutData* out_data_;
    Kiln::Param::NamedParamSetI* params_;
    const PF_EffectWorld* current_ = nullptr;
    double currentTime_ = 0.0;
    PF_PixelFormat currentFormat_ = PF_PixelFormat_INVALID;
    bool hasRegion_ = false;
    std::array<double, 4> region_{};
    bool path_ = false;
};

}  // namespace Kiln::AfterEffects::Wrapper
