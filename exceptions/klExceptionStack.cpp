#include "exceptions/klExceptionStack.h"

#include "exceptions/klThreadIndex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <system_error>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Exceptions::Stack {

namespace {

using Errors::ErrorRecord;

struct Trail {
    std::mutex mutex;
    std::map<int, std::vector<ErrorRecord>> records;  // by worker index, in recording order
    std::map<int, ExceptionI*> held;  // first exception per worker index

    void releaseHeld()
    {
        for (auto& [key, e] : held) e->release();
        held.clear();
    }
    ~Trail() { releaseHeld(); }
};

Trail& trail()
{
    static Trail t;
    return t;
}

constexpr const char* kSupportContact = "the Kiln support desk <support@kiln.example>";

std::string zeroFilled(int value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", value);
    return buf;
}

std::string errnoText(int err)
{
    if (err == 0) return "No errno";
    return std::error_code(err, std::generic_category()).message();
}

const char* nonEmptyEnv(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string homeDirectory()
{
    if (const char* home = nonEmptyEnv("HOME")) return home;
    char buf[4096];
    passwd pw;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// Makes one directory of the log path unless it is there: 0, or the errno of the failure.
int makeDirectory(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    if (mkdir(dir.c_str(), 0777) == 0) return 0;
    const int err = errno;
    if (err != EEXIST) return err;
    // Another process may have made it in the meantime; otherwise a file holds the name.
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

constexpr const char* kDumpFunction = "Kiln::Exceptions::Stack::stackDumpLog";

template <class E>
int recordFailure(const char* action, const std::string& path, int err)
{
    add(E(kDumpFunction, __FILE__, __LINE__, action, path, errnoText(err)), kDumpFunction, __FILE__,
        __LINE__);
    return 4;
}

}  // namespace

void add(const ExceptionI& e, const char* function, const char* file, int line, int)
{
    try {
        e.stampNames();
        ErrorRecord r = e.record();
        r.function = function;
        r.file = Errors::fileNameOf(file);
        r.line = line;
        const int key = currentWorkerIndex();
        Trail& t = trail();
        std::lock_guard lock(t.mutex);
        t.records[key].push_back(std::move(r));
        if (!t.held.count(key)) t.held[key] = e.clone();
    } catch (...) {
        // Recording is best effort: a catch site must never fail because of it.
    }
}

void clear()
{
    Trail& t = trail();
    std::lock_guard lock(t.mutex);
    t.records.clear();
    t.releaseHeld();
}

bool contains(const ExceptionI& probe)
{
    Trail& t = trail();
    std::lock_guard lock(t.mutex);
    for (const auto& [key, e] : t.held)
        if (probe.admits(*e)) return true;
    return false;
}

ErrorRecord firstRecord()
{
    {
        Trail& t = trail();
        std::lock_guard lock(t.mutex);
        for (const auto& [key, recs] : t.records)
            if (!recs.empty()) return recs.front();
    }
    return Errors::makeRecord(Errors::UnknownError, nullptr, nullptr, 0, {});
}

bool empty()
{
    Trail& t = trail();
    std::lock_guard lock(t.mutex);
    return t.records.empty();
}

std::vector<ErrorRecord> records(int workerIndex)
{
    Trail& t = trail();
    std::lock_guard lock(t.mutex);
    auto it = t.records.find(workerIndex);
    return it == t.records.end() ? std::vector<ErrorRecord>{} : it->second;
}

const char* heldName(int workerIndex)
{
    Trail& t = trail();
    std::lock_guard lock(t.mutex);
    auto it = t.held.find(workerIndex);
    return it == t.held.end() ? nullptr : it->second->name();
}

// ---- Report ---------------------------------------------------------------

void formatRecord(std::ostream& out, const ErrorRecord& r)
{
    out << " [ Err " << zeroFilled(r.code) << "]\n   ";
    if (r.function && std::strcmp(r.function, "unknown()") != 0) {
        const std::size_t n = std::strlen(r.function);
        if (n > 80)
            out << "..." << (r.function + n - 77);
        else
            out << r.function;
        out << "() ";
    }
    if (r.file) {
        const std::size_t n = std::strlen(r.file);
        if (n > 74)
            out << "..." << (r.file + n - 71);
        else
            out << r.file;
    }
    if (r.line != 0) out << '(' << zeroFilled(r.line) << ')';
    out << "\n   " << r.message() << " (" << (r.className ? r.className : "") << ")\n";
}

void writeReport(std::ostream& out, std::time_t when)
{
    std::tm local{};
    char stamp[64] = "\n";
    if (localtime_r(&when, &local)) asctime_r(&local, stamp);

    out << "KILN INTERNAL ERROR REPORT\n" << std::string(28, '-') << '\n' << stamp << "\r\n";
    {
        Trail& t = trail();
        std::lock_guard lock(t.mutex);
        std::size_t used = 0;
        for (const auto& [key, recs] : t.records) used += !recs.empty();
        for (const auto& [key, recs] : t.records) {
            if (recs.empty()) continue;
            if (used > 1) out << "Thread " << key << "\r\n" << std::string(40, '-') << "\r\n";
            std::size_t n = recs.size();
            for (const ErrorRecord& r : recs) {
                out << n-- << ". ";
                formatRecord(out, r);
            }
            out << "\r\n";
        }
    }
    out << "\nEmail to " << kSupportContact << '\0';
}

void writeReport(std::ostream& out) { writeReport(out, std::time(nullptr)); }

// ---- Log file -------------------------------------------------------------

std::string logPath(const char* host, const char* product)
{
    std::string dir;
    if (const char* custom = nonEmptyEnv("KILN_ERROR_DIR")) {
        dir = custom;
    } else {
        const char* state = nonEmptyEnv("XDG_STATE_HOME");
        dir = (state ? std::string(state) : homeDirectory() + "/.local/state") + "/kiln/log";
    }
    return dir + "/" + (host ? host : "") + "/" + (product ? product : "") + ".log";
}

int stackDumpLog(const char* host, const char* product)
{
    try {
        const std::string path = logPath(host, product);
        // Directories are made by path so the process's working directory never changes.
        for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
            if (const int err = makeDirectory(path.substr(0, pos)))
                return recordFailure<File::DirectoryMake>("open", path, err);

        errno = 0;
        std::FILE* f = std::fopen(path.c_str(), "a+");
        if (!f) return recordFailure<File::FileOpen>("open", path, errno);

        std::ostringstream report;
        writeReport(report);
        report << '\n';
        const std::string text = report.str();
        errno = 0;
        const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        const int err = errno;
        if (std::fclose(f) != 0 || !written)
            return recordFailure<File::FileOpen>("write", path, err ? err : errno);
        return 0;
    } catch (...) {
        return 4;
    }
}

std::string userReportText(const char* product, int logResult, const std::string& path)
{
    std::string text =
        std::string(product ? product : "") + " failed.\n\n" + firstRecord().message() + ".\n\n";
    if (logResult == 0) text += "See " + path + "\n\n";
    return text;
}

}  // namespace Kiln::Exceptions::Stack
