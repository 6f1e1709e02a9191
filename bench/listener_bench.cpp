// Listener figures through the exports against quorvia-sim, next to floors
// measured in the same run:
//  1. latency from the simulator writing a barcode to the callback receiving
//     it, p50 and p99 at 115200, versus the same bytes crossing the pty to a
//     plain reader (both timed from the moment the write is requested);
//     target p99 <= inter-chunk wait (21 ms at 115200) + 15 ms;
//  2. command exchanges per second on one device while its listener runs;
//  3. processor time of one open device with an idle listener over 10 s;
//     target below 1% of one core.
// Run inside a private network namespace:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/bench/listener_bench'
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "quorvia.h"
#include "sim_process.h"

namespace {

using qvbench::Clock;
using qvbench::Ms;
using qvbench::Percentile;

std::atomic<bool> gotData{false};
void OnData(void*, const char*, uint32_t) { gotData = true; }

const int kRounds = 300;
const std::string kCode = "BC1-00000001\r\n";

std::vector<double> FloorLatency(SimProcess& sim) {
    int fd = open(sim.path(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    std::vector<double> out;
    char buf[256];
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        sim.command("emitraw 1 " + sim_hex(kCode));
        size_t got = 0;
        while (got < kCode.size()) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 1000) <= 0) break;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) got += static_cast<size_t>(n);
        }
        out.push_back(Ms(Clock::now() - t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(fd);
    return out;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    SimProcess sim({{.com = 1}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return 1;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    const std::vector<double> floor = FloorLatency(sim);

    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    void* h = count > 0 ? qv_OpenDevice(list, 0, 0) : nullptr;
    if (h == nullptr) {
        std::printf("no device\n");
        return 1;
    }
    qv_SetListener(h, OnData);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> lib;
    for (int i = 0; i < kRounds; ++i) {
        gotData = false;
        const auto t0 = Clock::now();
        sim.command("emitraw 1 " + sim_hex(kCode));
        while (!gotData && Ms(Clock::now() - t0) < 2000) std::this_thread::yield();
        lib.push_back(Ms(Clock::now() - t0));
        // Spread the arrivals over the listener's read cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + i % 13));
    }
    std::printf("listener latency over %d barcodes (timed from the simulator's write request)\n", kRounds);
    std::printf("  listener callback:   p50 %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms\n", Percentile(lib, 0.5),
                Percentile(lib, 0.9), Percentile(lib, 0.99), Percentile(lib, 1.0));
    std::printf("  floor (plain reader): p50 %.2f ms  p99 %.2f ms\n", Percentile(floor, 0.5),
                Percentile(floor, 0.99));
    const double budget = Percentile(floor, 0.99) + 21 + 15;
    std::printf("  target p99 <= 21 ms inter-chunk wait + 15 ms (+ floor p99) = %.2f ms: %s\n", budget,
                Percentile(lib, 0.99) <= budget ? "met" : "NOT met");

    // Exchanges per second with the listener running.
    const auto t0 = Clock::now();
    int exchanges = 0;
    while (Ms(Clock::now() - t0) < 3000) {
        if (qv_SendCommand(h, "BEEPON", 6) == 1) ++exchanges;
    }
    std::printf("command exchanges with the listener running: %.1f per second\n",
                exchanges / (Ms(Clock::now() - t0) / 1000.0));

    // Processor time of an idle listener.
    const double c0 = CpuSeconds();
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = CpuSeconds() - c0;
    const double wall = Ms(Clock::now() - w0) / 1000.0;
    std::printf("idle listener: %.3f s of processor time in %.1f s = %.2f%% of one core; target < 1%%: %s\n", cpu,
                wall, 100.0 * cpu / wall, 100.0 * cpu / wall < 1.0 ? "met" : "NOT met");

    qv_CloseDevice(&h);
    qv_ReleaseDevices(&list);
    return 0;
}
