#include "wrapper/klFixedHost.h"

#include "exceptions/klException.h"
#include "wrapper/klPostProcess.h"

#include <algorithm>

namespace Kiln::Wrapper {

namespace Ex = Kiln::Exceptions;

namespace {

// A fresh view of a frame: no crop or edge rule of an earlier fetch carried over.
KlTexture<Kiln::PixARGB8> freshView(const KlTexture<Kiln::PixARGB8>& frame)
{
    return KlTexture<Kiln::PixARGB8>(frame.data(), frame.width(), frame.height(), frame.rowBytes(),
                                     frame.originX(), frame.originY(), frame.holder());
}

[[noreturn]] void unsupported(const char* function, const char* operation)
{
    throw Ex::AfterEffects::FeatureUnsupported(function, __FILE__, __LINE__, operation);
}

// Frames of [max(time0, 0), max(time1, 0)]: a fixed value's integral is the value times these.
double framesBetween(double time0, double time1) { return std::max(time1, 0.0) - std::max(time0, 0.0); }

}  // namespace

// ---- FixedClip --------------------------------------------------------------------------------

std::array<double, 4> FixedClip::getRegionOfDefinition(double)
{
    if (current_ == nullptr) return {0, 0, 0, 0};
    return {0.0, double(current_->width()), 0.0, double(current_->height())};
}

bool FixedClip::isConnected() { return current_ != nullptr && !current_->isNull(); }

int32_t FixedClip::getComponents()
{
    unsupported("Kiln::Wrapper::FixedClip::getComponents", "getComponents");
}

int32_t FixedClip::getDepth() { unsupported("Kiln::Wrapper::FixedClip::getDepth", "getDepth"); }

void FixedClip::setFramesNeeded(double, double)
{
    unsupported("Kiln::Wrapper::FixedClip::setFramesNeeded", "setFramesNeeded");
}

std::array<double, 2> FixedClip::getFrameRange()
{
    unsupported("Kiln::Wrapper::FixedClip::getFrameRange", "getFrameRange");
}

bool FixedClip::fetchImageRaw(double time, KlTexture<Kiln::PixARGB8>& texture)
{
    if (!isConnected()) return false;
    if (time == host_.currentTime()) {
        texture = freshView(*current_);
        return true;
    }
    const KlTexture<Kiln::PixARGB8>* other = otherFrame(time);
    texture = freshView(other != nullptr ? *other : *current_);
    applySourceCrop(texture, readPostProcessSettings(host_, host_.currentTime()));
    return true;
}

bool FixedClip::fetchImageRaw(double, KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Wrapper::FixedClip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

bool FixedClip::fetchImageRaw(double, KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Wrapper::FixedClip::fetchImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

// ---- FixedHost --------------------------------------------------------------------------------

FixedHost::FixedHost(int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output, const char* clipName)
    : frame_(frame), rate_(rate), output_(output), clipName_(clipName)
{ }

ClipI& FixedHost::getClip(const std::string& clipName)
{
    if (clipName != clipName_)
        throw Ex::Wrapper::ClipUndefined("Kiln::Wrapper::FixedHost::getClip", __FILE__, __LINE__, clipName);
    return clip();
}

void FixedHost::fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) { texture = freshView(output_); }

void FixedHost::fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Wrapper::FixedHost::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

void FixedHost::fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>&)
{
    throw Ex::Wrapper::FetchImageFailed("Kiln::Wrapper::FixedHost::fetchOutputImageRaw", __FILE__, __LINE__,
                                        "texture wrong template");
}

void FixedHost::known(const char* function, const std::string& name)
{
    if (!hasParam(name)) throw Ex::Wrapper::ParameterUndefined(function, __FILE__, __LINE__, name);
}

void FixedHost::noneOfKind(const char* function, const std::string& name, const char* word)
{
    known(function, name);
    throw Ex::WrongType(function, __FILE__, __LINE__, name, word);
}

KlRGBColF FixedHost::getRGBParam(const std::string& name, double time)
{
    const KlRGBAColF c = getRGBAParam(name, time);
    return {c.r, c.g, c.b};
}

double FixedHost::integrateDoubleParam(const std::string& name, double time0, double time1)
{
    return getDoubleParam(name, time0) * framesBetween(time0, time1);
}

double FixedHost::integrateScaleParam(const std::string& name, double time0, double time1)
{
    return getScaleParam(name, time0) * framesBetween(time0, time1);
}

double FixedHost::differentiateDoubleParam(const std::string& name, double time)
{
    getDoubleParam(name, time);
    return 0.0;
}

// ---- what fixed values do not have ------------------------------------------------------------

bool FixedHost::paramIsAnimating(const std::string& name)
{
    known("Kiln::Wrapper::FixedHost::paramIsAnimating", name);
    return false;
}
int FixedHost::paramNumKeys(const std::string& name)
{
    paramIsAnimating(name);
    return 0;
}
int FixedHost::paramFindKey(const std::string& name, double, Kiln::Param::KeySearch)
{
    paramIsAnimating(name);
    return -1;
}
void FixedHost::paramDeleteKey(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::paramDeleteKey", "paramDeleteKey");
}
void FixedHost::paramDeleteKey(const std::string&, int)
{
    unsupported("Kiln::Wrapper::FixedHost::paramDeleteKey", "paramDeleteKey");
}
void FixedHost::paramDeleteAllKeys(const std::string&)
{
    unsupported("Kiln::Wrapper::FixedHost::paramDeleteAllKeys", "paramDeleteAllKeys");
}
double FixedHost::paramKeyTime(const std::string&, int)
{
    unsupported("Kiln::Wrapper::FixedHost::paramKeyTime", "paramKeyTime");
}
void FixedHost::paramSetKey(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::paramSetKey", "paramSetKey");
}

double FixedHost::getAngleParam(const std::string& name, double)
{
    noneOfKind("Kiln::Wrapper::FixedHost::getAngleParam", name, "angle");
}
void FixedHost::getStringParam(const std::string& name, std::string&, double)
{
    noneOfKind("Kiln::Wrapper::FixedHost::getStringParam", name, "string");
}
HvVec2 FixedHost::get2DDoubleParam(const std::string& name, double)
{
    noneOfKind("Kiln::Wrapper::FixedHost::get2DDoubleParam", name, "2D");
}
HvBox2 FixedHost::getRectDParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getRectDParam", "getRectDParam");
}
KlRectI FixedHost::getRectIParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getRectIParam", "getRectIParam");
}
KlRotoShape FixedHost::getRotoParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getRotoParam", "getRotoParam");
}
KlColGradDescription FixedHost::getGradParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getGradParam", "getGradParam");
}
void FixedHost::getLightParam(const std::string&, Kiln::Param::LightDescription&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getLightParam", "getLightParam");
}
void FixedHost::getCameraParam(const std::string&, Kiln::Param::CameraDescription&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::getCameraParam", "getCameraParam");
}
HvVec2 FixedHost::integrate2DDoubleParam(const std::string&, double, double)
{
    unsupported("Kiln::Wrapper::FixedHost::integrate2DDoubleParam", "integrate2DDoubleParam");
}
HvVec2 FixedHost::differentiate2DDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::differentiate2DDoubleParam", "differentiate2DDoubleParam");
}

