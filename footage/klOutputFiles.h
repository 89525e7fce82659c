/*
 * The files a render writes. Every file is first written under a hidden temporary name beside its final
 * name and renamed only once the whole render is complete, so a failed or interrupted render never leaves
 * a partial file under the output's name (and leaves nothing at all once discarded). The checks made
 * before rendering refuse to write over the input, over an existing output without leave, over anything
 * but a regular file (a link, FIFO or device is never replaced), or into a directory that is not there or
 * not writable.
 *
 * A render claims the frames it writes before it checks them: a lock on a hidden file beside the output
 * (".NAME.lock", a sequence's frame field written '#' however it was spelled), one byte per frame, taken
 * as an open-file-description lock. The system drops it when the process ends in any way, so a killed
 * render never leaves a claim behind, and renders of different frames of one sequence (farm chunks) go
 * on side by side. Byte 0 is a short gate held while a claim is taken or given up, so that the lock file
 * is removed only when no one holds or is taking a claim on it.
 */
#ifndef KL_OUTPUT_FILES_H
#define KL_OUTPUT_FILES_H

#include "footage/klFootagePath.h"

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Footage {

class OutputFiles {
public:
    explicit OutputFiles(FootagePath output, long pid);
    ~OutputFiles();  // discards whatever was not committed and gives up the claim
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Claims frames first..last (stills and videos: the file) until commit() or discard(), and removes the
    // temporary files of those frames that renders killed outright left behind. FootageError when another
    // process holds any of them, or the claim cannot be made. Temporary files of other frames go only when
    // they are provably stale: no one here holds their frames and they are older than staleBefore() -- on
    // a shared file system whose locks each machine keeps to itself, a render elsewhere holds frames
    // without a lock to show for it.
    void claim(int first, int last);

    // The time (seconds since 1970) before which a temporary file of a frame no one holds was left by a
    // render that has ended. Default: when this object was made. The farm gives the time its job was
    // submitted: every render of an earlier submission had ended then.
    void staleBefore(int64_t seconds) { staleBefore_ = {seconds, 0}; }

    // Throws FootageError when frames first..last would replace one of `inputFiles` (same path or same
    // file) or something other than a regular file, exist already while `overwrite` is false, or cannot be
    // created in their directory.
    void check(const std::vector<std::string>& inputFiles, int first, int last, bool overwrite) const;

    // The temporary file that stands for frame `number` of the output (the only file for stills and video).
    std::string temporaryFor(int number);

    // Syncs every temporary file, renames it to its final name (a crash never leaves a file complete in
    // name only) and gives up the claim.
    void commit();

    // Removes every temporary file written so far and gives up the claim. Safe to call from another thread.
    void discard() noexcept;

private:
    void release() noexcept;  // with mutex_ held

    FootagePath output_;
    long pid_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> files_;  // temporary, final
    bool committed_ = false;
    std::string lockFile_;
    int lockFd_ = -1;
    int claimFirst_ = 0, claimLast_ = 0;
    struct timespec staleBefore_ { };
};

// Discards every OutputFiles alive in the process: for a signal-handling thread about to end the process.
void discardAllOutputs() noexcept;

}  // namespace Kiln::Footage

#endif
