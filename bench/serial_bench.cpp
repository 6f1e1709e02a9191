// Serial transport figures against quorvia-sim over ptys, each next to a floor
// measured in the same run:
//  1. command round trip (QRYSYS frame written, Read until the whole reply)
//     versus the same bytes written and read back with plain write/read on a
//     pty pair; target p50 <= 2 x floor + 1 ms;
//  2. wall time of EnumDevices(-2) over 8 declared ports (4 live, 4 silent)
//     versus the waits a silent port must sit out; target <= 1.2 x that bound.
// Run it inside a private network namespace like everything else:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/bench/serial_bench'
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "portstream/serial_detect.h"
#include "sim_process.h"
#include "transport/serial_communication.h"

namespace {

using qvbench::Clock;
using qvbench::Ms;
using qvbench::Percentile;

const std::string kFrame("\x7E\x01" "0000@QRYSYS;\x03");

// The floor: the request crosses a pty to a peer thread that answers with a
// reply of the simulator's size, read back with poll + read.
std::vector<double> FloorRoundTrips(size_t replySize, int rounds) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    termios tio{};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    const std::string reply(replySize, 'R');
    std::thread peer([&] {
        char buf[256];
        for (int i = 0; i < rounds; ++i) {
            size_t got = 0;
            while (got < kFrame.size()) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) return;
                got += static_cast<size_t>(n);
            }
            if (write(master, reply.data(), reply.size()) < 0) return;
        }
    });
    std::vector<double> out;
    char buf[512];
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        if (write(slave, kFrame.data(), kFrame.size()) < 0) break;
        size_t got = 0;
        while (got < replySize) {
            pollfd pfd{slave, POLLIN, 0};
            poll(&pfd, 1, 1000);
            ssize_t n = read(slave, buf, sizeof buf);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        out.push_back(Ms(Clock::now() - t0));
    }
    peer.join();
    close(slave);
    close(master);
    return out;
}

void RoundTrip() {
    SimProcess sim({{.com = 1}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    qv::CSerialCommunication t;
    T_DevicesInfo entry;
    qv::InitDeviceRecord(&entry);
    entry.transportKind = qv::kTransportSerial;
    entry.SerialSettings.port_number = 1;
    entry.SerialSettings.baudrate = 115200;
    entry.SerialSettings.databits = 8;
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    if (dev == nullptr) {
        std::printf("open failed\n");
        return;
    }
    const int rounds = 2000;
    std::vector<double> lib;
    size_t replySize = 0;
    char buf[4096];
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        t.Write(dev, kFrame.data(), static_cast<uint32_t>(kFrame.size()));
        std::string got;
        while (got.size() < 2 || got.compare(got.size() - 2, 2, ";\x03") != 0) {
            int32_t n = t.Read(dev, buf, sizeof buf, 1000);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        lib.push_back(Ms(Clock::now() - t0));
        replySize = got.size();
    }
    t.CloseDevice(&dev);
    const std::vector<double> floor = FloorRoundTrips(replySize, rounds);
    const double p50 = Percentile(lib, 0.5), p99 = Percentile(lib, 0.99);
    const double f50 = Percentile(floor, 0.5), f99 = Percentile(floor, 0.99);
    std::printf("command round trip over %d exchanges (reply %zu bytes)\n", rounds, replySize);
    std::printf("  serial transport + simulator: p50 %.3f ms  p99 %.3f ms\n", p50, p99);
    std::printf("  floor (plain pty write/read): p50 %.3f ms  p99 %.3f ms\n", f50, f99);
    std::printf("  p50 ratio %.2f; target p50 <= 2 x floor + 1 ms = %.3f ms: %s\n", p50 / f50, 2 * f50 + 1,
                p50 <= 2 * f50 + 1 ? "met" : "NOT met");
}

void EnumerationWallTime() {
    SimProcess sim({{.com = 11},
                    {.com = 12, .baud = 9600, .stop = 2},
                    {.com = 13, .baud = 57600},
                    {.com = 14},
                    {.com = 15, .options = "mode=silent"},
                    {.com = 16, .options = "mode=silent"},
                    {.com = 17, .options = "mode=silent"},
                    {.com = 18, .options = "mode=silent"}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    // The lower bound a silent port imposes: the first quiet read (50 ms) and
    // the full wait of each of the 18 presence trials (base 255 ms + 4 +
    // 4 x (10000 div rate), polling reads always wait to the end).
    const uint32_t rates[] = {115200, 9600, 57600, 38400, 19200, 14400, 4800, 2400, 1200};
    double bound = 50;
    for (uint32_t r : rates) bound += 2 * (255 + 4 + 4 * (10000 / r));
    qv::CSerialCommunication t;
    const auto t0 = Clock::now();
    int32_t count = -2;
    t.EnumDevices(&count);
    const double wall = Ms(Clock::now() - t0);
    std::printf("EnumDevices(-2) over 8 ports (4 live, 4 silent): %d found in %.0f ms\n", count, wall);
    std::printf("  bound for a silent port: %.0f ms; ratio %.3f; target <= 1.2: %s\n", bound, wall / bound,
                wall <= 1.2 * bound ? "met" : "NOT met");
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    RoundTrip();
    EnumerationWallTime();
    return 0;
}
