// COM-port detection: each port is probed for a scanner with the one-byte
// presence probe over a fixed list of rates and parities, then the framing
// (stop bits and parity) is found with the framed query, or with the older
// query for scanners that only speak the older protocol. Ports are probed in
// parallel by up to 16 workers that share a row cursor.
#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "portstream/com_port_list.h"
#include "portstream/serial_detect.h"
#include "portstream/serial_detect_internal.h"
#include "portstream/settings_file.h"

namespace qv::serialdetect {

const uint8_t kPresenceProbe = '?';
const uint8_t kPresenceAnswer = '!';
const uint8_t kFramedQuery[13] = {0x7E, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40,
                                  0x5F, 0x5F, 0x5F, 0x3F, 0x3B, 0x03};
const uint8_t kOldQuery[10] = {0x7E, 0x00, 0x00, 0x05, 0x33, 0x48, 0x30, 0x34, 0x30, 0xB5};

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Rates of the presence trials, in table order.
constexpr uint32_t kRateTable[] = {115200, 9600, 57600, 38400, 19200, 14400, 4800, 2400, 1200};

constexpr uint32_t kQuietFirstWaitMs = 50;
constexpr uint32_t kQuietNextWaitMs = 20;
constexpr int64_t kQuietLimitMs = 3000;
constexpr uint32_t kPollIntervalMs = 10;
constexpr uint32_t kAfterPresenceDrainMs = 20;
constexpr uint32_t kBeforeQueryDrainMs = 2;
constexpr uint32_t kDiscardPiece = 512;

// The port of one probe. A write that does not get all its bytes out closes
// the port; every later step on a closed port fails.
class ProbePort {
public:
    ProbePort(std::unique_ptr<platform::PortDevice> device, bool polling)
        : device_(std::move(device)), polling_(polling) {}

    bool SetLine(uint32_t baud, uint8_t parity, uint8_t stopBits) {
        if (!device_) return false;
        platform::LineSettings s;
        s.baud = baud;
        s.dataBits = 8;
        s.stopBits = stopBits;
        s.parity = parity;
        s.flow = 0;
        return device_->SetLine(s);
    }

    // Drops what the driver holds and reads away whatever it still reports
    // queued, in 512-byte pieces. The driver's line-error state is taken with
    // it, so a later check sees only errors of what arrives afterwards.
    void DiscardQueued() {
        if (!device_) return;
        device_->DiscardInput();
        std::array<uint8_t, kDiscardPiece> scratch{};
        for (;;) {
            const uint32_t queued = device_->QueuedInput();
            if (queued == 0) break;
            const int32_t n = device_->ReadTimed(scratch.data(), std::min<uint32_t>(queued, kDiscardPiece), 0);
            if (n <= 0) break;
        }
        device_->TakeLineErrors();
    }

    bool WriteAll(const uint8_t* data, uint32_t len) {
        if (!device_) return false;
        if (device_->Write(data, len, kWriteLimitMs)) return true;
        device_.reset();
        return false;
    }

    // Reads up to `cap` bytes within `waitMs`. Polling takes the whole wait:
    // every 10 ms it reads what the driver has queued. The single timed read
    // returns as soon as `cap` bytes are in.
    uint32_t Read(uint8_t* buf, uint32_t cap, uint32_t waitMs) {
        if (!device_) return 0;
        const Clock::time_point deadline = Clock::now() + milliseconds(waitMs);
        uint32_t got = 0;
        if (polling_) {
            do {
                std::this_thread::sleep_for(milliseconds(kPollIntervalMs));
                if (got >= cap) continue;
                const uint32_t queued = device_->QueuedInput();
                if (queued == 0) continue;
                const int32_t n = device_->ReadTimed(buf + got, std::min(queued, cap - got), 0);
                if (n < 0) break;  // the device failed: nothing more will come
                got += static_cast<uint32_t>(n);
            } while (Clock::now() < deadline);
            return got;
        }
        while (got < cap) {
            const auto left =
                std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            const int32_t n = device_->ReadTimed(buf + got, cap - got, static_cast<int32_t>(left));
            if (n < 0) break;
            got += static_cast<uint32_t>(n);
        }
        return got;
    }

