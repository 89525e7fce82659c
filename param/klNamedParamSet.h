#pragma once
// The interface through which parameter values are read and written by name.
//
// Kiln::Param::ParamSet implements it over its own parameters; a host adapter
// implements it over the host's controls and is then set as the ParamSet's host,
// after which the set forwards every value query to it. Times are in frames of
// the effect's layer (the time unit of the whole interface).
//
// Every operation takes the parameter's name (or an alias of it). Failures are
// exceptions of the Kiln::Exceptions family: ObjectUndefined for an unknown name,
// WrongType for a parameter of another class (see ParamSet for the details).
#include "exceptions/klRefCounter.h"
#include "param/klColGrad.h"
#include "param/klParamTypes.h"

#include <string>

namespace Kiln::Param {

// Which key paramFindKey looks for, relative to the given time.
enum class KeySearch : int32_t { Previous = -1, AtOrNearest = 0, Next = 1 };

// A light as a host describes it.
struct LightDescription {
    int32_t type = 0;  // host-defined light kind
    float intensity = 0.0f;
    KlRGBColF colour;
    double position[3] = {0, 0, 0};
    double direction[3] = {0, 0, 0};
    double coneAngle = 0.0;
    double coneFeather = 0.0;
};

// A camera as a host describes it.
struct CameraDescription {
    double position[3] = {0, 0, 0};
    double pointOfInterest[3] = {0, 0, 0};
    double orientation[3] = {0, 0, 0};
    double zoom = 0.0;
};

class NamedParamSetI : public KlRefCounter {
public:
    ~NamedParamSetI() override = default;

    // 0: whether a parameter or alias of that name exists.
    virtual bool hasParam(const std::string& name) = 0;

    // 1-8: keyframes.
    virtual bool paramIsAnimating(const std::string& name) = 0;
    virtual int paramNumKeys(const std::string& name) = 0;
    virtual void paramDeleteKey(const std::string& name, double time) = 0;
    virtual void paramDeleteKey(const std::string& name, int keyIndex) = 0;
    virtual void paramDeleteAllKeys(const std::string& name) = 0;
    virtual double paramKeyTime(const std::string& name, int keyIndex) = 0;
    // The index of the key found, or -1 when there is none.
    virtual int paramFindKey(const std::string& name, double time, KeySearch search) = 0;
    virtual void paramSetKey(const std::string& name, double time) = 0;

    // 9-23: values at a time.
    virtual double getDoubleParam(const std::string& name, double time) = 0;
    virtual double getScaleParam(const std::string& name, double time) = 0;
    virtual double getAngleParam(const std::string& name, double time) = 0;
    virtual int getIntParam(const std::string& name, double time) = 0;
    virtual void getStringParam(const std::string& name, std::string& value, double time) = 0;
    virtual bool getBoolParam(const std::string& name, double time) = 0;
    virtual KlRGBColF getRGBParam(const std::string& name, double time) = 0;
    virtual KlRGBAColF getRGBAParam(const std::string& name, double time) = 0;
    virtual HvVec2 get2DDoubleParam(const std::string& name, double time) = 0;
    virtual HvBox2 getRectDParam(const std::string& name, double time) = 0;
    virtual KlRectI getRectIParam(const std::string& name, double time) = 0;
    virtual KlRotoShape getRotoParam(const std::string& name, double time) = 0;
    virtual KlColGradDescription getGradParam(const std::string& name, double time) = 0;
    virtual void getLightParam(const std::string& name, LightDescription& light, double time) = 0;
    virtual void getCameraParam(const std::string& name, CameraDescription& camera, double time) = 0;

    // 24-28: animated values summed over [time0, time1] or differentiated at a time.
    virtual double integrateDoubleParam(const std::string& name, double time0, double time1) = 0;
    virtual double integrateScaleParam(const std::string& name, double time0, double time1) = 0;
    virtual double differentiateDoubleParam(const std::string& name, double time) = 0;
    virtual HvVec2 integrate2DDoubleParam(const std::string& name, double time0, double time1) = 0;
    virtual HvVec2 differentiate2DDoubleParam(const std::string& name, double time) = 0;

