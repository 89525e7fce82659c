#include "runner/klRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace Kiln::Runner;

namespace {

std::string loadError(const std::string& path)
{
    try {
        Module::load(path);
    } catch (const RunnerError& e) {
        return e.what();
    }
    return "";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(RunnerModule, LoadFailuresSayWhatIsWrong)
{
    std::string e = loadError("/nonexistent/dir/Q_Nothing.so");
    EXPECT_TRUE(contains(e, "does not exist")) << e;
    EXPECT_TRUE(contains(e, "/nonexistent/dir/Q_Nothing.so")) << e;

    EXPECT_TRUE(contains(loadError(""), "does not exist"));
    EXPECT_TRUE(contains(loadError("/tmp"), "is not a file"));

    const std::string text = testing::TempDir() + "runner_not_a_module.so";
    {
        std::ofstream f(text);
        f << "this is not a shared object\n";
    }
    e = loadError(text);
    EXPECT_TRUE(contains(e, "is not a loadable module")) << e;
    EXPECT_TRUE(contains(e, "runner_not_a_module.so:")) << e;  // the loader's own reason follows
    std::remove(text.c_str());

    e = loadError(KL_TEST_MODULE_NO_MAIN);
    EXPECT_TRUE(contains(e, "exports no entry point `main`")) << e;

    e = loadError(KL_TEST_MODULE_NO_REGISTRATION);
    EXPECT_TRUE(contains(e, "has no registration record `kiln_registration`")) << e;
}

TEST(RunnerModule, ReadsRegistrationAndScriptNames)
{
    auto m = Module::load(KL_TEST_MODULE);
    const KlRegistration& r = m->registration();
    EXPECT_EQ(r.kind, KL_FOURCC('e', 'F', 'K', 'T'));
    EXPECT_STREQ(r.name, "Runner Test");
    EXPECT_STREQ(r.match_name, "Runner Test 1");
    EXPECT_EQ(r.effect_version, 0x00108605u);
    ASSERT_NE(m->entry(), nullptr);
    ASSERT_EQ(m->scriptNames().size(), 13u);
    EXPECT_EQ(m->scriptNames()[0], "");
    EXPECT_EQ(m->scriptNames()[1], "amount");
    EXPECT_EQ(m->scriptNames()[12], "centre");
    EXPECT_EQ(m->path().front(), '/');
    EXPECT_NE(m->dlHandle(), nullptr);

    // Loaded twice, the module's state is one: so is the lock that serialises calls into it.
    auto again = Module::load(KL_TEST_MODULE);
    EXPECT_EQ(again->dlHandle(), m->dlHandle());
    EXPECT_EQ(&again->callMutex(), &m->callMutex());
}

TEST(RunnerModule, ImagesAreClearedAndSizedByDepth)
{
    const Image a = Image::make(3, 2, Depth::Sixteen);
    EXPECT_EQ(a.rowBytes, 24u);
    EXPECT_EQ(a.pixels.size(), 48u);
    for (uint8_t b : a.pixels) EXPECT_EQ(b, 0);
    EXPECT_EQ(Image::make(3, 2, Depth::Float).rowBytes, 48u);
    EXPECT_EQ(Image::make(3, 2, Depth::Eight).rowBytes, 12u);
    EXPECT_THROW(Image::make(0, 2, Depth::Eight), RunnerError);
    EXPECT_THROW(Image::make(2, -1, Depth::Eight), RunnerError);
    EXPECT_EQ(pixelFormatOf(Depth::Float), PF_PixelFormat_ARGB128);
    EXPECT_EQ(pixelFormatOf(Depth::Sixteen), PF_PixelFormat_ARGB64);
    EXPECT_EQ(pixelFormatOf(Depth::Eight), PF_PixelFormat_ARGB32);
}
