// The local wall-clock time with milliseconds, for log lines and log file
// names. Declared here so the log needs nothing above it; the platform layer
// implements LocalTimeNow() for each operating system.
#pragma once

namespace qv {

struct LocalTime {
    int year = 0;    // e.g. 2026
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalTime LocalTimeNow();

}  // namespace qv
