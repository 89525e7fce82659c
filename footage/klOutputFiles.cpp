#include "footage/klOutputFiles.h"

#include "footage/klFootageError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

std::string errnoText() { return std::strerror(errno); }

// What a path is when it is not a regular file: renaming over it would replace a link, a FIFO or a device.
const char* kindOf(mode_t mode)
{
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Every OutputFiles alive, for discardAllOutputs().
std::mutex& registryMutex()
{
    static std::mutex m;
    return m;
}
std::set<OutputFiles*>& registry()
{
    static std::set<OutputFiles*> r;
    return r;
}

// One lock over bytes [start, start + length) of the lock file; F_UNLCK gives it up. Waits when `wait`.
bool lockBytes(int fd, short type, off_t start, off_t length, bool wait)
{
    struct flock l { };
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = length;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &l) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// Whether another open file description holds any of bytes [start, start + length) (length 0: to the end).
bool heldByOthers(int fd, off_t start, off_t length)
{
    struct flock l { };
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = length;
    return fcntl(fd, F_OFD_GETLK, &l) != 0 || l.l_type != F_UNLCK;
}

// The lock file of an output: the frame field of a sequence becomes '#', so that every spelling of one
// sequence ("%04d", "####", "%d") shares it.
std::string lockFileOf(const FootagePath& output)
{
    const std::string name =
        output.kind == Kind::Sequence ? output.prefix + "#" + output.suffix : output.path;
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    return dir + "." + name.substr(dir.size()) + ".lock";
}

void checkDirectory(const FootagePath& output)
{
    const std::string dir = directoryOf(output.path);
    struct stat dirInfo { };
    if (stat(dir.c_str(), &dirInfo) != 0)
        throw FootageError(output.path, "cannot write into directory " + dir + ": " + errnoText());
    if (!S_ISDIR(dirInfo.st_mode)) throw FootageError(output.path, dir + " is not a directory");
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        throw FootageError(output.path, "cannot write into directory " + dir + ": " + errnoText());
}

}  // namespace

OutputFiles::OutputFiles(FootagePath output, long pid) : output_(std::move(output)), pid_(pid)
{
    clock_gettime(CLOCK_REALTIME, &staleBefore_);
    std::lock_guard lock(registryMutex());
    registry().insert(this);
}

OutputFiles::~OutputFiles()
{
    {
        std::lock_guard lock(registryMutex());
        registry().erase(this);
    }
    discard();
}

void discardAllOutputs() noexcept
{
    std::lock_guard lock(registryMutex());
    for (OutputFiles* files : registry()) files->discard();
}

void OutputFiles::claim(int first, int last)
{
    std::lock_guard lock(mutex_);
    if (lockFd_ >= 0) return;
    if (output_.kind != Kind::Sequence) first = last = 0;
    checkDirectory(output_);
    lockFile_ = lockFileOf(output_);
    const auto failure = [&](const std::string& what) {
        return FootageError(output_.path, "cannot claim the output (" + lockFile_ + "): " + what);
    };
    for (;;) {
        const int fd = open(lockFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) throw failure(errnoText());
        if (!lockBytes(fd, F_WRLCK, 0, 1, true)) {
            const std::string why = errnoText();
            close(fd);
            throw failure(why);
        }
        // A render giving up its claim may have removed the file before the gate was ours: take the new one.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) != 0 || lstat(lockFile_.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
            held.st_dev != named.st_dev) {
            close(fd);
            continue;
        }
        if (!lockBytes(fd, F_WRLCK, 1 + off_t(first), off_t(last) - first + 1, false)) {
            const bool busy = errno == EAGAIN || errno == EACCES;
            const std::string why = errnoText();
            close(fd);
            if (!busy) throw failure(why);
            const std::string frames =
                output_.kind == Kind::Sequence
                    ? " (frames of " + std::to_string(first) + "-" + std::to_string(last) + ")"
                    : "";
            throw FootageError(output_.path, "another render is writing it now" + frames +
                                                 "; wait for it to end or choose another output");
        }
        lockFd_ = fd;
        claimFirst_ = first;
        claimLast_ = last;
        break;
    }
    // Temporary files of frames no one holds (ours among them) are left over from renders that were killed.
    const std::string dir = directoryOf(output_.kind == Kind::Sequence ? output_.prefix + "x" : output_.path);
    if (DIR* d = opendir(dir.c_str())) {
        int number = 0;
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            const std::string final = finalNameOf(name);
            if (final.empty() || !output_.namesFile(final, number)) continue;
            const std::string file = dir + "/" + name;
            if (number < first || number > last) {
                if (heldByOthers(lockFd_, 1 + off_t(number), 1)) continue;
                struct stat s { };
                if (lstat(file.c_str(), &s) != 0) continue;
                const bool older =
                    s.st_mtim.tv_sec < staleBefore_.tv_sec ||
                    (s.st_mtim.tv_sec == staleBefore_.tv_sec && s.st_mtim.tv_nsec < staleBefore_.tv_nsec);
                if (!older) continue;
            }
            unlink(file.c_str());
        }
        closedir(d);
    }
    lockBytes(lockFd_, F_UNLCK, 0, 1, false);
}

