#pragma once
// Typed parameters.
//
// A parameter has a name, display texts and flags (Param) and, for value
// parameters, a default and a current value. Bounded parameters add optional
// min/max bounds (absent is not zero) that clamp values given through the set's
// setters, and optional visual bounds that only describe a user interface's range.
// Text given through setValueFromText or the XML "value" attribute is stored
// unclamped.
//
// A value parameter whose owner set has a host that knows its name answers from
// the host and hands new values on to it; otherwise it answers from its stored value.
//
// The leaf classes of Double and Double2 differ only in their typeName: they tell
// a host how to present the value.
#include "exceptions/klException.h"
#include "param/klHostedObject.h"
#include "param/klNamedParamSet.h"
#include "param/klParamTypes.h"

#include <iosfwd>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

namespace Kiln::XML {
class Attributes;
}

namespace Kiln::Param {

class ParamSet;

class Param : public Kiln::HostedObject {
public:
    explicit Param(const std::string& name);
    ~Param() override;

    // " name='...' " and, when full, description, label, secret, enabled,
    // significant and animatable.
    void writeAttributes(std::ostream& out, bool full) const override;
    // Takes description, label and valid, and, while the owner set is not locked,
    // secret, significant, animatable and enabled. BadValue(attribute, text) for
    // a value that cannot be read.
    virtual void readAttributes(Kiln::XML::Attributes& attributes);
    virtual void setOwner(ParamSet* owner);
    // Parses the text in the parameter's own text form into the current value.
    virtual void setValueFromText(const std::string& text);
    virtual void writeXML(std::ostream& out, bool full) const;
    virtual const char* typeName() const = 0;

    bool secret() const { return secret_; }
    bool enabled() const { return enabled_; }
    bool significant() const { return significant_; }
    bool animatable() const { return animatable_; }
    void setSecret(bool v) { secret_ = v; }
    void setEnabled(bool v) { enabled_ = v; }
    void setSignificant(bool v) { significant_ = v; }
    void setAnimatable(bool v) { animatable_ = v; }

    ParamSet* owner() const { return owner_; }
    // The owner's host when there is one and it knows this parameter's name.
    NamedParamSetI* hostHolding() const;

    // Keyframes, answered through the owner's host (without one: false, 0, -1 or nothing).
    bool isAnimating() const;
    int numKeys() const;
    void deleteKey(double time);
    void deleteKey(int keyIndex);
    void deleteAllKeys();
    double keyTime(int keyIndex) const;
    int findKey(double time, KeySearch search) const;
    void setKey(double time);

protected:
    bool ownerLocked() const;
    // hostHolding(), or FunctionUndefined when there is none.
    NamedParamSetI& requireHost() const;

private:
    bool secret_ = false;
    bool enabled_ = true;
    bool significant_ = true;
    bool animatable_ = true;
    ParamSet* owner_ = nullptr;
};

// Text forms shared by the value templates.
namespace Text {
// Stream extraction of T; BadValue(typeName, text) when nothing can be read.
template <class T>
T parse(const std::string& text, const char* typeName)
{
    std::istringstream in(text);
    T value{};
    if constexpr (std::is_floating_point_v<T>)
        readNumber(in, value);
    else
        in >> value;
    if (in.fail())
        throw Kiln::Exceptions::BadValue("Kiln::Param::Text::parse", __FILE__, __LINE__,
                                         std::string(typeName), text);
    return value;
}
// The written form of a value (numbers that read back exactly, booleans as
// true/false, texts escaped for an attribute).
void write(std::ostream& out, int32_t v);
void write(std::ostream& out, double v);
void write(std::ostream& out, bool v);
void write(std::ostream& out, const std::string& v);
template <class T>
void write(std::ostream& out, const T& v)
{
    out << v;
}
}  // namespace Text

template <class V>
class ValueParamTemplate : public Param {
public:
    using Value = V;

    ValueParamTemplate(const std::string& name, const V& defaultValue)
        : Param(name), default_(defaultValue), value_(defaultValue)
    { }

    const V& defaultValue() const { return default_; }
    void setDefault(const V& v) { default_ = v; }
    // The stored current value.
    const V& storedValue() const { return value_; }
    // Stores without clamping and without telling a host.
    void setStoredValue(const V& v) { value_ = v; }

    // The value at a time: the host's when it holds this parameter, else the stored one.
    V value(double time) const { return hostHolding() ? getFromHost(time) : value_; }
    // Stores the value (clamped into the bounds of a bounded parameter) and hands
    // it on to a host that holds this parameter.
    virtual void setValue(const V& v)
    {
        value_ = limit(v);
        if (hostHolding()) setOnHost(value_);
    }

    virtual V parseText(const std::string& text) const { return Text::parse<V>(text, typeName()); }
    virtual V getFromHost(double time) const = 0;
    virtual void setOnHost(const V& v) const = 0;

