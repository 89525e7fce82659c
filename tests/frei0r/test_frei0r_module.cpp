// The built module watchcam.so through dlopen, as a frei0r host loads it: what it reports, the Kdenlive
// description beside it, bad values through the entry points, and several instances at once.
#include "frei0r/klF0rParams.h"

extern "C" {
#include <frei0r.h>
}

#include <dlfcn.h>
#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Kiln::Frei0r;

namespace {

struct Module {
    void* handle = nullptr;
    decltype(&f0r_init) init = nullptr;
    decltype(&f0r_get_plugin_info) pluginInfo = nullptr;
    decltype(&f0r_get_param_info) paramInfo = nullptr;
    decltype(&f0r_construct) construct = nullptr;
    decltype(&f0r_destruct) destruct = nullptr;
    decltype(&f0r_set_param_value) setParam = nullptr;
    decltype(&f0r_get_param_value) getParam = nullptr;
    decltype(&f0r_update) update = nullptr;

    Module()
    {
        handle = dlopen(KL_FREI0R_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        auto find = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::decay_t<decltype(fn)>>(dlsym(handle, name));
        };
        find(init, "f0r_init");
        find(pluginInfo, "f0r_get_plugin_info");
        find(paramInfo, "f0r_get_param_info");
        find(construct, "f0r_construct");
        find(destruct, "f0r_destruct");
        find(setParam, "f0r_set_param_value");
        find(getParam, "f0r_get_param_value");
        find(update, "f0r_update");
        init();
    }
    ~Module()
    {
        if (handle) dlclose(handle);
    }
};

Module& module()
{
    static Module m;
    return m;
}

std::vector<uint32_t> picture(int32_t w, int32_t h, int32_t n)
{
    std::vector<uint32_t> f(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t px[4] = {uint8_t(x * 5 + n * 17), uint8_t(y * 11), uint8_t(x ^ y), 255};
            std::memcpy(&f[size_t(y) * size_t(w) + size_t(x)], px, 4);
        }
    return f;
}

// <parameter> elements of the Kdenlive description: their attributes.
std::vector<std::map<std::string, std::string>> kdenliveParameters(std::string& tag)
{
    std::ifstream file(KL_KDENLIVE_XML);
    std::stringstream text;
    text << file.rdbuf();
    struct State {
        std::vector<std::map<std::string, std::string>> params;
        std::string tag;
        bool inList = false;
    } state;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** atts) {
            auto* s = static_cast<State*>(data);
            std::map<std::string, std::string> a;
            for (int i = 0; atts[i]; i += 2) a[atts[i]] = atts[i + 1];
            if (std::strcmp(name, "effect") == 0) s->tag = a["tag"];
            if (std::strcmp(name, "parameter") == 0) s->params.push_back(a);
        },
        [](void*, const XML_Char*) {});
    const std::string all = text.str();
    EXPECT_EQ(XML_Parse(parser, all.data(), int(all.size()), 1), XML_STATUS_OK)
        << XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    tag = state.tag;
    return state.params;
}

std::vector<std::string> split(const std::string& s, char by)
{
    std::vector<std::string> parts;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, by);) parts.push_back(part);
    return parts;
}

}  // namespace

TEST(Frei0rModule, ReportsAFilterOfRGBAFramesWithTheTablesParameters)
{
    Module& m = module();
    ASSERT_NE(m.handle, nullptr) << dlerror();
    f0r_plugin_info_t info{};
    m.pluginInfo(&info);
    EXPECT_STREQ(info.name, "watchcam");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    ASSERT_EQ(info.num_params, kParamCount);
    for (int i = 0; i < info.num_params; ++i) {
        f0r_param_info_t p{};
        m.paramInfo(&p, i);
        EXPECT_STREQ(p.name, kParams[size_t(i)].name);
        EXPECT_EQ(p.type, int(kParams[size_t(i)].type)) << p.name;
        EXPECT_NE(p.explanation, nullptr);
    }
}

