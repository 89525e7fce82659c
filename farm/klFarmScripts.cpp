#include "farm/klFarmScripts.h"

#include "footage/klFootageError.h"

#include <string_view>

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

struct Refused {
    const char* name;
    char letter;  // its short form; 0 for none
    const char* why;
};

const Refused kRefused[] = {
    {"--array", 'a', "the farm makes the job array itself, one task per chunk still to render"},
    {"--output", 'o', "the farm keeps one log per chunk (and one for the join) where it reads them"},
    {"--error", 'e', "the farm keeps one log per chunk (and one for the join) where it reads them"},
    {"--open-mode", 0, "the farm keeps one log per chunk (and one for the join) where it reads them"},
    {"--dependency", 'd', "the join waits for the chunks by a dependency of the farm's own"},
    {"--kill-on-invalid-dep", 0, "the join waits for the chunks by a dependency of the farm's own"},
    {"--wrap", 0, "the farm submits its own batch scripts"},
    {"--job-name", 'J', "the farm names its jobs after the output"},
    {"--parsable", 0, "the farm reads the job ids sbatch prints"},
    {"--wait", 'W', "the farm follows its jobs itself (watchcam farm --wait)"},
    {"--test-only", 0, "nothing would be submitted (watchcam farm --dry-run prints the scripts)"},
    {"--clusters", 'M',
     "the farm follows its jobs with squeue on the cluster sbatch submits to by default "
     "(set SLURM_CLUSTERS instead, which both follow)"},
};

// sbatch's short options that take no value (they may lead a group such as "-Ha1").
bool shortFlag(char c) { return std::string_view("HhkOQsVv").find(c) != std::string_view::npos; }

[[noreturn]] void refuse(const std::string& arg, const Refused& r)
{
    throw UsageError("--sbatch-arg " + arg + ": refused, the farm sets " + r.name +
                     (r.letter ? std::string(" (-") + r.letter + ")" : std::string()) + " itself: " + r.why);
}

}  // namespace

void checkSbatchArgs(const std::vector<std::string>& sbatchArgs)
{
    for (const std::string& arg : sbatchArgs) {
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            // sbatch takes any unambiguous start of a long option's name.
            const std::string name = arg.substr(0, arg.find_first_of("= \t"));
            for (const Refused& r : kRefused)
                if (name.size() > 2 && std::string_view(r.name).substr(0, name.size()) == name)
                    refuse(arg, r);
        } else if (arg.size() > 1 && arg[0] == '-') {
            for (size_t i = 1; i < arg.size(); ++i) {
                for (const Refused& r : kRefused)
                    if (r.letter && arg[i] == r.letter) refuse(arg, r);
                if (!shortFlag(arg[i])) break;  // the rest is this option's value
            }
        }
    }
}

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
    words.insert(words.end(), {"--stale-before", std::to_string(commands.submitted)});
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
    // A task renders with the CPUs Slurm gave it: tasks sharing a node would otherwise each take every
    // processor and slow each other down. Plain POSIX shell: no arrays, whose empty expansion fails under
    // set -u before bash 4.4.
    std::string threads;
    if (!commands.threadsGiven) {
        s += "cpus=${SLURM_CPUS_PER_TASK:-${SLURM_CPUS_ON_NODE:-}}\n";
        threads = " ${cpus:+--threads \"$cpus\"}";
    }
    std::string target;
    if (plan.output().kind == Kind::Video) {
        target = shellQuote(plan.workFolder() + "/chunk-") + "\"$(printf %0" + std::to_string(plan.digits()) +
                 "d \"$chunk\")\"" + shellQuote("." + plan.output().extension);
    } else {
        target = shellQuote(plan.chunkTarget(1).path);
    }
    s += "exec " + shellLine(commands.renderHead) + " " + target + " " + shellLine(commands.renderTail) +
         " --stale-before " + std::to_string(commands.submitted) + " --frames \"$first-$last\"" + threads +
         "\n";
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
