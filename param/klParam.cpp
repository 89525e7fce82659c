#include "param/klParam.h"

#include "param/klParamSet.h"
#include "xml/klXMLParser.h"

#include <ostream>

namespace Kiln::Param {

// ---------------------------------------------------------------------------------------
// Text forms

namespace Text {

void write(std::ostream& out, int32_t v) { out << v; }
void write(std::ostream& out, double v) { writeNumber(out, v); }
void write(std::ostream& out, bool v) { out << (v ? "true" : "false"); }
void write(std::ostream& out, const std::string& v) { out << XML::escapeAttribute(v); }

// Reads attribute `name` with parse<T> into `value` when present; a text that
// cannot be read raises BadValue(name, text).
template <class T>
bool take(XML::Attributes& attributes, const char* name, T& value, const char* typeName)
{
    std::string text;
    if (!attributes.take(name, text)) return false;
    try {
        value = parse<T>(text, typeName);
    } catch (const Kiln::Exceptions::BadValue&) {
        throw Kiln::Exceptions::BadValue("Kiln::Param::Param::readAttributes", __FILE__, __LINE__, name,
                                         text);
    }
    return true;
}

}  // namespace Text

// ---------------------------------------------------------------------------------------
// Param

Param::Param(const std::string& name) : HostedObject(name) { }

Param::~Param() = default;

void Param::writeAttributes(std::ostream& out, bool full) const
{
    HostedObject::writeAttributes(out, full);
    if (!full) return;
    if (secret_) out << "secret='true' ";
    out << "enabled='" << (enabled_ ? "true" : "false") << "' ";
    out << "significant='" << (significant_ ? "true" : "false") << "' ";
    out << "animatable='" << (animatable_ ? "true" : "false") << "' ";
}

void Param::readAttributes(XML::Attributes& attributes)
{
    std::string text;
    if (attributes.take("description", text)) setDescription(text);
    if (attributes.take("label", text)) setLabel(text);
    if (bool b; attributes.takeBoolean("valid", b)) setValid(b);
    // A locked set keeps the flags its owner gave it; these are then unknown attributes.
    if (ownerLocked()) return;
    attributes.takeBoolean("secret", secret_);
    attributes.takeBoolean("significant", significant_);
    attributes.takeBoolean("animatable", animatable_);
    attributes.takeBoolean("enabled", enabled_);
}

void Param::setOwner(ParamSet* owner) { owner_ = owner; }

void Param::setValueFromText(const std::string&) { }

void Param::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    out << "/>\n";
}

bool Param::ownerLocked() const { return owner_ != nullptr && owner_->isLocked(); }

NamedParamSetI* Param::hostHolding() const
{
    if (owner_ == nullptr) return nullptr;
    NamedParamSetI* host = owner_->host();
    return host != nullptr && host->hasParam(name()) ? host : nullptr;
}

NamedParamSetI& Param::requireHost() const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        throw Kiln::Exceptions::FunctionUndefined("Kiln::Param::Param::requireHost", __FILE__, __LINE__,
                                                  "host query for a parameter without a host");
    return *h;
}

bool Param::isAnimating() const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->paramIsAnimating(name()) : false;
}

int Param::numKeys() const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->paramNumKeys(name()) : 0;
}

void Param::deleteKey(double time)
{
    if (NamedParamSetI* h = hostHolding()) h->paramDeleteKey(name(), time);
}

void Param::deleteKey(int keyIndex)
{
    if (NamedParamSetI* h = hostHolding()) h->paramDeleteKey(name(), keyIndex);
}

void Param::deleteAllKeys()
{
    if (NamedParamSetI* h = hostHolding()) h->paramDeleteAllKeys(name());
}

double Param::keyTime(int keyIndex) const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->paramKeyTime(name(), keyIndex) : 0.0;
}

int Param::findKey(double time, KeySearch search) const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->paramFindKey(name(), time, search) : -1;
}

void Param::setKey(double time)
{
    if (NamedParamSetI* h = hostHolding()) h->paramSetKey(name(), time);
}

// ---------------------------------------------------------------------------------------
// Value templates

template <class V>
void ValueParamTemplate<V>::readAttributes(XML::Attributes& attributes)
{
    Param::readAttributes(attributes);
    auto parseAttribute = [this](const char* attribute, const std::string& text) {
        try {
            return parseText(text);
        } catch (const Kiln::Exceptions::BadValue&) {
            throw Kiln::Exceptions::BadValue("Kiln::Param::Param::readAttributes", __FILE__, __LINE__,
                                             attribute, text);
        }
    };
    std::string text;
    // A locked set takes the default but keeps its own.
    if (attributes.take("default", text) && !ownerLocked()) default_ = parseAttribute("default", text);
    if (attributes.take("value", text)) value_ = parseAttribute("value", text);
}

template <class V>
void ValueParamTemplate<V>::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    writeTypeAttributes(out, full);
    out << "\n";
}

template <class V>
void ValueParamTemplate<V>::writeTypeAttributes(std::ostream& out, bool full) const
{
    if (full) {
        out << " default='";
        Text::write(out, default_);
        out << "' ";
    }
    out << " value='";
    Text::write(out, value_);
    out << "' />";
}

template <class V, class B>
void BoundParamTemplate<V, B>::readAttributes(XML::Attributes& attributes)
{
    ValueParamTemplate<V>::readAttributes(attributes);
    const char* type = this->typeName();
    B b;
    if (Text::take(attributes, "min", b, type)) min_ = b;
    if (Text::take(attributes, "max", b, type)) max_ = b;
    if (Text::take(attributes, "visualmin", b, type)) visualMin_ = b;
    if (Text::take(attributes, "visualmax", b, type)) visualMax_ = b;
}

