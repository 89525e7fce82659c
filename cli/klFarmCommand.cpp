#include "cli/klFarmCommand.h"

#include "controls/klControlOptions.h"
#include "farm/klFarmJoin.h"
#include "farm/klFarmRecord.h"
#include "farm/klFarmScripts.h"
#include "farm/klSlurm.h"
#include "render/klRenderJob.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

using namespace Farm;

// Options of the farm itself, never handed to a chunk's render.
bool farmOnly(const std::string& name)
{
    for (const char* n : {"--chunk", "--dry-run", "--plain", "--sbatch-arg", "--wait", "--merge"})
        if (name == n) return true;
    return false;
}

// Render options the farm gives each chunk itself.
bool perChunk(const std::string& name)
{
    for (const char* n :
         {"--frames", "--module", "--overwrite", "--quiet", "--time-origin", "--stale-before"})
        if (name == n) return true;
    return false;
}

struct FarmSettings {
    int chunk = 0;
    bool dryRun = false, plain = false, wait = false, merge = false;
    std::vector<std::string> sbatchArgs;
};

FarmSettings farmSettingsFrom(const ParsedArgs& args)
{
    FarmSettings s;
    const auto chunk = args.values.find("--chunk");
    if (chunk == args.values.end())
        throw UsageError("farm needs --chunk N, the number of frames each task renders");
    s.chunk = parseCount("--chunk", chunk->second, 1, 100000000);
    s.dryRun = args.switches.count("--dry-run") != 0;
    s.plain = args.switches.count("--plain") != 0;
    s.wait = args.switches.count("--wait") != 0;
    s.merge = args.switches.count("--merge") != 0;
    if (const auto it = args.lists.find("--sbatch-arg"); it != args.lists.end()) s.sbatchArgs = it->second;
    checkSbatchArgs(s.sbatchArgs);
    if (s.dryRun && s.plain) throw UsageError("--dry-run and --plain exclude each other");
    if (s.wait && (s.dryRun || s.plain))
        throw UsageError("--wait follows a submitted job; it does not go with --dry-run or --plain");
    if (s.merge && (s.dryRun || s.plain || s.wait || !s.sbatchArgs.empty()))
        throw UsageError("--merge joins the chunks here and now; it takes none of --dry-run, --plain, "
                         "--wait, --sbatch-arg");
    return s;
}

std::string selfPath()
{
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) throw FootageError("/proc/self/exe", "cannot find this program's own path: " + ec.message());
    return p.string();
}

// The render options as typed, in the option table's order, paths made absolute.
std::vector<std::string> renderOptionWords(const ParsedArgs& args)
{
    std::vector<std::string> words;
    for (const OptionSpec& o : optionTable()) {
        const std::string name = o.name;
        if (!(o.commands & CommandRender) || farmOnly(name) || perChunk(name)) continue;
        if (o.repeatable) {
            if (const auto it = args.lists.find(name); it != args.lists.end())
                for (const std::string& v : it->second) words.insert(words.end(), {name, v});
        } else if (o.value) {
            if (const auto it = args.values.find(name); it != args.values.end())
                words.insert(words.end(), {name, name == "--preset" ? absolutePath(it->second) : it->second});
        } else if (args.switches.count(name) && name != "--demo") {
            words.push_back(name);
        }
    }
    return words;
}

// Refuses to submit while the last submission still has jobs in the queue: they would render the same
// chunks twice.
void checkNothingQueued(const FarmPlan& plan)
{
    std::istringstream ids(readWhole(plan.jobIdsFile()));
    std::string id;
    std::vector<std::string> queued;
    while (ids >> id) {
        bool inQueue = false;
        try {
            inQueue = jobQueued(id);
        } catch (const FootageError& e) {
            throw FootageError(plan.output().path, "cannot tell whether its last farm job (" + id +
                                                       ") is still queued: " + e.what() +
                                                       "; nothing submitted, so that no chunk renders twice");
        }
        if (inQueue) queued.push_back(id);
    }
    if (queued.empty()) return;
    std::string list, spaced;
    for (const std::string& q : queued) {
        list += (list.empty() ? "" : ",") + q;
        spaced += " " + q;
    }
    throw FootageError(plan.output().path, "its farm job is still queued or running (squeue -j " + list +
                                               "); wait for it to end, or cancel it with scancel" + spaced);
}

