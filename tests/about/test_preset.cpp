#include "host/klAEPreset.h"

#include "exceptions/klException.h"
#include "host/klAEGlobals.h"
#include "host/klRenderInner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace Preset = Kiln::AfterEffects::Preset;
using Kiln::AfterEffects::Wrapper::Host;
using Kiln::AfterEffects::Wrapper::ParamKind;

namespace {

std::tm at(int year, int month0, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month0;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& tag)
        : path(std::filesystem::temp_directory_path() / ("kl_preset_" + tag + "_" + std::to_string(getpid())))
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path))
            names.push_back(e.path().filename().string());
        return names;
    }
};

// A host call with one control of each kind, the module's global data holding its path, and the
// controls at the current time (frame 5) in the parameter array.
struct FakeHost {
    enum Index { Layer, SavePreset, Amount, Count, Tint, Edge, Centre, Zoom, Turn, Mode, Broken, Controls };
    PF_InData in{};
    PF_OutData out{};
    PF_UtilCallbacks utils{};
    PF_ParamDef records[Controls]{};
    PF_ParamDef* params[Controls]{};
    Kiln::AfterEffects::GlobalData global{};
    void* globalBlock = &global;

    explicit FakeHost(const std::string& modulePath)
    {
        std::snprintf(global.resourcePath, sizeof global.resourcePath, "%s", modulePath.c_str());
        in.utils = &utils;
        in.global_data = &globalBlock;
        in.num_params = Controls;
        in.time_step = 100;
        in.time_scale = 2500;
        in.current_time = 500;
        in.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
        for (int i = 0; i < Controls; ++i) params[i] = &records[i];
        records[Layer].param_type = PF_Param_LAYER;
        records[SavePreset].param_type = PF_Param_CHECKBOX;
        records[SavePreset].u.bd.value = 1;
        records[Amount].param_type = PF_Param_FIX_SLIDER;
        records[Amount].u.fd.value = 3 * 65536 / 2;  // 1.5
        records[Count].param_type = PF_Param_SLIDER;
        records[Count].u.sd.value = -7;
        records[Tint].param_type = PF_Param_COLOR;
        records[Tint].u.cd.value = PF_Pixel{255, 255, 51, 0};
        records[Edge].param_type = PF_Param_COLOR;
        records[Edge].u.cd.value = PF_Pixel{102, 0, 255, 153};
        records[Centre].param_type = PF_Param_POINT;
        records[Centre].u.td.x_value = 21 * 65536 / 2;  // 10.5
        records[Centre].u.td.y_value = -2 * 65536;
        records[Zoom].param_type = PF_Param_FIX_SLIDER;
        records[Zoom].u.fd.value = 25 * 65536;  // 25 %
        records[Turn].param_type = PF_Param_ANGLE;
        records[Turn].u.ad.value = 90 * 65536;
        records[Mode].param_type = PF_Param_POPUP;
        records[Mode].u.pd.value = 2;
        records[Broken].param_type = PF_Param_CHECKBOX;  // mapped as a Double below: reading it fails
    }

    // The adapter over this call with the effect's names mapped.
    std::unique_ptr<Host> adapter(bool withSwitch = true, bool withBroken = false)
    {
        auto host = std::make_unique<Host>(&in, &out, params);
        if (withSwitch) host->addParamMapping(SavePreset, "savePreset", ParamKind::Bool);
        host->addParamMapping(Amount, "amount", ParamKind::Double);
        host->addParamMapping(Count, "count", ParamKind::Int);
        host->addParamMapping(Tint, "tint", ParamKind::RGBColour);
        host->addParamMapping(Edge, "edge", ParamKind::RGBAColour);
        host->addParamMapping(Centre, "centre", ParamKind::Double2);
        host->addParamMapping(Zoom, "zoom", ParamKind::Scale);
        host->addParamMapping(Turn, "turn", ParamKind::Angle);
        host->addPopupMapping(Mode, "mode", std::vector<int32_t>{10, 20, 30});
        if (withBroken) host->addParamMapping(Broken, "broken", ParamKind::Double);
        return host;
    }
};

// By name: amount, centre, count, edge, (mode), savePreset, tint, turn, zoom.
const char* const kExpectedText =
    "case(Kiln::<PluginName>Presets::e<PresetName>): {\n"
    "\tsetDoubleParam(\"amount\",1.500000);\n"
    "\tsetDoubleParam(\"centre\",HvVec2(10.500000,-2.000000));\n"
    "\tsetIntParam(\"count\",-7);\n"
    "\tsetRGBAParam(\"edge\",KlRGBAColF(0.000000,1.000000,0.600000,0.400000));\n"
    "\tsetBoolParam(\"savePreset\",1);\n"
    "\tsetRGBParam(\"tint\",KlRGBColF(1.000000,0.200000,0.000000));\n"
    "\tsetAngleParam(\"turn\",1.570796);\n"
    "\tsetScaleParam(\"zoom\",0.250000);\n"
    "}\n";

}  // namespace

