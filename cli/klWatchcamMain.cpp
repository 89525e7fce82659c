// watchcam: renders footage through the Q_Watchcam effect module in the substitute host.
//
// One table of subcommands and options (cli/klCommandLine), one error path (fail(): one line
// "watchcam: <file>: frame N: <cause>" on standard error), one set of exit codes.
#include "cli/klCommandLine.h"
#include "controls/klControlOptions.h"
#include "controls/klControlsTable.h"
#include "cli/klFarmCommand.h"
#include "cli/klPreviewCommand.h"
#include "footage/klOutputFiles.h"
#include "render/klProgress.h"
#include "render/klRenderJob.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef WATCHCAM_VERSION
#define WATCHCAM_VERSION "unknown"
#endif

namespace {

using namespace Kiln::Footage;

// ---- signals -------------------------------------------------------------------------------------------
// Every signal that would end the process (and that nobody set to be ignored, as nohup does SIGHUP) is
// blocked in every thread (the module's workers inherit the mask) and taken by one thread with sigwait,
// so the handling code may do anything. The first asks an attached render to stop at its next chance;
// without one, or at a second signal, every temporary output file and claim is removed and the process
// ends at once. A SIGPIPE or SIGXFSZ raised by a failing write stays with the writing thread, whose
// write then fails with EPIPE or EFBIG and ends the render as any write error does.
class SignalWatch {
public:
    SignalWatch()
    {
        sigemptyset(&set_);
        std::vector<int> signals = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,  SIGUSR2,
                                    SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
        for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) signals.push_back(s);
        for (const int s : signals) {
            struct sigaction now { };
            if (sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) sigaddset(&set_, s);
        }
        sigaddset(&set_, kWakeUp);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] { watch(); });
    }

    ~SignalWatch()
    {
        sigval mark{};
        mark.sival_int = kWakeUpMark;
        pthread_sigqueue(thread_.native_handle(), kWakeUp, mark);
        thread_.join();
    }

    // While an attachment lives, signals reach the job; its end waits for a signal using the job.
    class Attachment {
    public:
        Attachment(SignalWatch& watch, RenderJob& job) : watch_(watch)
        {
            std::lock_guard lock(watch_.mutex_);
            watch_.job_ = &job;
            if (const int s = watch_.signal_.load()) job.requestAbort(s);
        }
        ~Attachment()
        {
            std::lock_guard lock(watch_.mutex_);
            watch_.job_ = nullptr;
        }

    private:
        SignalWatch& watch_;
    };

    int signal() const { return signal_.load(); }

private:
    // Also a signal a user may send: only the watch's own, queued with its mark at its end, wakes it to leave.
    static constexpr int kWakeUp = SIGUSR1;
    static constexpr int kWakeUpMark = 0x5743;

    void watch()
    {
        for (;;) {
            siginfo_t info{};
            const int s = sigwaitinfo(&set_, &info);
            if (s < 0) continue;
            if (s == kWakeUp && info.si_code == SI_QUEUE && info.si_pid == getpid() &&
                info.si_value.sival_int == kWakeUpMark)
                return;
            std::lock_guard lock(mutex_);
            if (signal_.exchange(s) != 0 || job_ == nullptr) {
                discardAllOutputs();
                std::fputs(isatty(STDERR_FILENO) ? "\nwatchcam: interrupted\n" : "watchcam: interrupted\n",
                           stderr);
                _exit(128 + s);
            }
            job_->requestAbort(s);
        }
    }

    sigset_t set_{};
    std::thread thread_;
    std::atomic<int> signal_{0};
    std::mutex mutex_;
    RenderJob* job_ = nullptr;
};

// ---- the one error path ---------------------------------------------------------------------------------
int fail(const std::string& line, int status)
{
    std::string text = line;
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    std::cerr << "watchcam: " << text << std::endl;
    return status;
}

// ---- commands -------------------------------------------------------------------------------------------
// After writing to standard output (errno cleared before): a reader that went away (`watchcam controls |
// head -3`) ends the command quietly, as the SIGPIPE the signal watch holds back would have; any other
// failure is an error.
int standardOutputStatus()
{
    if (std::cout.flush()) return ExitOk;
    if (errno == EPIPE) return 128 + SIGPIPE;
    return fail(std::string("standard output: cannot write: ") + std::strerror(errno ? errno : EIO),
                ExitFailed);
}

// The control values of a command: --preset, then every --set in order.
ControlOptions controlOptionsOf(const ParsedArgs& args,
                                const std::vector<Kiln::Runner::ControlInfo>& controls)
{
    const auto preset = args.values.find("--preset");
    const auto sets = args.lists.find("--set");
    return controlOptionsFrom(controls, preset == args.values.end() ? std::string() : preset->second,
                              sets == args.lists.end() ? std::vector<std::string>() : sets->second);
}

