// Decode upload figures, each next to a floor measured in the same run:
//  1. the upload of a 1280 × 960 24-bit bitmap in mode 2 (1843200 bytes of
//     YUV 4:2:0) to quorvia-sim over a pty, from the first picture byte to the
//     scanner's acknowledgement, versus the floor the protocol itself sets:
//     the same bytes in 8192-byte chunks with a 10 ms pause after each,
//     written through a plain pty pair to a reader that acknowledges with
//     one byte; target <= 1.1 x floor;
//  2. RgbToYuv420 in megapixels per second, next to one plain read of the
//     same pixel bytes.
// Run it inside a private network namespace like everything else:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/ci/bench/decode_bench'
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/qvscan.h"
#include "engine/yuv420.h"
#include "sim_process.h"
#include "transport/communication.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr size_t kUploadBytes = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
constexpr size_t kChunk = 8192;
constexpr int kRuns = 3;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<uint8_t> RandomRows(size_t bytes) {
    std::mt19937 rng(1280);
    std::vector<uint8_t> rows(bytes);
    for (auto& b : rows) b = static_cast<uint8_t>(rng());
    return rows;
}

// A bottom-up 24-bit file: 54 bytes of headers, then the rows (no filler at this width).
bool WriteBitmap(const std::string& path, const std::vector<uint8_t>& rows) {
    uint8_t h[54] = {'B', 'M'};
    auto put = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(2, static_cast<uint32_t>(54 + rows.size()));
    put(10, 54);
    put(14, 40);
    put(18, kWidth);
    put(22, kHeight);
    h[26] = 1;
    h[28] = 24;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h && std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
    return std::fclose(f) == 0 && ok;
}

// The floor: chunks with their pauses through a raw pty pair, until the
// reader's one-byte acknowledgement is back.
double FloorUpload() {
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
    const std::vector<char> data(kUploadBytes, 'Y');
    std::thread reader([&] {
        std::vector<char> buf(65536);
        size_t got = 0;
        while (got < kUploadBytes) {
            const ssize_t n = read(master, buf.data(), buf.size());
            if (n <= 0) return;
            got += static_cast<size_t>(n);
        }
        const char ack = 0x06;
        if (write(master, &ack, 1) != 1) return;
    });
    const auto t0 = Clock::now();
    for (size_t sent = 0; sent < kUploadBytes;) {
        const size_t n = std::min(kChunk, kUploadBytes - sent);
        size_t done = 0;
        while (done < n) {
            const ssize_t w = write(slave, data.data() + sent + done, n - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        sent += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    char ack = 0;
    pollfd pfd{slave, POLLIN, 0};
    poll(&pfd, 1, 5000);
    const bool acked = read(slave, &ack, 1) == 1;
    const double ms = Ms(Clock::now() - t0);
    reader.join();
    close(slave);
    close(master);
    return acked ? ms : -1;
}

void Upload(const std::vector<uint8_t>& rows) {
    char dir[] = "/tmp/qv_decode_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    const std::string path = std::string(dir) + "/upload.bmp";
    if (!WriteBitmap(path, rows)) {
        std::printf("cannot write %s\n", path.c_str());
        return;
    }
    SimProcess sim({{.com = 1}});
    if (!sim.ok()) {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return;
    }
    const std::string expect = sim.command("decode 1 expect 2 " + path);
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    qv::CQVScan engine;
    T_DevicesInfo entry;
    qv::InitDeviceRecord(&entry);
    entry.transportKind = qv::kTransportSerial;
    entry.SerialSettings.port_number = 1;
    entry.SerialSettings.baudrate = 115200;
    entry.SerialSettings.databits = 8;
    T_DevicesInfo* dev = engine.OpenDeviceForNati(&entry);
    if (dev == nullptr) {
        std::printf("open failed\n");
        return;
    }
    std::vector<double> upload, whole;
    for (int run = 0; run < kRuns; ++run) {
        Clock::time_point marks[16];
        char text[4096];
        int32_t len = 0;
        uint32_t decodeMs = 0;
        const auto t0 = Clock::now();
        const bool ok = engine.SendBmpDecode(dev, 2, path.c_str(), text, &len, &decodeMs, 2000,
                                             [&](int32_t status) { marks[status] = Clock::now(); });
        whole.push_back(Ms(Clock::now() - t0));
        if (!ok) {
            std::printf("upload %d failed (%s)\n", run, sim.command("decode 1 stats").c_str());
            return;
        }
        upload.push_back(Ms(marks[QV_STATUS_READ_END] - marks[QV_STATUS_WRITE_BEGIN]));
    }
    engine.CloseDevice(&dev);
    std::vector<double> floor;
    for (int run = 0; run < kRuns; ++run) floor.push_back(FloorUpload());
    unlink(path.c_str());
    rmdir(dir);

    const double u = Median(upload), f = Median(floor);
    std::printf("decode upload of a %d x %d 24-bit bitmap in mode 2 (%zu bytes, %zu chunks), median of %d\n", kWidth,
                kHeight, kUploadBytes, (kUploadBytes + kChunk - 1) / kChunk, kRuns);
    std::printf("  scanner's expectation: %s\n", expect.c_str());
    std::printf("  library + simulator, first chunk to acknowledgement: %.1f ms (whole call %.1f ms)\n", u,
                Median(whole));
    std::printf("  floor (chunks and pauses through a plain pty pair): %.1f ms\n", f);
    std::printf("  ratio %.3f; target <= 1.1: %s\n", u / f, u <= 1.1 * f ? "met" : "NOT met");
}

void Conversion(const std::vector<uint8_t>& rows) {
    const size_t stride = static_cast<size_t>(kWidth) * 3;
    std::vector<uint8_t> y, cb, cr;
    const int rounds = 40;
    qv::RgbToYuv420(kWidth, kHeight, rows.data(), stride, y, cb, cr);  // tables and buffers
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) qv::RgbToYuv420(kWidth, kHeight, rows.data(), stride, y, cb, cr);
    const double convertMs = Ms(Clock::now() - t0) / rounds;
    volatile uint64_t sink = 0;
    t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        uint64_t sum = 0;
        for (uint8_t b : rows) sum += b;
        sink = sink + sum;
    }
    const double readMs = Ms(Clock::now() - t0) / rounds;
    const double mp = static_cast<double>(kWidth) * kHeight / 1e6;
    std::printf("RgbToYuv420 on %d x %d: %.2f ms per picture, %.1f megapixels/s\n", kWidth, kHeight, convertMs,
                mp / (convertMs / 1000));
    std::printf("  floor (one plain read of the pixel bytes): %.2f ms, %.1f megapixels/s; ratio %.1f\n", readMs,
                mp / (readMs / 1000), convertMs / readMs);
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    const std::vector<uint8_t> rows = RandomRows(static_cast<size_t>(kWidth) * kHeight * 3);
    Upload(rows);
    Conversion(rows);
    return 0;
}