    void setValueFromText(const std::string& text) override { value_ = parseText(text); }
    // Param attributes, then "default" (ignored in a locked set) and "value".
    void readAttributes(Kiln::XML::Attributes& attributes) override;
    void writeXML(std::ostream& out, bool full) const override;

protected:
    virtual V limit(const V& v) const { return v; }
    // The part of the element after the common attributes.
    virtual void writeTypeAttributes(std::ostream& out, bool full) const;

    V default_;
    V value_;
};

// ValueParamTemplate for values that are returned whole (bool, colours).
template <class V>
class ValueReturningParamTemplate : public ValueParamTemplate<V> {
public:
    using ValueParamTemplate<V>::ValueParamTemplate;
};

template <class V, class B>
class BoundParamTemplate : public ValueParamTemplate<V> {
public:
    using Bound = B;
    using ValueParamTemplate<V>::ValueParamTemplate;

    const std::optional<B>& min() const { return min_; }
    const std::optional<B>& max() const { return max_; }
    const std::optional<B>& visualMin() const { return visualMin_; }
    const std::optional<B>& visualMax() const { return visualMax_; }
    void setMin(const B& b) { min_ = b; }
    void setMax(const B& b) { max_ = b; }
    void setVisualMin(const B& b) { visualMin_ = b; }
    void setVisualMax(const B& b) { visualMax_ = b; }
    void clearMin() { min_.reset(); }
    void clearMax() { max_.reset(); }
    void clearVisualMin() { visualMin_.reset(); }
    void clearVisualMax() { visualMax_.reset(); }

    // The value limited by min and max (each only when set).
    V clamp(const V& v) const { return clampToBounds(v, min_, max_); }

    // Value attributes, then min, max, visualmin and visualmax.
    void readAttributes(Kiln::XML::Attributes& attributes) override;

protected:
    V limit(const V& v) const override { return clamp(v); }
    void writeTypeAttributes(std::ostream& out, bool full) const override;

    std::optional<B> min_;
    std::optional<B> max_;
    std::optional<B> visualMin_;
    std::optional<B> visualMax_;
};

// The value types of the parameter classes below (members defined in klParam.cpp).
extern template class ValueParamTemplate<int32_t>;
extern template class ValueParamTemplate<double>;
extern template class ValueParamTemplate<HvVec2>;
extern template class ValueParamTemplate<HvBox2>;
extern template class ValueParamTemplate<KlRectI>;
extern template class ValueParamTemplate<bool>;
extern template class ValueParamTemplate<std::string>;
extern template class ValueParamTemplate<KlRGBColF>;
extern template class ValueParamTemplate<KlRGBAColF>;
extern template class BoundParamTemplate<int32_t, int32_t>;
extern template class BoundParamTemplate<double, double>;
extern template class BoundParamTemplate<HvVec2, HvVec2>;
extern template class BoundParamTemplate<HvBox2, HvVec2>;
extern template class BoundParamTemplate<KlRectI, KlPointI>;

class Int : public BoundParamTemplate<int32_t, int32_t> {
public:
    explicit Int(const std::string& name, int32_t defaultValue = 0) : BoundParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "int"; }
    int32_t getFromHost(double time) const override;
    void setOnHost(const int32_t& v) const override;
};

class Double : public BoundParamTemplate<double, double> {
public:
    explicit Double(const std::string& name, double defaultValue = 0.0)
        : BoundParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "double"; }
    double getFromHost(double time) const override;
    void setOnHost(const double& v) const override;
    // Host queries for animated values (the host's integral and derivative).
    virtual double integrate(double time0, double time1) const;
    virtual double differentiate(double time) const;
};

#define KL_DOUBLE_LEAF(Class, Type)                                                                          \
    class Class : public Double {                                                                            \
    public:                                                                                                  \
        explicit Class(const std::string& name, double defaultValue = 0.0) : Double(name, defaultValue) { }  \
        const char* typeName() const override { return Type; }                                               \
    }
KL_DOUBLE_LEAF(XSize, "xsize");
KL_DOUBLE_LEAF(YSize, "ysize");
KL_DOUBLE_LEAF(XPos, "xpos");
KL_DOUBLE_LEAF(YPos, "ypos");
KL_DOUBLE_LEAF(TimePos, "timepos");
KL_DOUBLE_LEAF(TimeSize, "timesize");
#undef KL_DOUBLE_LEAF

class Scale : public Double {
public:
    explicit Scale(const std::string& name, double defaultValue = 0.0) : Double(name, defaultValue) { }
    const char* typeName() const override { return "scale"; }
    double getFromHost(double time) const override;
    void setOnHost(const double& v) const override;
    double integrate(double time0, double time1) const override;
};

