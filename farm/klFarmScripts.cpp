#include "farm/klFarmScripts.h"

#include "footage/klFootageError.h"

namespace Kiln::Footage::Farm {

namespace {

// A file name as Slurm's --output takes it: '%' starts a pattern there.
std::string slurmFileName(const std::string& path)
{
    std::string escaped;
    for (char c : path) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    return escaped;
}

// One #SBATCH line. sbatch splits these at white space and ends them at a '#' unless double-quoted, and
// has no escape for a double quote.
std::string sbatchLine(const std::string& arg)
{
    if (arg.find_first_of("\"\\\n\r") != std::string::npos)
        throw UsageError("--sbatch-arg " + arg +
                         ": Slurm cannot take a double quote, backslash or line break in a "
                         "batch script option (nor in the output's path)");
    if (arg.find_first_of(" \t'#") != std::string::npos) return "#SBATCH \"" + arg + "\"\n";
    return "#SBATCH " + arg + "\n";
}

std::string userLines(const std::vector<std::string>& sbatchArgs)
{
    std::string lines;
    for (const std::string& a : sbatchArgs) lines += sbatchLine(a);
    return lines;
}

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

std::string shellQuote(const std::string& word)
{
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "_-+=/.,:@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string shellLine(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& w : words) line += (line.empty() ? "" : " ") + shellQuote(w);
    return line;
}

std::string chunkCommand(const FarmPlan& plan, const FarmCommands& commands, const Chunk& chunk)
{
    std::vector<std::string> words = commands.renderHead;
    words.push_back(plan.chunkTarget(chunk.number).path);
    words.insert(words.end(), commands.renderTail.begin(), commands.renderTail.end());
    words.push_back("--frames");
    words.push_back(std::to_string(chunk.first) + "-" + std::to_string(chunk.last));
    return shellLine(words);
}

std::string chunkScript(const FarmPlan& plan, const FarmCommands& commands, const std::vector<Chunk>& todo,
                        const std::vector<std::string>& sbatchArgs)
{
    const std::string output = plan.output().path;
    const std::string first = std::to_string(plan.first()), last = std::to_string(plan.last());
    const std::string size = std::to_string(plan.chunkFrames());
    std::string s = "#!/bin/bash\n";
    s += sbatchLine("--job-name=watchcam:" + fileName(output));
    s += sbatchLine("--output=" + slurmFileName(plan.workFolder()) + "/chunk-%" +
                    std::to_string(plan.digits()) + "a.log");
    s += sbatchLine("--array=" + arraySpec(todo));
    s += userLines(sbatchArgs);
    s += "# One chunk of " + output + ": frames " + first + "-" + last + " in chunks of " + size +
         ", the chunk numbered by the array index.\n";
    s += "set -eu\n";
    s += "chunk=${SLURM_ARRAY_TASK_ID:?this script runs as a task of a Slurm job array}\n";
    s += "first=$((" + first + " + (chunk - 1) * " + size + "))\n";
    s += "last=$((first + " + size + " - 1))\n";
    s += "if [ \"$last\" -gt " + last + " ]; then last=" + last + "; fi\n";
    std::string threads;
    if (!commands.threadsGiven) {
        s += "threads=()\n";
        s +=
            "if [ -n \"${SLURM_CPUS_PER_TASK:-}\" ]; then threads=(--threads \"$SLURM_CPUS_PER_TASK\"); fi\n";
        threads = " \"${threads[@]}\"";
    }
    std::string target;
    if (plan.output().kind == Kind::Video) {
        target = shellQuote(plan.workFolder() + "/chunk-") + "\"$(printf %0" + std::to_string(plan.digits()) +
                 "d \"$chunk\")\"" + shellQuote("." + plan.output().extension);
    } else {
        target = shellQuote(plan.chunkTarget(1).path);
    }
    s += "exec " + shellLine(commands.renderHead) + " " + target + " " + shellLine(commands.renderTail) +
         " --frames \"$first-$last\"" + threads + "\n";
    return s;
}

std::string joinScript(const FarmPlan& plan, const FarmCommands& commands,
                       const std::vector<std::string>& sbatchArgs)
{
    std::string s = "#!/bin/bash\n";
    s += sbatchLine("--job-name=watchcam-join:" + fileName(plan.output().path));
    s += sbatchLine("--output=" + slurmFileName(plan.joinLog()));
    s += userLines(sbatchArgs);
    s += "# Joins the chunks of " + plan.output().path +
         " once every chunk has ended, or names the chunks that failed.\n";
    s += "exec " + shellLine(commands.join) + "\n";
    return s;
}

std::string jobText(const FarmPlan& plan, const FarmCommands& commands)
{
    std::vector<std::string> render = commands.renderHead;
    render.push_back("OUTPUT");
    render.insert(render.end(), commands.renderTail.begin(), commands.renderTail.end());
    return "watchcam farm job\noutput " + plan.output().path + "\nframes " + std::to_string(plan.first()) +
           "-" + std::to_string(plan.last()) + "\nchunk " + std::to_string(plan.chunkFrames()) + "\nrender " +
           shellLine(render) + "\n";
}

}  // namespace Kiln::Footage::Farm
