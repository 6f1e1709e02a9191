// Launcher for quorvia-sim, the scanner simulator used by tests, benchmarks
// and the demo. Plain C++ and POSIX, no gtest.
//
//   SimProcess sim({{.com = 3}, {.com = 4, .baud = 9600, .stop = 2, .options = "probe=0"}});
//   SimProcess sim2({{3}, {4, 9600, 2, "usb", "old=1"}});
//   setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
//   sim.command("emit 3 10");   // -> "OK"
//
// Network scanners (TCP on 127.0.0.1, discovery datagrams): only inside a
// private network namespace (see net_namespace.h).
//   SimProcess net({}, {{.number = 5, .options = "suppgr=1"}});
//   net.tcp_port(5);            // the port it listens on
//   net.command("reset net5");  // -> "OK"
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class SimProcess {
public:
    struct Port {
        int com = 0;
        uint32_t baud = 115200;
        int stop = 1;
        std::string driver = "serial";
        std::string options = {};  // extra key=value pairs, e.g. "probe=0,old=1,id=XYZ"
    };

    // A network scanner: its number shares the space of COM numbers (barcodes
    // read "BC<number>-..."); options are the simulator's --net keys.
    struct NetScanner {
        int number = 0;
        std::string options = {};  // e.g. "serial=SN1,mac=02:00:00:00:00:01,suppgr=1"
    };

    struct Stats {
        uint64_t rx = 0;       // bytes the scanner received
        uint64_t frames = 0;   // complete command frames seen
        uint64_t probes = 0;   // '?' probes answered
        uint64_t emitted = 0;  // barcodes written
        uint64_t dropped = 0;  // bytes that could not be written
        uint64_t connections = 0;  // network scanners: connections accepted
        uint64_t connected = 0;    // network scanners: 1 while a host is connected
    };

    // Makes a fresh directory under /tmp, starts the simulator (QV_SIM_PATH
    // unless `executable` is given) and waits for READY. The initializer-list
    // form keeps SimProcess sim({{3}, {4, 9600}}) unambiguous.
    explicit SimProcess(const std::vector<Port>& ports);
    SimProcess(std::initializer_list<Port> ports);
    SimProcess(const std::vector<Port>& ports, const std::string& executable);
    SimProcess(const std::vector<Port>& ports, const std::vector<NetScanner>& net);
    // Sends quit, waits for the simulator to end (kills it if it does not)
    // and removes the directory.
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ok() const { return ok_; }
    // Why the simulator is not (or no longer) usable.
    const std::string& error() const { return error_; }
    // The declaration for QUORVIA_COM_PORTS: "COM3=<dir>/com3:serial;...".
    const std::string& declaration() const { return declaration_; }
    const std::string& dir() const { return dir_; }
    std::string path(int com) const;  // <dir>/com<N>
    pid_t pid() const { return pid_; }
    // The TCP port network scanner `number` listens on, 0 when there is none.
    uint16_t tcp_port(int number) const;

    // Sends one control line and returns the reply line ("OK ..." / "ERR ...").
    // A simulator that does not answer in time is treated as dead: this and
    // every later call return "ERR ...". Safe to call from several threads.
    std::string command(const std::string& line);

    // `stats <com>` parsed; false when the simulator did not answer OK.
    bool stats(int com, Stats& out);

    // Time limits (hang detection only).
    static constexpr int kStartLimitMs = 20000;
    static constexpr int kReplyLimitMs = 15000;

private:
    void start(const std::vector<Port>& ports, const std::vector<NetScanner>& net, const std::string& executable);
    bool read_line(std::string& line, int timeout_ms);
    bool send_line(const std::string& line);
    void fail(const std::string& why);
    void finish();

    std::mutex mu_;
    bool ok_ = false;
    std::string error_;
    std::string dir_;
    std::string declaration_;
    std::map<int, uint16_t> tcp_ports_;
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string buffered_;
};

// ---------------------------------------------------------------- helpers

struct SimBarcode {
    int com = 0;
    uint64_t seq = 0;
    bool operator==(const SimBarcode&) const = default;
};

// Text of the numbered barcode the simulator sends: "BC<com>-<8-digit seq>"
// (the simulator adds "\r\n").
std::string sim_barcode_text(int com, uint64_t seq);

// Every "BC<com>-<seq>" found in `text`, in order.
std::vector<SimBarcode> parse_sim_barcodes(std::string_view text);

// True when the codes of port `com` in `codes` are exactly first, first+1, ...,
// first+count-1 in that order (codes of other ports are ignored). Otherwise
// false, with the first difference described in *why.
bool check_sim_sequence(const std::vector<SimBarcode>& codes, int com, uint64_t first, uint64_t count,
                        std::string* why = nullptr);

// Upper-case hex without separators, as the `last` command answers.
std::string sim_hex(std::string_view bytes);

// A command frame as the host sends it: 7E 01 "0000" K body 3B 03.
std::string sim_command_frame(std::string_view body, char kind = '@');
