#include "farm/klSlurm.h"

#include "footage/klFootageError.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Kiln::Footage::Farm {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

std::string firstLine(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

std::string commandFailure(const std::string& what, const ProgramResult& r)
{
    const std::string message = firstLine(r.err.empty() ? r.out : r.err);
    return what + " failed (exit status " + std::to_string(r.status) + ")" +
           (message.empty() ? "" : ": " + message);
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv)
{
    Pipe out, err;
    if (pipe2(out.fd, O_CLOEXEC) != 0 || pipe2(err.fd, O_CLOEXEC) != 0)
        throw FootageError(argv[0], std::string("cannot start: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    std::vector<std::string> copies = argv;
    std::vector<char*> args;
    for (std::string& a : copies) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        if (spawned == ENOENT)
            throw FootageError(
                argv[0],
                "not found on PATH (is this a Slurm submit host? --plain prints commands for other queues)");
        throw FootageError(argv[0], std::string("cannot start: ") + std::strerror(spawned));
    }
    close(out.fd[1]);
    close(err.fd[1]);
    out.fd[1] = err.fd[1] = -1;

    ProgramResult result;
    pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string submitBatch(const std::string& script, const std::vector<std::string>& options)
{
    std::vector<std::string> argv = {"sbatch", "--parsable"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(script);
    const ProgramResult r = runProgram(argv);
    if (r.status != 0) throw FootageError(script, commandFailure("sbatch", r));
    // "ID" or "ID;CLUSTER"
    std::string id = firstLine(r.out);
    id = id.substr(0, id.find(';'));
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
        throw FootageError(script, "sbatch gave no job id (it said: " + firstLine(r.out) + ")");
    return id;
}

namespace {

// What squeue says of one job: its first line, empty when Slurm no longer knows the job.
std::string askSqueue(const std::vector<std::string>& argv)
{
    for (int attempt = 1;; ++attempt) {
        const ProgramResult r = runProgram(argv);
        if (r.status == 0) return firstLine(r.out);
        // A job Slurm has forgotten: an answer, not a failure.
        if (r.err.find("Invalid job id") != std::string::npos) return {};
        if (attempt == 3) throw FootageError("", commandFailure("squeue", r));
        std::this_thread::sleep_for(std::chrono::milliseconds(500 * attempt));
    }
}

}  // namespace

bool jobQueued(const std::string& id)
{
    return !askSqueue({"squeue", "--noheader", "--jobs=" + id, "--format=%T"}).empty();
}

std::string jobState(const std::string& id)
{
    return askSqueue({"squeue", "--noheader", "--jobs=" + id, "--states=all", "--format=%T"});
}

bool isFinalState(const std::string& state)
{
    for (const char* s : {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL", "OUT_OF_MEMORY",
                          "PREEMPTED", "BOOT_FAIL", "DEADLINE", "SPECIAL_EXIT", "REVOKED"})
        if (state == s) return true;
    return false;
}

void cancelJobs(const std::vector<std::string>& ids)
{
    if (ids.empty()) return;
    std::vector<std::string> argv = {"scancel"};
    argv.insert(argv.end(), ids.begin(), ids.end());
    runProgram(argv);
}

long maxArraySize()
{
    const ProgramResult r = runProgram({"scontrol", "show", "config"});
    if (r.status != 0) return 0;
    const size_t at = r.out.find("MaxArraySize");
    if (at == std::string::npos) return 0;
    const size_t eq = r.out.find('=', at);
    if (eq == std::string::npos) return 0;
    return std::strtol(r.out.c_str() + eq + 1, nullptr, 10);
}

}  // namespace Kiln::Footage::Farm