std::string chunkList(const std::vector<Chunk>& chunks)
{
    return chunks.size() == 1 ? "chunk " + arraySpec(chunks) : "chunks " + arraySpec(chunks);
}

// Follows the join job until it ends; the output is complete when its work folder is gone.
int waitForJoin(const FarmPlan& plan, const std::string& joinId)
{
    std::string state;
    for (int polls = 0, failures = 0;; ++polls) {
        try {
            state = jobState(joinId);
            failures = 0;
        } catch (const FootageError& e) {
            // Unknown is not ended: the job may well be running while squeue cannot reach the controller.
            if (++failures == 3) {
                std::cerr << "watchcam: " << plan.output().path << ": cannot follow the join job " << joinId
                          << ": " << e.what() << "; it may still be running (squeue -j " << joinId
                          << "); the output is complete once it appears" << std::endl;
                return ExitFailed;
            }
            state.clear();
        }
        if (failures == 0 && (state.empty() || isFinalState(state))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(polls < 20 ? 500 : 2000));
    }
    if (!std::filesystem::exists(plan.workFolder())) {
        std::cout << "watchcam: " << plan.output().path << ": done" << std::endl;
        return ExitOk;
    }
    std::cerr << readWhole(plan.joinLog());
    std::cerr << "watchcam: " << plan.output().path << ": the farm job ended without the output (join job "
              << joinId << " " << (state.empty() ? "gone" : state) << "; log " << plan.joinLog() << ")"
              << std::endl;
    return ExitFailed;
}

}  // namespace

CommandSpec farmCommandSpec()
{
    return {
        CommandFarm, "farm", "INPUT OUTPUT",
        "Render INPUT into OUTPUT on a Slurm cluster, in chunks of frames",
        "Submits a Slurm job array, one task per chunk of --chunk frames, each running watchcam render\n"
        "on its frames with the same options and module, and a join job that runs once every chunk\n"
        "has ended. OUTPUT is a sequence or a video (each chunk a segment starting on a key frame,\n"
        "joined without encoding again). Chunks go to a hidden folder beside OUTPUT; OUTPUT appears only\n"
        "when the join succeeds. Submitting the same command again renders only the missing chunks.\n"
        "Input, output folder, module and watchcam must be at the same paths on every node."};
}

std::vector<OptionSpec> withFarmOptions(std::vector<OptionSpec> table)
{
    for (OptionSpec& o : table)
        if (o.commands & CommandRender) o.commands |= CommandFarm;
    table.push_back(
        {CommandFarm, "--chunk", "N", "Frames each task renders (the last chunk may be shorter)"});
    table.push_back({CommandFarm, "--sbatch-arg", "ARG",
                     "Passed to sbatch for every job, as --sbatch-arg=--partition=render or\n"
                     "--sbatch-arg=--time=2:00:00 (repeatable)",
                     true});
    table.push_back(
        {CommandFarm, "--dry-run", nullptr, "Print the batch scripts and sbatch commands; submit nothing"});
    table.push_back(
        {CommandFarm, "--plain", nullptr,
         "Print one watchcam render command per chunk, for any other queue, and the join command"});
    table.push_back(
        {CommandFarm, "--wait", nullptr, "Wait for the job to end; exit 0 only when OUTPUT is complete"});
    table.push_back({CommandFarm, "--merge", nullptr,
                     "Join the rendered chunks into OUTPUT now (what the join job runs)"});
    return table;
}

