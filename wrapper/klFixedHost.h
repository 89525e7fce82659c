#pragma once
// A host of fixed values: what the filter adapters (frei0r, OBS) have in common as the effect's host.
//
// Such a host lives for one frame. Its values do not vary within the frame, so every time reads the same
// value: nothing is animated, there are no keyframes, and the effect may not write. Integrating a value
// over [time0, time1] is v times the frames of [max(time0, 0), max(time1, 0)]; its derivative is 0. Time is
// the frame number the adapter gives; render scale and pixel aspect are 1; the host cannot ask the effect
// to stop (an adapter that can, stops it another way). Output images and clip images are 8-bit only.
//
// What a name means is the adapter's: it says which names it has (hasParam) and reads the typed values
// (getDoubleParam, getScaleParam, getIntParam, getBoolParam, getRGBAParam). The other reads answer
// ParameterUndefined for a name it does not have and WrongType for one it has; key look-ups the same way
// for an unknown name. The rest raises FeatureUnsupported naming the operation.
//
// The one clip serves the frame being filtered at the current time. A frame of another time is the
// adapter's (FixedClip::otherFrame), or the current frame stands in for it; either gets the source crop,
// as a host's checkout gives it.
#include "wrapper/klWrapperHostI.h"

#include <array>
#include <cstdint>
#include <string>

namespace Kiln::Wrapper {

class FixedClip : public ClipI {
public:
    explicit FixedClip(HostI& host) : host_(host) { }

    std::array<double, 4> getRegionOfDefinition(double time) override;
    bool isConnected() override;
    int32_t getComponents() override;
    int32_t getDepth() override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture) override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGB16>& texture) override;
    bool fetchImageRaw(double time, KlTexture<Kiln::PixARGBF>& texture) override;
    void setFramesNeeded(double time0, double time1) override;
    std::array<double, 2> getFrameRange() override;

protected:
    // The frame being filtered (may be null: the clip is then not connected).
    void setCurrent(const KlTexture<Kiln::PixARGB8>* current) { current_ = current; }
    // The frame of a time other than the current one, alive while the render reads it; null when the
    // adapter has none (the current frame then stands in). Asked only while the clip is connected.
    virtual const KlTexture<Kiln::PixARGB8>* otherFrame(double time) = 0;

private:
    HostI& host_;
    const KlTexture<Kiln::PixARGB8>* current_ = nullptr;
};

class FixedHost : public HostI {
public:
    // `output` must outlive the host; `clipName` names its one clip (a string that outlives it).
    FixedHost(int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output, const char* clipName);

    double currentTime() override { return frame_; }
    double frameRate() override { return rate_; }
    double renderScaleX() override { return 1.0; }
    double renderScaleY() override { return 1.0; }
    double pixelAspectRatio() override { return 1.0; }
    // ClipUndefined for any name but the clip's.
    ClipI& getClip(const std::string& clipName) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>& texture) override;
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>& texture) override;
    bool abort() override { return false; }

    bool paramIsAnimating(const std::string& name) override;
    int paramNumKeys(const std::string& name) override;
    void paramDeleteKey(const std::string& name, double time) override;
    void paramDeleteKey(const std::string& name, int keyIndex) override;
    void paramDeleteAllKeys(const std::string& name) override;
    double paramKeyTime(const std::string& name, int keyIndex) override;
    int paramFindKey(const std::string& name, double time, Kiln::Param::KeySearch search) override;
    void paramSetKey(const std::string& name, double time) override;

    double getAngleParam(const std::string& name, double time) override;
    void getStringParam(const std::string& name, std::string& value, double time) override;
    KlRGBColF getRGBParam(const std::string& name, double time) override;
    HvVec2 get2DDoubleParam(const std::string& name, double time) override;
    HvBox2 getRectDParam(const std::string& name, double time) override;
    KlRectI getRectIParam(const std::string& name, double time) override;
    KlRotoShape getRotoParam(const std::string& name, double time) override;
    KlColGradDescription getGradParam(const std::string& name, double time) override;
    void getLightParam(const std::string& name, Kiln::Param::LightDescription& light, double time) override;
    void getCameraParam(const std::string& name, Kiln::Param::CameraDescription& camera,
                        double time) override;

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

protected:
    // The adapter's clip, named by the constructor's `clipName`.
    virtual ClipI& clip() = 0;

private:
    // ParameterUndefined for a name the adapter does not have.
    void known(const char* function, const std::string& name);
    // A read no value of this host answers: ParameterUndefined or WrongType (`word` the kind asked for).
    [[noreturn]] void noneOfKind(const char* function, const std::string& name, const char* word);

    double frame_;
    double rate_;
    KlTexture<Kiln::PixARGB8>& output_;
    const char* clipName_;
};

}  // namespace Kiln::Wrapper
