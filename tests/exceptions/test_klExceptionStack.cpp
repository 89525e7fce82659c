#include "exceptions/klExceptionStack.h"
#include "exceptions/klThreadIndex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

using namespace Kiln;
namespace Stack = Kiln::Exceptions::Stack;
namespace fs = std::filesystem;

namespace {

const std::string kContact = "the Kiln support desk <support@kiln.example>";
const std::string kHeader =
    "KILN INTERNAL ERROR REPORT\n----------------------------\nThu Jan  1 00:00:00 1970\n\r\n";
const std::string kFooter = std::string("\nEmail to ") + kContact + '\0';
const std::string kRule = std::string(40, '-');

std::string report()
{
    std::ostringstream out;
    Stack::writeReport(out, 0);
    return out.str();
}

// The report with its time line emptied (the third line).
std::string withoutStamp(std::string r)
{
    const std::size_t start = r.find('\n', r.find('\n') + 1) + 1;
    return r.erase(start, r.find('\n', start) - start);
}

std::string cwd() { return fs::current_path().string(); }

// Saves and restores the variables the log path depends on.
class EnvGuard {
public:
    EnvGuard()
    {
        for (const char* n : kNames) {
            const char* v = std::getenv(n);
            saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~EnvGuard()
    {
        for (auto& [n, v] : saved_) v ? setenv(n, v->c_str(), 1) : unsetenv(n);
    }

private:
    static constexpr const char* kNames[] = {"KILN_ERROR_DIR", "XDG_STATE_HOME", "HOME"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

class TrailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Errors::Initialise();
        Stack::clear();
        Exceptions::setCurrentWorkerIndex(0);
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/kiln_exceptions_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        tmp_ = tmpl;
    }
    void TearDown() override
    {
        Stack::clear();
        Exceptions::setCurrentWorkerIndex(0);
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }
    std::string tmp_;
    EnvGuard env_;
};

void passOn()
{
    try {
        throw Exceptions::Param::ParamUndefined("Kiln::Param::ParamSet::getIntParam", "param/klParamSet.cpp",
                                                190, "contrast");
    } catch (Exceptions::ExceptionI& e) {
        Stack::add(e, "Kiln::Param::ParamSet::getIntParam", "param/klParamSet.cpp", 195);
        throw;
    }
}

TEST_F(TrailTest, CatchSitesAreRecordedPerWorkerInOrder)
{
    EXPECT_TRUE(Stack::empty());
    Exceptions::setCurrentWorkerIndex(2);
    try {
        passOn();
    } catch (Exceptions::ExceptionI& e) {
        // The first catch site stamped the class names into the raised object itself.
        EXPECT_STREQ(e.record().className, "ParamUndefined");
        EXPECT_STREQ(e.record().groupName, "ParamException");
        Stack::add(e, "Kiln::Effect::render", "C:\\effect\\klRender.cpp", 40);
    }
    const auto recs = Stack::records(2);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].line, 195);
    EXPECT_STREQ(recs[0].file, "/klParamSet.cpp");
    EXPECT_STREQ(recs[1].function, "Kiln::Effect::render");
    EXPECT_STREQ(recs[1].file, "\\klRender.cpp");
    EXPECT_EQ(recs[1].line, 40);
    EXPECT_EQ(recs[1].message(), "'contrast' is undefined");
    EXPECT_STREQ(recs[1].className, "ParamUndefined");
    EXPECT_STREQ(Stack::heldName(2), "ParamUndefined");
    EXPECT_EQ(Stack::heldName(0), nullptr);
    EXPECT_TRUE(Stack::records(0).empty());

    // Only the first exception of a worker is held; the lowest worker gives the first record.
    Exceptions::setCurrentWorkerIndex(2);
    Stack::add(Exceptions::OutOfMemory("f", "x.cpp", 1, 10), "g", "y.cpp", 2);
    EXPECT_STREQ(Stack::heldName(2), "ParamUndefined");
    EXPECT_FALSE(Stack::contains(Exceptions::OutOfMemory()));
    Exceptions::setCurrentWorkerIndex(1);
    Stack::add(Exceptions::OutOfMemory("f", "x.cpp", 1, 10), "g", "y.cpp", 3);
    EXPECT_TRUE(Stack::contains(Exceptions::OutOfMemory()));
    EXPECT_FALSE(Stack::contains(Exceptions::AfterEffects::InterruptedCritical()));
    EXPECT_EQ(Stack::firstRecord().line, 3);
    EXPECT_EQ(Stack::firstRecord().message(), "Failed to allocated 10 bytes");

