// Runs a program with pipes on its standard input and output, for tests that
// drive a program the way a user would.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class ChildProcess {
public:
    // What the program's standard input is: a pipe the test writes to, the null
    // device, or a terminal (a pty the test created; writing to it is typing).
    enum class Input { kPipe, kNull, kTerminal };

    // Starts `argv[0]` with the extra environment entries ("NAME=value") and
    // the working directory given (empty: the current one).
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& workdir = std::string(), Input input = Input::kPipe);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Next line of output (without the line feed); false at end of output or
    // after `timeoutMs`.
    bool ReadLine(std::string& line, int timeoutMs);
    // Reads lines until one contains `text`; everything read is appended to `seen`.
    bool WaitForLine(const std::string& text, int timeoutMs, std::string* seen = nullptr);
    bool Write(const std::string& text);
    void CloseInput();
    // Sends a signal to the program; false when it is not running.
    bool Signal(int sig);
    // Waits for the program to end (kills it after `timeoutMs`); the exit
    // status, or -1 when it was killed.
    int Wait(int timeoutMs);
    // Everything the program printed, to the end of its output.
    std::string ReadAll(int timeoutMs);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};
