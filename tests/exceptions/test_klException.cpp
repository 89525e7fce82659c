#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace Kiln;
using Errors::Argument;

namespace {

// Runs first when the binary runs whole; under ctest each test has its own process.
TEST(ExceptionRegistry, ConstructionBeforeAndDuringInitialiseIsSafe)
{
    if (Errors::templateCount() == 0) {
        Exceptions::BadValue early("f", "x.cpp", 1, "contrast", 5);
        EXPECT_TRUE(early.record().formats.empty());
        EXPECT_EQ(early.message(), "\"Unregistered Error (17)\"");
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i] {
            if (i % 2) Errors::Initialise();
            for (int k = 0; k < 200; ++k) {
                Exceptions::NullPointer e("f", "x.cpp", k, "p");
                (void)e.message();
            }
            Errors::Initialise();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(Errors::templateCount(), std::size_t(Errors::kCodeCount));
    EXPECT_EQ(Exceptions::NullPointer("f", "x.cpp", 1, "p").message(), "'p' is null");
}

class ExceptionFamily : public ::testing::Test {
protected:
    void SetUp() override
    {
        Errors::Initialise();
        Exceptions::Stack::clear();
    }
    void TearDown() override { Exceptions::Stack::clear(); }
};

TEST_F(ExceptionFamily, ArgumentsAreWrittenInTheirKindsForm)
{
    EXPECT_EQ(Argument(true).str(), "1");
    EXPECT_EQ(Argument(false).str(), "0");
    EXPECT_EQ(Argument(2.5f).str(), "2.5");
    EXPECT_EQ(Argument(1.0 / 3.0).str(), "0.333333");
    EXPECT_EQ(Argument(-7).str(), "-7");
    EXPECT_EQ(Argument('x').str(), "x");
    EXPECT_EQ(Argument("levels").str(), "'levels'");
    EXPECT_EQ(Argument(std::string("a/b.log")).str(), "'a/b.log'");
    EXPECT_EQ(Argument::vec2(1, 2.5).str(), "[1, 2.5]");
    EXPECT_EQ(Argument::rgba(1, 2, 3, 4).str(), "[1, 2, 3, 4]");
    EXPECT_EQ(Argument().str(), "unknown");
    EXPECT_EQ(Argument(std::size_t(1024)).kind(), Argument::Int);
    EXPECT_EQ(Argument(std::size_t(1024)).str(), "1024");
    EXPECT_EQ(Argument(10000000000LL).kind(), Argument::Float);
    EXPECT_EQ(Argument(10000000000LL).str(), "1e+10");
    // The string kind owns its text.
    Argument owned{std::string("temporary")};
    EXPECT_EQ(Argument(owned).str(), "'temporary'");
}

TEST_F(ExceptionFamily, PlaceholdersAreAtSignsFollowedByADigit)
{
    EXPECT_EQ(Errors::placeholderCount("@1 exceeds maximum allowable 'items'"), 1);
    EXPECT_EQ(Errors::placeholderCount("[@1] '@2'"), 2);
    EXPECT_EQ(Errors::placeholderCount("Too big."), 0);
    EXPECT_EQ(Errors::placeholderCount("mail@x @"), 0);
    EXPECT_EQ(Errors::placeholderCount("@@1@0"), 2);
}

TEST_F(ExceptionFamily, InitialiseFillsEveryCodeOnceWithTheTableTexts)
{
    Errors::Initialise();
    EXPECT_EQ(Errors::templateCount(), std::size_t(Errors::kCodeCount));
    for (Errors::Code c = 0; c < Errors::kCodeCount; ++c) {
        EXPECT_TRUE(Errors::isRegistered(c)) << c;
        EXPECT_NE(Errors::getTemplate(c).format(0), nullptr) << c;
    }
    EXPECT_EQ(Errors::getTemplate(Errors::Underflow).format(2), nullptr);
    EXPECT_EQ(Errors::getTemplate(Errors::Underflow).formats.size(), 2u);

    const Errors::Template missing = Errors::getTemplate(4711);
    EXPECT_EQ(missing.code, 4711);
    EXPECT_TRUE(missing.formats.empty());
    EXPECT_FALSE(Errors::isRegistered(4711));
}

TEST_F(ExceptionFamily, RegistryRefusesBadTemplates)
{
    Errors::Template t(900);
    try {
        t.addFormatString("@1 @2 @3 @4 @5 @6 @7");
        FAIL() << "seven placeholders accepted";
    } catch (const Exceptions::ExException::TooManyTemplateVars& e) {
        EXPECT_EQ(e.code(), Errors::TooMany);
        ASSERT_EQ(e.record().values.size(), 1u);
        EXPECT_EQ(e.record().values.at(0).str(), "7");
        EXPECT_EQ(e.message(), "7 exceeds maximum allowable 'items'");
        EXPECT_STREQ(e.record().function, "Kiln::Errors::Template::addFormatString");
        EXPECT_STREQ(e.record().file, "/klException.cpp");
    }
    t.addFormatString("@1 @2 @3 @4 @5 @6");
    t.addFormatString("@1 is odd");
    EXPECT_THROW(t.addFormatString("@1 is even"), Exceptions::ExException::DuplicateTemplateFormat);
    EXPECT_STREQ(t.format(1), "@1 is odd");
    EXPECT_EQ(t.format(0), nullptr);

    try {
        Errors::addTemplate(Errors::Template(Errors::BadValue));
        FAIL() << "second template for a code accepted";
    } catch (const Exceptions::ExceptionI& e) {
        EXPECT_STREQ(e.name(), "DuplicateTemplate");
        EXPECT_EQ(e.code(), Errors::Duplicate);
        EXPECT_TRUE(e.record().values.empty());
    }
    EXPECT_STREQ(Errors::getTemplate(Errors::BadValue).format(0), "Bad value.");

    // A registered code without a 0-value format, and a code with no template at all.
    if (!Errors::isRegistered(900)) Errors::addTemplate(t);
    try {
        Errors::validateTemplates(900, 900);
        FAIL();
    } catch (const Exceptions::ExException::ErrorEnumNeedsDefault& e) {
        EXPECT_EQ(e.message(), "900 requires a default.");
    }
    try {
        Errors::validateTemplates(0, Errors::kCodeCount);
        FAIL();
    } catch (const Exceptions::ExException::UnregisteredErrorEnum& e) {
        EXPECT_EQ(e.message(), "24 is not registered");
    }
}

TEST_F(ExceptionFamily, MessagesFillTheTemplateOfTheValueCount)
{
    using namespace Exceptions;
    EXPECT_EQ(OutOfMemory("Kiln::Image::DataHandle::DataHandle", __FILE__, __LINE__, 1024, "Image allocation")
                  .message(),
              "'Image allocation' failed to allocated 1024 bytes");
    EXPECT_EQ(OutOfMemory("f", __FILE__, __LINE__, 64).message(), "Failed to allocated 64 bytes");
    EXPECT_EQ(BadValue("f", __FILE__, __LINE__, "contrast", 5).message(), "'contrast' has a bad value 5.");
    EXPECT_EQ(BadValue("f", __FILE__, __LINE__).message(), "Bad value.");
    EXPECT_EQ(BadValue("f", __FILE__, __LINE__, "a", 1, 2).message(), "\"Bad value.\"");
    EXPECT_EQ(DuplicateObject("f", __FILE__, __LINE__, 'x').message(), "Duplicate x not allowed");
    EXPECT_EQ(File::FileOpen("f", __FILE__, __LINE__, "open", std::string("/a/b.log"), "No errno").message(),
              "Failed to 'open' '/a/b.log' - 'No errno'");
    EXPECT_EQ(AfterEffects::ForwardMappingUndefined("f", __FILE__, __LINE__, "size", Argument::vec2(2, 3))
                  .message(),
              "'size' is undefined for [2, 3]");

    Errors::ErrorRecord r = Errors::makeRecord(Errors::RuntimeError, "f", "x.cpp", 1, {Argument("a")});
    r.formats[1] = "@3 and @0 and @x and 100@";
    EXPECT_EQ(r.message(), "unknown and unknown and @x and 100@");
    r.formats[1] = "";
    EXPECT_EQ(r.message(), "");
    EXPECT_EQ(Errors::makeRecord(Errors::RuntimeError, "f", "x.cpp", 1, {"a", std::string("b")}).message(),
              "['a'] ''b''");
    EXPECT_EQ(Errors::makeRecord(5000, "f", "x.cpp", 1, {}).message(), "\"Unregistered Error (5000)\"");
}

struct Row {
    Exceptions::ExceptionI* e;
    Errors::Code code;
    const char* name;
    const char* group;
};

TEST_F(ExceptionFamily, EveryLeafHasItsCodeNamesAndClone)
{
    using namespace Exceptions;
    const char* F = "fn";
    const char* P = "src/dir/klFile.cpp";
    // Leaves of a few groups, one with the most values.
    const Row rows[] = {
        {new BadValue(F, P, 1), 17, "BadValue", "Exception"},
        {new Param::ParamUndefined(F, P, 1, "p"), 8, "ParamUndefined", "ParamException"},
        {new Wrapper::FetchNonOptionalImageFailed(F, P, 1, "a", "b", 2), 4, "FetchNonOptionalImageFailed",
         "WrapperException"},
        {new AfterEffects::BackwardMappingUndefined(F, P, 1, "m", 2), 8, "BackwardMappingUndefined",
         "AfterEffectsException"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.e->code(), row.code);
        EXPECT_EQ(row.e->record().code, row.code);
        EXPECT_STREQ(row.e->name(), row.name);
        EXPECT_STREQ(row.e->group(), row.group);
        EXPECT_STREQ(row.e->record().file, "/klFile.cpp");
        ExceptionI* copy = row.e->clone();
        EXPECT_EQ(copy->refCount(), 1);
        EXPECT_STREQ(copy->name(), row.name);
        EXPECT_EQ(copy->message(), row.e->message());
        EXPECT_TRUE(row.e->admits(*copy));
        copy->release();
        row.e->release();
    }
}

TEST_F(ExceptionFamily, ThrownByValueCaughtByGroupOrInterface)
{
    try {
        throw Exceptions::Param::ParamUndefined("Kiln::Param::ParamSet::getIntParam",
                                                "C:\\src\\klParamSet.cpp", 190, std::string("contrast"));
    } catch (const Exceptions::Param::ParamException& e) {
        EXPECT_STREQ(e.record().file, "\\klParamSet.cpp");
        EXPECT_EQ(e.record().line, 190);
        EXPECT_EQ(e.message(), "'contrast' is undefined");
        EXPECT_EQ(e.record().className, nullptr);
    }
    EXPECT_STREQ(Errors::fileNameOf("plain.cpp"), "plain.cpp");
    EXPECT_STREQ(Errors::fileNameOf("a\\b/c.cpp"), "/c.cpp");

    const Exceptions::OutOfMemory probe;
    EXPECT_EQ(probe.record().code, Errors::UnknownError);
    EXPECT_EQ(probe.code(), Errors::AllocationFailed);
    EXPECT_TRUE(probe.record().values.empty());
    EXPECT_EQ(probe.record().function, nullptr);
    EXPECT_EQ(probe.record().line, 0);
}

TEST(KlRefCounterTest, CountsFromOneAndDeletesAtZero)
{
    struct Counted : KlRefCounter {
        bool* gone;
        explicit Counted(bool* g) : gone(g) { }
        ~Counted() override { *gone = true; }
    };
    bool gone = false;
    auto* c = new Counted(&gone);
    EXPECT_EQ(c->refCount(), 1);
    c->addRef();
    EXPECT_EQ(c->refCount(), 2);
    Counted copy(*c);
    EXPECT_EQ(copy.refCount(), 1);
    c->release();
    EXPECT_FALSE(gone);
    c->release();
    EXPECT_TRUE(gone);
}

}  // namespace
