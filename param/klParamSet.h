#pragma once
// A named set of typed parameters.
//
// Values are read and written by parameter name (or alias) and time. While the
// set has a host (setHost), every getter and setter is forwarded to the host
// unchanged; otherwise the set answers from its own parameters:
//   - a missing name raises ObjectUndefined ("'contrast' is undefined");
//   - a parameter of another class raises WrongType (a derived class passes:
//     getDoubleParam reads a Scale, getScaleParam does not read a plain Double);
//   - setters clamp bounded values into min/max (each only when set).
// getIntParam and setIntParam also accept a Choice (its option value) and a Bool
// (0/1, value != 0).
//
// A locked set (setLocked) refuses to add or remove parameters; values can still
// change, and its XML reader only updates the parameters it already has.
//
// The set holds one reference to each parameter it was given; the caller keeps
// its own (createParam does that bookkeeping).
#include "param/klHostedObject.h"
#include "param/klNamedParamSet.h"
#include "param/klParam.h"

#include <cstdio>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Param {

class ParamSet : public NamedParamSetI {
public:
    ParamSet();
    ~ParamSet() override;
    ParamSet(const ParamSet&) = delete;
    ParamSet& operator=(const ParamSet&) = delete;

    KL_NAMED_PARAM_SET_OVERRIDES;

    // Locking and membership.
    virtual bool isLocked() const { return locked_; }
    virtual void setLocked(bool locked) { locked_ = locked; }
    // Locked when the set is locked, DuplicateObject for a name already held.
    virtual void addParam(Param* param);
    // DuplicateObject when the alias is a parameter's own name, ObjectUndefined
    // for an unknown target.
    virtual void aliasParam(const std::string& alias, const std::string& target);
    // Locked when the set is locked; also drops the aliases of the parameter.
    virtual void removeParam(Param* param);
    // The time of the untimed getters: 0.0 for a plain set.
    virtual double currentTime();

    // The getters at currentTime().
    double getScaleParam(const std::string& name);
    double getAngleParam(const std::string& name);
    int getIntParam(const std::string& name);
    void getStringParam(const std::string& name, std::string& value);
    bool getBoolParam(const std::string& name);
    KlRGBColF getRGBParam(const std::string& name);
    KlRGBAColF getRGBAParam(const std::string& name);
    HvVec2 get2DDoubleParam(const std::string& name);
    HvBox2 getRectDParam(const std::string& name);
    KlRectI getRectIParam(const std::string& name);
    KlRotoShape getRotoParam(const std::string& name);
    KlColGradDescription getGradParam(const std::string& name);
    void getLightParam(const std::string& name, LightDescription& light);
    void getCameraParam(const std::string& name, CameraDescription& camera);

    // Parameter-set XML (root element "paramset"): from text, from an open file,
    // from a file by path (FileOpen when it cannot be opened). Errors in the
    // document raise Kiln::Exceptions::XML::Parse.
    virtual void parseXML(const std::string& text);
    virtual void parseXMLFile(const std::string& path);
    virtual void parseXML(std::FILE* file);
    // "<paramset>", every parameter in order of addition, an "alias" element per
    // alias, "</paramset>". Full adds descriptions, labels, flags, defaults and
    // bounds. Attribute values are escaped: the document is always well-formed.
    virtual void writeXML(std::ostream& out, bool full) const;

    // Lookup: the parameter of a name or alias (ObjectUndefined when missing and
    // raise is set, else null).
    Param* getParam(const std::string& name, bool raise = true) const
    {
        return store_.hsGetObject(name, raise);
    }
    template <class T>
    T* getAndCastParam(const std::string& name, bool raiseIfWrongType = true) const
    {
        return store_.template hsGetAndCastObject<T>(name, raiseIfWrongType);
    }
    // Parameters in order of addition.
    const std::vector<Param*>& params() const { return store_.hsObjects(); }
    const HostedSet<Param>& store() const { return store_; }

    // Creates a parameter, adds it and returns it; the set holds the only reference.
    template <class T, class... A>
    T* createParam(A&&... args)
    {
        RefPtr<T> p(new T(std::forward<A>(args)...));
        addParam(p.get());
        return p.get();
    }

    NamedParamSetI* host() const { return host_; }
    bool isHosted() const { return hosted_; }

private:
    HostedSet<Param> store_;
    bool locked_ = false;
    NamedParamSetI* host_ = nullptr;
    bool hosted_ = false;
};

}  // namespace Kiln::Param
