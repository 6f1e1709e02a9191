#include "sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifndef QV_SIM_PATH
#error "QV_SIM_PATH must be defined by the build"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Writes to a pipe whose reader may be gone without letting SIGPIPE kill the
// process, and without touching the process-wide disposition: the signal is
// blocked for this thread only and a pending one is consumed.
bool write_no_sigpipe(int fd, const std::string& text) {
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending_before;
    sigpending(&pending_before);
    const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);

    bool ok = true;
    bool got_epipe = false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EPIPE) got_epipe = true;
        ok = false;
        break;
    }
    if (got_epipe && !was_pending) {
        const struct timespec zero {0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    return ok;
}

void remove_tree_shallow(const std::string& dir) {
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string p = dir + "/" + name;
            if (::unlink(p.c_str()) != 0) ::rmdir(p.c_str());
        }
        ::closedir(d);
    }
    ::rmdir(dir.c_str());
}

bool parse_field(const std::string& text, const char* key, uint64_t& out) {
    const std::string needle = std::string(" ") + key + "=";
    const size_t at = text.find(needle);
    if (at == std::string::npos) return false;
    const char* p = text.c_str() + at + needle.size();
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(p, &end, 10);
    if (end == p || errno != 0) return false;
    out = v;
    return true;
}

}  // namespace

SimProcess::SimProcess(const std::vector<Port>& ports) { start(ports, {}, {}); }

SimProcess::SimProcess(std::initializer_list<Port> ports) { start(std::vector<Port>(ports), {}, {}); }

SimProcess::SimProcess(const std::vector<Port>& ports, const std::string& executable) { start(ports, {}, executable); }

SimProcess::SimProcess(const std::vector<Port>& ports, const std::vector<NetScanner>& net) { start(ports, net, {}); }

void SimProcess::start(const std::vector<Port>& ports, const std::vector<NetScanner>& net,
                       const std::string& executable) {
    char tmpl[] = "/tmp/quorvia-sim-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        fail(std::string("mkdtemp: ") + std::strerror(errno));
        return;
    }
    dir_ = tmpl;

    std::vector<std::string> args = {executable.empty() ? std::string(QV_SIM_PATH) : executable, "--dir", dir_};
    for (const Port& p : ports) {
        std::string arg = "com=" + std::to_string(p.com) + ",baud=" + std::to_string(p.baud) +
                           ",stop=" + std::to_string(p.stop) + ",driver=" + p.driver;
        if (!p.options.empty()) arg += "," + p.options;
        args.push_back("--port");
        args.push_back(arg);
    }
    for (const NetScanner& n : net) {
        args.push_back("--net");
        args.push_back("net=" + std::to_string(n.number) + (n.options.empty() ? "" : "," + n.options));
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in_pipe[2], out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
        fail(std::string("pipe2: ") + std::strerror(errno));
        return;
    }
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        fail(std::string("pipe2: ") + std::strerror(errno));
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 0/1 clears close-on-exec there; every other pipe end closes on exec.
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default SIGPIPE handling and nothing blocked,
    // whatever this process set up.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];
    if (rc != 0) {
        fail(std::string("cannot start ") + argv[0] + ": " + std::strerror(rc));
        return;
    }
    pid_ = pid;

    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartLimitMs);
    std::string line;
    while (read_line(line, remaining_ms(deadline))) {
        if (line.rfind("PORTS ", 0) == 0) {
            declaration_ = line.substr(6);
        } else if (line == "PORTS") {
            declaration_.clear();
        } else if (line.rfind("NET ", 0) == 0) {
            // "NET 5=127.0.0.1:40001;6=127.0.0.1:40002"
            std::string rest = line.substr(4);
            size_t pos = 0;
            while (pos < rest.size()) {
                size_t end = rest.find(';', pos);
                if (end == std::string::npos) end = rest.size();
                const std::string item = rest.substr(pos, end - pos);
                const size_t eq = item.find('='), colon = item.rfind(':');
                if (eq != std::string::npos && colon != std::string::npos && colon > eq) {
                    tcp_ports_[std::atoi(item.substr(0, eq).c_str())] =
                        static_cast<uint16_t>(std::atoi(item.substr(colon + 1).c_str()));
                }
                pos = end + 1;
            }
        } else if (line == "READY") {
            ok_ = true;
            return;
        }
    }
    fail("simulator did not become ready" + (error_.empty() ? std::string() : " (" + error_ + ")"));
}

SimProcess::~SimProcess() { finish(); }

void SimProcess::fail(const std::string& why) {
    ok_ = false;
    if (error_.empty()) error_ = why;
}

std::string SimProcess::path(int com) const { return dir_ + "/com" + std::to_string(com); }

uint16_t SimProcess::tcp_port(int number) const {
    const auto it = tcp_ports_.find(number);
    return it == tcp_ports_.end() ? 0 : it->second;
}

