#include "obs/klObsHost.h"

#include "effect/klTimeRemap.h"
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "wrapper/klPostProcess.h"

#include <algorithm>

namespace Kiln::Obs {

namespace Ex = Kiln::Exceptions;
using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ValueKind;

namespace {

// A fresh view of a frame: no crop or edge rule of an earlier fetch carried over.
KlTexture<Kiln::PixARGB8> freshView(const KlTexture<Kiln::PixARGB8>& frame)
{
    return KlTexture<Kiln::PixARGB8>(frame.data(), frame.width(), frame.height(), frame.rowBytes(),
                                     frame.originX(), frame.originY(), frame.holder());
}

constexpr std::initializer_list<ValueKind> kAnyKind = {
    ValueKind::Bool,       ValueKind::Double, ValueKind::Int,  ValueKind::RGBColour,
    ValueKind::RGBAColour, ValueKind::Choice, ValueKind::Scale};

}  // namespace

// ---- SourceClip -------------------------------------------------------------------------------

void SourceClip::setFrames(const KlTexture<Kiln::PixARGB8>* current, const KlTexture<Kiln::PixARGB8>* held,
                           int32_t heldFrame)
{
    current_ = current;
    held_ = held;
    heldFrame_ = heldFrame;
    servedHeld_ = false;
    stoodIn_ = false;
}

std::array<double, 4> SourceClip::getRegionOfDefinition(double)
{
    if (current_ == nullptr) return {0, 0, 0, 0};
    return {0.0, double(current_->width()), 0.0, double(current_->height())};
}

bool SourceClip::isConnected() { return current_ != nullptr && !current_->isNull(); }

int32_t SourceClip::getComponents()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Obs::SourceClip::getComponents", __FILE__, __LINE__,
                                               "getComponents");
}

int32_t SourceClip::getDepth()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Obs::SourceClip::getDepth", __FILE__, __LINE__,
                                               "getDepth");
}

void SourceClip::setFramesNeeded(double, double)
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Obs::SourceClip::setFramesNeeded", __FILE__, __LINE__,
                                               "setFramesNeeded");
}

std::array<double, 2> SourceClip::getFrameRange()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Obs::SourceClip::getFrameRange", __FILE__, __LINE__,
                                               "getFrameRange");
}

bool SourceClip::fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture)
{
    if (!isConnected()) return false;
    if (time == host_.currentTime()) {
        texture = freshView(*current_);
        return true;
    }
    const bool held = held_ != nullptr && !held_->isNull() && double(heldFrame_) == time;
    if (held) {
        servedHeld_ = true;
    } else {
        stoodIn_ = true;
        stoodInFor_ = Kiln::Watchcam::truncToInt(time);
    }
    texture = freshView(held ? *held_ : *current_);
    // A frame of another time gets the source crop here, as a host's checkout gives it.
    Kiln::Wrapper::applySourceCrop(texture,
                                   Kiln::Wrapper::readPostProcessSettings(host_, host_.currentTime()));
    return true;
}

