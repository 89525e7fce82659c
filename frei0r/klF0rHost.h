#pragma once
// The frei0r filter as the effect's host: the second implementation of Kiln::Wrapper::HostI, beside the
// plug-in module's adapter (host/). It lives for one f0r_update.
//
// Parameters are the instance's values (klF0rParams.h), read by script name with the same kinds and
// conversions the module's adapter applies: scale controls as fractions, colours 8-bit channel / 255,
// choices as the values their entries map to ("Global Default" filtering as at high quality, the
// quality of a final render). Values do not vary within a frame, so every time reads the same value.
//
// Time is in frames: the frame number of the host's time. The footage rate is the instance's (the
// user's "footageFps" or the rate of the host's times); render scale and pixel aspect are 1 (a frame comes
// at its own size with square pixels as far as frei0r says).
//
// The "Source" clip serves the frame being filtered at the current time, and frames of other times from
// the instance's kept source frames (klF0rFrames.h), cropped as a host's checkout is.
#include "frei0r/klF0rFrames.h"
#include "frei0r/klF0rParams.h"
#include "wrapper/klWrapperHostI.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace Kiln::Frei0r {

class Host;

class Clip : public Kiln::Wrapper::ClipI {
public:
    explicit Clip(Host& host) : host_(host) { }

    // Source of the frame of another time (may be null: the current frame then stands in).
    using OtherFrames = std::function<SharedFrame(int32_t frame)>;

    // The frames the clip can serve.
    void setFrames(const KlTexture<Kiln::PixARGB8>* current, OtherFrames others);

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
    OtherFrames others_;
    std::vector<SharedFrame> served_;  // alive while the render reads them
};

class Host : public Kiln::Wrapper::HostI {
public:
    // `values` and `output` must outlive the host.
    Host(const ParamValues& values, int32_t frame, double frameRate, KlTexture<Kiln::PixARGB8>& output);

    Clip& sourceClip() { return clip_; }

    double currentTime() override { return frame_; }
    double frameRate() override { return frameRate_; }
    double renderScaleX() override { return 1.0; }
    double renderScaleY() override { return 1.0; }
    double pixelAspectRatio() override { return 1.0; }
    // ClipUndefined for any name but "Source".
    Kiln::Wrapper::ClipI& getClip(const std::string& clipName) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>& texture) override;
    // frei0r cannot ask a filter to stop.
    bool abort() override { return false; }

    // ---- NamedParamSetI: the effect's controls; ParameterUndefined for other names, WrongType for a
    // read of another kind. Keyframes and writes are not offered: FeatureUnsupported.
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
    // The parameter behind an effect name whose control is of one of `kinds`; the exceptions above.
    int32_t param(const char* function, const std::string& name, const char* word,
                  std::initializer_list<Kiln::Watchcam::ValueKind> kinds) const;
    [[noreturn]] void unsupported(const char* function, const char* operation) const;

    const ParamValues& values_;
    double frame_;
    double frameRate_;
    KlTexture<Kiln::PixARGB8>& output_;
    Clip clip_;
};

}  // namespace Kiln::Frei0r