    Stack::clear();
    EXPECT_TRUE(Stack::empty());
    EXPECT_FALSE(Stack::contains(Exceptions::OutOfMemory()));
    EXPECT_EQ(Stack::firstRecord().message(), "Unknown error");
}

TEST_F(TrailTest, ReportOfOneWorkerHasNoThreadHeaders)
{
    Stack::add(Exceptions::Param::ParamUndefined("x", "x.cpp", 1, "contrast"),
               "Kiln::Param::ParamSet::getIntParam", "/src/param/klParamSet.cpp", 190);
    EXPECT_EQ(report(), kHeader +
                            "1.  [ Err 0008]\n"
                            "   Kiln::Param::ParamSet::getIntParam() /klParamSet.cpp(0190)\n"
                            "   'contrast' is undefined (ParamUndefined)\n"
                            "\r\n" +
                            kFooter);
}

TEST_F(TrailTest, ReportNumbersRecordsDownAndHeadsEachWorker)
{
    Stack::add(Exceptions::BadValue("x", "x.cpp", 1, "gain", 2.5), "Kiln::A::run", "a.cpp", 7);
    Exceptions::setCurrentWorkerIndex(2);
    Stack::add(Exceptions::BadValue("x", "x.cpp", 1, "a", 1, 2), "Kiln::B::inner", "b.cpp", 12345);
    Stack::add(Exceptions::BadValue("x", "x.cpp", 1, "a", 1, 2), "Kiln::B::middle", nullptr, 0);
    Stack::add(Exceptions::BadValue("x", "x.cpp", 1, "a", 1, 2), "unknown()", "b.cpp", 30);
    EXPECT_EQ(report(), kHeader + "Thread 0\r\n" + kRule + "\r\n" +
                            "1.  [ Err 0017]\n"
                            "   Kiln::A::run() a.cpp(0007)\n"
                            "   'gain' has a bad value 2.5. (BadValue)\n"
                            "\r\n"
                            "Thread 2\r\n" +
                            kRule + "\r\n" +
                            "3.  [ Err 0017]\n"
                            "   Kiln::B::inner() b.cpp(12345)\n"
                            "   \"Bad value.\" (BadValue)\n"
                            "2.  [ Err 0017]\n"
                            "   Kiln::B::middle() \n"
                            "   \"Bad value.\" (BadValue)\n"
                            "1.  [ Err 0017]\n"
                            "   b.cpp(0030)\n"
                            "   \"Bad value.\" (BadValue)\n"
                            "\r\n" +
                            kFooter);
}

TEST_F(TrailTest, LongNamesAreCutFromTheFront)
{
    static const std::string function = "Kiln::" + std::string(87, 'f') + "::run()";  // 100 characters
    static const std::string file = "/" + std::string(75, 'n') + ".cpp";  // 80 characters
    static const std::string exact = std::string(80, 'e');
    ASSERT_EQ(function.size(), 100u);
    Errors::ErrorRecord r = Errors::makeRecord(Errors::Missing, function.c_str(), file.c_str(), 5, {"x"});
    r.className = "Leaf";
    std::ostringstream out;
    Stack::formatRecord(out, r);
    EXPECT_EQ(out.str(), " [ Err 0015]\n   ..." + function.substr(23) + "() ..." + file.substr(9) +
                             "(0005)\n   'x' is missing. (Leaf)\n");
    EXPECT_EQ(function.substr(23).size(), 77u);

    r.function = exact.c_str();
    r.file = "/"
             "12345678901234567890123456789012345678901234567890123456789012345678901.c";  // 74 characters
    r.code = 3000;
    r.formats.clear();
    r.line = -2;
    std::ostringstream kept;
    Stack::formatRecord(kept, r);
    EXPECT_EQ(kept.str(), " [ Err 3000]\n   " + exact + "() " + r.file +
                              "(-002)\n   \"Unregistered Error (3000)\" (Leaf)\n");
}

TEST_F(TrailTest, LogPathFollowsTheEnvironment)
{
    setenv("KILN_ERROR_DIR", "/var/logs", 1);
    EXPECT_EQ(Stack::logPath("AfterEffects", "Q_Watchcam"), "/var/logs/AfterEffects/Q_Watchcam.log");
    setenv("KILN_ERROR_DIR", "", 1);
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(Stack::logPath("AfterEffects", "Q_Watchcam"), "/state/kiln/log/AfterEffects/Q_Watchcam.log");
    unsetenv("KILN_ERROR_DIR");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/me", 1);
    EXPECT_EQ(Stack::logPath("AfterEffects", "Q_Watchcam"),
              "/home/me/.local/state/kiln/log/AfterEffects/Q_Watchcam.log");
}

TEST_F(TrailTest, DumpMakesDirectoriesAndAppends)
{
    const std::string before = cwd();
    setenv("KILN_ERROR_DIR", (tmp_ + "/a/b").c_str(), 1);
    const std::string path = tmp_ + "/a/b/AfterEffects/Q_Watchcam.log";
    ASSERT_EQ(Stack::logPath("AfterEffects", "Q_Watchcam"), path);

    Stack::add(Exceptions::BadValue("x", "x.cpp", 1, "contrast", 5), "Kiln::Render", "r.cpp", 9);
    EXPECT_EQ(Stack::stackDumpLog("AfterEffects", "Q_Watchcam"), 0);
    EXPECT_EQ(cwd(), before);
    EXPECT_EQ(Stack::stackDumpLog("AfterEffects", "Q_Watchcam"), 0);
    EXPECT_EQ(Stack::records(0).size(), 1u);

    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t second = text.find("KILN INTERNAL ERROR REPORT", 1);
    ASSERT_NE(second, std::string::npos);
    const std::string expected = withoutStamp(report()) + "\n";
    EXPECT_EQ(withoutStamp(text.substr(0, second)), expected);
    EXPECT_EQ(withoutStamp(text.substr(second)), expected);
    EXPECT_EQ(text.substr(text.size() - 2), std::string(1, '\0') + "\n");

    EXPECT_EQ(Stack::userReportText("Q_Watchcam", 0, path),
              "Q_Watchcam failed.\n\n'contrast' has a bad value 5..\n\nSee " + path + "\n\n");
    EXPECT_EQ(Stack::userReportText("Q_Watchcam", 4, path),
              "Q_Watchcam failed.\n\n'contrast' has a bad value 5..\n\n");
}

TEST_F(TrailTest, UnwritableLogGivesFourAndARecord)
{
    const std::string before = cwd();
    std::ofstream(tmp_ + "/plain") << "x";
    const std::string underFile = tmp_ + "/plain/sub";
    setenv("KILN_ERROR_DIR", underFile.c_str(), 1);
    Stack::add(Exceptions::NullPointer("x", "x.cpp", 1, "image"), "Kiln::Render", "r.cpp", 9);

    EXPECT_EQ(Stack::stackDumpLog("AfterEffects", "Q_Watchcam"), 4);
    EXPECT_EQ(cwd(), before);
    auto recs = Stack::records(0);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_STREQ(recs[1].className, "DirectoryMake");
    EXPECT_STREQ(recs[1].function, "Kiln::Exceptions::Stack::stackDumpLog");
    EXPECT_EQ(recs[1].message(),
              "Failed to 'open' '" + underFile + "/AfterEffects/Q_Watchcam.log' - 'Not a directory'");
    EXPECT_EQ(Stack::userReportText("Q_Watchcam", 4, ""), "Q_Watchcam failed.\n\n'image' is null.\n\n");

    // The log file's place is taken by a directory.
    setenv("KILN_ERROR_DIR", tmp_.c_str(), 1);
    fs::create_directories(tmp_ + "/AfterEffects/Q_Watchcam.log");
    EXPECT_EQ(Stack::stackDumpLog("AfterEffects", "Q_Watchcam"), 4);
    EXPECT_EQ(cwd(), before);
    recs = Stack::records(0);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_STREQ(recs[2].className, "FileOpen");
    EXPECT_EQ(recs[2].message(),
              "Failed to 'open' '" + tmp_ + "/AfterEffects/Q_Watchcam.log' - 'Is a directory'");
    EXPECT_STREQ(Stack::heldName(0), "NullPointer");
}

TEST_F(TrailTest, WorkersRecordConcurrently)
{
    constexpr int kWorkers = 4, kSites = 200;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int w = 1; w <= kWorkers; ++w)
        threads.emplace_back([w, &go] {
            Exceptions::setCurrentWorkerIndex(w);
            while (!go) std::this_thread::yield();
            for (int k = 0; k < kSites; ++k) {
                if (w == 3)
                    Stack::add(Exceptions::OutOfMemory("f", "x.cpp", 1, k), "site", "s.cpp", k + 1);
                else
                    Stack::add(Exceptions::BadValue("f", "x.cpp", 1, "w", w), "site", "s.cpp", k + 1);
            }
        });
    go = true;
    for (int k = 0; k < 50; ++k) {
        (void)Stack::contains(Exceptions::OutOfMemory());
        (void)Stack::firstRecord();
        (void)report();
    }
    for (auto& t : threads) t.join();

    for (int w = 1; w <= kWorkers; ++w) {
        const auto recs = Stack::records(w);
        ASSERT_EQ(recs.size(), std::size_t(kSites));
        for (int k = 0; k < kSites; ++k) EXPECT_EQ(recs[k].line, k + 1);
        EXPECT_STREQ(Stack::heldName(w), w == 3 ? "OutOfMemory" : "BadValue");
    }
    EXPECT_TRUE(Stack::contains(Exceptions::OutOfMemory()));
    EXPECT_EQ(Stack::firstRecord().message(), "'w' has a bad value 1.");
    EXPECT_NE(report().find("Thread 4\r\n"), std::string::npos);
}

}  // namespace
