/*
 * The files a render writes. Every file is first written under a hidden temporary name beside its final
 * name and renamed only once the whole render is complete, so a failed or interrupted render never leaves
 * a partial file under the output's name (and leaves nothing at all once discarded). The checks made
 * before rendering refuse to write over the input, over an existing output without leave, over anything
 * but a regular file (a link, FIFO or device is never replaced), or into a directory that is not there or
 * not writable.
 */
#ifndef KL_OUTPUT_FILES_H
#define KL_OUTPUT_FILES_H

#include "cli/klFootagePath.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Footage {

class OutputFiles {
public:
  explicit OutputFiles(FootagePath output, long pid);
  ~OutputFiles();  // discards whatever was not committed
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Throws FootageError when frames first..last would replace one of `inputFiles` (same path or same
  // file) or something other than a regular file, exist already while `overwrite` is false, or cannot be
  // created in their directory.
  void check(const std::vector<std::string>& inputFiles, int first, int last, bool overwrite) const;

  // The temporary file that stands for frame `number` of the output (the only file for stills and video).
  std::string temporaryFor(int number);

  // Renames every temporary file to its final name.
  void commit();

  // Removes every temporary file written so far. Safe to call from another thread.
  void discard() noexcept;

private:
  FootagePath output_;
  long pid_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> files_;  // temporary, final
  bool committed_ = false;
};

}  // namespace Kiln::Footage

#endif