    // Reads and drops whatever arrives during `waitMs`.
    void Drain(uint32_t waitMs) {
        if (!device_) return;
        const Clock::time_point deadline = Clock::now() + milliseconds(waitMs);
        std::array<uint8_t, kDiscardPiece> scratch{};
        for (;;) {
            const auto left =
                std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            if (device_->ReadTimed(scratch.data(), kDiscardPiece, static_cast<int32_t>(left)) < 0) break;
        }
    }

    // Waits until the port has been quiet: a 50 ms read, then 20 ms reads
    // while data keeps coming, at most 3000 ms in all.
    void WaitQuiet() {
        std::array<uint8_t, kDiscardPiece> scratch{};
        const Clock::time_point start = Clock::now();
        uint32_t n = Read(scratch.data(), kDiscardPiece, kQuietFirstWaitMs);
        while (n > 0 && Clock::now() - start < milliseconds(kQuietLimitMs)) {
            n = Read(scratch.data(), kDiscardPiece, kQuietNextWaitMs);
        }
    }

    // The presence probe: "?" must be answered by "!" within the wait.
    bool Presence(uint32_t waitMs) {
        DiscardQueued();
        if (!WriteAll(&kPresenceProbe, 1)) return false;
        uint8_t answer = 0;
        return Read(&answer, 1, waitMs) == 1 && answer == kPresenceAnswer;
    }

    bool LineErrors() { return device_ && device_->TakeLineErrors(); }

private:
    std::unique_ptr<platform::PortDevice> device_;
    bool polling_;
};

bool AsksOldQuery(int detectOld) { return detectOld == 1 || detectOld == 3; }

// Stage 2: the framed query over stop bits {one, two} and parities from the
// presence parity up to even. Returns true when the row is finished.
bool FindFraming(ProbePort& port, SerialPortEntry& row, const DetectOptions& options,
                 uint8_t presenceParity, bool* oldAnswered) {
    const uint32_t baud = row.baudrate;
    std::vector<uint8_t> reply(kReadCap);
    for (uint8_t stopBits : {kOneStopBit, kTwoStopBits}) {
        for (uint8_t parity = presenceParity; parity <= kParityEven; ++parity) {
            if (!port.SetLine(baud, parity, stopBits)) {
                row.status = platform::kOpenFailed;
                return true;
            }
            port.Drain(kBeforeQueryDrainMs);
            if (!port.WriteAll(kFramedQuery, sizeof kFramedQuery)) return true;
            const uint32_t n =
                port.Read(reply.data(), kReadCap, FramedQueryWaitMs(baud, presenceParity, stopBits));
            const FramedReply kind = ClassifyFramedReply(reply.data(), n);
            if (kind == FramedReply::kNone) continue;
            if (kind == FramedReply::kMatch) {
                row.stopbits = stopBits;
                row.parity = parity;
                return true;
            }
            if (kind == FramedReply::kOldProtocol) {
                *oldAnswered = true;
                if (!AsksOldQuery(options.detectOld)) return true;
            }
            break;  // next stop bits
        }
    }
    return false;
}

// Stage 3: the older query over the same framings.
void FindOldFraming(ProbePort& port, SerialPortEntry& row, uint8_t presenceParity) {
    const uint32_t baud = row.baudrate;
    std::vector<uint8_t> body(kReadCap);
    for (uint8_t stopBits : {kOneStopBit, kTwoStopBits}) {
        for (uint8_t parity = presenceParity; parity <= kParityEven; ++parity) {
            if (!port.SetLine(baud, parity, stopBits)) {
                row.status = platform::kOpenFailed;
                return;
            }
            if (!port.WriteAll(kOldQuery, sizeof kOldQuery)) return;
            const uint32_t wait = OldQueryWaitMs(baud, presenceParity, stopBits);
            uint8_t header[4] = {};
            const uint32_t n = port.Read(header, sizeof header, wait);
            const int32_t following = OldReplyFollowing(header, n);
            if (following < 0) continue;
            if (static_cast<uint32_t>(following) > kReadCap) {
                port.Drain(wait);
            } else {
                port.Read(body.data(), static_cast<uint32_t>(following), wait);
            }
            row.stopbits = stopBits;
            row.parity = parity;
            return;
        }
    }
}

}  // namespace