TEST(Frei0rModule, KdenliveDescriptionNamesEveryParameterWithItsRangeAndDefault)
{
    Module& m = module();
    ASSERT_NE(m.handle, nullptr);
    std::string tag;
    const auto described = kdenliveParameters(tag);
    EXPECT_EQ(tag, "frei0r.watchcam");
    ASSERT_EQ(described.size(), size_t(kParamCount));
    f0r_instance_t instance = m.construct(16, 16);
    for (const auto& a : described) {
        const std::string name = a.at("name");
        const int32_t i = paramIndex(name);
        ASSERT_GE(i, 0) << name;
        const ParamSpec& p = kParams[size_t(i)];
        const std::string type = a.at("type");
        switch (p.type) {
        case ParamType::Bool: {
            EXPECT_EQ(type, "bool") << name;
            double d = -1;
            m.getParam(instance, &d, i);
            EXPECT_EQ(std::stod(a.at("default")), d) << name;
            break;
        }
        case ParamType::Colour: {
            EXPECT_EQ(type, "color") << name;
            f0r_param_color_t c{};
            m.getParam(instance, &c, i);
            char rgba[16];
            std::snprintf(rgba, sizeof rgba, "0x%02x%02x%02xff", unsigned(std::lround(c.r * 255)),
                          unsigned(std::lround(c.g * 255)), unsigned(std::lround(c.b * 255)));
            EXPECT_EQ(a.at("default"), rgba) << name;
            break;
        }
        case ParamType::String: {
            EXPECT_EQ(type, "list") << name;
            EXPECT_EQ(split(a.at("paramlist"), ';'), split(controlOf(p)->choices, '|')) << name;
            const char* d = nullptr;
            m.getParam(instance, &d, i);
            EXPECT_EQ(a.at("default"), d) << name;
            break;
        }
        case ParamType::Double: {
            double d = -1;
            m.getParam(instance, &d, i);
            if (type == "list") {
                // Whole-number sliders offered entry by entry: every whole value of the range once.
                ASSERT_TRUE(p.whole) << name;
                const auto entries = split(a.at("paramlist"), ';');
                ASSERT_EQ(entries.size(), size_t(p.high - p.low + 1)) << name;
                for (size_t k = 0; k < entries.size(); ++k) {
                    ParamValues v;
                    v.setNumber(i, std::stod(entries[k]));
                    EXPECT_EQ(v.number(i), p.low + double(k)) << name << " " << entries[k];
                }
                EXPECT_NEAR(std::stod(a.at("default")), d, 1e-6) << name;
                break;
            }
            // Sliders that may change over time can be keyframed; the footage rate and the edge
            // colour's alpha mirror cannot change over time.
            const Kiln::Watchcam::ControlSpec* c = controlOf(p);
            const bool constant = c == nullptr || (c->flags & Kiln::Watchcam::kCannotTimeVary) != 0;
            EXPECT_EQ(type, constant ? "constant" : "animated") << name;
            // Shown values divided by the factor are frei0r's: the slider's ends are 0 and 1, and the
            // default is the value handed to the filter (Kdenlive takes it as it is).
            const double factor = std::stod(a.at("factor"));
            EXPECT_EQ(std::stod(a.at("min")) / factor, 0.0) << name;
            EXPECT_EQ(std::stod(a.at("max")) / factor, 1.0) << name;
            EXPECT_NEAR(std::stod(a.at("default")), d, 1e-6) << name;
            // The shown ends are the control's slider in its own units (Lens Strength: 0..1000 for
            // -500..500, as Kdenlive's sliders start at 0).
            EXPECT_EQ(std::stod(a.at("max")) - std::stod(a.at("min")), p.high - p.low) << name;
            ParamValues v;
            v.setNumber(i, std::stod(a.at("default")));
            EXPECT_EQ(v.number(i), p.dflt) << name;
            break;
        }
        }
    }
    m.destruct(instance);
}