void OutputFiles::release() noexcept
{
    if (lockFd_ < 0) return;
    lockBytes(lockFd_, F_WRLCK, 0, 1, true);
    lockBytes(lockFd_, F_UNLCK, 1 + off_t(claimFirst_), off_t(claimLast_) - claimFirst_ + 1, false);
    // Removed only when no other render holds frames of it; those taking a claim wait at the gate.
    if (!heldByOthers(lockFd_, 1, 0)) unlink(lockFile_.c_str());
    close(lockFd_);
    lockFd_ = -1;
}

void OutputFiles::check(const std::vector<std::string>& inputFiles, int first, int last, bool overwrite) const
{
    checkDirectory(output_);
    std::vector<std::pair<dev_t, ino_t>> inputs;
    for (const std::string& file : inputFiles) {
        struct stat s { };
        if (stat(file.c_str(), &s) == 0) inputs.emplace_back(s.st_dev, s.st_ino);
    }
    // Frames already there, from one listing of the directory however long the range.
    std::vector<int> present;
    if (output_.kind != Kind::Sequence)
        present.push_back(first);
    else
        for (const int n : findSequenceFrames(output_))
            if (n >= first && n <= last) present.push_back(n);
    for (const int number : present) {
        const std::string file = output_.frameFile(number);
        const long label = output_.kind == Kind::Sequence ? long(number) : FootageError::noFrame;
        for (const std::string& in : inputFiles)
            if (in == file) throw FootageError(file, "is the input; choose another output", label);
        struct stat s { };
        if (lstat(file.c_str(), &s) != 0) continue;
        struct stat target = s;
        if (S_ISLNK(s.st_mode)) stat(file.c_str(), &target);
        for (const auto& [devNo, inode] : inputs)
            if (target.st_dev == devNo && target.st_ino == inode)
                throw FootageError(file, "is the input; choose another output", label);
        if (S_ISDIR(s.st_mode)) throw FootageError(file, "is a directory", label);
        if (!S_ISREG(s.st_mode))
            throw FootageError(
                file, std::string("is ") + kindOf(s.st_mode) + "; only a regular file is ever replaced",
                label);
        if (!overwrite) throw FootageError(file, "already exists (--overwrite replaces it)", label);
    }
}

std::string OutputFiles::temporaryFor(int number)
{
    const std::string final = output_.frameFile(number);
    std::string temporary = temporaryName(final, pid_);
    std::lock_guard lock(mutex_);
    for (const auto& entry : files_)
        if (entry.first == temporary) return temporary;
    files_.emplace_back(temporary, final);
    return temporary;
}

void OutputFiles::commit()
{
    std::lock_guard lock(mutex_);
    for (const auto& [temporary, final] : files_) {
        const int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0) {
            const std::string why = errnoText();
            if (fd >= 0) close(fd);
            throw FootageError(final, "cannot sync the finished file " + temporary + ": " + why);
        }
        close(fd);
    }
    for (const auto& [temporary, final] : files_)
        if (std::rename(temporary.c_str(), final.c_str()) != 0)
            throw FootageError(final,
                               "cannot rename the finished file " + temporary + " to it: " + errnoText());
    if (!files_.empty()) {
        // The renames themselves reach the disk with their directory.
        const std::string dir = directoryOf(files_.front().second);
        const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    committed_ = true;
    files_.clear();
    release();
}

void OutputFiles::discard() noexcept
{
    std::lock_guard lock(mutex_);
    if (!committed_)
        for (const auto& entry : files_) unlink(entry.first.c_str());
    files_.clear();
    release();
}

}  // namespace Kiln::Footage
