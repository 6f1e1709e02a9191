// Firmware update speed against quorvia-sim's loader over a pty, next to a
// floor measured in the same run:
//   update: a 1 MiB block in 512-byte frames (each 0x02, 512 bytes and a
//           CRC-32, answered with '*') through qv_UpdateKernelDevice, with
//           FUSendInterval unset; the fixed cost of an update (switch, loader
//           wait, parameters) is taken out by timing a one-frame update too;
//   floor:  the same exchange by plain write/read on a pty pair: 517 bytes
//           written, one byte answered by a peer thread on the other side.
// Target: the update's frame rate >= 0.5 x the floor's.
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/ci/bench/firmware_bench'
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "firmware_package_builder.h"
#include "quorvia.h"
#include "sim_process.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBlock = 1024 * 1024;
constexpr uint32_t kFrameData = 512;
constexpr uint32_t kFrames = kBlock / kFrameData;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool ReadFull(int fd, char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) return false;
        const ssize_t n = read(fd, buf + got, len - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void Raw(int fd) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
}

// Frames per second of the plain exchange: 517 bytes written to the pty, a
// peer thread on the other side reads them and answers one byte, which is
// read back.
double FloorFramesPerSecond(uint32_t frames) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    Raw(master);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    Raw(slave);
    const std::string frame(kFrameData + 5, 'F');
    std::thread peer([&] {
        char buf[kFrameData + 5];
        for (uint32_t i = 0; i < frames; ++i) {
            if (!ReadFull(master, buf, frame.size()) || write(master, "*", 1) != 1) return;
        }
    });
    char answer = 0;
    const auto t0 = Clock::now();
    uint32_t done = 0;
    for (; done < frames; ++done) {
        if (write(slave, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) break;
        if (!ReadFull(slave, &answer, 1)) break;
    }
    const double s = Seconds(Clock::now() - t0);
    peer.join();
    close(slave);
    close(master);
    return done / s;
}

// Seconds one update of the package takes, through the export.
double UpdateSeconds(void* handle, const std::string& file, int32_t* result) {
    const auto t0 = Clock::now();
    qv_UpdateKernelDevice(handle, file.c_str(), 0, result);
    return Seconds(Clock::now() - t0);
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    qvtest::TempDir dir("qv_fw_bench");
    const std::string settings = (dir.path() / "settings.ini").string();
    qvtest::WriteBytes(settings, "[main]\n");
    setenv("QUORVIA_SETTINGS", settings.c_str(), 1);
    SimProcess sim({{.com = 1}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return 1;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);

    // Upgrade mode ("bin"): the scanner answers every block and "@Exit" ends
    // the update, so nothing waits for the scanner to leave its loader.
    qvtest::BinPackage big, small;
    big.blocks = {{"appl", qvtest::PatternBytes(kBlock, 1)}};
    small.blocks = {{"appl", qvtest::PatternBytes(kFrameData, 2)}};
    const std::string bigFile = (dir.path() / "big.bin").string();
    const std::string smallFile = (dir.path() / "small.bin").string();
    qvtest::WriteBytes(bigFile, qvtest::BuildBinPackage(big));
    qvtest::WriteBytes(smallFile, qvtest::BuildBinPackage(small));

    // The scanner's record as an application keeps it: COM1 at 115200 baud.
    T_DevicesInfo entry{};
    entry.transportKind = QV_TRANSPORT_SERIAL;
    entry.SerialSettings.port_number = 1;
    entry.SerialSettings.baudrate = 115200;
    entry.SerialSettings.databits = 8;
    void* handle = qv_OpenDeviceForNati(&entry, 0, 0);
    if (handle == nullptr) {
        std::printf("open failed: %s\n", qv_GetLastError());
        return 1;
    }
    // Both figures interleaved, the best of five rounds each: on a shared
    // machine either can be slowed down by others at any moment.
    double fixed = 1e9, whole = 1e9, floor = 0;
    for (int run = 0; run < 5; ++run) {
        int32_t smallResult = -1, bigResult = -1;
        fixed = std::min(fixed, UpdateSeconds(handle, smallFile, &smallResult));
        whole = std::min(whole, UpdateSeconds(handle, bigFile, &bigResult));
        if (smallResult != 0 || bigResult != 0) {
            std::printf("update failed: %d / %d\n", smallResult, bigResult);
            qv_CloseDeviceForNati(&handle);
            return 1;
        }
        floor = std::max(floor, FloorFramesPerSecond(kFrames));
    }
    qv_CloseDeviceForNati(&handle);
    const double rate = (kFrames - 1) / (whole - fixed);
    std::printf("update of a 1 MiB block in %u frames of %u bytes: %.2f s (one-frame update %.3f s)\n", kFrames,
                kFrameData, whole, fixed);
    std::printf("  update: %.0f frames/s   floor (517-byte write, 1-byte answer): %.0f frames/s\n", rate, floor);
    std::printf("  ratio %.2f; target >= 0.5: %s\n", rate / floor, rate >= 0.5 * floor ? "met" : "NOT met");
    return 0;
}
