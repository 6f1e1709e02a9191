// The library's one log function. A line is the local time
// "%02d-%02d %02d:%02d:%02d:%03d" (month, day, hour, minute, second,
// millisecond), two spaces, the message, and a line feed unless the message
// already ends with one. File lines go to "./QuorviaLog/Quorvia_%04d%02d%02d%02d.log"
// (one file per hour), relative to the current directory at the time of the line.
#pragma once

#include <string>

#include "core/local_time.h"

namespace qv {

enum LogMode : int {
    kLogConsole = 0,  // standard output only
    kLogFile = 1,     // log file only (also any unknown mode)
    kLogBoth = 2,     // console first, then the file
};

// Never throws: a line that cannot be composed or written (out of memory) is
// dropped, so logging is safe on every cleanup path.
void WriteLog(int mode, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

// The clock used for time stamps and file names; nullptr restores the real
// clock. For tests.
using LogClock = LocalTime (*)();
void SetLogClock(LogClock clock);

// The pieces of a log line, for tests.
std::string FormatLogLine(const LocalTime& t, const std::string& message);
std::string LogFileName(const LocalTime& t);

}  // namespace qv

// Most lines go to the file only.
#define QV_LOG(...) ::qv::WriteLog(::qv::kLogFile, __VA_ARGS__)
