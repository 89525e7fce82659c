/*
 * `watchcam farm`: one render handed to a Slurm cluster as a job array of chunks plus a join job that
 * runs once every chunk has ended. The scheduler is Slurm's: this only writes, submits and follows.
 *
 * The command takes every render option. Everything a render would check (input, frames, output name,
 * module, control values) is checked once here, before anything is submitted, so that a mistake costs
 * no queue time.
 */
#ifndef KL_FARM_COMMAND_H
#define KL_FARM_COMMAND_H

#include "cli/klCommandLine.h"

#include <vector>

namespace Kiln::Footage {

// The farm's row in the command table.
CommandSpec farmCommandSpec();

// The option table with the farm's own options added and every render option offered to the farm too.
std::vector<OptionSpec> withFarmOptions(std::vector<OptionSpec> table);

int runFarm(const ParsedArgs& args);

}  // namespace Kiln::Footage

#endif