bool SourceClip::fetchImageRaw(double, KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Obs::SourceClip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

bool SourceClip::fetchImageRaw(double, KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Obs::SourceClip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

// ---- Host -------------------------------------------------------------------------------------

Host::Host(const Values& values, int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output)
    : values_(values), frame_(frame), rate_(rate), output_(output), clip_(*this)
{ }

Kiln::Wrapper::ClipI& Host::getClip(const std::string& clipName)
{
    if (clipName != Kiln::Watchcam::kSourceClip)
        throw Ex::Wrapper::ClipUndefined("Kiln::Obs::Host::getClip", __FILE__, __LINE__, clipName);
    return clip_;
}

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) { texture = freshView(output_); }

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Obs::Host::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Obs::Host::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

const ControlSpec& Host::setting(const char* function, const std::string& name, const char* word,
                                 std::initializer_list<ValueKind> kinds) const
{
    const ControlSpec* c = Kiln::Watchcam::findControl(name);
    if (c == nullptr || !isSetting(*c))
        throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
    if (std::find(kinds.begin(), kinds.end(), c->kind) == kinds.end())
        throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    return *c;
}

void Host::unsupported(const char* function, const char* operation) const
{
    throw Ex::AfterEffects::FeatureUnsupported(function, __FILE__, __LINE__, operation);
}

bool Host::hasParam(const std::string& name)
{
    const ControlSpec* c = Kiln::Watchcam::findControl(name);
    return c != nullptr && isSetting(*c);
}

double Host::getDoubleParam(const std::string& name, double)
{
    const ControlSpec& c =
        setting("Kiln::Obs::Host::getDoubleParam", name, "float", {ValueKind::Double, ValueKind::Scale});
    const double v = values_.number(c.index);
    return c.kind == ValueKind::Scale ? v / 100.0 : v;
}

double Host::getScaleParam(const std::string& name, double)
{
    return values_.number(
               setting("Kiln::Obs::Host::getScaleParam", name, "scale", {ValueKind::Scale}).index) /
           100.0;
}

int Host::getIntParam(const std::string& name, double)
{
    const ControlSpec& c = setting("Kiln::Obs::Host::getIntParam", name, "integer",
                                   {ValueKind::Int, ValueKind::Choice, ValueKind::Bool});
    const int32_t n = int32_t(values_.number(c.index));
    if (c.kind != ValueKind::Choice) return n;
    const int32_t v = Kiln::Watchcam::choiceValue(c, n);
    return v == Kiln::Watchcam::kQualityResolved ? 2 : v;
}

bool Host::getBoolParam(const std::string& name, double)
{
    return values_.number(
               setting("Kiln::Obs::Host::getBoolParam", name, "boolean", {ValueKind::Bool}).index) != 0.0;
}

KlRGBColF Host::getRGBParam(const std::string& name, double time)
{
    const KlRGBAColF c = getRGBAParam(name, time);
    return {c.r, c.g, c.b};
}

KlRGBAColF Host::getRGBAParam(const std::string& name, double)
{
    const ControlSpec& c = setting("Kiln::Obs::Host::getRGBAParam", name, "colour",
                                   {ValueKind::RGBColour, ValueKind::RGBAColour});
    const std::array<uint8_t, 3>& rgb = values_.colour(c.index);
    // The alpha is the colour's own slider, as the module's host keeps the two in step: percent / 100 *
    // 255, truncated.
    float alpha = 1.0f;
    if (const ControlSpec* a = Kiln::Watchcam::findControl(name + "Alpha"); a != nullptr)
        alpha = float(uint8_t(std::clamp(values_.number(a->index) / 100.0 * 255.0, 0.0, 255.0))) / 255.0f;
    return {rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f, alpha};
}

double Host::integrateDoubleParam(const std::string& name, double time0, double time1)
{
    return getDoubleParam(name, time0) * (std::max(time1, 0.0) - std::max(time0, 0.0));
}

double Host::integrateScaleParam(const std::string& name, double time0, double time1)
{
    return getScaleParam(name, time0) * (std::max(time1, 0.0) - std::max(time0, 0.0));
}

double Host::differentiateDoubleParam(const std::string& name, double time)
{
    getDoubleParam(name, time);
    return 0.0;
}

// ---- what a live filter does not have ---------------------------------------------------------

bool Host::paramIsAnimating(const std::string& name)
{
    setting("Kiln::Obs::Host::paramIsAnimating", name, "any", kAnyKind);
    return false;
}
int Host::paramNumKeys(const std::string& name)
{
    paramIsAnimating(name);
    return 0;
}
int Host::paramFindKey(const std::string& name, double, Kiln::Param::KeySearch)
{
    paramIsAnimating(name);
    return -1;
}
void Host::paramDeleteKey(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::paramDeleteKey", "paramDeleteKey");
}
void Host::paramDeleteKey(const std::string&, int)
{
    unsupported("Kiln::Obs::Host::paramDeleteKey", "paramDeleteKey");
}
void Host::paramDeleteAllKeys(const std::string&)
{
    unsupported("Kiln::Obs::Host::paramDeleteAllKeys", "paramDeleteAllKeys");
}
double Host::paramKeyTime(const std::string&, int)
{
    unsupported("Kiln::Obs::Host::paramKeyTime", "paramKeyTime");
}
void Host::paramSetKey(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::paramSetKey", "paramSetKey");
}

double Host::getAngleParam(const std::string& name, double)
{
    setting("Kiln::Obs::Host::getAngleParam", name, "angle", {});
    return 0.0;
}
void Host::getStringParam(const std::string& name, std::string&, double)
{
    setting("Kiln::Obs::Host::getStringParam", name, "string", {});
}
HvVec2 Host::get2DDoubleParam(const std::string& name, double)
{
    setting("Kiln::Obs::Host::get2DDoubleParam", name, "2D", {});
    return {};
}
HvBox2 Host::getRectDParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::getRectDParam", "getRectDParam");
}
KlRectI Host::getRectIParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::getRectIParam", "getRectIParam");
}
KlRotoShape Host::getRotoParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::getRotoParam", "getRotoParam");
}
KlColGradDescription Host::getGradParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::getGradParam", "getGradParam");
}
void Host::getLightParam(const std::string&, Kiln::Param::LightDescription&, double)
{
    unsupported("Kiln::Obs::Host::getLightParam", "getLightParam");
}
void Host::getCameraParam(const std::string&, Kiln::Param::CameraDescription&, double)
{
    unsupported("Kiln::Obs::Host::getCameraParam", "getCameraParam");
}
HvVec2 Host::integrate2DDoubleParam(const std::string&, double, double)
{
    unsupported("Kiln::Obs::Host::integrate2DDoubleParam", "integrate2DDoubleParam");
}
HvVec2 Host::differentiate2DDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::differentiate2DDoubleParam", "differentiate2DDoubleParam");
}