DetectOptions ReadDetectOptions() {
    DetectOptions o;
    o.detectOld = ReadSettingInt("main", "DetectOld", 0);
    o.seqDetect = ReadSettingInt("main", "SeqDetect", 0);
    o.noPollingRead = ReadSettingInt("main", "NoPollingRead", 0);
    return o;
}

std::vector<Trial> PresenceTrials(int seqDetect) {
    std::vector<Trial> trials;
    if (seqDetect == 1) {
        for (uint32_t rate : kRateTable) {
            trials.push_back({rate, kParityNone});
            trials.push_back({rate, kParityEven});
        }
        return trials;
    }
    // The two most common rates first, each with both parities; then the
    // remaining rates without parity, then the same rates with even parity.
    trials = {{115200, kParityNone}, {115200, kParityEven}, {9600, kParityNone}, {9600, kParityEven}};
    for (uint8_t parity : {kParityNone, kParityEven}) {
        for (size_t i = 2; i < std::size(kRateTable); ++i) trials.push_back({kRateTable[i], parity});
    }
    return trials;
}

uint32_t ProbeWaitMs(uint32_t baud) {
    if (baud == 0) return kBaseWaitMs + 4;
    return kBaseWaitMs + 4 + 4 * (10000 / baud);
}

uint32_t FramingBitFactor(uint8_t presenceParity, uint8_t stopBits) {
    uint32_t x = presenceParity == kParityNone ? 10000 : 11000;
    if (stopBits == kTwoStopBits) x += 1000;
    return x;
}

uint32_t FramedQueryWaitMs(uint32_t baud, uint8_t presenceParity, uint8_t stopBits) {
    if (baud == 0) return kBaseWaitMs;
    return kBaseWaitMs + 32 * (FramingBitFactor(presenceParity, stopBits) / baud + 1);
}

uint32_t OldQueryWaitMs(uint32_t baud, uint8_t presenceParity, uint8_t stopBits) {
    if (baud == 0) return kBaseWaitMs;
    return kBaseWaitMs + 24 * (FramingBitFactor(presenceParity, stopBits) / baud + 1);
}

FramedReply ClassifyFramedReply(const uint8_t* data, size_t len) {
    if (len == 0 || data == nullptr) return FramedReply::kNone;
    if (len == 1 && data[0] == kPresenceAnswer) return FramedReply::kOldProtocol;
    if (len == 2 && data[0] == 0x15 && data[1] == kPresenceAnswer) return FramedReply::kOldProtocol;
    if (len == 14 && data[0] == 0x02 && std::equal(data + 1, data + 11, kFramedQuery + 1) &&
        data[11] == 0x05 && data[12] == ';' && data[13] == 0x03) {
        return FramedReply::kMatch;
    }
    return FramedReply::kOther;
}

int32_t OldReplyFollowing(const uint8_t* header, size_t len) {
    if (header == nullptr || len != 4 || header[0] != 0x02 || header[1] != 0x00) return -1;
    return static_cast<int32_t>(header[2]) * 256 + header[3] + 1;
}

void ResetRow(SerialPortEntry& row) {
    row.status = 0;
    row.baudrate = 0;
    row.databits = 8;
    row.stopbits = kOneStopBit;
    row.parity = kParityNone;
    row.flowcontrol = 0;
}

