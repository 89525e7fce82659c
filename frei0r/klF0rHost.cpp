#include "frei0r/klF0rHost.h"

#include "effect/klTimeRemap.h"
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "wrapper/klPostProcess.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace Kiln::Frei0r {

namespace Ex = Kiln::Exceptions;
using Kiln::Watchcam::ValueKind;

namespace {

float channel(uint8_t c) { return static_cast<float>(c) / 255.0f; }

// A view of `frame` that reads beyond its edges as a fresh texture does (no crop carried over).
KlTexture<Kiln::PixARGB8> viewOf(const KlTexture<Kiln::PixARGB8>& frame)
{
    return KlTexture<Kiln::PixARGB8>(frame.data(), frame.width(), frame.height(), frame.rowBytes(),
                                     frame.originX(), frame.originY(), frame.holder());
}

}  // namespace

// ---- Clip -------------------------------------------------------------------------------------

void Clip::setFrames(const KlTexture<Kiln::PixARGB8>* current, OtherFrames others)
{
    current_ = current;
    others_ = std::move(others);
    served_.clear();
}

std::array<double, 4> Clip::getRegionOfDefinition(double)
{
    if (current_ == nullptr) return {0, 0, 0, 0};
    return {0.0, double(current_->width()), 0.0, double(current_->height())};
}

bool Clip::isConnected() { return current_ != nullptr && !current_->isNull(); }

int32_t Clip::getComponents()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Frei0r::Clip::getComponents", __FILE__, __LINE__,
                                               "getComponents");
}

int32_t Clip::getDepth()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Frei0r::Clip::getDepth", __FILE__, __LINE__,
                                               "getDepth");
}

void Clip::setFramesNeeded(double, double)
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Frei0r::Clip::setFramesNeeded", __FILE__, __LINE__,
                                               "setFramesNeeded");
}

std::array<double, 2> Clip::getFrameRange()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::Frei0r::Clip::getFrameRange", __FILE__, __LINE__,
                                               "getFrameRange");
}

bool Clip::fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture)
{
    if (!isConnected()) return false;
    if (time == host_.currentTime()) {
        texture = viewOf(*current_);
        return true;
    }
    SharedFrame other = others_ ? others_(Kiln::Watchcam::truncToInt(time)) : nullptr;
    if (other == nullptr || other->isNull()) {
        texture = viewOf(*current_);
    } else {
        texture = viewOf(*other);
        served_.push_back(std::move(other));
    }
    // Frames at other times get the source crop from the clip, as a host's checkout does.
    Kiln::Wrapper::applySourceCrop(texture,
                                   Kiln::Wrapper::readPostProcessSettings(host_, host_.currentTime()));
    return true;
}

bool Clip::fetchImageRaw(double, KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Frei0r::Clip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

bool Clip::fetchImageRaw(double, KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Frei0r::Clip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

// ---- Host -------------------------------------------------------------------------------------

Host::Host(const ParamValues& values, int32_t frame, double frameRate, KlTexture<Kiln::PixARGB8>& output)
    : values_(values), frame_(frame), frameRate_(frameRate), output_(output), clip_(*this)
{ }

Kiln::Wrapper::ClipI& Host::getClip(const std::string& clipName)
{
    if (clipName != Kiln::Watchcam::kSourceClip)
        throw Ex::Wrapper::ClipUndefined("Kiln::Frei0r::Host::getClip", __FILE__, __LINE__, clipName);
    return clip_;
}

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) { texture = viewOf(output_); }

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Frei0r::Host::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

void Host::fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Frei0r::Host::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

int32_t Host::param(const char* function, const std::string& name, const char* word,
                    std::initializer_list<ValueKind> kinds) const
{
    const int32_t i = name == kFootageFps ? -1 : paramIndex(name);
    if (i < 0) throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
    const ValueKind kind = controlOf(kParams[size_t(i)])->kind;
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end())
        throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
    return i;
}

void Host::unsupported(const char* function, const char* operation) const
{
    throw Ex::AfterEffects::FeatureUnsupported(function, __FILE__, __LINE__, operation);
}

bool Host::hasParam(const std::string& name) { return name != kFootageFps && paramIndex(name) >= 0; }

double Host::getDoubleParam(const std::string& name, double)
{
    const int32_t i =
        param("Kiln::Frei0r::Host::getDoubleParam", name, "float", {ValueKind::Double, ValueKind::Scale});
    const bool scale = controlOf(kParams[size_t(i)])->kind == ValueKind::Scale;
    return scale ? values_.number(i) / 100.0 : values_.number(i);
}

double Host::getScaleParam(const std::string& name, double)
{
    return values_.number(param("Kiln::Frei0r::Host::getScaleParam", name, "scale", {ValueKind::Scale})) /
           100.0;
}

int Host::getIntParam(const std::string& name, double)
{
    const int32_t i = param("Kiln::Frei0r::Host::getIntParam", name, "integer",
                            {ValueKind::Int, ValueKind::Choice, ValueKind::Bool});
    const Kiln::Watchcam::ControlSpec& c = *controlOf(kParams[size_t(i)]);
    const int32_t n = int32_t(values_.number(i));
    if (c.kind != ValueKind::Choice) return n;
    const int32_t v = Kiln::Watchcam::choiceValue(c, n);
    // A final render is a high-quality one.
    return v == Kiln::Watchcam::kQualityResolved ? 2 : v;
}

bool Host::getBoolParam(const std::string& name, double)
{
    return values_.number(param("Kiln::Frei0r::Host::getBoolParam", name, "boolean", {ValueKind::Bool})) !=
           0.0;
}

