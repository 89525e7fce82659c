#include "param/klParamChoice.h"
#include "param/klParamGrad.h"
#include "param/klParamSet.h"
#include "xml/klXMLParser.h"

#include <ostream>

namespace Kiln::Param {

ParamSet::ParamSet() = default;

ParamSet::~ParamSet()
{
    for (Param* p : store_.hsObjects()) p->setOwner(nullptr);
}

// ---------------------------------------------------------------------------------------
// Membership

bool ParamSet::hasParam(const std::string& name)
{
    if (hosted_) return host_->hasParam(name);
    return store_.hsHasName(name);
}

void ParamSet::addParam(Param* param)
{
    if (locked_) throw Kiln::Exceptions::Locked("Kiln::Param::ParamSet::addParam", __FILE__, __LINE__);
    store_.hsAddObject(param);
    param->setOwner(this);
}

void ParamSet::aliasParam(const std::string& alias, const std::string& target)
{
    store_.hsAliasObject(alias, target);
}

void ParamSet::removeParam(Param* param)
{
    if (locked_) throw Kiln::Exceptions::Locked("Kiln::Param::ParamSet::removeParam", __FILE__, __LINE__);
    // Keep the parameter alive while it is taken out, so its owner can be reset last.
    RefPtr<Param> keep;
    if (param) {
        param->addRef();
        keep = RefPtr<Param>(param);
    }
    store_.hsRemoveObject(param);
    param->setOwner(nullptr);
}

void ParamSet::setHost(NamedParamSetI* host)
{
    host_ = host;
    hosted_ = host != nullptr;
}

double ParamSet::currentTime() { return 0.0; }

// ---------------------------------------------------------------------------------------
// Keyframes: the host's; without one the parameter must exist and has no keys.

bool ParamSet::paramIsAnimating(const std::string& name)
{
    if (hosted_) return host_->paramIsAnimating(name);
    return getParam(name)->isAnimating();
}

int ParamSet::paramNumKeys(const std::string& name)
{
    if (hosted_) return host_->paramNumKeys(name);
    return getParam(name)->numKeys();
}

void ParamSet::paramDeleteKey(const std::string& name, double time)
{
    if (hosted_) return host_->paramDeleteKey(name, time);
    getParam(name)->deleteKey(time);
}

void ParamSet::paramDeleteKey(const std::string& name, int keyIndex)
{
    if (hosted_) return host_->paramDeleteKey(name, keyIndex);
    getParam(name)->deleteKey(keyIndex);
}

void ParamSet::paramDeleteAllKeys(const std::string& name)
{
    if (hosted_) return host_->paramDeleteAllKeys(name);
    getParam(name)->deleteAllKeys();
}

double ParamSet::paramKeyTime(const std::string& name, int keyIndex)
{
    if (hosted_) return host_->paramKeyTime(name, keyIndex);
    return getParam(name)->keyTime(keyIndex);
}

int ParamSet::paramFindKey(const std::string& name, double time, KeySearch search)
{
    if (hosted_) return host_->paramFindKey(name, time, search);
    return getParam(name)->findKey(time, search);
}

void ParamSet::paramSetKey(const std::string& name, double time)
{
    if (hosted_) return host_->paramSetKey(name, time);
    getParam(name)->setKey(time);
}

// ---------------------------------------------------------------------------------------
// Getters

double ParamSet::getDoubleParam(const std::string& name, double time)
{
    if (hosted_) return host_->getDoubleParam(name, time);
    return getAndCastParam<Double>(name)->value(time);
}

double ParamSet::getScaleParam(const std::string& name, double time)
{
    if (hosted_) return host_->getScaleParam(name, time);
    return getAndCastParam<Scale>(name)->value(time);
}

double ParamSet::getAngleParam(const std::string& name, double time)
{
    if (hosted_) return host_->getAngleParam(name, time);
    return getAndCastParam<Angle>(name)->value(time);
}

int ParamSet::getIntParam(const std::string& name, double time)
{
    if (hosted_) return host_->getIntParam(name, time);
    if (Int* p = getAndCastParam<Int>(name, false)) return p->value(time);
    if (Choice* p = getAndCastParam<Choice>(name, false)) return p->value(time);
    if (Bool* p = getAndCastParam<Bool>(name, false)) return p->value(time) ? 1 : 0;
    throw Kiln::Exceptions::Param::ParamUndefined("Kiln::Param::ParamSet::getIntParam", __FILE__, __LINE__,
                                                  name);
}

void ParamSet::getStringParam(const std::string& name, std::string& value, double time)
{
    if (hosted_) return host_->getStringParam(name, value, time);
    value = getAndCastParam<String>(name)->value(time);
}

bool ParamSet::getBoolParam(const std::string& name, double time)
{
    if (hosted_) return host_->getBoolParam(name, time);
    return getAndCastParam<Bool>(name)->value(time);
}

KlRGBColF ParamSet::getRGBParam(const std::string& name, double time)
{
    if (hosted_) return host_->getRGBParam(name, time);
    return getAndCastParam<RGBColour>(name)->value(time);
}

KlRGBAColF ParamSet::getRGBAParam(const std::string& name, double time)
{
    if (hosted_) return host_->getRGBAParam(name, time);
    return getAndCastParam<RGBAColour>(name)->value(time);
}

HvVec2 ParamSet::get2DDoubleParam(const std::string& name, double time)
{
    if (hosted_) return host_->get2DDoubleParam(name, time);
    return getAndCastParam<Double2>(name)->value(time);
}

HvBox2 ParamSet::getRectDParam(const std::string& name, double time)
{
    if (hosted_) return host_->getRectDParam(name, time);
    return getAndCastParam<RectD>(name)->value(time);
}

KlRectI ParamSet::getRectIParam(const std::string& name, double time)
{
    if (hosted_) return host_->getRectIParam(name, time);
    return getAndCastParam<RectI>(name)->value(time);
}

KlRotoShape ParamSet::getRotoParam(const std::string& name, double)
{
    return getAndCastParam<Roto>(name)->shape();
}

KlColGradDescription ParamSet::getGradParam(const std::string& name, double time)
{
    if (hosted_) return host_->getGradParam(name, time);
    return getAndCastParam<Grad>(name)->value(time);
}

void ParamSet::getLightParam(const std::string& name, LightDescription& light, double time)
{
    if (hosted_) return host_->getLightParam(name, light, time);
    throw Kiln::Exceptions::FunctionUndefined("Kiln::Param::ParamSet::getLightParam", __FILE__, __LINE__,
                                              "ParamSet::getLightParam for unhosted parameter");
}

void ParamSet::getCameraParam(const std::string& name, CameraDescription& camera, double time)
{
    if (hosted_) return host_->getCameraParam(name, camera, time);
    throw Kiln::Exceptions::FunctionUndefined("Kiln::Param::ParamSet::getCameraParam", __FILE__, __LINE__,
                                              "ParamSet::getCameraParam for unhosted parameter");
}

// ---------------------------------------------------------------------------------------
// Integrals and derivatives: only a host can answer them.

double ParamSet::integrateDoubleParam(const std::string& name, double time0, double time1)
{
    if (hosted_) return host_->integrateDoubleParam(name, time0, time1);
    return getAndCastParam<Double>(name)->integrate(time0, time1);
}

double ParamSet::integrateScaleParam(const std::string& name, double time0, double time1)
{
    if (hosted_) return host_->integrateScaleParam(name, time0, time1);
    return getAndCastParam<Scale>(name)->integrate(time0, time1);
}

double ParamSet::differentiateDoubleParam(const std::string& name, double time)
{
    if (hosted_) return host_->differentiateDoubleParam(name, time);
    return getAndCastParam<Double>(name)->differentiate(time);
}

HvVec2 ParamSet::integrate2DDoubleParam(const std::string& name, double time0, double time1)
{
    if (hosted_) return host_->integrate2DDoubleParam(name, time0, time1);
    return getAndCastParam<Double2>(name)->integrate(time0, time1);
}

HvVec2 ParamSet::differentiate2DDoubleParam(const std::string& name, double time)
{
    if (hosted_) return host_->differentiate2DDoubleParam(name, time);
    return getAndCastParam<Double2>(name)->differentiate(time);
}

// ---------------------------------------------------------------------------------------
// Setters

void ParamSet::setDoubleParam(const std::string& name, double value)
{
    if (hosted_) return host_->setDoubleParam(name, value);
    getAndCastParam<Double>(name)->setValue(value);
}

void ParamSet::setScaleParam(const std::string& name, double value)
{
    if (hosted_) return host_->setScaleParam(name, value);
    getAndCastParam<Scale>(name)->setValue(value);
}

void ParamSet::setAngleParam(const std::string& name, double value)
{
    if (hosted_) return host_->setAngleParam(name, value);
    getAndCastParam<Angle>(name)->setValue(value);
}

void ParamSet::setIntParam(const std::string& name, int value)
{
    if (hosted_) return host_->setIntParam(name, value);
    if (Int* p = getAndCastParam<Int>(name, false)) return p->setValue(value);
    if (Choice* p = getAndCastParam<Choice>(name, false)) return p->setValue(value);
    if (Bool* p = getAndCastParam<Bool>(name, false)) return p->setValue(value != 0);
    throw Kiln::Exceptions::Param::ParamWrongType("Kiln::Param::ParamSet::setIntParam", __FILE__, __LINE__,
                                                  name);
}

void ParamSet::setStringParam(const std::string& name, const std::string& value)
{
    if (hosted_) return host_->setStringParam(name, value);
    getAndCastParam<String>(name)->setValue(value);
}

void ParamSet::setBoolParam(const std::string& name, bool value)
{
    if (hosted_) return host_->setBoolParam(name, value);
    getAndCastParam<Bool>(name)->setValue(value);
}

void ParamSet::setRGBParam(const std::string& name, const KlRGBColF& value)
{
    if (hosted_) return host_->setRGBParam(name, value);
    getAndCastParam<RGBColour>(name)->setValue(value);
}

void ParamSet::setRGBAParam(const std::string& name, const KlRGBAColF& value)
{
    if (hosted_) return host_->setRGBAParam(name, value);
    getAndCastParam<RGBAColour>(name)->setValue(value);
}

void ParamSet::set2DDoubleParam(const std::string& name, const HvVec2& value)
{
    if (hosted_) return host_->set2DDoubleParam(name, value);
    getAndCastParam<Double2>(name)->setValue(value);
}

void ParamSet::setRectDParam(const std::string& name, const HvBox2& value)
{
    if (hosted_) return host_->setRectDParam(name, value);
    getAndCastParam<RectD>(name)->setValue(value);
}

void ParamSet::setRectIParam(const std::string& name, const KlRectI& value)
{
    if (hosted_) return host_->setRectIParam(name, value);
    getAndCastParam<RectI>(name)->setValue(value);
}

void ParamSet::setRotoParam(const std::string& name, const KlRotoShape& value)
{
    getAndCastParam<Roto>(name)->setShape(value);
}

void ParamSet::setGradParam(const std::string& name, const KlColGradDescription& value)
{
    getAndCastParam<Grad>(name)->setValue(value);
}

// ---------------------------------------------------------------------------------------
// Untimed getters: at currentTime()

double ParamSet::getScaleParam(const std::string& name) { return getScaleParam(name, currentTime()); }
double ParamSet::getAngleParam(const std::string& name) { return getAngleParam(name, currentTime()); }
int ParamSet::getIntParam(const std::string& name) { return getIntParam(name, currentTime()); }
void ParamSet::getStringParam(const std::string& name, std::string& value)
{
    getStringParam(name, value, currentTime());
}
bool ParamSet::getBoolParam(const std::string& name) { return getBoolParam(name, currentTime()); }
KlRGBColF ParamSet::getRGBParam(const std::string& name) { return getRGBParam(name, currentTime()); }
KlRGBAColF ParamSet::getRGBAParam(const std::string& name) { return getRGBAParam(name, currentTime()); }
HvVec2 ParamSet::get2DDoubleParam(const std::string& name) { return get2DDoubleParam(name, currentTime()); }
HvBox2 ParamSet::getRectDParam(const std::string& name) { return getRectDParam(name, currentTime()); }
KlRectI ParamSet::getRectIParam(const std::string& name) { return getRectIParam(name, currentTime()); }
KlRotoShape ParamSet::getRotoParam(const std::string& name) { return getRotoParam(name, currentTime()); }
KlColGradDescription ParamSet::getGradParam(const std::string& name)
{
    return getGradParam(name, currentTime());
}
void ParamSet::getLightParam(const std::string& name, LightDescription& light)
{
    getLightParam(name, light, currentTime());
}
void ParamSet::getCameraParam(const std::string& name, CameraDescription& camera)
{
    getCameraParam(name, camera, currentTime());
}

// ---------------------------------------------------------------------------------------
// Writing

void ParamSet::writeXML(std::ostream& out, bool full) const
{
    out << "<paramset>\n";
    for (const Param* p : store_.hsObjects()) p->writeXML(out, full);
    // Aliases follow the parameters they name, so that they read back.
    for (const auto& [alias, p] : store_.hsNames())
        if (alias != p->name())
            out << "  <alias name='" << XML::escapeAttribute(alias) << "' original='"
                << XML::escapeAttribute(p->name()) << "' />\n";
    out << "</paramset>\n";
}

}  // namespace Kiln::Param
