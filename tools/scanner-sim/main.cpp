// quorvia-sim: plays several barcode scanners, each behind its own pty, for
// the tests, benchmarks and demo. See usage() for the command line and the
// control channel on stdin/stdout.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_port.h"

namespace {

using qvsim::PortConfig;
using qvsim::SimPort;

void usage() {
    std::fputs(
        "usage: quorvia-sim --dir <directory> [--port <settings>]...\n"
        "  settings: com=<N>[,baud=<rate>][,stop=1|2][,driver=<word>][,id=<text>][,base=<text>]\n"
        "        [,probe=0|1][,old=0|1][,mode=normal|silent|garbage]\n"
        "Prints 'PORTS <declaration>' and 'READY', then reads control commands on stdin:\n"
        "  emit <com> <count> [intervalMs] | emitraw <com> <hex> | status <com> <WORD> ack|nak|enq|silent\n"
        "  mode <com> normal|silent|garbage | cut <com> <n> | split <com> <n> <delayMs>\n"
        "  unplug <com> | replug <com> | hold <com> | release <com>\n"
        "  stats <com> | last <com> | settings <com> | writelimit <com> <ms> | ping | quit\n"
        "  picture <com> <key=value>...   size=<W>x<H> colour=grey|yuv caps=<text>|default echo=caret|plain\n"
        "                                 loc=<text> gwh=<text>|default fmt=<char>|default\n"
        "  picfault <com> badlen <text> | badloc <text> | cut <n> | lead <hex> | pause <n> <ms> | silent\n"
        "                 | noimage | none      (applies to the next picture reply only)\n",
        stderr);
}

// Self-pipe: termination signals end the control loop like EOF does.
int g_signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const int saved = errno;
    const char c = 1;
    if (::write(g_signal_pipe[1], &c, 1) < 0) {
        // nothing to do: the pipe is non-blocking and a pending byte is enough
    }
    errno = saved;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

class Simulator {
public:
    bool add_port(const PortConfig& cfg, const std::string& dir, std::string& error) {
        if (ports_.count(cfg.com)) {
            error = "COM" + std::to_string(cfg.com) + " given twice";
            return false;
        }
        auto port = std::make_unique<SimPort>(cfg, dir + "/com" + std::to_string(cfg.com));
        if (!port->start(error)) {
            error = "COM" + std::to_string(cfg.com) + ": " + error;
            return false;
        }
        order_.push_back(cfg.com);
        ports_[cfg.com] = std::move(port);
        return true;
    }

    std::string declaration() const {
        std::string text;
        for (int com : order_) {
            const SimPort& p = *ports_.at(com);
            if (!text.empty()) text += ';';
            text += "COM" + std::to_string(com) + "=" + p.link_path() + ":" + p.config().driver;
        }
        return text;
    }

    void shutdown() {
        for (auto& [com, port] : ports_) port->stop();
        ports_.clear();
        order_.clear();
    }

