/*
 * The end of a farm job: every chunk checked, then joined into the output.
 *
 * A sequence's frames move from the work folder to their names; a video's segments are joined packet by
 * packet without decoding (each must start on a key frame and be coded as the first), with the input's
 * audio and tags over the whole span, as a single render of it carries them. The output appears only
 * when complete (a video under a temporary name, renamed), and the work folder goes only then. A chunk
 * without its files is reported by number, frames and the last line of its log, and nothing is joined.
 */
#ifndef KL_FARM_JOIN_H
#define KL_FARM_JOIN_H

#include "farm/klFarmPlan.h"
#include "footage/klFootage.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace Kiln::Footage::Farm {

struct JoinSettings {
    Carry carry;  // what a single render of the whole span carries from the input (its audio, its tags)
    std::vector<std::string> inputFiles;  // never written over
    bool overwrite = false;  // an existing output may be replaced
};

// What is wrong with a chunk's files, empty when it is complete: every frame there and not empty (a
// sequence), or a segment holding its chunk's number of pictures (a video). Renders write and sync their
// files before they rename them into place, so a complete file is never half-written.
std::string chunkProblem(const FarmPlan& plan, const Chunk& chunk);

// The chunks that are not complete, in order.
std::vector<Chunk> chunksToRender(const FarmPlan& plan);

// "chunk 3 of 4 (frames 20-29) failed: <why> (log <file>)" for every chunk that is not complete.
std::vector<std::string> failedChunks(const FarmPlan& plan);

// Claims the output as a render does (another render or join writing it is refused), checks it may be
// written, joins the chunks into it and removes the work folder. When chunks are missing, writes one line per failed chunk to `report` ("watchcam: " first)
// and throws FootageError; FootageError for any other failure too, leaving no output and the work
// folder as it was. An interruption (SIGINT, SIGTERM) leaves no output either: a sequence's frames move
// back and Interrupted is thrown; a video's temporary file goes and the process ends (128 + signal).
void joinChunks(const FarmPlan& plan, const JoinSettings& settings, std::ostream& report);

}  // namespace Kiln::Footage::Farm

#endif
