#pragma once
// The process-wide catch-site trail and the internal error report log.
//
// Every catch site that handles or passes on an exception of the family records
// itself with Stack::add and, when it passes it on, re-raises the same object:
//
//     catch (Kiln::Exceptions::ExceptionI& e) {
//         Kiln::Exceptions::Stack::add(e, "Kiln::Param::ParamSet::load", __FILE__, __LINE__);
//         throw;
//     }
//
// Records are kept per worker index (klThreadIndex.h), in recording order; the
// first exception recorded for an index since the last clear is held as a clone.
// Every function here is serialised by one mutex, so workers may record at once.
#include "exceptions/klException.h"

#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

namespace Kiln::Exceptions::Stack {

// Records the catch site (function, file, line) of e under the caller's worker
// index. Never raises.
void add(const ExceptionI& e, const char* function, const char* file, int line, int detail = 0);
// Forgets every record and releases the held exceptions.
void clear();
// Whether a held exception is of the probe's class or derived from it.
bool contains(const ExceptionI& probe);
// The first record of the lowest worker index; a default record when the trail is empty.
Errors::ErrorRecord firstRecord();
bool empty();
// The records of one worker index in recording order.
std::vector<Errors::ErrorRecord> records(int workerIndex);
// The class name of the exception held for a worker index, or nullptr.
const char* heldName(int workerIndex);

// The error log: $KILN_ERROR_DIR/<host>/<product>.log when KILN_ERROR_DIR is set
// and not empty, else ($XDG_STATE_HOME or ~/.local/state)/kiln/log/<host>/<product>.log.
std::string logPath(const char* host, const char* product);
// Appends the report to the log, making missing directories. 0 when written,
// 4 when not (a DirectoryMake or FileOpen record is then added). Never raises and
// never changes the working directory.
int stackDumpLog(const char* host, const char* product);

// The report text of the current trail, with `when` as its local time stamp.
void writeReport(std::ostream& out, std::time_t when);
void writeReport(std::ostream& out);
// One record of the report.
void formatRecord(std::ostream& out, const Errors::ErrorRecord& record);

// The text shown to the user after an internal failure.
std::string userReportText(const char* product, int logResult, const std::string& path);

}  // namespace Kiln::Exceptions::Stack
