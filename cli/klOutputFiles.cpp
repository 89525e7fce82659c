#include "cli/klOutputFiles.h"

#include "cli/klFootageError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

std::string errnoText() { return std::strerror(errno); }

// What a path is when it is not a regular file: renaming over it would replace a link, a FIFO or a device.
const char* kindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

OutputFiles::OutputFiles(FootagePath output, long pid) : output_(std::move(output)), pid_(pid) {}

OutputFiles::~OutputFiles() { discard(); }

void OutputFiles::check(const std::vector<std::string>& inputFiles, int first, int last, bool overwrite) const {
  const std::string dir = directoryOf(output_.path);
  struct stat dirInfo {};
  if (stat(dir.c_str(), &dirInfo) != 0)
    throw FootageError(output_.path, "cannot write into directory " + dir + ": " + errnoText());
  if (!S_ISDIR(dirInfo.st_mode)) throw FootageError(output_.path, dir + " is not a directory");
  if (access(dir.c_str(), W_OK | X_OK) != 0)
    throw FootageError(output_.path, "cannot write into directory " + dir + ": " + errnoText());

  std::vector<std::pair<dev_t, ino_t>> inputs;
  for (const std::string& file : inputFiles) {
    struct stat s {};
    if (stat(file.c_str(), &s) == 0) inputs.emplace_back(s.st_dev, s.st_ino);
  }
  // Frames already there, from one listing of the directory however long the range.
  std::vector<int> present;
  if (output_.kind != Kind::Sequence) present.push_back(first);
  else
    for (const int n : findSequenceFrames(output_))
      if (n >= first && n <= last) present.push_back(n);
  for (const int number : present) {
    const std::string file = output_.frameFile(number);
    const long label = output_.kind == Kind::Sequence ? long(number) : FootageError::noFrame;
    for (const std::string& in : inputFiles)
      if (in == file) throw FootageError(file, "is the input; choose another output", label);
    struct stat s {};
    if (lstat(file.c_str(), &s) != 0) continue;
    struct stat target = s;
    if (S_ISLNK(s.st_mode)) stat(file.c_str(), &target);
    for (const auto& [devNo, inode] : inputs)
      if (target.st_dev == devNo && target.st_ino == inode)
        throw FootageError(file, "is the input; choose another output", label);
    if (S_ISDIR(s.st_mode)) throw FootageError(file, "is a directory", label);
    if (!S_ISREG(s.st_mode))
      throw FootageError(file, std::string("is ") + kindOf(s.st_mode) + "; only a regular file is ever replaced", label);
    if (!overwrite) throw FootageError(file, "already exists (--overwrite replaces it)", label);
  }
}

std::string OutputFiles::temporaryFor(int number) {
  const std::string final = output_.frameFile(number);
  std::string temporary = temporaryName(final, pid_);
  std::lock_guard lock(mutex_);
  for (const auto& entry : files_)
    if (entry.first == temporary) return temporary;
  files_.emplace_back(temporary, final);
  return temporary;
}

void OutputFiles::commit() {
  std::lock_guard lock(mutex_);
  for (const auto& [temporary, final] : files_)
    if (std::rename(temporary.c_str(), final.c_str()) != 0)
      throw FootageError(final, "cannot rename the finished file " + temporary + " to it: " + errnoText());
  committed_ = true;
  files_.clear();
}

void OutputFiles::discard() noexcept {
  std::lock_guard lock(mutex_);
  if (committed_) return;
  for (const auto& entry : files_) unlink(entry.first.c_str());
  files_.clear();
}

}  // namespace Kiln::Footage