// OBS sets the values; the effect only reads them.
void Host::setDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::setDoubleParam", "setDoubleParam");
}
void Host::setScaleParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::setScaleParam", "setScaleParam");
}
void Host::setAngleParam(const std::string&, double)
{
    unsupported("Kiln::Obs::Host::setAngleParam", "setAngleParam");
}
void Host::setIntParam(const std::string&, int)
{
    unsupported("Kiln::Obs::Host::setIntParam", "setIntParam");
}
void Host::setStringParam(const std::string&, const std::string&)
{
    unsupported("Kiln::Obs::Host::setStringParam", "setStringParam");
}
void Host::setBoolParam(const std::string&, bool)
{
    unsupported("Kiln::Obs::Host::setBoolParam", "setBoolParam");
}
void Host::setRGBParam(const std::string&, const KlRGBColF&)
{
    unsupported("Kiln::Obs::Host::setRGBParam", "setRGBParam");
}
void Host::setRGBAParam(const std::string&, const KlRGBAColF&)
{
    unsupported("Kiln::Obs::Host::setRGBAParam", "setRGBAParam");
}
void Host::set2DDoubleParam(const std::string&, const HvVec2&)
{
    unsupported("Kiln::Obs::Host::set2DDoubleParam", "set2DDoubleParam");
}
void Host::setRectDParam(const std::string&, const HvBox2&)
{
    unsupported("Kiln::Obs::Host::setRectDParam", "setRectDParam");
}
void Host::setRectIParam(const std::string&, const KlRectI&)
{
    unsupported("Kiln::Obs::Host::setRectIParam", "setRectIParam");
}
void Host::setRotoParam(const std::string&, const KlRotoShape&)
{
    unsupported("Kiln::Obs::Host::setRotoParam", "setRotoParam");
}
void Host::setGradParam(const std::string&, const KlColGradDescription&)
{
    unsupported("Kiln::Obs::Host::setGradParam", "setGradParam");
}
void Host::setHost(Kiln::Param::NamedParamSetI*) { }

}  // namespace Kiln::Obs
