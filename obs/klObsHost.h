#pragma once
// The OBS filter as the effect's host: the third implementation of Kiln::Wrapper::HostI, beside the
// plug-in module's adapter (host/) and the frei0r filter's. It lives for one frame.
//
// Parameters are the filter's values (klObsSettings.h), read by script name with the kinds of the
// controls table: scale controls as fractions, colours 8-bit channel / 255 (the edge colour's alpha is
// its own slider), choices as the values their entries map to ("Global Default" filtering as high
// quality: what OBS shows and records is the final picture). Values do not vary within a frame.
//
// Time is in frames of OBS's output rate: the frame number of the shown frame's timestamp (klObsClock.h),
// and the rate OBS runs at (30, 60, 30000/1001, ...). Render scale and pixel aspect are 1.
//
// The "Source" clip serves the frame being filtered at the current time and one held frame (the camera's
// last kept frame, klObsRenderer.h). A frame asked for at another time that is not held is served by the
// current frame, which then stands in for it.
#include "obs/klObsSettings.h"
#include "wrapper/klWrapperHostI.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace Kiln::Obs {

class Host;

class SourceClip : public Kiln::Wrapper::ClipI {
public:
    explicit SourceClip(Host& host) : host_(host) { }

    // `held` may be null.
    void setFrames(const KlTexture<Kiln::PixARGB8>* current, const KlTexture<Kiln::PixARGB8>* held,
                   int32_t heldFrame);
    bool servedHeld() const { return servedHeld_; }
    // Whether the current frame stood in for another (and for which).
    bool stoodIn() const { return stoodIn_; }
    int32_t stoodInFor() const { return stoodInFor_; }

    std::array<double, 4> getRegionOfDefinition(double time) override;
    bool isConnected() override;
    int32_t getComponents() override;
    int32_t getDepth() override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture) override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB16>& texture) override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGBF>& texture) override;
    void setFramesNeeded(double time0, double time1) override;
    std::array<double, 2> getFrameRange() override;

private:
    Host& host_;
    const KlTexture<Kiln::PixARGB8>* current_ = nullptr;
    const KlTexture<Kiln::PixARGB8>* held_ = nullptr;
    int32_t heldFrame_ = 0;
    bool servedHeld_ = false;
    bool stoodIn_ = false;
    int32_t stoodInFor_ = 0;
};

class Host : public Kiln::Wrapper::HostI {
public:
    // `values` and `output` must outlive the host.
    Host(const Values& values, int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output);

    SourceClip& sourceClip() { return clip_; }

    double currentTime() override { return frame_; }
    double frameRate() override { return rate_; }
    double renderScaleX() override { return 1.0; }
    double renderScaleY() override { return 1.0; }
    double pixelAspectRatio() override { return 1.0; }
    Kiln::Wrapper::ClipI& getClip(const std::string& clipName) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>& texture) override;
    // The filter stops a frame through its interrupt hook instead.
    bool abort() override { return false; }

    // Settings by script name: ParameterUndefined for a name that is none (play speed included),
    // WrongType for a read of another kind. No keyframes, no writes: FeatureUnsupported.
    bool hasParam(const std::string& name) override;
    bool paramIsAnimating(const std::string& name) override;
    int paramNumKeys(const std::string& name) override;
    void paramDeleteKey(const std::string& name, double time) override;
    void paramDeleteKey(const std::string& name, int keyIndex) override;
    void paramDeleteAllKeys(const std::string& name) override;
    double paramKeyTime(const std::string& name, int keyIndex) override;
    int paramFindKey(const std::string& name, double time, Kiln::Param::KeySearch search) override;
    void paramSetKey(const std::string& name, double time) override;

    double getDoubleParam(const std::string& name, double time) override;
    double getScaleParam(const std::string& name, double time) override;
    double getAngleParam(const std::string& name, double time) override;
    int getIntParam(const std::string& name, double time) override;
    void getStringParam(const std::string& name, std::string& value, double time) override;
    bool getBoolParam(const std::string& name, double time) override;
    KlRGBColF getRGBParam(const std::string& name, double time) override;
    KlRGBAColF getRGBAParam(const std::string& name, double time) override;
    HvVec2 get2DDoubleParam(const std::string& name, double time) override;
    HvBox2 getRectDParam(const std::string& name, double time) override;
    KlRectI getRectIParam(const std::string& name, double time) override;
    KlRotoShape getRotoParam(const std::string& name, double time) override;
    KlColGradDescription getGradParam(const std::string& name, double time) override;
    void getLightParam(const std::string& name, Kiln::Param::LightDescription& light, double time) override;
    void getCameraParam(const std::string& name, Kiln::Param::CameraDescription& camera,
                        double time) override;

    // A value that does not vary: v times the frames of [max(time0, 0), max(time1, 0)].
    double integrateDoubleParam(const std::string& name, double time0, double time1) override;
    double integrateScaleParam(const std::string& name, double time0, double time1) override;
    double differentiateDoubleParam(const std::string& name, double time) override;
    HvVec2 integrate2DDoubleParam(const std::string& name, double time0, double time1) override;
    HvVec2 differentiate2DDoubleParam(const std::string& name, double time) override;

    void setDoubleParam(const std::string& name, double value) override;
    void setScaleParam(const std::string& name, double value) override;
    void setAngleParam(const std::string& name, double value) override;
    void setIntParam(const std::string& name, int value) override;
    void setStringParam(const std::string& name, const std::string& value) override;
    void setBoolParam(const std::string& name, bool value) override;
    void setRGBParam(const std::string& name, const KlRGBColF& value) override;
    void setRGBAParam(const std::string& name, const KlRGBAColF& value) override;
    void set2DDoubleParam(const std::string& name, const HvVec2& value) override;
    void setRectDParam(const std::string& name, const HvBox2& value) override;
    void setRectIParam(const std::string& name, const KlRectI& value) override;
    void setRotoParam(const std::string& name, const KlRotoShape& value) override;
    void setGradParam(const std::string& name, const KlColGradDescription& value) override;
    void setHost(Kiln::Param::NamedParamSetI* host) override;

private:
    // The control of a setting whose kind is one of `kinds`; the exceptions above.
    const Kiln::Watchcam::ControlSpec& setting(const char* function, const std::string& name,
                                               const char* word,
                                               std::initializer_list<Kiln::Watchcam::ValueKind> kinds) const;
    [[noreturn]] void unsupported(const char* function, const char* operation) const;

    const Values& values_;
    double frame_;
    double rate_;
    KlTexture<Kiln::PixARGB8>& output_;
    SourceClip clip_;
};

}  // namespace Kiln::Obs
