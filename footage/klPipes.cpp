#include "footage/klPipes.h"

#include "footage/klFootageError.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Kiln::Footage {

namespace {

std::string errnoText(int error) { return std::strerror(error); }

// An open temporary file without a name: O_TMPFILE where the file system has it, else a name removed at once.
int anonymousFile(const std::string& name)
{
    const char* dirEnv = std::getenv("TMPDIR");
    const std::string dir = dirEnv && *dirEnv ? dirEnv : "/tmp";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string pattern = dir + "/.watchcam-input-XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) throw FootageError(name, "cannot make a temporary file in " + dir + ": " + errnoText(errno));
    ::unlink(pattern.c_str());
    return fd;
}

}  // namespace

bool isStream(const std::string& path)
{
    if (path == "-") return true;
    struct stat s { };
    return stat(path.c_str(), &s) == 0 && S_ISFIFO(s.st_mode);
}

std::string streamTarget(const std::string& path) { return path == "-" ? "pipe:1" : path; }

std::string streamName(const std::string& path, bool output)
{
    if (path != "-") return path;
    return output ? "standard output" : "standard input";
}

SpooledInput::SpooledInput(const std::string& path) : name_(streamName(path, false))
{
    const int in = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw FootageError(name_, "cannot open: " + errnoText(errno));
    struct Closer {
        int fd;
        bool own;
        ~Closer()
        {
            if (own) ::close(fd);
        }
    } closer{in, in != STDIN_FILENO};
    fd_ = anonymousFile(name_);
    try {
        copy(in);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    file_ = "/proc/self/fd/" + std::to_string(fd_);
}

void SpooledInput::copy(int in)
{
    std::vector<char> buffer(1 << 20);
    size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FootageError(name_, "cannot read: " + errnoText(errno));
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd_, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0)
                throw FootageError(name_, "cannot keep the stream in a temporary file: " +
                                              errnoText(w < 0 ? errno : EIO));
            done += w;
        }
        total += size_t(n);
    }
    if (total == 0) throw FootageError(name_, "the stream is empty");
}

SpooledInput::~SpooledInput()
{
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace Kiln::Footage
