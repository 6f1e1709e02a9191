// Settings as XML through the exports against quorvia-sim over ptys, with a
// scanner of 500 settings: qv_ReadDevCfgToXml from scanner A, then
// qv_WriteCfgToDev of that file to scanner B, next to the floor the exchange
// itself sets, measured in the same run:
//   the fixed pauses of the write (10 ms after each element that does not
//   close its batch and after each batch), plus
//   the transfer time of the same bytes: every frame the library sent,
//   written again with a plain pty reader/writer to the same simulated
//   scanner, and its whole reply read back (the final frame is only written).
// Target: read + write <= 1.2 x that floor.
// Run inside a private network namespace:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/ci/bench/config_xml_bench'
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "quorvia.h"
#include "sim_process.h"
#include "sim_settings_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

constexpr int kComA = 1;
constexpr int kComB = 2;
constexpr int kRounds = 3;

// Time to write each frame and read its whole reply (none for the last frame
// when `lastWriteOnly`) with a plain pty peer.
double TransferMs(SimProcess& sim, int com, const std::vector<std::string>& frames, bool lastWriteOnly) {
    PtyPeer peer(sim.path(com));
    if (!peer.ok()) return -1;
    double total = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const bool writeOnly = lastWriteOnly && i + 1 == frames.size();
        const auto t0 = Clock::now();
        if (!peer.write_all(frames[i])) return -1;
        if (!writeOnly) {
            peer.read_until([](const std::string& got) {
                return got.size() >= 8 && got.compare(got.size() - 2, 2, ";\x03") == 0;
            });
        }
        total += Ms(Clock::now() - t0);
        if (writeOnly) peer.read_quiet(100);  // its reply, not timed
    }
    return total;
}

// The write's fixed pauses: 10 ms per command of a full batch but its last,
// per command of the remainder batch, and after every batch.
double PauseMs(const std::vector<std::string>& frames) {
    double pauses = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        const std::string body = frames[i].substr(7, frames[i].size() - 9);
        const size_t commands = static_cast<size_t>(std::count(body.begin(), body.end(), ';')) + 1;
        pauses += static_cast<double>(body.size() > 300 ? commands - 1 : commands) + 1;
    }
    return pauses * 10;
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    SimProcess sim({{.com = kComA, .options = "product=Bench A"}, {.com = kComB}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return 1;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    // 18 fixed settings and 482 generated ones, different values on each scanner.
    if (sim.command("cfgfill 1 482 3") != "OK 500" || sim.command("cfgfill 2 482 4") != "OK 500") {
        std::printf("simulator refused the tables\n");
        return 1;
    }
    char dirTemplate[] = "/tmp/qv_config_bench_XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    const std::string file = std::string(dirTemplate) + "/a.xml";

    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    std::vector<double> reads, writes, floors, readFloors;
    for (int round = 0; round < kRounds; ++round) {
        void* a = nullptr;
        void* b = nullptr;
        for (int i = 0; i < count; ++i) {
            void*& h = list[i].SerialSettings.port_number == kComA ? a : b;
            h = qv_OpenDevice(list, static_cast<uint32_t>(i), 0);
        }
        if (a == nullptr || b == nullptr) {
            std::printf("open failed: %s\n", qv_GetLastError());
            return 1;
        }
        sim_frames(sim, kComA);
        sim_frames(sim, kComB);
        auto t0 = Clock::now();
        const bool readOk = qv_ReadDevCfgToXml(a, file.c_str());
        const double readMs = Ms(Clock::now() - t0);
        t0 = Clock::now();
        const bool writeOk = qv_WriteCfgToDev(b, file.c_str());
        const double writeMs = Ms(Clock::now() - t0);
        if (!readOk || !writeOk) {
            std::printf("transfer failed: %s\n", qv_GetLastError());
            return 1;
        }
        qv_CloseDevice(&a);
        qv_CloseDevice(&b);

        const std::vector<std::string> readFrames = sim_frames(sim, kComA);
        const std::vector<std::string> writeFrames = sim_frames(sim, kComB);
        const double readTransfer = TransferMs(sim, kComA, readFrames, false);
        const double writeTransfer = TransferMs(sim, kComB, writeFrames, true);
        const double pauses = PauseMs(writeFrames);
        reads.push_back(readMs);
        writes.push_back(writeMs);
        readFloors.push_back(readTransfer);
        floors.push_back(readTransfer + writeTransfer + pauses);
        if (round == 0) {
            std::printf("500 settings: read %zu exchanges, write %zu batches and the final frame; "
                        "fixed pauses %.0f ms\n",
                        readFrames.size(), writeFrames.size() - 1, pauses);
        }
    }
    qv_ReleaseDevices(&list);
    unlink(file.c_str());
    rmdir(dirTemplate);

    const double read = Median(reads), write = Median(writes), floor = Median(floors);
    std::printf("median of %d rounds:\n", kRounds);
    std::printf("  qv_ReadDevCfgToXml  %8.1f ms   (its transfer alone %.1f ms)\n", read, Median(readFloors));
    std::printf("  qv_WriteCfgToDev    %8.1f ms\n", write);
    std::printf("  read + write        %8.1f ms\n", read + write);
    std::printf("  floor               %8.1f ms   (pauses + plain transfer of the same bytes)\n", floor);
    const double ratio = (read + write) / floor;
    std::printf("  ratio %.3f; target <= 1.2: %s\n", ratio, ratio <= 1.2 ? "met" : "NOT met");
    return 0;
}
