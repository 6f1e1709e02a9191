// Hot-plug figures through the exports against quorvia-sim, next to floors
// measured in the same run:
//  1. time from an unplug to the status callback (0), and from the replug to
//     the callback (1, reopen included), p50 and p99 over 20 cycles, next to
//     the time the simulated device change itself takes (the simulator's
//     unplug / replug command); target: removal within 250 ms, arrival within
//     250 ms plus the reopen;
//  2. processor time of monitoring while idle, per monitored device, next to
//     the same open devices without monitoring; target below 0.5% of a core.
// Run inside a private network namespace:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/bench/hotplug_bench'
#include <stdlib.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

std::atomic<int> gone{0};
std::atomic<int> back{0};
void OnStatus(void*, int32_t s) { (s != 0 ? back : gone)++; }

bool WaitCount(const std::atomic<int>& counter, int value) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (counter.load() < value) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Share of one core this process used over `seconds` of idling.
double IdleCoreShare(int seconds) {
    const double c0 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (CpuSeconds() - c0) / seconds;
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    const int kDevices = 4;
    std::vector<SimProcess::Port> ports;
    for (int i = 1; i <= kDevices; ++i) ports.push_back({.com = i});
    SimProcess sim(ports);
    if (!sim.ok()) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().c_str());
        return 1;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 1);
    if (count != kDevices) {
        std::fprintf(stderr, "expected %d devices, found %d\n", kDevices, count);
        return 1;
    }
    std::vector<void*> handles;
    for (int32_t i = 0; i < count; ++i) handles.push_back(qv_OpenDevice(list, static_cast<uint32_t>(i), 0));

    // 2, floor first: open devices, nobody watching.
    const double unwatched = IdleCoreShare(5);
    for (void* h : handles) qv_SetCbDevStatusChanged(h, OnStatus);
    const double watched = IdleCoreShare(5);
    std::printf("idle, %d open devices: %.3f%% of a core unmonitored, %.3f%% monitored: %.3f%% per monitored device"
                " (target < 0.5%%)\n",
                kDevices, unwatched * 100, watched * 100, (watched - unwatched) * 100 / kDevices);

    // 1.
    std::vector<double> removal, arrival, unplugCmd, replugCmd;
    for (int i = 1; i <= 20; ++i) {
        auto t0 = Clock::now();
        sim.command("unplug 1 gone");
        unplugCmd.push_back(Ms(Clock::now() - t0));
        if (!WaitCount(gone, i)) return 1;
        removal.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        sim.command("replug 1");
        replugCmd.push_back(Ms(Clock::now() - t0));
        if (!WaitCount(back, i)) return 1;
        arrival.push_back(Ms(Clock::now() - t0));
    }
    std::printf("unplug -> callback 0: p50 %.2f ms, p99 %.2f ms (the unplug itself: p50 %.2f ms, p99 %.2f ms)\n",
                Percentile(removal, 0.5), Percentile(removal, 0.99), Percentile(unplugCmd, 0.5),
                Percentile(unplugCmd, 0.99));
    std::printf("replug -> callback 1: p50 %.2f ms, p99 %.2f ms (the replug itself: p50 %.2f ms, p99 %.2f ms)\n",
                Percentile(arrival, 0.5), Percentile(arrival, 0.99), Percentile(replugCmd, 0.5),
                Percentile(replugCmd, 0.99));
    for (void* h : handles) qv_CloseDevice(&h);
    qv_ReleaseDevices(&list);
    return 0;
}
