#pragma once

#include <time.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "log/log.h"

namespace logging {

// One record line laid out as every sink writes it:
// "2026-12-08 20:27:47.123 ERROR [12345] [Func@42] message\n", local time.
std::string FormatRecord(Severity severity, std::chrono::system_clock::time_point time, long tid,
                         const char* function, int line, const std::string& text);

// The same line built with async-signal-safe code only: `utc_offset` is the
// local zone's offset in seconds east of UTC, known beforehand. Writes at most
// `capacity` bytes (a longer line is cut) and returns the count.
size_t FormatRecordSafe(char* out, size_t capacity, Severity severity, const struct timespec& time,
                        long utc_offset, long tid, const char* function, int line, const char* text);

// Crash records go to the log file at `log_path` (opened per write, so a roll
// in between does no harm) and the raw stack frames to CrashDumpPath(log_path).
void ArmCrashLog(const std::string& log_path);
// Crash records also go to standard output, coloured or not.
void ArmCrashConsole(bool colored);
void DisarmCrashLog();
// The local zone's offset as last seen by the ordinary formatter.
void NoteUtcOffset(long utc_offset);

// Writes all of `data`, resuming after EINTR and short writes; gives up on
// any other error (false). Async-signal-safe.
bool WriteAll(int fd, const char* data, size_t size);

// "/var/log/ble.log" -> "/var/log/ble.crash".
std::string CrashDumpPath(const std::string& log_path);

// Signal context: "Signal Catch : N" and "Terminate program.." as error
// records, then the frames of the calling thread and the process's memory
// map into the dump file. Takes no lock and allocates nothing.
void WriteCrashRecords(int signal_number);

// The text of a dump file: frames (Boost.Stacktrace's dump, ending in a null
// frame) then the memory map of the process that wrote it. Each frame is
// moved to where its module lies in this process and rendered one per line,
// "N# " and Boost.Stacktrace's text of the frame, followed by " in " and the
// module's path where that text gives the source location instead; a frame
// whose module is not loaded here is shown as its address and module path.
std::string RenderCrashDump(const std::string& dump, const std::string& current_maps);

// At start: an error record with the trace of the previous run's crash, if
// its dump file is next to the log; the dump is removed. True if there was one.
bool LogPreviousCrash();

}  // namespace logging
