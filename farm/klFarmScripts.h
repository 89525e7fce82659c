/*
 * The text of a farm job: the batch script of the chunks (one Slurm array task per chunk), the batch
 * script of the join, the plain command of each chunk, and the record that identifies the job.
 *
 * Every path in them is absolute and every word shell-quoted, so the scripts run from any directory on
 * any node that sees the same files. A chunk's frame range follows from its array index inside the
 * script, so one script serves any number of chunks.
 */
#ifndef KL_FARM_SCRIPTS_H
#define KL_FARM_SCRIPTS_H

#include "farm/klFarmPlan.h"

#include <string>
#include <vector>

namespace Kiln::Footage::Farm {

struct FarmCommands {
    std::vector<std::string> renderHead;  // this program, "render", the input (or --demo)
    std::vector<std::string> renderTail;  // every render option, --no-audio, --module, --quiet, --overwrite
    bool threadsGiven = false;  // otherwise a task uses the CPUs Slurm gives it
    std::vector<std::string> join;  // this program's whole join command
    // When this submission was made (seconds since 1970): a chunk takes temporary files of other chunks'
    // frames for stale only when older, since every job of an earlier submission had ended by then.
    long long submitted = 0;
};

std::string shellQuote(const std::string& word);
std::string shellLine(const std::vector<std::string>& words);

// Refuses (UsageError) an sbatch option the farm sets itself or relies on not being set -- the array,
// the logs, the dependency, the job name, the script, how sbatch reports and where the jobs go -- in
// every spelling sbatch takes ("--array=1", "--array 1", "--arr=1", "-a1", "-a 1", "-Ha1"), naming it
// and why.
void checkSbatchArgs(const std::vector<std::string>& sbatchArgs);

// The chunk's render command, for --plain.
std::string chunkCommand(const FarmPlan& plan, const FarmCommands& commands, const Chunk& chunk);

// The array script rendering `todo`; `sbatchArgs` go in as #SBATCH lines after the job's own, so they win.
// UsageError for an argument no #SBATCH line can carry (a double quote or a line break).
std::string chunkScript(const FarmPlan& plan, const FarmCommands& commands, const std::vector<Chunk>& todo,
                        const std::vector<std::string>& sbatchArgs);
std::string joinScript(const FarmPlan& plan, const FarmCommands& commands,
                       const std::vector<std::string>& sbatchArgs);

// What makes chunks of two submissions fit together: the output, the frames, the chunk size and the
// render command.
std::string jobText(const FarmPlan& plan, const FarmCommands& commands);

}  // namespace Kiln::Footage::Farm

#endif
