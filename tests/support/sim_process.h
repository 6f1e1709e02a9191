// Launcher for quorvia-sim, the scanner simulator used by tests, benchmarks
// and the demo. Plain C++ and POSIX, no gtest.
//
//   SimProcess sim({{.com = 3}, {.com = 4, .baud = 9600, .stop = 2, .options = "probe=0"}});
//   SimProcess sim2({{3}, {4, 9600, 2, "usb", "old=1"}});
//   setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
//   sim.command("emit 3 10");   // -> "OK"
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
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

    struct Stats {
        uint64_t rx = 0;       // bytes the scanner received
        uint64_t frames = 0;   // complete command frames seen
        uint64_t probes = 0;   // '?' probes answered
        uint64_t emitted = 0;  // barcodes written
        uint64_t dropped = 0;  // bytes that could not be written
    };

    // Makes a fresh directory under /tmp, starts the simulator (QV_SIM_PATH
    // unless `executable` is given) and waits for READY. The initializer-list
    // form keeps SimProcess sim({{3}, {4, 9600}}) unambiguous.
    explicit SimProcess(const std::vector<Port>& ports);
    SimProcess(std::initializer_list<Port> ports);
    SimProcess(const std::vector<Port>& ports, const std::string& executable);
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
    void start(const std::vector<Port>& ports, const std::string& executable);
    bool read_line(std::string& line, int timeout_ms);
    bool send_line(const std::string& line);
    void fail(const std::string& why);
    void finish();

    std::mutex mu_;
    bool ok_ = false;
    std::string error_;
    std::string dir_;
    std::string declaration_;
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