void ProbeRow(SerialPortEntry& row, const DetectOptions& options, const PortOpener& open) {
    uint32_t status = platform::kOpenFailed;
    std::unique_ptr<platform::PortDevice> device = open(row.port_number, &status);
    if (!device) {
        row.status = (status == platform::kOpenNotFound || status == platform::kOpenDenied)
                         ? static_cast<uint8_t>(status)
                         : static_cast<uint8_t>(platform::kOpenFailed);
        return;
    }
    ProbePort port(std::move(device), options.noPollingRead == 0);
    port.DiscardQueued();
    port.WaitQuiet();

    // Virtual COM ports run at one rate; a single probe decides.
    if (row.port_kind == QVDS_PORT_COM0COM || row.port_kind == QVDS_PORT_USB_VCOM) {
        if (!port.SetLine(kVirtualComBaud, kParityNone, kOneStopBit)) {
            row.status = platform::kOpenFailed;
            return;
        }
        if (port.Presence(kVirtualComWaitMs)) row.baudrate = kVirtualComBaud;
        return;
    }

    // Stage 1: presence.
    bool found = false;
    Trial hit;
    for (const Trial& trial : PresenceTrials(options.seqDetect)) {
        if (!port.SetLine(trial.baud, trial.parity, kOneStopBit)) {
            row.status = platform::kOpenFailed;
            return;
        }
        if (port.Presence(ProbeWaitMs(trial.baud))) {
            found = true;
            hit = trial;
            break;
        }
    }
    if (!found) return;
    uint8_t presenceParity = hit.parity;
    // An answer that came with a parity or framing error at no parity is a
    // scanner that sends a parity bit.
    if (presenceParity == kParityNone && port.LineErrors()) presenceParity = kParityEven;
    row.baudrate = hit.baud;
    port.Drain(kAfterPresenceDrainMs);

    // Stage 2 and, for scanners of the older protocol, stage 3.
    bool oldAnswered = false;
    if (FindFraming(port, row, options, presenceParity, &oldAnswered)) return;
    if (oldAnswered) FindOldFraming(port, row, presenceParity);
}

void DetectRows(SerialPortEntry* table, int count, const DetectOptions& options,
                const PortOpener& open) {
    if (table == nullptr || count <= 0) return;
    for (int i = 0; i < count; ++i) ResetRow(table[i]);

    std::mutex cursorLock;
    int next = 0;
    auto worker = [&]() {
        for (;;) {
            int index = 0;
            {
                std::lock_guard<std::mutex> lock(cursorLock);
                if (next >= count) return;
                index = next++;
            }
            try {
                ProbeRow(table[index], options, open);
            } catch (const std::exception& e) {
                table[index].status = platform::kOpenFailed;
                QV_LOG("%s %d COM%u probe failed: %s", "qvds_detect_serial_settings", __LINE__,
                       static_cast<unsigned>(table[index].port_number), e.what());
            }
        }
    };

    std::vector<std::thread> workers;
    const int wanted = std::min(count, kMaxWorkers);
    workers.reserve(static_cast<size_t>(wanted));
    for (int i = 0; i < wanted; ++i) {
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error& e) {
            // The workers already running share the remaining rows.
            QV_LOG("%s %d worker %d not started: %s", "qvds_detect_serial_settings", __LINE__, i,
                   e.what());
            break;
        }
    }
    for (std::thread& t : workers) t.join();
}

}  // namespace qv::serialdetect

int qvds_detect_serial_settings(SerialPortEntry* table, int count) {
    if (table == nullptr || count <= 0) return 0;
    const qv::serialdetect::DetectOptions options = qv::serialdetect::ReadDetectOptions();
    qv::serialdetect::DetectRows(table, count, options,
                                 [](uint32_t number, uint32_t* status) {
                                     return qv::OpenComPort(number, status);
                                 });
    return count;
}
