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
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_net.h"
#include "sim_port.h"
#include "sim_tcp_clients.h"

namespace {

using qvsim::PortConfig;
using qvsim::SimPort;

void usage() {
    std::fputs(
        "usage: quorvia-sim --dir <directory> [--port <settings>]... [--net <settings>]...\n"
        "  settings: com=<N>[,baud=<rate>][,stop=1|2][,driver=<word>][,id=<text>][,base=<text>]\n"
        "        [,product=<name>][,probe=0|1][,old=0|1][,mode=normal|silent|garbage][,hidfd=<fd>][,rawfd=<fd>]\n"
        "        [,prn=<text>][,cpn=<text>]\n"
        "  hidfd: the scanner sits behind a fake HID node whose other side is the inherited\n"
        "        descriptor, speaking 64-byte reports; such ports are left out of PORTS\n"
        "  rawfd: the same for a fake vendor-driver device: its bulk endpoints' bytes as they are\n"
        "  network scanner (TCP on 127.0.0.1, discovery on UDP 36510; only inside a private\n"
        "  network namespace): net=<N>[,serial=<text>][,mac=<text>][,name=<text>][,tcp=<port>]\n"
        "        [,suppgr=<n>][,second=0|1][,type=1|2][,answers=<n>][,discover=0|1]\n"
        "        [,reply=broadcast|unicast][,mask=<ip>][,gateway=<ip>][,id=...][,base=...][,mode=...]\n"
        "Prints 'PORTS <declaration>', 'NET <n>=127.0.0.1:<port>;...' and 'READY', then reads\n"
        "control commands on stdin (<com> is a COM number or net<N>):\n"
        "  emit <com> <count> [intervalMs] | emitraw <com> <hex> | status <com> <WORD> ack|nak|enq|silent\n"
        "  mode <com> normal|silent|garbage | cut <com> <n> | split <com> <n> <delayMs>\n"
        "  unplug <com> [gone] | replug <com> | hold <com> | release <com>\n"
        "  stats <com> | last <com> | settings <com> | writelimit <com> <ms> | ping | quit\n"
        "  decode <com> expect <mode> <bitmap> | decode <com> expect none | decode <com> text [<hex>]\n"
        "  decode <com> time <ms> | decode <com> reply announce|data|ready|result|time normal|nak|silent|short=<n>\n"
        "  decode <com> stats | decode <com> dump <file>\n"
        "  cfg <com> | cfgset <com> <NAME> [<hex value>] | cfgfill <com> <count> <seed> [width] | frames <com>\n"
        "  network: reset <n> | hangup <n> | tcp <n> accept|refuse [attempts]|hang|noread|read\n"
        "  discover <n> on|off | answers <n> <count> | netreply <n> first|second <hex>|default\n"
        "  netraw <n> <hex>|off | netstats <n> | netconfig <n> | netlast <n>\n"
        "  loader <com> enter [baud] | refuse <prefix> <char> [count] | silent <what> | dropat <what>\n"
        "    | start <answers> | retries <n> | written <char> | reenum <ms> [com] | log | blocks\n"
        "    | block <i> <file> | state      (the firmware loader: see sim_loader.h)\n"
        "  picture <com> <key=value>...   size=<W>x<H> colour=grey|yuv caps=<text>|default echo=caret|plain\n"
        "                                 loc=<text> gwh=<text>|default fmt=<char>|default\n"
        "  picfault <com> badlen <text> | badloc <text> | cut <n> | lead <hex> | pause <n> <ms> | silent\n"
        "                 | noimage | none      (applies to the next picture reply only)\n"
        "  tcpclient connect <port> <count> | send <i> <hex> | recv <i> | state <i> | close <i>|all\n"
        "                                 (clients of a TCP service on 127.0.0.1: see sim_tcp_clients.h)\n",
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

    bool add_net(qvsim::NetScannerConfig cfg, std::string& error) {
        const int n = cfg.port.com;
        if (ports_.count(n)) {
            error = "number " + std::to_string(n) + " given twice (COM and network scanners share numbers)";
            return false;
        }
        auto port = std::make_unique<SimPort>(cfg.port, qvsim::make_tcp_link(cfg.tcp));
        if (!port->start(error)) {
            error = "net" + std::to_string(n) + ": " + error;
            return false;
        }
        cfg.identity.tcp_port = port->tcp_port();
        responder_.add(cfg.identity);
        net_order_.push_back(n);
        ports_[n] = std::move(port);
        return true;
    }

    bool start_responder(std::string& error) { return net_order_.empty() || responder_.start(error); }

    // "<n>=127.0.0.1:<tcp port>;..." for the network scanners.
    std::string net_declaration() {
        std::string text;
        for (int n : net_order_) {
            if (!text.empty()) text += ';';
            text += std::to_string(n) + "=127.0.0.1:" + std::to_string(ports_.at(n)->tcp_port());
        }
        return text;
    }

    std::string declaration() const {
        std::string text;
        for (int com : order_) {
            const SimPort& p = *ports_.at(com);
            if (p.config().hid_fd >= 0 || p.config().raw_fd >= 0) continue;  // not a COM port
            if (!text.empty()) text += ';';
            text += "COM" + std::to_string(com) + "=" + p.link_path() + ":" + p.config().driver;
        }
        return text;
    }

    void shutdown() {
        clients_.close_all();
        responder_.stop();
        for (auto& [com, port] : ports_) port->stop();
        ports_.clear();
        order_.clear();
        net_order_.clear();
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
        if (cmd == "tcpclient") return clients_.command(w);

        static const std::map<std::string, std::pair<size_t, size_t>> kArity = {
            {"emit", {3, 4}},   {"emitraw", {3, SIZE_MAX}}, {"status", {4, 4}},  {"mode", {3, 3}},
            {"cut", {3, 3}},    {"split", {4, 4}},          {"unplug", {2, 3}},  {"replug", {2, 2}},
            {"hold", {2, 2}},   {"release", {2, 2}},        {"stats", {2, 2}},   {"last", {2, 2}},
            {"settings", {2, 2}}, {"writelimit", {3, 3}}, {"decode", {3, SIZE_MAX}},
            {"cfg", {2, 2}},    {"cfgset", {3, 4}},         {"cfgfill", {4, 5}}, {"frames", {2, 2}},
                        {"reset", {2, 2}},  {"hangup", {2, 2}},         {"tcp", {3, 4}},     {"discover", {3, 3}},
            {"answers", {3, 3}}, {"netreply", {4, SIZE_MAX}}, {"netraw", {3, SIZE_MAX}},
            {"netstats", {2, 2}}, {"netconfig", {2, 2}},    {"netlast", {2, 2}}, {"loader", {3, 6}},
            {"picture", {3, SIZE_MAX}},  {"picfault", {3, SIZE_MAX}},
        };
        const auto arity = kArity.find(cmd);
        if (arity == kArity.end()) return "ERR unknown command '" + cmd + "'";
        if (w.size() < arity->second.first || w.size() > arity->second.second)
            return "ERR wrong number of arguments for " + cmd;
        int com = 0;
        const std::string target = w[1].rfind("net", 0) == 0 ? w[1].substr(3) : w[1];
        if (!qvsim::parse_com(target, com)) return "ERR bad com number '" + w[1] + "'";
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
        if (cmd == "loader") return port.loader_control(w);
        if (cmd == "picture") return port.set_picture(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "picfault") return port.set_picture_fault(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "unplug") {
            if (w.size() == 3 && w[2] != "gone") return "ERR usage: unplug <com> [gone]";
            return port.unplug(w.size() == 3);
        }
        if (cmd == "replug") return port.replug();
        if (cmd == "hold") return port.hold();
        if (cmd == "release") return port.release();
        if (cmd == "stats") return port.stats();
        if (cmd == "last") return port.last();
        if (cmd == "settings") return port.settings();
        if (cmd == "decode") return port.decode_command(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "reset" || cmd == "hangup") return port.link_command({cmd});
        if (cmd == "tcp") return port.link_command(std::vector<std::string>(w.begin() + 2, w.end()));
        if (cmd == "discover" || cmd == "answers" || cmd == "netreply" || cmd == "netraw" || cmd == "netstats" ||
            cmd == "netconfig" || cmd == "netlast") {
            std::vector<std::string> words{cmd};
            words.insert(words.end(), w.begin() + 2, w.end());
            return responder_.command(com, words);
        }
        if (cmd == "writelimit") {
            if (!qvsim::parse_uint(w[2], 60000, a)) return "ERR bad time limit '" + w[2] + "'";
            return port.set_write_limit(a);
        }
        if (cmd == "cfg") return port.table();
        if (cmd == "frames") return port.frames();
        if (cmd == "cfgset") {
            std::string value;
            if (w.size() == 4 && !qvsim::from_hex(w[3], value)) return "ERR bad hex value";
            return port.table_set(w[2], value);
        }
        if (cmd == "cfgfill") {
            uint64_t width = 0;
            if (!qvsim::parse_uint(w[2], 1000000, a)) return "ERR bad count '" + w[2] + "'";
            if (!qvsim::parse_uint(w[3], 1000000, b)) return "ERR bad seed '" + w[3] + "'";
            if (w.size() == 5 && !qvsim::parse_uint(w[4], 100000, width)) return "ERR bad width '" + w[4] + "'";
            return port.table_fill(a, b, width);
        }
        return "ERR unknown command '" + cmd + "'";
    }

private:
    std::map<int, std::unique_ptr<SimPort>> ports_;
    std::vector<int> order_;      // COM ports, in command-line order
    std::vector<int> net_order_;  // network scanners, in command-line order
    qvsim::NetResponder responder_;
    qvsim::TcpClients clients_;
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
// The HID nodes' descriptors named on the command line are kept.
void close_fds(unsigned from, unsigned to) {
    if (::close_range(from, to, 0) == 0) return;
    const long max = ::sysconf(_SC_OPEN_MAX);
    const unsigned last = std::min(to, static_cast<unsigned>(max > 0 && max < 65536 ? max : 65536));
    for (unsigned fd = from; fd <= last && fd >= from; ++fd) ::close(static_cast<int>(fd));
}

void close_inherited_fds(const std::vector<int>& keep) {
    unsigned from = 3;
    std::vector<int> sorted = keep;
    std::sort(sorted.begin(), sorted.end());
    for (int k : sorted) {
        if (k < 3 || static_cast<unsigned>(k) < from) continue;
        if (static_cast<unsigned>(k) > from) close_fds(from, static_cast<unsigned>(k) - 1);
        from = static_cast<unsigned>(k) + 1;
    }
    close_fds(from, ~0u);
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);

    std::string dir;
    std::vector<std::string> port_args;
    std::vector<std::string> net_args;
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
        } else if (arg == "--net" || arg.rfind("--net=", 0) == 0) {
            if (!value("--net", v)) { usage(); return 2; }
            net_args.push_back(v);
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
    std::vector<qvsim::NetScannerConfig> net_configs;
    for (const std::string& arg : net_args) {
        qvsim::NetScannerConfig cfg;
        std::string error;
        if (!qvsim::parse_net_settings(arg, cfg, error)) {
            std::fprintf(stderr, "quorvia-sim: %s\n", error.c_str());
            return 2;
        }
        net_configs.push_back(cfg);
    }
    if (!net_configs.empty()) {
        // Discovery replies go to 255.255.255.255: only where they cannot
        // leave the machine.
        std::string why;
        if (!qvsim::only_loopback_network(why)) {
            std::fprintf(stderr,
                         "quorvia-sim: network scanners run only inside a private network namespace "
                         "(unshare -n; ip link set lo up): %s\n",
                         why.c_str());
            return 2;
        }
    }
    std::vector<int> hid_fds;
    for (const PortConfig& cfg : configs) {
        if (cfg.hid_fd >= 0) hid_fds.push_back(cfg.hid_fd);
        if (cfg.raw_fd >= 0) hid_fds.push_back(cfg.raw_fd);
    }
    close_inherited_fds(hid_fds);

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
    for (const qvsim::NetScannerConfig& cfg : net_configs) {
        std::string error;
        if (!sim.add_net(cfg, error)) {
            std::fprintf(stderr, "quorvia-sim: %s\n", error.c_str());
            sim.shutdown();
            return 1;
        }
    }
    {
        std::string error;
        if (!sim.start_responder(error)) {
            std::fprintf(stderr, "quorvia-sim: discovery: %s\n", error.c_str());
            sim.shutdown();
            return 1;
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    std::string announce = "PORTS " + sim.declaration() + "\n";
    if (!net_configs.empty()) announce += "NET " + sim.net_declaration() + "\n";
    const bool announced = write_all(STDOUT_FILENO, announce + "READY\n");
    if (announced) control_loop(sim);
    sim.shutdown();
    return 0;
}