    // 29-41: values.
    virtual void setDoubleParam(const std::string& name, double value) = 0;
    virtual void setScaleParam(const std::string& name, double value) = 0;
    virtual void setAngleParam(const std::string& name, double value) = 0;
    virtual void setIntParam(const std::string& name, int value) = 0;
    virtual void setStringParam(const std::string& name, const std::string& value) = 0;
    virtual void setBoolParam(const std::string& name, bool value) = 0;
    virtual void setRGBParam(const std::string& name, const KlRGBColF& value) = 0;
    virtual void setRGBAParam(const std::string& name, const KlRGBAColF& value) = 0;
    virtual void set2DDoubleParam(const std::string& name, const HvVec2& value) = 0;
    virtual void setRectDParam(const std::string& name, const HvBox2& value) = 0;
    virtual void setRectIParam(const std::string& name, const KlRectI& value) = 0;
    virtual void setRotoParam(const std::string& name, const KlRotoShape& value) = 0;
    virtual void setGradParam(const std::string& name, const KlColGradDescription& value) = 0;

    // 42: the set that answers for this one (null: none).
    virtual void setHost(NamedParamSetI* host) = 0;
};

}  // namespace Kiln::Param

// Every operation above declared as an override, for a class that implements them all.
#define KL_NAMED_PARAM_SET_OVERRIDES                                                                         \
    bool hasParam(const std::string& name) override;                                                         \
    bool paramIsAnimating(const std::string& name) override;                                                 \
    int paramNumKeys(const std::string& name) override;                                                      \
    void paramDeleteKey(const std::string& name, double time) override;                                      \
    void paramDeleteKey(const std::string& name, int keyIndex) override;                                     \
    void paramDeleteAllKeys(const std::string& name) override;                                               \
    double paramKeyTime(const std::string& name, int keyIndex) override;                                     \
    int paramFindKey(const std::string& name, double time, Kiln::Param::KeySearch search) override;          \
    void paramSetKey(const std::string& name, double time) override;                                         \
    double getDoubleParam(const std::string& name, double time) override;                                    \
    double getScaleParam(const std::string& name, double time) override;                                     \
    double getAngleParam(const std::string& name, double time) override;                                     \
    int getIntParam(const std::string& name, double time) override;                                          \
    void getStringParam(const std::string& name, std::string& value, double time) override;                  \
    bool getBoolParam(const std::string& name, double time) override;                                        \
    KlRGBColF getRGBParam(const std::string& name, double time) override;                                    \
    KlRGBAColF getRGBAParam(const std::string& name, double time) override;                                  \
    HvVec2 get2DDoubleParam(const std::string& name, double time) override;                                  \
    HvBox2 getRectDParam(const std::string& name, double time) override;                                     \
    KlRectI getRectIParam(const std::string& name, double time) override;                                    \
    KlRotoShape getRotoParam(const std::string& name, double time) override;                                 \
    KlColGradDescription getGradParam(const std::string& name, double time) override;                        \
    void getLightParam(const std::string& name, Kiln::Param::LightDescription& light, double time) override; \
    void getCameraParam(const std::string& name, Kiln::Param::CameraDescription& camera, double time)        \
        override;                                                                                            \
    double integrateDoubleParam(const std::string& name, double time0, double time1) override;               \
    double integrateScaleParam(const std::string& name, double time0, double time1) override;                \
    double differentiateDoubleParam(const std::string& name, double time) override;                          \
    HvVec2 integrate2DDoubleParam(const std::string& name, double time0, double time1) override;             \
    HvVec2 differentiate2DDoubleParam(const std::string& name, double time) override;                        \
    void setDoubleParam(const std::string& name, double value) override;                                     \
    void setScaleParam(const std::string& name, double value) override;                                      \
    void setAngleParam(const std::string& name, double value) override;                                      \
    void setIntParam(const std::string& name, int value) override;                                           \
    void setStringParam(const std::string& name, const std::string& value) override;                         \
    void setBoolParam(const std::string& name, bool value) override;                                         \
    void setRGBParam(const std::string& name, const KlRGBColF& value) override;                              \
    void setRGBAParam(const std::string& name, const KlRGBAColF& value) override;                            \
    void set2DDoubleParam(const std::string& name, const HvVec2& value) override;                            \
    void setRectDParam(const std::string& name, const HvBox2& value) override;                               \
    void setRectIParam(const std::string& name, const KlRectI& value) override;                              \
    void setRotoParam(const std::string& name, const KlRotoShape& value) override;                           \
    void setGradParam(const std::string& name, const KlColGradDescription& value) override;                  \
    void setHost(Kiln::Param::NamedParamSetI* host) override