int runRender(const ParsedArgs& args, SignalWatch& signals)
{
    RenderOptions options = renderOptionsFrom(args);
    const bool quiet = args.switches.count("--quiet") != 0;
    ProgressBar bar(!quiet && isatty(STDERR_FILENO));
    options.progress = [&bar](int done, int total) { bar.update(done, total); };
    options.note = [&bar](const std::string& text) {
        bar.close();
        std::cerr << "watchcam: " << text << std::endl;
    };

    try {
        RenderJob job(options);
        // Keyframes are given in the input's frame numbers, which the output keeps.
        controlOptionsOf(args, job.host().controls()).applyTo(job.host(), job.inputInfo().firstFrame);
        const SignalWatch::Attachment attachment(signals, job);
        const RenderStats stats = job.run();
        // The bar's last line and the summary tell the same time, the whole render's.
        bar.finish(stats.frames, stats.totalSeconds);
        const std::string written = options.output == "-" ? "standard output" : options.output;
        if (!quiet)
            std::cerr << "watchcam: " << summaryLine(written, stats.frames, stats.totalSeconds) << std::endl;
        return ExitOk;
    } catch (const Interrupted& e) {
        bar.close();
        return fail(e.what(), 128 + e.signalNumber());
    } catch (...) {
        bar.close();
        if (const int s = signals.signal()) return fail(options.output + ": interrupted", 128 + s);
        throw;
    }
}

int runControls(const ParsedArgs& args)
{
    const auto it = args.values.find("--module");
    const std::string path = findModule(it == args.values.end() ? std::string() : it->second);
    try {
        auto module = Kiln::Runner::Module::load(path);
        Kiln::Runner::HostSettings settings;
        settings.width = settings.height = 64;
        Kiln::Runner::Host host(*module, settings);
        ControlOptions controls = controlOptionsOf(args, host.controls());
        const auto out = args.values.find("--write-preset");
        errno = 0;
        if (out == args.values.end()) {
            std::cout << formatControls(host.controls());
            return standardOutputStatus();
        }
        // What the host holds once the module has seen the values: controls that follow others agree.
        controls.applyTo(host);
        controls.takeFrom(host);
        if (out->second == "-") {
            controls.writePreset(std::cout);
            return standardOutputStatus();
        }
        controls.writePresetFile(out->second, args.switches.count("--overwrite") != 0);
    } catch (const Kiln::Runner::RunnerError& e) {
        throw FootageError(path, e.what());
    }
    return ExitOk;
}

// The About box: a window when a display opens, or the same picture drawn into a PNG file.
int runAbout(const ParsedArgs& args)
{
    const auto it = args.values.find("--module");
    const std::string path = findModule(it == args.values.end() ? std::string() : it->second);
    const auto png = args.values.find("--png");
    const bool toFile = png != args.values.end();
    std::unique_ptr<OutputFiles> output;
    FootagePath target;
    if (toFile) {
        target = parseFootagePath(png->second);
        if (target.kind != Kind::Still)
            throw UsageError("--png " + png->second + ": expected a picture file name");
        output = std::make_unique<OutputFiles>(target, long(getpid()));
        output->claim(0, 0);
        output->check({}, 0, 0, args.switches.count("--overwrite") != 0);
    }
    Image box;
    try {
        auto module = Kiln::Runner::Module::load(path);
        Kiln::Runner::HostSettings settings;
        settings.width = settings.height = 64;
        settings.headless = toFile;
        Kiln::Runner::Host host(*module, settings);
        box = host.about();
    } catch (const Kiln::Runner::RunnerError& e) {
        throw FootageError(path, e.what());
    }
    bool drawn = false;
    for (size_t i = 0; i < box.pixels.size() && !drawn; ++i) drawn = box.pixels[i] != 0;
    if (!toFile) {
        if (drawn)
            return fail(
                "about: no display to open a window on; use --png FILE to draw the box into a picture",
                ExitFailed);
        return ExitOk;
    }
    WriterSettings ws;
    ws.width = box.width;
    ws.height = box.height;
    ws.depth = box.depth;
    ws.alpha = false;
    auto writer = createWriter(target, ws, [&](int n) { return output->temporaryFor(n); });
    writer->write(box);
    writer->finish();
    output->commit();
    return ExitOk;
}

int dispatch(const ParsedArgs& args)
{
    if (args.command == CommandFarm) return runFarm(args);  // it rolls a join back on its own signals
    SignalWatch signals;
    switch (args.command) {
    case CommandRender: return runRender(args, signals);
    case CommandControls: return runControls(args);
    case CommandAbout: return runAbout(args);
    case CommandFarm: return runFarm(args);
    case CommandPreview: return runPreview(args);
    }
    return fail("unknown command", ExitUsage);
}

// ---- the command line from the tables -------------------------------------------------------------------
struct Bindings {
    std::map<Command, CLI::App*> commands;
    std::map<Command, ParsedArgs> args;
    std::map<std::pair<Command, std::string>, bool> switches;
};

