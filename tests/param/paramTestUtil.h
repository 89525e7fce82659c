#pragma once
// Helpers shared by the parameter tests: catching an exception of an exact class
// and a host that answers every query with recognisable values.
#include "exceptions/klException.h"
#include "param/klNamedParamSet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Runs f and returns the exception of class E it raises (fails the test otherwise).
template <class E, class F>
E catchAs(F&& f)
{
    Kiln::Errors::Initialise();
    try {
        f();
    } catch (const E& e) {
        return e;
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        ADD_FAILURE() << "raised " << e.name() << ": " << e.message();
        throw;
    }
    ADD_FAILURE() << "nothing raised";
    throw std::runtime_error("nothing raised");
}

inline std::string value(const Kiln::Exceptions::ExceptionI& e, int i)
{
    return e.record().values.at(i).str();
}

// A host that knows the names in `names`, answers getters with fixed values and
// records every call. Base is NamedParamSetI or an interface derived from it.
template <class Base = Kiln::Param::NamedParamSetI>
class FakeHostT : public Base {
public:
    std::vector<std::string> names;
    std::vector<std::string> calls;

    bool known(const std::string& n) const
    {
        for (const auto& k : names)
            if (k == n) return true;
        return false;
    }
    void log(const std::string& what, const std::string& name) { calls.push_back(what + " " + name); }

    bool hasParam(const std::string& n) override { return known(n); }
    bool paramIsAnimating(const std::string& n) override
    {
        log("animating", n);
        return true;
    }
    int paramNumKeys(const std::string& n) override
    {
        log("numKeys", n);
        return 3;
    }
    void paramDeleteKey(const std::string& n, double) override { log("deleteKeyAt", n); }
    void paramDeleteKey(const std::string& n, int) override { log("deleteKey", n); }
    void paramDeleteAllKeys(const std::string& n) override { log("deleteAll", n); }
    double paramKeyTime(const std::string& n, int) override
    {
        log("keyTime", n);
        return 7.0;
    }
    int paramFindKey(const std::string& n, double, Kiln::Param::KeySearch) override
    {
        log("findKey", n);
        return 2;
    }
    void paramSetKey(const std::string& n, double) override { log("setKey", n); }

    double getDoubleParam(const std::string& n, double t) override
    {
        log("getDouble", n);
        return 100 + t;
    }
    double getScaleParam(const std::string& n, double t) override
    {
        log("getScale", n);
        return 200 + t;
    }
    double getAngleParam(const std::string& n, double t) override
    {
        log("getAngle", n);
        return 300 + t;
    }
    int getIntParam(const std::string& n, double) override
    {
        log("getInt", n);
        return 42;
    }
    void getStringParam(const std::string& n, std::string& v, double) override
    {
        log("getString", n);
        v = "host";
    }
    bool getBoolParam(const std::string& n, double) override
    {
        log("getBool", n);
        return true;
    }
    KlRGBColF getRGBParam(const std::string& n, double) override
    {
        log("getRGB", n);
        return {0.1f, 0.2f, 0.3f};
    }
    KlRGBAColF getRGBAParam(const std::string& n, double) override
    {
        log("getRGBA", n);
        return {0.1f, 0.2f, 0.3f, 0.4f};
    }
    HvVec2 get2DDoubleParam(const std::string& n, double) override
    {
        log("get2D", n);
        return {9, 8};
    }
    HvBox2 getRectDParam(const std::string& n, double) override
    {
        log("getRectD", n);
        return {1, 2, 3, 4};
    }
    KlRectI getRectIParam(const std::string& n, double) override
    {
        log("getRectI", n);
        return {5, 6, 7, 8};
    }
    KlRotoShape getRotoParam(const std::string& n, double) override
    {
        log("getRoto", n);
        return {};
    }
    KlColGradDescription getGradParam(const std::string& n, double) override
    {
        log("getGrad", n);
        KlColGradDescription g;
        g.setCyclic(true);
        return g;
    }
    void getLightParam(const std::string& n, Kiln::Param::LightDescription& l, double) override
    {
        log("getLight", n);
        l.intensity = 5;
    }
    void getCameraParam(const std::string& n, Kiln::Param::CameraDescription& c, double) override
    {
        log("getCamera", n);
        c.zoom = 6;
    }
    double integrateDoubleParam(const std::string& n, double a, double b) override
    {
        log("intDouble", n);
        return b - a;
    }
    double integrateScaleParam(const std::string& n, double a, double b) override
    {
        log("intScale", n);
        return 2 * (b - a);
    }
    double differentiateDoubleParam(const std::string& n, double) override
    {
        log("diffDouble", n);
        return 0.5;
    }
    HvVec2 integrate2DDoubleParam(const std::string& n, double, double) override
    {
        log("int2D", n);
        return {1, 1};
    }
    HvVec2 differentiate2DDoubleParam(const std::string& n, double) override
    {
        log("diff2D", n);
        return {2, 2};
    }

    void setDoubleParam(const std::string& n, double) override { log("setDouble", n); }
    void setScaleParam(const std::string& n, double) override { log("setScale", n); }
    void setAngleParam(const std::string& n, double) override { log("setAngle", n); }
    void setIntParam(const std::string& n, int) override { log("setInt", n); }
    void setStringParam(const std::string& n, const std::string&) override { log("setString", n); }
    void setBoolParam(const std::string& n, bool) override { log("setBool", n); }
    void setRGBParam(const std::string& n, const KlRGBColF&) override { log("setRGB", n); }
    void setRGBAParam(const std::string& n, const KlRGBAColF&) override { log("setRGBA", n); }
    void set2DDoubleParam(const std::string& n, const HvVec2&) override { log("set2D", n); }
    void setRectDParam(const std::string& n, const HvBox2&) override { log("setRectD", n); }
    void setRectIParam(const std::string& n, const KlRectI&) override { log("setRectI", n); }
    void setRotoParam(const std::string& n, const KlRotoShape&) override { log("setRoto", n); }
    void setGradParam(const std::string& n, const KlColGradDescription&) override { log("setGrad", n); }
    void setHost(Kiln::Param::NamedParamSetI*) override { }
};
using FakeHost = FakeHostT<>;
