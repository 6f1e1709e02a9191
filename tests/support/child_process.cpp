#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

long long MsLeft(std::chrono::steady_clock::time_point end) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                           const std::string& workdir, Input input) {
    // The program's standard input: the read end of a pipe, /dev/null, or the
    // slave of a pty whose master the test keeps.
    int childIn = -1;
    int ourIn = -1;
    if (input == Input::kPipe) {
        int inPipe[2];
        if (pipe2(inPipe, O_CLOEXEC) != 0) return;
        childIn = inPipe[0];
        ourIn = inPipe[1];
    } else if (input == Input::kNull) {
        childIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (childIn < 0) return;
    } else {
        ourIn = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ourIn < 0 || grantpt(ourIn) != 0 || unlockpt(ourIn) != 0 || ptsname(ourIn) == nullptr) {
            if (ourIn >= 0) close(ourIn);
            return;
        }
        childIn = open(ptsname(ourIn), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (childIn < 0) {
            close(ourIn);
            return;
        }
    }
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        close(childIn);
        if (ourIn >= 0) close(ourIn);
        return;
    }
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(childIn, 0);
        dup2(outPipe[1], 1);
        dup2(outPipe[1], 2);
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(childIn);
    close(outPipe[1]);
    in_ = ourIn;
    out_ = outPipe[0];
    if (pid_ < 0) {
        if (in_ >= 0) close(in_);
        close(out_);
        in_ = out_ = -1;
    }
}

ChildProcess::~ChildProcess() {
    CloseInput();
    if (pid_ > 0) Wait(5000);
    if (out_ >= 0) close(out_);
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return true;
        }
        if (out_ < 0) return false;
        long long left = MsLeft(end);
        if (left <= 0) return false;
        pollfd pfd{out_, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            close(out_);
            out_ = -1;
            if (!buffered_.empty()) {
                line.swap(buffered_);
                buffered_.clear();
                return true;
            }
            return false;
        }
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::WaitForLine(const std::string& text, int timeoutMs, std::string* seen) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (MsLeft(end) > 0) {
        if (!ReadLine(line, static_cast<int>(MsLeft(end)))) return false;
        if (seen != nullptr) *seen += line + "\n";
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

bool ChildProcess::Write(const std::string& text) {
    if (in_ < 0) return false;
    return write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ChildProcess::Signal(int sig) { return pid_ > 0 && kill(pid_, sig) == 0; }

void ChildProcess::CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int ChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (MsLeft(end) <= 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ChildProcess::ReadAll(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string all;
    std::string line;
    while (MsLeft(end) > 0 && ReadLine(line, static_cast<int>(MsLeft(end)))) all += line + "\n";
    return all;
}