bool SimProcess::send_line(const std::string& line) {
    if (to_child_ < 0) return false;
    return write_no_sigpipe(to_child_, line + "\n");
}

bool SimProcess::read_line(std::string& line, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return true;
        }
        if (from_child_ < 0) return false;
        struct pollfd p {from_child_, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            error_ = error_.empty() ? "no answer in time" : error_;
            return false;
        }
        if (r < 0) return false;
        char buf[4096];
        const ssize_t n = ::read(from_child_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error_.empty()) error_ = "simulator closed its output";
            return false;
        }
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

std::string SimProcess::command(const std::string& line) {
    std::lock_guard lk(mu_);
    if (!ok_) return "ERR simulator not running: " + error_;
    if (line.find('\n') != std::string::npos) return "ERR control line contains a newline";
    if (!send_line(line)) {
        fail("cannot write to the simulator");
        return "ERR " + error_;
    }
    std::string reply;
    if (!read_line(reply, kReplyLimitMs)) {
        // A late answer would pair with the next command: stop using it.
        fail("no reply to '" + line + "'");
        return "ERR " + error_;
    }
    return reply;
}

bool SimProcess::stats(int com, Stats& out) {
    const std::string reply = command("stats " + std::to_string(com));
    if (reply.rfind("OK ", 0) != 0) return false;
    Stats s;
    if (!parse_field(reply, "rx", s.rx) || !parse_field(reply, "frames", s.frames) ||
        !parse_field(reply, "probes", s.probes) || !parse_field(reply, "emitted", s.emitted) ||
        !parse_field(reply, "dropped", s.dropped))
        return false;
    parse_field(reply, "connections", s.connections);  // network scanners only
    parse_field(reply, "connected", s.connected);
    out = s;
    return true;
}

void SimProcess::finish() {
    std::lock_guard lk(mu_);
    if (pid_ > 0) {
        if (ok_ && send_line("quit")) {
            std::string reply;
            read_line(reply, 5000);
        }
        ok_ = false;
        if (to_child_ >= 0) ::close(to_child_);  // EOF ends it as well
        to_child_ = -1;
        int status = 0;
        bool reaped = false;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                reaped = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!reaped) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
    if (to_child_ >= 0) ::close(to_child_);
    if (from_child_ >= 0) ::close(from_child_);
    to_child_ = from_child_ = -1;
    // The simulator removes its links itself; anything left (it was killed)
    // goes here.
    if (!dir_.empty()) remove_tree_shallow(dir_);
}

// ---------------------------------------------------------------- helpers

std::string sim_barcode_text(int com, uint64_t seq) {
    char text[64];
    std::snprintf(text, sizeof text, "BC%d-%08llu", com, static_cast<unsigned long long>(seq));
    return text;
}

std::vector<SimBarcode> parse_sim_barcodes(std::string_view text) {
    std::vector<SimBarcode> out;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t pos = 0;
    while ((pos = text.find("BC", pos)) != std::string_view::npos) {
        size_t i = pos + 2;
        uint64_t com = 0;
        const size_t com_start = i;
        while (i < text.size() && digit(text[i]) && i - com_start < 4) com = com * 10 + static_cast<uint64_t>(text[i++] - '0');
        if (i == com_start || i >= text.size() || text[i] != '-') {
            pos += 2;
            continue;
        }
        ++i;
        const size_t seq_start = i;
        uint64_t seq = 0;
        while (i < text.size() && digit(text[i]) && i - seq_start < 19) seq = seq * 10 + static_cast<uint64_t>(text[i++] - '0');
        if (i - seq_start < 8) {
            pos += 2;
            continue;
        }
        out.push_back(SimBarcode{static_cast<int>(com), seq});
        pos = i;
    }
    return out;
}

bool check_sim_sequence(const std::vector<SimBarcode>& codes, int com, uint64_t first, uint64_t count,
                        std::string* why) {
    uint64_t expected = first;
    uint64_t seen = 0;
    for (const SimBarcode& c : codes) {
        if (c.com != com) continue;
        if (seen == count) {
            if (why) *why = "unexpected extra barcode " + sim_barcode_text(com, c.seq);
            return false;
        }
        if (c.seq != expected) {
            if (why)
                *why = "expected " + sim_barcode_text(com, expected) + " but got " + sim_barcode_text(com, c.seq) +
                       " (position " + std::to_string(seen) + ")";
            return false;
        }
        ++expected;
        ++seen;
    }
    if (seen != count) {
        if (why) *why = "got " + std::to_string(seen) + " barcodes of COM" + std::to_string(com) +
                        ", expected " + std::to_string(count);
        return false;
    }
    return true;
}

std::string sim_hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        s += digits[u >> 4];
        s += digits[u & 0x0F];
    }
    return s;
}

std::string sim_command_frame(std::string_view body, char kind) {
    std::string f = "\x7E\x01" "0000";
    f += kind;
    f += body;
    f += ";\x03";
    return f;
}
