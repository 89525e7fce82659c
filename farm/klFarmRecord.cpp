#include "farm/klFarmRecord.h"

#include "footage/klFootageError.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Kiln::Footage::Farm {

namespace {

std::string errnoText() { return std::strerror(errno); }

bool isDirectory(const std::string& path)
{
    struct stat s { };
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

// The path of a stamp line (after its size and time).
std::string stampPath(const std::string& line)
{
    const size_t a = line.find(' ');
    const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    return b == std::string::npos ? std::string() : line.substr(b + 1);
}

// "1234 bytes, modified 2026-12-06 23:59:27.736869941 UTC" of a stamp line.
std::string describeStamp(const std::string& line)
{
    std::istringstream in(line);
    std::string size, time;
    in >> size >> time;
    if (size == "missing") return "missing";
    const std::time_t t = std::time_t(std::atoll(time.c_str()));
    const std::string fraction = time.find('.') == std::string::npos ? "" : time.substr(time.find('.'));
    std::tm utc{};
    gmtime_r(&t, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc);
    return size + " bytes, modified " + when + fraction + " UTC";
}

}  // namespace

std::string fileStamp(const std::string& file)
{
    struct stat s { };
    if (stat(file.c_str(), &s) != 0) return "missing - " + file;
    char time[48];
    std::snprintf(time, sizeof time, "%lld.%09ld", static_cast<long long>(s.st_mtim.tv_sec),
                  long(s.st_mtim.tv_nsec));
    return std::to_string(s.st_size) + " " + time + " " + file;
}

std::string readWhole(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeWhole(const std::string& file, const std::string& text)
{
    const std::string temporary = temporaryName(file, long(getpid()));
    const auto fail = [&](const std::string& why) {
        unlink(temporary.c_str());
        return FootageError(file, "cannot write: " + why);
    };
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw fail(errnoText());
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string why = errnoText();
            close(fd);
            throw fail(why);
        }
        done += size_t(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) throw fail(errnoText());
    if (std::rename(temporary.c_str(), file.c_str()) != 0) throw fail(errnoText());
}

JobRecord::JobRecord(const FarmPlan& plan, bool create) : plan_(plan)
{
    const std::string work = plan.workFolder(), lock = plan.lockFile();
    const auto failure = [&](const std::string& what) {
        return FootageError(plan.output().path, "cannot lock the work folder " + work + ": " + what);
    };
    for (;;) {
        if (create && mkdir(work.c_str(), 0777) != 0 && errno != EEXIST)
            throw FootageError(plan.output().path,
                               "cannot make the work folder " + work + ": " + errnoText());
        if (!isDirectory(work)) {
            if (create) throw FootageError(plan.output().path, work + " is not a folder");
            return;
        }
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) throw failure(errnoText());
        struct flock l { };
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        // Another submission holds it for the few seconds sbatch takes; a join while it moves the files.
        while (fcntl(fd, F_OFD_SETLKW, &l) != 0)
            if (errno != EINTR) {
                const std::string why = errnoText();
                close(fd);
                throw failure(why);
            }
        // A join that held it may have removed the folder meanwhile: start again with what is there now.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && lstat(lock.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            fd_ = fd;
            return;
        }
        close(fd);
    }
}

JobRecord::~JobRecord() { release(); }

void JobRecord::release()
{
    if (fd_ >= 0) close(fd_);  // gives up the lock
    fd_ = -1;
}

void JobRecord::settle(const std::string& job, const std::vector<std::string>& files, bool write)
{
    const std::string& output = plan_.output().path;
    const std::string work = plan_.workFolder();
    std::string stamps;
    for (const std::string& f : files) stamps += fileStamp(f) + "\n";
    struct stat s { };
    if (stat(plan_.jobFile().c_str(), &s) != 0) {
        // The first submission (or one that stopped before it wrote the record).
        if (!write) return;
        writeWhole(plan_.filesRecord(), stamps);
        writeWhole(plan_.jobFile(), job);
        return;
    }
    if (readWhole(plan_.jobFile()) != job)
        throw FootageError(output,
                           "the work folder " + work +
                               " holds chunks of a farm job with other settings; run that "
                               "job's command again to finish it, or remove the folder to start over");
    std::istringstream was(readWhole(plan_.filesRecord())), now(stamps);
    std::string before, after;
    while (std::getline(now, after)) {
        if (!std::getline(was, before)) before.clear();
        if (before == after) continue;
        throw FootageError(output,
                           stampPath(after) + " changed since the farm job was first submitted (" +
                               (before.empty() ? std::string("not recorded") : describeStamp(before)) +
                               ", now " + describeStamp(after) +
                               "); its chunks would mix two renders: remove " + work + " to start over");
    }
    if (std::getline(was, before))
        throw FootageError(output, "the input has other files than when the farm job was first submitted (" +
                                       stampPath(before) + "); remove " + work + " to start over");
}

}  // namespace Kiln::Footage::Farm
