#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

namespace qv {
namespace {

std::mutex logMutex;
std::atomic<LogClock> logClock{nullptr};

LocalTime Now() {
    LogClock clock = logClock.load();
    return clock != nullptr ? clock() : LocalTimeNow();
}

void AppendToFile(const LocalTime& t, const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    const std::filesystem::path dir("./QuorviaLog");
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        ec.clear();
        if (!std::filesystem::create_directory(dir, ec) || ec) return;  // drop the file line
    }
    const std::string name = "./QuorviaLog/" + LogFileName(t);
    std::FILE* f = std::fopen(name.c_str(), "ab");
    if (f == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
    std::fclose(f);
}

}  // namespace

std::string FormatLogLine(const LocalTime& t, const std::string& message) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d-%02d %02d:%02d:%02d:%03d", t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    std::string line = stamp;
    line += "  ";
    line += message;
    if (message.empty() || message.back() != '\n') line += '\n';
    return line;
}

std::string LogFileName(const LocalTime& t) {
    char hour[32];
    std::snprintf(hour, sizeof hour, "%04d%02d%02d%02d", t.year, t.month, t.day, t.hour);
    return std::string("Quorvia_") + hour + ".log";
}

void SetLogClock(LogClock clock) { logClock.store(clock); }

void WriteLog(int mode, const char* format, ...) noexcept {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    try {
        va_list copy;
        va_copy(copy, args);
        int needed = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string message;
        if (needed > 0) {
            std::vector<char> buf(static_cast<size_t>(needed) + 1);
            std::vsnprintf(buf.data(), buf.size(), format, args);
            message.assign(buf.data(), static_cast<size_t>(needed));
        }
        const LocalTime t = Now();
        const std::string line = FormatLogLine(t, message);
        if (mode == kLogConsole || mode == kLogBoth) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        if (mode != kLogConsole) AppendToFile(t, line);
    } catch (...) {
        // Out of memory: the line is dropped.
    }
    va_end(args);
}

}  // namespace qv