KlRGBColF Host::getRGBParam(const std::string& name, double time)
{
    const KlRGBAColF c = getRGBAParam(name, time);
    return {c.r, c.g, c.b};
}

KlRGBAColF Host::getRGBAParam(const std::string& name, double)
{
    const int32_t i = param("Kiln::Frei0r::Host::getRGBAParam", name, "colour",
                            {ValueKind::RGBColour, ValueKind::RGBAColour});
    const std::array<uint8_t, 3>& rgb = values_.colour(i);
    // The edge colour's alpha is its mirror slider, as the module's host keeps the two in step:
    // percent / 100 * 255, truncated.
    uint8_t alpha = 255;
    const std::string mirror = name + "Alpha";
    if (const int32_t a = paramIndex(mirror); a >= 0)
        alpha = uint8_t(std::clamp(values_.number(a) / 100.0 * 255.0, 0.0, 255.0));
    return {channel(rgb[0]), channel(rgb[1]), channel(rgb[2]), channel(alpha)};
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

// ---- what a filter does not have --------------------------------------------------------------

bool Host::paramIsAnimating(const std::string& name)
{
    param("Kiln::Frei0r::Host::paramIsAnimating", name, "any",
          {ValueKind::Bool, ValueKind::Double, ValueKind::Int, ValueKind::RGBColour, ValueKind::RGBAColour,
           ValueKind::Choice, ValueKind::Scale});
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
    unsupported("Kiln::Frei0r::Host::paramDeleteKey", "paramDeleteKey");
}
void Host::paramDeleteKey(const std::string&, int)
{
    unsupported("Kiln::Frei0r::Host::paramDeleteKey", "paramDeleteKey");
}
void Host::paramDeleteAllKeys(const std::string&)
{
    unsupported("Kiln::Frei0r::Host::paramDeleteAllKeys", "paramDeleteAllKeys");
}
double Host::paramKeyTime(const std::string&, int)
{
    unsupported("Kiln::Frei0r::Host::paramKeyTime", "paramKeyTime");
}
void Host::paramSetKey(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::paramSetKey", "paramSetKey");
}

double Host::getAngleParam(const std::string& name, double)
{
    param("Kiln::Frei0r::Host::getAngleParam", name, "angle", {});
    return 0.0;
}
void Host::getStringParam(const std::string& name, std::string&, double)
{
    param("Kiln::Frei0r::Host::getStringParam", name, "string", {});
}
HvVec2 Host::get2DDoubleParam(const std::string& name, double)
{
    param("Kiln::Frei0r::Host::get2DDoubleParam", name, "2D", {});
    return {};
}
HvBox2 Host::getRectDParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::getRectDParam", "getRectDParam");
}
KlRectI Host::getRectIParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::getRectIParam", "getRectIParam");
}
KlRotoShape Host::getRotoParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::getRotoParam", "getRotoParam");
}
KlColGradDescription Host::getGradParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::getGradParam", "getGradParam");
}
void Host::getLightParam(const std::string&, Kiln::Param::LightDescription&, double)
{
    unsupported("Kiln::Frei0r::Host::getLightParam", "getLightParam");
}
void Host::getCameraParam(const std::string&, Kiln::Param::CameraDescription&, double)
{
    unsupported("Kiln::Frei0r::Host::getCameraParam", "getCameraParam");
}
HvVec2 Host::integrate2DDoubleParam(const std::string&, double, double)
{
    unsupported("Kiln::Frei0r::Host::integrate2DDoubleParam", "integrate2DDoubleParam");
}
HvVec2 Host::differentiate2DDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::differentiate2DDoubleParam", "differentiate2DDoubleParam");
}

// The host sets the values; the effect only reads them.
void Host::setDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::setDoubleParam", "setDoubleParam");
}
void Host::setScaleParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::setScaleParam", "setScaleParam");
}
void Host::setAngleParam(const std::string&, double)
{
    unsupported("Kiln::Frei0r::Host::setAngleParam", "setAngleParam");
}
void Host::setIntParam(const std::string&, int)
{
    unsupported("Kiln::Frei0r::Host::setIntParam", "setIntParam");
}
void Host::setStringParam(const std::string&, const std::string&)
{
    unsupported("Kiln::Frei0r::Host::setStringParam", "setStringParam");
}
void Host::setBoolParam(const std::string&, bool)
{
    unsupported("Kiln::Frei0r::Host::setBoolParam", "setBoolParam");
}
void Host::setRGBParam(const std::string&, const KlRGBColF&)
{
    unsupported("Kiln::Frei0r::Host::setRGBParam", "setRGBParam");
}
void Host::setRGBAParam(const std::string&, const KlRGBAColF&)
{
    unsupported("Kiln::Frei0r::Host::setRGBAParam", "setRGBAParam");
}
void Host::set2DDoubleParam(const std::string&, const HvVec2&)
{
    unsupported("Kiln::Frei0r::Host::set2DDoubleParam", "set2DDoubleParam");
}
void Host::setRectDParam(const std::string&, const HvBox2&)
{
    unsupported("Kiln::Frei0r::Host::setRectDParam", "setRectDParam");
}
void Host::setRectIParam(const std::string&, const KlRectI&)
{
    unsupported("Kiln::Frei0r::Host::setRectIParam", "setRectIParam");
}
void Host::setRotoParam(const std::string&, const KlRotoShape&)
{
    unsupported("Kiln::Frei0r::Host::setRotoParam", "setRotoParam");
}
void Host::setGradParam(const std::string&, const KlColGradDescription&)
{
    unsupported("Kiln::Frei0r::Host::setGradParam", "setGradParam");
}
void Host::setHost(Kiln::Param::NamedParamSetI*) { }

}  // namespace Kiln::Frei0r
