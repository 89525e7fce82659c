/*
 * The work folder's record of a farm job, and the lock that makes a submission or a join the only one
 * working on it.
 *
 * The record is what the job is (its settings, see jobText) and what its chunks are rendered from: the
 * size and modification time of every input file, of the module and of watchcam itself, taken at the first
 * submission. A later submission or join with other settings, or after any of those files changed, is
 * refused: its chunks would mix two renders in one output.
 */
#ifndef KL_FARM_RECORD_H
#define KL_FARM_RECORD_H

#include "farm/klFarmPlan.h"

#include <string>
#include <vector>

namespace Kiln::Footage::Farm {

class JobRecord {
public:
    // Locks the work folder for as long as this lives, waiting while another submission or join holds it;
    // with `create` the folder is made first when it is not there. Without `create` and without a folder,
    // nothing is locked and present() is false.
    JobRecord(const FarmPlan& plan, bool create);
    ~JobRecord();
    JobRecord(const JobRecord&) = delete;
    JobRecord& operator=(const JobRecord&) = delete;

    bool present() const { return fd_ >= 0; }
    // Gives up the lock (the destructor does too): a submission that waits for its job must, for the join.
    void release();

    // At the first submission (when `write`) writes `job` and the record of `files`; later refuses
    // (FootageError) another job's folder, or a file that changed since.
    void settle(const std::string& job, const std::vector<std::string>& files, bool write);

private:
    const FarmPlan& plan_;
    int fd_ = -1;
};

// "SIZE SECONDS.NANOSECONDS PATH" of a file, the modification time as the file system keeps it.
std::string fileStamp(const std::string& file);

// Writes `text` to `file` under a temporary name, synced, then renamed: a reader never sees half of it.
void writeWhole(const std::string& file, const std::string& text);
std::string readWhole(const std::string& file);

}  // namespace Kiln::Footage::Farm

#endif