class Angle : public Double {
public:
    explicit Angle(const std::string& name, double defaultValue = 0.0) : Double(name, defaultValue) { }
    const char* typeName() const override { return "angle"; }
    double getFromHost(double time) const override;
    void setOnHost(const double& v) const override;
};

class Double2 : public BoundParamTemplate<HvVec2, HvVec2> {
public:
    explicit Double2(const std::string& name, const HvVec2& defaultValue = HvVec2())
        : BoundParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "double2"; }
    HvVec2 getFromHost(double time) const override;
    void setOnHost(const HvVec2& v) const override;
    virtual HvVec2 integrate(double time0, double time1) const;
    virtual HvVec2 differentiate(double time) const;
};

#define KL_DOUBLE2_LEAF(Class, Type)                                                                         \
    class Class : public Double2 {                                                                           \
    public:                                                                                                  \
        explicit Class(const std::string& name, const HvVec2& defaultValue = HvVec2())                       \
            : Double2(name, defaultValue)                                                                    \
        { }                                                                                                  \
        const char* typeName() const override { return Type; }                                               \
    }
KL_DOUBLE2_LEAF(Size2D, "size2d");
KL_DOUBLE2_LEAF(Pos2D, "pos2d");
KL_DOUBLE2_LEAF(Scale2D, "scale2d");
KL_DOUBLE2_LEAF(Angle2D, "angle2d");
#undef KL_DOUBLE2_LEAF

class RectD : public BoundParamTemplate<HvBox2, HvVec2> {
public:
    explicit RectD(const std::string& name, const HvBox2& defaultValue = HvBox2())
        : BoundParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "rectd"; }
    HvBox2 getFromHost(double time) const override;
    void setOnHost(const HvBox2& v) const override;
};

class RectI : public BoundParamTemplate<KlRectI, KlPointI> {
public:
    explicit RectI(const std::string& name, const KlRectI& defaultValue = KlRectI())
        : BoundParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "recti"; }
    KlRectI getFromHost(double time) const override;
    void setOnHost(const KlRectI& v) const override;
};

class Bool : public ValueReturningParamTemplate<bool> {
public:
    explicit Bool(const std::string& name, bool defaultValue = false)
        : ValueReturningParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "bool"; }
    // The boolean attribute rule ("true", "yes", "vero", "vrai" or a non-zero number).
    bool parseText(const std::string& text) const override;
    bool getFromHost(double time) const override;
    void setOnHost(const bool& v) const override;
};

class String : public ValueParamTemplate<std::string> {
public:
    explicit String(const std::string& name, const std::string& defaultValue = std::string())
        : ValueParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "string"; }
    // The whole text, white space included.
    std::string parseText(const std::string& text) const override { return text; }
    std::string getFromHost(double time) const override;
    void setOnHost(const std::string& v) const override;
};

class RGBColour : public ValueReturningParamTemplate<KlRGBColF> {
public:
    explicit RGBColour(const std::string& name, const KlRGBColF& defaultValue = KlRGBColF())
        : ValueReturningParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "rgb"; }
    KlRGBColF getFromHost(double time) const override;
    void setOnHost(const KlRGBColF& v) const override;
};

class RGBAColour : public ValueReturningParamTemplate<KlRGBAColF> {
public:
    explicit RGBAColour(const std::string& name, const KlRGBAColF& defaultValue = KlRGBAColF())
        : ValueReturningParamTemplate(name, defaultValue)
    { }
    const char* typeName() const override { return "rgba"; }
    KlRGBAColF getFromHost(double time) const override;
    void setOnHost(const KlRGBAColF& v) const override;
};

class PushButton : public Param {
public:
    explicit PushButton(const std::string& name) : Param(name) { }
    const char* typeName() const override { return "pushbutton"; }
};

// A shape held by the host; the stored shape answers when there is none.
class Roto : public Param {
public:
    explicit Roto(const std::string& name) : Param(name) { }
    const char* typeName() const override { return "roto"; }
    const KlRotoShape& shape() const { return shape_; }
    void setShape(const KlRotoShape& s) { shape_ = s; }

private:
    KlRotoShape shape_;
};

}  // namespace Kiln::Param

namespace Kiln {
template <>
struct HostedSetTraits<Kiln::Param::Param> {
    static constexpr const char* addObject = "Kiln::HostedSet<class Kiln::Param::Param>::hsAddObject";
    static constexpr const char* getObject = "Kiln::HostedSet<class Kiln::Param::Param>::hsGetObject";
    static constexpr const char* aliasObject = "Kiln::HostedSet<class Kiln::Param::Param>::hsAliasObject";
    static constexpr const char* getAndCastObject =
        "Kiln::HostedSet<class Kiln::Param::Param>::hsGetAndCastObject";
    static constexpr const char* removeObject = "Kiln::HostedSet<class Kiln::Param::Param>::hsRemoveObject";
};
}  // namespace Kiln