// The adapter's host sets the values; the effect only reads them.
void FixedHost::setDoubleParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::setDoubleParam", "setDoubleParam");
}
void FixedHost::setScaleParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::setScaleParam", "setScaleParam");
}
void FixedHost::setAngleParam(const std::string&, double)
{
    unsupported("Kiln::Wrapper::FixedHost::setAngleParam", "setAngleParam");
}
void FixedHost::setIntParam(const std::string&, int)
{
    unsupported("Kiln::Wrapper::FixedHost::setIntParam", "setIntParam");
}
void FixedHost::setStringParam(const std::string&, const std::string&)
{
    unsupported("Kiln::Wrapper::FixedHost::setStringParam", "setStringParam");
}
void FixedHost::setBoolParam(const std::string&, bool)
{
    unsupported("Kiln::Wrapper::FixedHost::setBoolParam", "setBoolParam");
}
void FixedHost::setRGBParam(const std::string&, const KlRGBColF&)
{
    unsupported("Kiln::Wrapper::FixedHost::setRGBParam", "setRGBParam");
}
void FixedHost::setRGBAParam(const std::string&, const KlRGBAColF&)
{
    unsupported("Kiln::Wrapper::FixedHost::setRGBAParam", "setRGBAParam");
}
void FixedHost::set2DDoubleParam(const std::string&, const HvVec2&)
{
    unsupported("Kiln::Wrapper::FixedHost::set2DDoubleParam", "set2DDoubleParam");
}
void FixedHost::setRectDParam(const std::string&, const HvBox2&)
{
    unsupported("Kiln::Wrapper::FixedHost::setRectDParam", "setRectDParam");
}
void FixedHost::setRectIParam(const std::string&, const KlRectI&)
{
    unsupported("Kiln::Wrapper::FixedHost::setRectIParam", "setRectIParam");
}
void FixedHost::setRotoParam(const std::string&, const KlRotoShape&)
{
    unsupported("Kiln::Wrapper::FixedHost::setRotoParam", "setRotoParam");
}
void FixedHost::setGradParam(const std::string&, const KlColGradDescription&)
{
    unsupported("Kiln::Wrapper::FixedHost::setGradParam", "setGradParam");
}
void FixedHost::setHost(Kiln::Param::NamedParamSetI*) { }

}  // namespace Kiln::Wrapper