// Usage lines name the positional arguments as the command table does ("INPUT OUTPUT").
class Formatter : public CLI::Formatter {
public:
    std::map<const CLI::Option*, std::string> positionals;
    std::string make_option_usage(const CLI::Option* opt) const override
    {
        const auto it = positionals.find(opt);
        return it != positionals.end() ? it->second : CLI::Formatter::make_option_usage(opt);
    }
    std::string make_positionals(const CLI::App*) const override { return ""; }
};

void build(CLI::App& app, Bindings& b)
{
    auto formatter = std::make_shared<Formatter>();
    app.formatter(formatter);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("watchcam ") + WATCHCAM_VERSION);
    app.footer(
        "Exit status: 0 done, 1 failed, 2 usage error, 128 + signal when a signal ended it (130: Ctrl-C).\n"
        "Examples:\n"
        "  watchcam render --demo demo.mp4\n"
        "  watchcam render shot.####.exr out.%04d.png --depth 16 --frames 1001-1050\n"
        "  watchcam render in.mp4 out.mp4 --set contrast=30 --set \"TV Type=Tint\"\n"
        "  watchcam controls --set playSpeed=0:100,48:0 --write-preset look.xml\n"
        "  watchcam render in.mp4 out.mp4 --preset look.xml --set blur=3\n"
        "  watchcam controls\n"
        "  watchcam about --png about.png");
    for (const CommandSpec& c : commandTable()) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        sub->footer(c.details);
        b.commands[c.id] = sub;
        ParsedArgs& parsed = b.args[c.id];
        parsed.command = c.id;
        if (*c.positionals)
            formatter->positionals[sub->add_option("files", parsed.positionals)] = c.positionals;
        for (const OptionSpec& o : optionTable()) {
            if (!(o.commands & c.id)) continue;
            if (o.repeatable) {
                // One value per occurrence, so that a --set never swallows the file names after it.
                sub->add_option(o.name, parsed.lists[o.name], o.help)
                    ->type_name(o.value)
                    ->allow_extra_args(false);
            } else if (o.value) {
                sub->add_option(o.name, parsed.values[o.name], o.help)->type_name(o.value);
            } else {
                sub->add_flag(o.name, b.switches[{c.id, o.name}], o.help);
            }
        }
    }
}

// The first option of the command that is given twice though it takes one value (the parser would say "At
// Most 1 required but received 2"); empty when none is.
std::string repeatedOption(int argc, char** argv)
{
    const CommandSpec* command = nullptr;
    for (const CommandSpec& c : commandTable())
        if (argv[1] == std::string(c.name)) command = &c;
    if (!command) return {};
    std::map<std::string, int> seen;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.rfind("--", 0) != 0) continue;
        const std::string name = arg.substr(0, arg.find('='));
        for (const OptionSpec& o : optionTable()) {
            if (name != o.name || !(o.commands & command->id)) continue;
            if (o.value && arg.find('=') == std::string::npos) ++i;  // its value follows
            if (!o.repeatable && ++seen[name] == 2) return name;
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app("Renders footage through the Q_Watchcam security-camera effect.", "watchcam");
    Bindings b;
    build(app, b);
    std::string known;
    bool found = false;
    for (const CommandSpec& c : commandTable()) {
        known += (known.empty() ? "" : ", ") + std::string(c.name);
        found = found || (argc > 1 && argv[1] == std::string(c.name));
    }
    if (argc < 2)
        return fail("no command given (commands: " + known + "; watchcam --help shows the usage)", ExitUsage);
    if (argv[1][0] != '-' && !found)
        return fail(std::string("unknown command '") + argv[1] + "' (commands: " + known + ")", ExitUsage);
    if (const std::string twice = repeatedOption(argc, argv); !twice.empty())
        return fail(twice + " is given more than once; give it once", ExitUsage);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << std::endl;
        return ExitOk;
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(std::string(e.what()) + " (watchcam --help shows the usage)", ExitUsage);
    }

    for (const auto& [id, sub] : b.commands) {
        if (!sub->parsed()) continue;
        ParsedArgs args = b.args[id];
        // Only options actually given count; the bound strings of the others are empty.
        for (auto it = args.values.begin(); it != args.values.end();) {
            if (sub->count(it->first) == 0)
                it = args.values.erase(it);
            else
                ++it;
        }
        for (const auto& [key, on] : b.switches)
            if (key.first == id && on) args.switches.insert(key.second);
        try {
            return dispatch(args);
        } catch (const UsageError& e) {
            return fail(e.what(), ExitUsage);
        } catch (const FootageError& e) {
            return fail(e.what(), ExitFailed);
        } catch (const std::bad_alloc&) {
            return fail("out of memory", ExitFailed);
        } catch (const std::exception& e) {
            return fail(e.what(), ExitFailed);
        }
    }
    return fail("no command given (watchcam --help shows the usage)", ExitUsage);
}
