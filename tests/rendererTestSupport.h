// Shared by the renderer's tests: a scratch directory per test, running the watchcam program, and small
// picture helpers.
#ifndef KL_RENDERER_TEST_SUPPORT_H
#define KL_RENDERER_TEST_SUPPORT_H

#include "footage/klFootage.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace RendererTest {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "watchcam-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (fs::path(dir_) / name).string(); }
    // Names in the directory, sorted; hidden (temporary) files included.
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_;
};

struct RunResult {
    int status = -1;  // exit code, or 128 + signal
    std::string out, err;
    int errLines() const { return int(std::count(err.begin(), err.end(), '\n')); }
};

inline std::string slurp(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts watchcam with `args`; `env` entries are added to the environment. `whileRunning`, when given,
// is called with the child's pid before waiting for it. A `fileSizeLimit` above 0 makes every write past
// that many bytes of a file fail, as on a full disk.
inline RunResult runWatchcam(const std::vector<std::string>& args, const std::string& scratch,
                             const std::map<std::string, std::string>& env = {},
                             const std::function<void(pid_t)>& whileRunning = {}, long fileSizeLimit = 0)
{
    const std::string outFile = scratch + "/.stdout", errFile = scratch + "/.stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        if (fileSizeLimit > 0) {
            signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of ending the process
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv;
        std::string exe = WATCHCAM_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    RunResult r;
    if (whileRunning) whileRunning(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    std::remove(outFile.c_str());
    std::remove(errFile.c_str());
    return r;
}

// Writes a picture with OpenImageIO directly (not through the code under test).
template <class T>
void writePicture(const std::string& file, int w, int h, int channels, const std::vector<T>& samples,
                  OIIO::TypeDesc type)
{
    auto out = OIIO::ImageOutput::create(file);
    ASSERT_TRUE(out) << OIIO::geterror();
    OIIO::ImageSpec spec(w, h, channels, type);
    if (channels == 4) spec.alpha_channel = 3;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    ASSERT_TRUE(out->open(file, spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::BaseTypeFromC<T>::value, samples.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

// Reads every sample of a picture with OpenImageIO directly, as T.
template <class T>
std::vector<T> readPicture(const std::string& file, int* w = nullptr, int* h = nullptr, int* ch = nullptr)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file, &config);
    if (!in) return {};
    const OIIO::ImageSpec& spec = in->spec();
    std::vector<T> samples(size_t(spec.width) * spec.height * spec.nchannels);
    in->read_image(0, 0, 0, spec.nchannels, OIIO::BaseTypeFromC<T>::value, samples.data());
    if (w) *w = spec.width;
    if (h) *h = spec.height;
    if (ch) *ch = spec.nchannels;
    return samples;
}

inline void truncateFile(const std::string& file, double keep)
{
    const auto size = std::filesystem::file_size(file);
    std::filesystem::resize_file(file, std::uintmax_t(double(size) * keep));
}

inline void writeText(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

// The module to test the renderer with: a pass-through built beside these tests.
inline std::string passthroughModule() { return PASSTHROUGH_MODULE; }

// The real effect module when it has been built; empty otherwise.
inline std::string effectModule()
{
    const std::string p = WATCHCAM_EFFECT_MODULE;
    return std::filesystem::exists(p) ? p : std::string();
}

// Runs of the watchcam program in a scratch directory; renders use the pass-through module.
class WatchcamTest : public ScratchTest {
protected:
    RunResult run(std::vector<std::string> args, const std::map<std::string, std::string>& env = {},
                  const std::function<void(pid_t)>& whileRunning = {})
    {
        if (!args.empty() && args[0] == "render") {
            args.push_back("--module");
            args.push_back(passthroughModule());
        }
        return runWatchcam(args, dir_, env, whileRunning);
    }
    // The one line a failure prints.
    static void expectOneLineFailure(const RunResult& r, int status, const std::string& part)
    {
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_EQ(r.err.rfind("watchcam: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
    }
    std::vector<std::string> hiddenFiles() const
    {
        std::vector<std::string> hidden;
        for (const std::string& n : listing())
            if (n[0] == '.') hidden.push_back(n);
        return hidden;
    }
};

}  // namespace RendererTest

#endif
