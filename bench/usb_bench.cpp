// USB figures, each next to a floor measured in the same run:
//  1. HID report framing: a 1 MiB transfer packed into 64-byte output reports
//     by qvds_write, and 1 MiB of payload unpacked from input reports by the
//     stream's reader and taken out with qvds_read, each against a device
//     that costs nothing (memory), next to memcpy of the same bytes; target:
//     >= 0.25 of memcpy's throughput;
//  2. a command round trip (QRYSYS through the USB transport and the engine)
//     over a fake hidraw node played by quorvia-sim, next to the same request
//     written as a report on the node and its reply reports read back
//     directly (the node and the simulator alone).
// The second part uses umockdev; the program restarts itself under its preload.
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/ci/bench/usb_bench'
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/qvscan.h"
#include "fake_usb.h"
#include "portstream/qvds.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using qv::platform::LineSettings;
using qv::platform::PortDevice;

constexpr uint32_t kMiB = 1 << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A device in memory: writes land in a report buffer; reads hand out the
// prepared input reports one at a time, then wait for a stop.
class MemoryDevice final : public PortDevice {
public:
    explicit MemoryDevice(const std::string* reports = nullptr) : reports_(reports) { go_ = reports == nullptr; }
    // Waits until the run has begun and a report is left (a rewind hands the
    // same reports out again), or for the stop.
    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override {
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return stop_ || (go_ && Left()); });
            if (stop_) return 0;
        }
        return Take(buf, cap);
    }
    // Reports already waiting are handed out at once, as a device's queue does.
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t) override { return Left() ? Take(buf, cap) : 0; }
    uint32_t QueuedInput() override { return 0; }
    void DiscardInput() override {}
    void DiscardOutput() override {}
    void RequestStop() override {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
        cv_.notify_all();
    }
    void ClearStop() override {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = false;
    }
    // A report written costs nothing here but being looked at.
    bool Write(const uint8_t* data, uint32_t len, int32_t) override {
        written_ += len + data[1];
        return true;
    }
    void Cancel() override {}
    bool SetLine(const LineSettings&) override { return false; }
    bool TakeLineErrors() override { return false; }
    bool SetFeatureReport(const uint8_t*, uint32_t) override { return true; }
    uint64_t written() const { return written_; }
    void Go() {
        std::lock_guard<std::mutex> lock(m_);
        go_ = true;
        cv_.notify_all();
    }
    // Hands the same reports out once more (called once all were taken).
    void Rewind() {
        std::lock_guard<std::mutex> lock(m_);
        pos_.store(0, std::memory_order_relaxed);
        cv_.notify_all();
    }

private:
    bool Left() const {
        return reports_ != nullptr && pos_.load(std::memory_order_relaxed) + 64 <= reports_->size();
    }
    int32_t Take(uint8_t* buf, uint32_t cap) {
        if (cap < 64) return 0;
        const size_t at = pos_.load(std::memory_order_relaxed);
        std::memcpy(buf, reports_->data() + at, 64);
        pos_.store(at + 64, std::memory_order_relaxed);
        return 64;
    }

    const std::string* reports_;
    std::atomic<size_t> pos_{0};  // the reader moves it, a rewind resets it
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool go_ = false;
    uint64_t written_ = 0;
};

double MemcpySeconds(const std::vector<uint8_t>& src, std::vector<uint8_t>& dst, int rounds) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        const auto t = Clock::now();
        std::memcpy(dst.data(), src.data(), src.size());
        asm volatile("" : : "r"(dst.data()) : "memory");
        best = std::min(best, Seconds(Clock::now() - t));
    }
    return best;
}