int runFarm(const ParsedArgs& args)
{
    const FarmSettings farm = farmSettingsFrom(args);
    const bool demo = args.switches.count("--demo") != 0;
    if (args.positionals.size() != (demo ? 1u : 2u))
        throw UsageError(demo ? "farm --demo takes one file name, OUTPUT"
                              : "farm takes two file names, INPUT and OUTPUT (or --demo and OUTPUT)");
    RenderOptions options = renderOptionsFrom(args);
    if (!demo) options.input = absolutePath(options.input);
    options.output = absolutePath(options.output);
    const FootagePath output = parseFootagePath(options.output);
    if (output.kind == Kind::Still)
        throw FootageError(output.path,
                           "a farm renders a sequence (out.%04d.png) or a video, not a single picture");

    // Everything a chunk's render would refuse is refused now, before any queue time is spent.
    const std::string module = std::filesystem::canonical(findModule(options.modulePath)).string();
    options.modulePath = module;
    RenderJob check(options);
    {
        const auto preset = args.values.find("--preset");
        const auto sets = args.lists.find("--set");
        controlOptionsFrom(check.host().controls(),
                           preset == args.values.end() ? std::string() : absolutePath(preset->second),
                           sets == args.lists.end() ? std::vector<std::string>() : sets->second)
            .applyTo(check.host(), check.inputInfo().firstFrame);
    }
    const FarmPlan plan(output, check.firstFrame(), check.lastFrame(), farm.chunk);

    const std::string self = selfPath();
    const std::vector<std::string> optionWords = renderOptionWords(args);
    FarmCommands commands;
    commands.renderHead = {self, "render"};
    commands.renderHead.push_back(demo ? std::string("--demo") : options.input);
    commands.renderTail = optionWords;
    // The join carries the input's audio over the whole span; a chunk's own would only be thrown away.
    if (!args.switches.count("--no-audio")) commands.renderTail.push_back("--no-audio");
    // Every chunk times its frames as the whole render does, so the joined frames keep their times.
    const auto origin = args.values.find("--time-origin");
    commands.renderTail.insert(commands.renderTail.end(),
                               {"--time-origin",
                                origin != args.values.end() ? origin->second : std::to_string(plan.first()),
                                "--module", module, "--quiet", "--overwrite"});
    commands.threadsGiven = args.values.count("--threads") != 0;
    commands.submitted =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    commands.join = {self, "farm"};
    commands.join.push_back(demo ? std::string("--demo") : options.input);
    commands.join.push_back(output.path);
    commands.join.insert(commands.join.end(), optionWords.begin(), optionWords.end());
    if (const auto frames = args.values.find("--frames"); frames != args.values.end())
        commands.join.insert(commands.join.end(), {"--frames", frames->second});
    if (origin != args.values.end())
        commands.join.insert(commands.join.end(), {"--time-origin", origin->second});
    commands.join.insert(commands.join.end(), {"--module", module});
    if (options.overwrite) commands.join.push_back("--overwrite");
    commands.join.insert(commands.join.end(), {"--chunk", std::to_string(farm.chunk), "--merge"});
    const std::string job = jobText(plan, commands);
    // What the chunks are rendered from: changed files would mix two renders in one output.
    std::vector<std::string> sources = check.inputFiles();
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());  // a video: one file
    sources.insert(sources.end(), {module, self});

    if (farm.merge) {
        JobRecord record(plan, false);
        if (!record.present())
            throw FootageError(output.path, "nothing to join: no work folder " + plan.workFolder() +
                                                " (the farm job was never submitted, or its join has run)");
        record.settle(job, sources, false);
        JoinSettings settings;
        settings.carry = check.writerSettings().carry;
        settings.inputFiles = check.inputFiles();
        settings.overwrite = options.overwrite;
        joinChunks(plan, settings, std::cerr);
        // The log is kept only when the join fails: there is nothing to read in it otherwise.
        unlink(plan.joinLog().c_str());
        std::cout << "watchcam: " << output.path << ": joined " << plan.chunks().size() << " chunks, frames "
                  << plan.first() << "-" << plan.last() << std::endl;
        return ExitOk;
    }

    // Held until the jobs are submitted and their ids written, so that a second submission of the same
    // job waits and then finds them queued.
    JobRecord record(plan, !farm.dryRun);
    if (record.present()) record.settle(job, sources, !farm.dryRun);
    const std::vector<Chunk> todo = chunksToRender(plan);
    const std::string counted =
        std::to_string(todo.size()) + " of " + std::to_string(plan.chunks().size()) + " chunks";

    if (farm.plain) {
        if (!farm.sbatchArgs.empty())
            std::cerr << "watchcam: --sbatch-arg is for Slurm's sbatch; --plain ignores it (give the queue "
                         "you use its own options)"
                      << std::endl;
        for (const Chunk& c : todo) std::cout << chunkCommand(plan, commands, c) << "\n";
        std::cout.flush();
        std::cerr << "watchcam: " << output.path << ": " << counted
                  << " to render (the commands above, on any machines "
                  << "that see the same files); once every one has finished, join them with:\n  "
                  << shellLine(commands.join) << std::endl;
        return ExitOk;
    }

    const std::string chunksScript =
        todo.empty() ? std::string() : chunkScript(plan, commands, todo, farm.sbatchArgs);
    const std::string joinText = joinScript(plan, commands, farm.sbatchArgs);
    const std::string chunksFile = plan.workFolder() + "/chunks.sbatch",
                      joinFile = plan.workFolder() + "/join.sbatch";
    if (farm.dryRun) {
        if (!todo.empty()) std::cout << "# ---- " << chunksFile << "\n" << chunksScript;
        std::cout << "# ---- " << joinFile << "\n" << joinText << "# ---- submitted with\n";
        if (!todo.empty()) std::cout << "sbatch --parsable " << shellQuote(chunksFile) << "\n";
        std::cout << "sbatch --parsable " << (todo.empty() ? "" : "--dependency=afterany:CHUNKS_JOB_ID ")
                  << shellQuote(joinFile) << "\n";
        std::cout << "# " << counted << " to render" << std::endl;
        return ExitOk;
    }

    checkNothingQueued(plan);
    if (!todo.empty()) {
        const long limit = maxArraySize();
        if (limit > 0 && todo.back().number >= limit)
            throw FootageError(output.path, std::to_string(plan.chunks().size()) +
                                                " chunks exceed this cluster's MaxArraySize of " +
                                                std::to_string(limit) + "; give a larger --chunk");
    }
    writeWhole(chunksFile, chunksScript);
    writeWhole(joinFile, joinText);
    std::string chunksId;
    if (!todo.empty()) chunksId = submitBatch(chunksFile, {});
    std::string joinId;
    try {
        joinId = submitBatch(joinFile, chunksId.empty()
                                           ? std::vector<std::string>{}
                                           : std::vector<std::string>{"--dependency=afterany:" + chunksId});
    } catch (...) {
        cancelJobs({chunksId});
        throw;
    }
    writeWhole(plan.jobIdsFile(), chunksId + " " + joinId + "\n");

    std::cout << "watchcam: " << output.path << ": submitted " << counted << " (frames " << plan.first()
              << "-" << plan.last() << " in chunks of " << plan.chunkFrames() << ")\n";
    if (!todo.empty())
        std::cout << "  render: job " << chunksId << ", " << chunkList(todo) << "; logs " << plan.workFolder()
                  << "/chunk-N.log\n";
    std::cout << "  join:   job " << joinId << (todo.empty() ? "" : ", once every chunk has ended")
              << "; log " << plan.joinLog() << "\n";
    const std::string ids = chunksId.empty() ? joinId : chunksId + "," + joinId;
    std::cout << "  follow: squeue -j " << ids << "    cancel: scancel "
              << (chunksId.empty() ? "" : chunksId + " ") << joinId << std::endl;
    record.release();  // the join takes it
    if (farm.wait) return waitForJoin(plan, joinId);
    return ExitOk;
}

}  // namespace Kiln::Footage