template <class V, class B>
void BoundParamTemplate<V, B>::writeTypeAttributes(std::ostream& out, bool full) const
{
    if (full) {
        out << " default='";
        Text::write(out, this->default_);
        out << "' ";
        auto bound = [&out](const char* name, const std::optional<B>& b) {
            if (!b) return;
            out << " " << name << "='";
            Text::write(out, *b);
            out << "' ";
        };
        bound("min", min_);
        bound("max", max_);
        bound("visualmin", visualMin_);
        bound("visualmax", visualMax_);
    }
    out << " value='";
    Text::write(out, this->value_);
    out << "' ";
    out << "/>";
}

template class ValueParamTemplate<int32_t>;
template class ValueParamTemplate<double>;
template class ValueParamTemplate<HvVec2>;
template class ValueParamTemplate<HvBox2>;
template class ValueParamTemplate<KlRectI>;
template class ValueParamTemplate<bool>;
template class ValueParamTemplate<std::string>;
template class ValueParamTemplate<KlRGBColF>;
template class ValueParamTemplate<KlRGBAColF>;
template class BoundParamTemplate<int32_t, int32_t>;
template class BoundParamTemplate<double, double>;
template class BoundParamTemplate<HvVec2, HvVec2>;
template class BoundParamTemplate<HvBox2, HvVec2>;
template class BoundParamTemplate<KlRectI, KlPointI>;

// ---------------------------------------------------------------------------------------
// Host queries of the leaf classes

namespace {

// Raised by integrate and differentiate when no host answers them.
[[noreturn]] void unhosted(const char* function, const char* what)
{
    throw Kiln::Exceptions::FunctionUndefined(function, __FILE__, __LINE__, what);
}

}  // namespace

int32_t Int::getFromHost(double time) const { return requireHost().getIntParam(name(), time); }
void Int::setOnHost(const int32_t& v) const { requireHost().setIntParam(name(), v); }

double Double::getFromHost(double time) const { return requireHost().getDoubleParam(name(), time); }
void Double::setOnHost(const double& v) const { requireHost().setDoubleParam(name(), v); }
double Double::integrate(double time0, double time1) const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        unhosted("Kiln::Param::Double::integrate", "ParamSet::integrateDoubleParam for unhosted parameter");
    return h->integrateDoubleParam(name(), time0, time1);
}
double Double::differentiate(double time) const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        unhosted("Kiln::Param::Double::differentiate",
                 "ParamSet::differentiateDoubleParam for unhosted parameter");
    return h->differentiateDoubleParam(name(), time);
}

double Scale::getFromHost(double time) const { return requireHost().getScaleParam(name(), time); }
void Scale::setOnHost(const double& v) const { requireHost().setScaleParam(name(), v); }
double Scale::integrate(double time0, double time1) const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        unhosted("Kiln::Param::Scale::integrate", "ParamSet::integrateScaleParam for unhosted parameter");
    return h->integrateScaleParam(name(), time0, time1);
}

double Angle::getFromHost(double time) const { return requireHost().getAngleParam(name(), time); }
void Angle::setOnHost(const double& v) const { requireHost().setAngleParam(name(), v); }

HvVec2 Double2::getFromHost(double time) const { return requireHost().get2DDoubleParam(name(), time); }
void Double2::setOnHost(const HvVec2& v) const { requireHost().set2DDoubleParam(name(), v); }
HvVec2 Double2::integrate(double time0, double time1) const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        unhosted("Kiln::Param::Double2::integrate",
                 "ParamSet::integrate2DDoubleParam for unhosted parameter");
    return h->integrate2DDoubleParam(name(), time0, time1);
}
HvVec2 Double2::differentiate(double time) const
{
    NamedParamSetI* h = hostHolding();
    if (h == nullptr)
        unhosted("Kiln::Param::Double2::differentiate",
                 "ParamSet::differentiate2DDoubleParam for unhosted parameter");
    return h->differentiate2DDoubleParam(name(), time);
}

HvBox2 RectD::getFromHost(double time) const { return requireHost().getRectDParam(name(), time); }
void RectD::setOnHost(const HvBox2& v) const { requireHost().setRectDParam(name(), v); }

KlRectI RectI::getFromHost(double time) const { return requireHost().getRectIParam(name(), time); }
void RectI::setOnHost(const KlRectI& v) const { requireHost().setRectIParam(name(), v); }

bool Bool::parseText(const std::string& text) const { return XML::parseBoolean(text); }
bool Bool::getFromHost(double time) const { return requireHost().getBoolParam(name(), time); }
void Bool::setOnHost(const bool& v) const { requireHost().setBoolParam(name(), v); }

std::string String::getFromHost(double time) const
{
    std::string v;
    requireHost().getStringParam(name(), v, time);
    return v;
}
void String::setOnHost(const std::string& v) const { requireHost().setStringParam(name(), v); }

KlRGBColF RGBColour::getFromHost(double time) const { return requireHost().getRGBParam(name(), time); }
void RGBColour::setOnHost(const KlRGBColF& v) const { requireHost().setRGBParam(name(), v); }

KlRGBAColF RGBAColour::getFromHost(double time) const { return requireHost().getRGBAParam(name(), time); }
void RGBAColour::setOnHost(const KlRGBAColF& v) const { requireHost().setRGBAParam(name(), v); }

}  // namespace Kiln::Param