void Framing() {
    std::vector<uint8_t> data(kMiB), copy(kMiB);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const double floor = MemcpySeconds(data, copy, 50);

    // Packing: qvds_write of 1 MiB on a HID stream.
    double pack = 1e9;
    {
        QvdsStream* s = qvds_create();
        auto dev = std::make_unique<MemoryDevice>();
        uint32_t status = 0;
        qvds_open_device(s, std::move(dev), QVDS_KIND_HID, &status);
        for (int r = 0; r < 20; ++r) {
            const auto t = Clock::now();
            qvds_write(s, data.data(), kMiB);
            pack = std::min(pack, Seconds(Clock::now() - t));
        }
        qvds_close(s);
        qvds_destory(s);
    }

    // Unpacking: 1 MiB of payload in input reports, read by the stream's
    // reader and taken out by a caller.
    std::string reports;
    for (uint32_t off = 0; off < kMiB; off += 62) {
        const uint32_t n = std::min<uint32_t>(62, kMiB - off);
        std::string r(64, '\0');
        r[0] = 0x02;
        r[1] = static_cast<char>(n);
        std::memcpy(r.data() + 2, data.data() + off, n);
        reports += r;
    }
    // One stream for every run, as an application keeps its stream open: the
    // runs measure the steady state, not the first touch of the stream's ring.
    double unpack = 1e9;
    {
        QvdsStream* s = qvds_create();
        uint32_t status = 0;
        auto owned = std::make_unique<MemoryDevice>(&reports);
        MemoryDevice* dev = owned.get();
        qvds_open_device(s, std::move(owned), QVDS_KIND_HID, &status);
        for (int r = 0; r < 10; ++r) {
            const auto t = Clock::now();
            if (r == 0) dev->Go();
            else dev->Rewind();
            uint32_t total = 0;
            while (total < kMiB) {
                total += qvds_read(s, copy.data() + total, kMiB - total, 1000, 20, nullptr, 0, &status);
            }
            unpack = std::min(unpack, Seconds(Clock::now() - t));
            if (std::memcmp(copy.data(), data.data(), kMiB) != 0) std::printf("unpacked bytes differ!\n");
        }
        qvds_close(s);
        qvds_destory(s);
    }
    std::printf("HID report framing, 1 MiB (best of runs):\n");
    std::printf("  memcpy            %8.3f ms  %8.1f MiB/s\n", floor * 1e3, 1 / floor);
    std::printf("  pack (qvds_write) %8.3f ms  %8.1f MiB/s  ratio %.2f (target >= 0.25)\n", pack * 1e3, 1 / pack,
                floor / pack);
    std::printf("  unpack (reader)   %8.3f ms  %8.1f MiB/s  ratio %.2f (target >= 0.25)\n", unpack * 1e3, 1 / unpack,
                floor / unpack);
}

void RoundTrip() {
    qvtest::FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    const int fd = bed.HandOverNode("/dev/hidraw0");
    SimProcess sim({{.com = 1, .options = "hidfd=" + std::to_string(fd)}});
    close(fd);
    if (!sim.ok()) {
        std::printf("simulator: %s\n", sim.error().c_str());
        return;
    }
    constexpr int kRounds = 200;
    // The floor: the request as one output report, straight on the node, and
    // the reply's input reports read back until the frame's end.
    std::vector<double> floor;
    {
        const int host = open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
        const std::string frame("\x7E\x01" "0000@QRYSYS;\x03");
        std::string report(64, '\0');
        report[0] = 0x04;
        report[1] = static_cast<char>(frame.size());
        report.replace(2, frame.size(), frame);
        for (int r = 0; r < kRounds; ++r) {
            const auto t = Clock::now();
            if (write(host, report.data(), 64) != 64) break;
            std::string payload;
            while (payload.size() < 2 || payload.substr(payload.size() - 2) != ";\x03") {
                pollfd p{host, POLLIN, 0};
                const int pr = poll(&p, 1, 2000);
                if (pr <= 0) break;
                char in[64];
                if (read(host, in, 64) != 64) break;
                payload.append(in + 2, static_cast<uint8_t>(in[1]));
            }
            floor.push_back(Seconds(Clock::now() - t) * 1e3);
        }
        close(host);
    }
    // Through the library: the engine's framed exchange over the USB transport.
    std::vector<double> lib;
    {
        qv::CQVScan engine;
        T_DevicesInfo* transportList = nullptr;
        int32_t n = 0;
        transportList = engine.Transport(QV_TRANSPORT_USB)->EnumDevices(&n);
        T_DevicesInfo* h = n == 1 ? engine.OpenDevice(transportList, 0) : nullptr;
        if (h == nullptr) {
            std::printf("cannot open the fake scanner\n");
            return;
        }
        char reply[512];
        for (int r = 0; r < kRounds; ++r) {
            int32_t len = sizeof reply;
            const auto t = Clock::now();
            engine.GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true);
            lib.push_back(Seconds(Clock::now() - t) * 1e3);
        }
        engine.CloseDevice(&h);
    }
    std::printf("command round trip over a fake hidraw node, %d rounds:\n", kRounds);
    std::printf("  node + simulator alone   p50 %7.3f ms  p90 %7.3f ms\n", Percentile(floor, 0.5),
                Percentile(floor, 0.9));
    std::printf("  GetCommandResponse       p50 %7.3f ms  p90 %7.3f ms  (p50 ratio %.2f)\n", Percentile(lib, 0.5),
                Percentile(lib, 0.9), Percentile(lib, 0.5) / Percentile(floor, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
    qvtest::EnsureUmockdevPreload(argc, argv);
    Framing();
    RoundTrip();
    return 0;
}