TEST(Preset, FileName)
{
    // 09:05:07 on 3 January 2010: the month counts from 0.
    EXPECT_EQ(Preset::fileName("/opt/plugins", at(2010, 0, 3, 9, 5, 7)),
              "/opt/plugins//090507_03002010.preset");
    EXPECT_EQ(Preset::fileName("/opt/plugins", at(1999, 11, 31, 23, 59, 58)),
              "/opt/plugins//235958_31111999.preset");
    EXPECT_EQ(Preset::directoryOf("/opt/plugins/Q_Watchcam.so"), "/opt/plugins");
    EXPECT_EQ(Preset::directoryOf("/Q_Watchcam.so"), "");
    EXPECT_EQ(Preset::directoryOf("Q_Watchcam.so"), ".");
    EXPECT_EQ(Preset::directoryOf(nullptr), ".");
    // A name that would not fit in 256 characters is not cut short into some other file's name.
    const std::string deep(256 - 25, 'd');  // 231 + "//090507_03002010.preset" (24) = 255 characters
    EXPECT_EQ(Preset::fileName(deep, at(2010, 0, 3, 9, 5, 7)).size(), 255u);
    EXPECT_EQ(Preset::fileName(deep + "d", at(2010, 0, 3, 9, 5, 7)), "");
}

TEST(Preset, TextThroughTheAdapter)
{
    // One line of each kind (the expected text above); choices write none, a long number is not cut.
    FakeHost fake("/nowhere/Q_Watchcam.so");
    auto host = fake.adapter();
    EXPECT_EQ(Preset::presetText(*host, host->currentTime()), kExpectedText);
    const double v[4] = {1e300, 0, 0, 0};
    EXPECT_EQ(Preset::formatLine(ParamKind::Choice, "m", v), "");
    EXPECT_EQ(Preset::formatLine(static_cast<ParamKind>(12), "x", v), "");
    EXPECT_EQ(Preset::formatLine(ParamKind::Double, "d", v).size(), 20u + 301 + 7 + 3);
}

TEST(Preset, WrittenInTheModulesDirectory)
{
    TempDir dir("write");
    FakeHost fake((dir.path / "Q_Watchcam.so").string());
    auto host = fake.adapter();
    const std::string written =
        Preset::writePreset(*host, fake.global.resourcePath, at(2010, 0, 3, 9, 5, 7), host->currentTime());
    EXPECT_EQ(written, (dir.path / "").string() + "/090507_03002010.preset");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"090507_03002010.preset"});
    EXPECT_EQ(readText(written), kExpectedText);

    // The same second again truncates the file rather than appending to it.
    fake.records[FakeHost::Count].u.sd.value = 4;
    Preset::writePreset(*host, fake.global.resourcePath, at(2010, 0, 3, 9, 5, 7), host->currentTime());
    EXPECT_NE(readText(written).find("\tsetIntParam(\"count\",4);\n"), std::string::npos);
    EXPECT_EQ(readText(written).size(), std::strlen(kExpectedText) - 1);

    // A directory that does not exist: nothing written, no failure.
    EXPECT_EQ(
        Preset::writePreset(*host, (dir.path / "missing" / "m.so").c_str(), at(2010, 0, 3, 9, 5, 7), 5.0),
        "");
}

TEST(Preset, FailingReadLeavesNoFile)
{
    TempDir dir("failing");
    FakeHost fake((dir.path / "Q_Watchcam.so").string());
    auto host = fake.adapter(true, true);
    try {
        Preset::writePreset(*host, fake.global.resourcePath, at(2010, 0, 3, 9, 5, 7), host->currentTime());
        FAIL() << "the failed read should propagate";
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        EXPECT_EQ(e.code(), Kiln::Errors::WrongType);
    }
    EXPECT_TRUE(dir.files().empty());
}

TEST(Preset, RenderHookWritesOnlyWhenAsked)
{
    TempDir dir("hook");
    FakeHost fake((dir.path / "Q_Watchcam.so").string());
    const std::regex name(R"(\d{6}_\d{2}\d{2}\d{4}\.preset)");

    // The switch off, or not there at all, or not a boolean: no file.
    fake.records[FakeHost::SavePreset].u.bd.value = 0;
    auto off = fake.adapter();
    EXPECT_FALSE(Preset::presetAsked(*off, 5.0));
    Kiln::AfterEffects::writePresetIfAsked(*off, 5.0);
    fake.records[FakeHost::SavePreset].u.bd.value = 1;
    auto without = fake.adapter(false);
    EXPECT_FALSE(Preset::presetAsked(*without, 5.0));
    Kiln::AfterEffects::writePresetIfAsked(*without, 5.0);
    Host notBoolean(&fake.in, &fake.out, fake.params);
    notBoolean.addParamMapping(FakeHost::Count, "savePreset", ParamKind::Int);
    EXPECT_FALSE(Preset::presetAsked(notBoolean, 5.0));
    EXPECT_TRUE(dir.files().empty());

    // On: one file named by the local time beside the module, the path taken from the global data.
    auto on = fake.adapter();
    EXPECT_TRUE(Preset::presetAsked(*on, 5.0));
    Kiln::AfterEffects::writePresetIfAsked(*on, 5.0);
    const auto files = dir.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], name)) << files[0];
    EXPECT_EQ(readText((dir.path / files[0]).string()), kExpectedText);

    // No module path known: nothing is written anywhere.
    fake.global.resourcePath[0] = '\0';
    std::filesystem::remove_all(dir.path / files[0]);
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    Kiln::AfterEffects::writePresetIfAsked(*on, 5.0);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(dir.files().empty());
}
