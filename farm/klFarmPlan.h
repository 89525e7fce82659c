/*
 * A farm job: one render cut into chunks of output frames, each rendered by its own `watchcam render`,
 * then joined into the output.
 *
 * Whatever a chunk writes goes into a hidden work folder beside the output (".NAME.farm"), so nothing
 * appears under the output's name until the join has checked every chunk. Renders write under temporary
 * names, sync and rename only when complete, so a failed or cancelled chunk leaves nothing, and submitting
 * the job again renders only the chunks that are not complete. The folder also records what the job was
 * and the files it was rendered from, so that chunks of different jobs or inputs are never joined.
 */
#ifndef KL_FARM_PLAN_H
#define KL_FARM_PLAN_H

#include "footage/klFootagePath.h"

#include <string>
#include <vector>

namespace Kiln::Footage::Farm {

struct Chunk {
    int number = 0;  // from 1, as the Slurm array index and in every message
    int first = 0, last = 0;  // output frame numbers, inclusive
    bool operator==(const Chunk&) const = default;
};

class FarmPlan {
public:
    // `output` is a sequence or a video with an absolute path; frames first..last in chunks of
    // `chunkFrames` (the last chunk may be shorter). Throws FootageError for a still output.
    FarmPlan(FootagePath output, int first, int last, int chunkFrames);

    const FootagePath& output() const { return output_; }
    int first() const { return first_; }
    int last() const { return last_; }
    int chunkFrames() const { return chunkFrames_; }
    const std::vector<Chunk>& chunks() const { return chunks_; }
    int digits() const { return digits_; }  // width of chunk numbers in file names

    std::string workFolder() const;  // "dir/.NAME.farm"
    std::string joinLog() const;  // "dir/.NAME.farm.log": the join's report, removed when it succeeds
    std::string lockFile() const;  // held by a submission or a join while it works on the folder
    std::string filesRecord() const;  // the input's, module's and watchcam's sizes and times
    std::string jobFile() const;  // what the job is (see jobText)
    std::string jobIdsFile() const;  // the Slurm job ids of the last submission
    std::string chunkLog(int number) const;
    // What a chunk's render writes: "work/chunk-0003.mkv" for a video, the output's own sequence name
    // inside the work folder for a sequence.
    FootagePath chunkTarget(int number) const;
    // The file a chunk's render writes its frame `frame` to (the segment itself for a video).
    std::string chunkFile(const Chunk& chunk, int frame) const;

private:
    FootagePath output_;
    int first_, last_, chunkFrames_;
    int digits_ = 4;
    std::vector<Chunk> chunks_;
    std::string dir_, file_;  // the output's folder ("" for the root) and file name
    std::string name_;  // the file name with its frame field written as '#'s
};

// "1-4", "2,5-7": Slurm's array syntax for the chunks' numbers.
std::string arraySpec(const std::vector<Chunk>& chunks);

// A path made absolute against the working directory, without resolving links ("a/../b" kept as typed
// when it exists only as a pattern).
std::string absolutePath(const std::string& path);

}  // namespace Kiln::Footage::Farm

#endif
