/*
 * The few Slurm commands a farm job needs, run as programs (sbatch, squeue, scancel, scontrol) so that
 * whatever the user's environment says about the cluster (SLURM_CONF, PATH) holds. Failures are
 * FootageError carrying the command's own message.
 */
#ifndef KL_SLURM_H
#define KL_SLURM_H

#include <string>
#include <vector>

namespace Kiln::Footage::Farm {

struct ProgramResult {
    int status = 0;  // exit code, or 128 + signal
    std::string out, err;
};

// Runs `argv` (argv[0] looked up on PATH) with standard input closed and both outputs captured. Throws
// FootageError when the program cannot be started.
ProgramResult runProgram(const std::vector<std::string>& argv);

// sbatch --parsable [options] SCRIPT; the job id.
std::string submitBatch(const std::string& script, const std::vector<std::string>& options);

// Pending, running or completing (what squeue shows by default). A failing squeue is no answer: it is
// asked again, and when it keeps failing (three times over a second and a half) this throws FootageError
// with its message rather than guess.
bool jobQueued(const std::string& id);

// The job's state as squeue names it (COMPLETED, FAILED, ...); empty once Slurm has forgotten the job.
// A failing squeue as for jobQueued().
std::string jobState(const std::string& id);

bool isFinalState(const std::string& state);

// scancel, reporting nothing: used to take back a half-made submission.
void cancelJobs(const std::vector<std::string>& ids);

// The cluster's MaxArraySize (array indices must stay below it); 0 when it cannot be read.
long maxArraySize();

}  // namespace Kiln::Footage::Farm

#endif