    // Runs one control line; sets `quit` for the quit command.
    std::string execute(const std::string& line, bool& quit) {
        const std::vector<std::string> w = split_words(line);
        if (w.empty()) return "ERR empty command";
        const std::string& cmd = w[0];
        if (cmd == "quit" || cmd == "exit") {
            if (w.size() != 1) return "ERR usage: quit";
            quit = true;
            return "OK";
        }
        if (cmd == "ping") return w.size() == 1 ? "OK" : "ERR usage: ping";

        static const std::map<std::string, std::pair<size_t, size_t>> kArity = {
            {"emit", {3, 4}},   {"emitraw", {3, SIZE_MAX}}, {"status", {4, 4}},  {"mode", {3, 3}},
            {"cut", {3, 3}},    {"split", {4, 4}},          {"unplug", {2, 2}},  {"replug", {2, 2}},
            {"hold", {2, 2}},   {"release", {2, 2}},        {"stats", {2, 2}},   {"last", {2, 2}},
            {"settings", {2, 2}}, {"writelimit", {3, 3}}, {"picture", {3, SIZE_MAX}},  {"picfault", {3, SIZE_MAX}},
        };
        const auto arity = kArity.find(cmd);
        if (arity == kArity.end()) return "ERR unknown command '" + cmd + "'";
        if (w.size() < arity->second.first || w.size() > arity->second.second)
            return "ERR wrong number of arguments for " + cmd;
        int com = 0;
        if (!qvsim::parse_com(w[1], com)) return "ERR bad com number '" + w[1] + "'";
        const auto it = ports_.find(com);
        if (it == ports_.end()) return "ERR no port COM" + std::to_string(com);
        SimPort& port = *it->second;

        uint64_t a = 0, b = 0;
        if (cmd == "emit") {
            if (!qvsim::parse_uint(w[2], 100000000, a)) return "ERR bad count '" + w[2] + "'";
            std::optional<uint64_t> interval;
            if (w.size() == 4) {
                if (!qvsim::parse_uint(w[3], 3600000, b)) return "ERR bad interval '" + w[3] + "'";
                interval = b;
            }
            return port.emit(a, interval);
        }
        if (cmd == "emitraw") {
            std::string hex;
            for (size_t i = 2; i < w.size(); ++i) hex += w[i];
            std::string bytes;
            if (!qvsim::from_hex(hex, bytes) || bytes.empty()) return "ERR bad hex bytes";
            return port.emit_raw(bytes);
        }
        if (cmd == "status") {
            qvsim::Status status;
            if (!qvsim::parse_status(w[3], status)) return "ERR status must be ack, nak, enq or silent";
            return port.set_status(w[2], status);
        }
        if (cmd == "mode") {
            qvsim::Mode mode;
            if (!qvsim::parse_mode(w[2], mode)) return "ERR mode must be normal, silent or garbage";
            return port.set_mode(mode);
        }
        if (cmd == "cut") {
            if (!qvsim::parse_uint(w[2], 1u << 30, a)) return "ERR bad byte count '" + w[2] + "'";
            return port.cut(static_cast<size_t>(a));
        }
        if (cmd == "split") {
            if (!qvsim::parse_uint(w[2], 1u << 30, a)) return "ERR bad byte count '" + w[2] + "'";
            if (!qvsim::parse_uint(w[3], 3600000, b)) return "ERR bad delay '" + w[3] + "'";
            return port.split(static_cast<size_t>(a), b);
        }
        if (cmd == "picture") return port.set_picture(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "picfault") return port.set_picture_fault(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "unplug") return port.unplug();
        if (cmd == "replug") return port.replug();
        if (cmd == "hold") return port.hold();
        if (cmd == "release") return port.release();
        if (cmd == "stats") return port.stats();
        if (cmd == "last") return port.last();
        if (cmd == "settings") return port.settings();
        if (cmd == "writelimit") {
            if (!qvsim::parse_uint(w[2], 60000, a)) return "ERR bad time limit '" + w[2] + "'";
            return port.set_write_limit(a);
        }
        return "ERR unknown command '" + cmd + "'";
    }

private:
    std::map<int, std::unique_ptr<SimPort>> ports_;
    std::vector<int> order_;
};

// Reads control lines until EOF, quit or a termination signal.
void control_loop(Simulator& sim) {
    std::string pending;
    char buf[4096];
    for (;;) {
        struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("quorvia-sim: poll");
            return;
        }
        if (p[1].revents & POLLIN) return;
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;  // EOF: whoever drove us is gone
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            bool quit = false;
            const std::string reply = sim.execute(line, quit);
            if (quit) {
                // Answer only once everything is closed and the links are gone.
                sim.shutdown();
                write_all(STDOUT_FILENO, reply + "\n");
                return;
            }
            if (!write_all(STDOUT_FILENO, reply + "\n")) return;
        }
    }
}

// Descriptors inherited from whoever started us (a test process may have a
// port of its own open without close-on-exec) would keep ptys open or hold
// their locks behind the test's back.
void close_inherited_fds() {
    if (::close_range(3, ~0u, 0) == 0) return;
    const long max = ::sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd) ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    close_inherited_fds();
    ::signal(SIGPIPE, SIG_IGN);

    std::string dir;
    std::vector<std::string> port_args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const std::string& name, std::string& out) {
            if (arg == name) {
                if (i + 1 >= argc) return false;
                out = argv[++i];
                return true;
            }
            out = arg.substr(name.size() + 1);
            return true;
        };
        std::string v;
        if (arg == "--dir" || arg.rfind("--dir=", 0) == 0) {
            if (!value("--dir", v)) { usage(); return 2; }
            dir = v;
        } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            if (!value("--port", v)) { usage(); return 2; }
            port_args.push_back(v);
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "quorvia-sim: unknown argument '%s'\n", arg.c_str());
            usage();
            return 2;
        }
    }
    if (dir.empty()) {
        std::fputs("quorvia-sim: --dir is required\n", stderr);
        usage();
        return 2;
    }

    std::vector<PortConfig> configs;
    for (const std::string& arg : port_args) {
        PortConfig cfg;
        std::string error;
        if (!qvsim::parse_port_settings(arg, cfg, error)) {
            std::fprintf(stderr, "quorvia-sim: %s\n", error.c_str());
            return 2;
        }
        configs.push_back(cfg);
    }

    // The links are declared by absolute path: the host may run elsewhere.
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "quorvia-sim: mkdir %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    char resolved[PATH_MAX];
    if (!::realpath(dir.c_str(), resolved)) {
        std::fprintf(stderr, "quorvia-sim: %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    dir = resolved;
    if (dir.find_first_of(";\n") != std::string::npos) {
        std::fputs("quorvia-sim: the directory name may not contain ';'\n", stderr);
        return 2;
    }

    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("quorvia-sim: pipe2");
        return 1;
    }
    // Port threads are created with the termination signals blocked, so the
    // handler always runs on the main thread.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGINT);
    sigaddset(&term, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &sa, nullptr);
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &term, &saved);

    Simulator sim;
    for (const PortConfig& cfg : configs) {
        std::string error;
        if (!sim.add_port(cfg, dir, error)) {
            std::fprintf(stderr, "quorvia-sim: %s\n", error.c_str());
            sim.shutdown();
            return 1;
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    const bool announced = write_all(STDOUT_FILENO, "PORTS " + sim.declaration() + "\nREADY\n");
    if (announced) control_loop(sim);
    sim.shutdown();
    return 0;
}