TEST(Frei0rModule, BadValuesAreRefusedAndNothingBreaks)
{
    Module& m = module();
    ASSERT_NE(m.handle, nullptr);
    EXPECT_EQ(m.construct(0, 16), nullptr);
    EXPECT_EQ(m.construct(16, 70000), nullptr);
    f0r_instance_t instance = m.construct(16, 8);
    ASSERT_NE(instance, nullptr);
    const int contrast = paramIndex("contrast"), tv = paramIndex("TVType");
    const double nan = std::numeric_limits<double>::quiet_NaN(), big = 1e9;
    m.setParam(instance, const_cast<double*>(&nan), contrast);
    m.setParam(instance, const_cast<double*>(&nan), contrast);
    double got = -1;
    m.getParam(instance, &got, contrast);
    EXPECT_DOUBLE_EQ(got, 0.15);
    m.setParam(instance, const_cast<double*>(&big), contrast);
    m.getParam(instance, &got, contrast);
    EXPECT_DOUBLE_EQ(got, 50.0);  // 5000, the valid end
    const char* purple = "Purple";
    m.setParam(instance, &purple, tv);
    const char* text = nullptr;
    m.getParam(instance, &text, tv);
    EXPECT_STREQ(text, "B and W");
    m.setParam(instance, &purple, -1);
    m.setParam(instance, &purple, kParamCount);
    m.setParam(instance, nullptr, contrast);
    m.getParam(instance, &got, kParamCount);
    m.setParam(nullptr, const_cast<double*>(&big), contrast);
    m.update(nullptr, 0.0, nullptr, nullptr);
    const auto in = picture(16, 8, 0);
    std::vector<uint32_t> out(in.size());
    m.update(instance, std::numeric_limits<double>::quiet_NaN(), in.data(), out.data());
    m.destruct(instance);
    m.destruct(nullptr);
}

TEST(Frei0rModule, ARefusedLongChoiceIsQuotedInAFewCharacters)
{
    Module& m = module();
    ASSERT_NE(m.handle, nullptr);
    f0r_instance_t instance = m.construct(16, 8);
    ASSERT_NE(instance, nullptr);
    const std::string huge(100000, 'x');
    const char* text = huge.c_str();
    testing::internal::CaptureStderr();
    m.setParam(instance, &text, paramIndex("TVType"));
    const std::string err = testing::internal::GetCapturedStderr();
    m.destruct(instance);
    EXPECT_LT(err.size(), 300u) << err.substr(0, 300);
    EXPECT_NE(err.find("\"xxxxxxxxxxxxxxxxxxxxxxxx...\" (100000 characters) refused"), std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(Frei0rModule, InstancesOnSeveralThreadsGiveWhatEachGivesAlone)
{
    Module& m = module();
    ASSERT_NE(m.handle, nullptr);
    constexpr int kInstances = 4, kFrames = 3, w = 48, h = 27;
    auto run = [&](int k, std::vector<std::vector<uint32_t>>& outputs) {
        f0r_instance_t instance = m.construct(w, h);
        const double seed = 0.1 * k, shash = 0.5;
        m.setParam(instance, const_cast<double*>(&seed), paramIndex("seed"));
        m.setParam(instance, const_cast<double*>(&shash), paramIndex("shashMax"));
        for (int n = 0; n < kFrames; ++n) {
            const auto in = picture(w, h, n + k);
            outputs[size_t(n)].resize(in.size());
            m.update(instance, n / 25.0, in.data(), outputs[size_t(n)].data());
        }
        m.destruct(instance);
    };
    std::vector<std::vector<std::vector<uint32_t>>> alone(kInstances,
                                                          std::vector<std::vector<uint32_t>>(kFrames));
    for (int k = 0; k < kInstances; ++k) run(k, alone[size_t(k)]);
    std::vector<std::vector<std::vector<uint32_t>>> together(kInstances,
                                                             std::vector<std::vector<uint32_t>>(kFrames));
    std::vector<std::thread> threads;
    for (int k = 0; k < kInstances; ++k) threads.emplace_back(run, k, std::ref(together[size_t(k)]));
    for (std::thread& t : threads) t.join();
    for (int k = 0; k < kInstances; ++k) EXPECT_EQ(together[size_t(k)], alone[size_t(k)]) << "instance " << k;
    EXPECT_NE(alone[0], alone[1]);
}
