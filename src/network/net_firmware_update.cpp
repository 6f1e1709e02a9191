#include "network/net_firmware_update.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "core/crc32.h"
#include "core/log.h"
#include "network/net_connection.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPurgeChunk = 4096;
constexpr int32_t kExchangeRestWaitMs = 500;
constexpr int32_t kOwnChunkWaitMs = 100;  // the link's own wait for a further chunk
constexpr uint32_t kMaxExchangeText = 249;
constexpr uint32_t kMaxExchangeReply = 249;
constexpr int kReconnectPauseMs = 100;
constexpr int kAppRetryPauseMs = 10;

// ReadNetworkData waits 2000 ms for a time-out of 0: "no wait" is negative here.
int32_t ReadWait(int32_t ms) { return ms <= 0 ? -1 : ms; }

// The update's view of a TCP connection: no line, no device-change monitor,
// no block switch; a scanner that drops the connection is connected to again.
class NetFirmwareLink final : public firmware::FirmwareLink {
public:
    NetFirmwareLink(T_DevicesInfo* record, const platform::CancelEvent* cancel) : record_(record), cancel_(cancel) {}

    bool Write(const uint8_t* data, uint32_t len) override {
        if (WriteNetworkData(record_, reinterpret_cast<const char*>(data), len, cancel_)) return true;
        Disconnect(record_);
        return false;
    }

    uint32_t Read(uint8_t* buf, uint32_t len, int32_t firstWaitMs, int32_t interChunkMs, const uint8_t* terminator,
                  uint32_t terminatorLen) override {
        uint32_t got = 0;
        int32_t wait = firstWaitMs;
        while (got < len) {
            const int32_t n =
                ReadNetworkData(record_, reinterpret_cast<char*>(buf) + got, len - got, ReadWait(wait), cancel_);
            if (n <= 0) break;
            got += static_cast<uint32_t>(n);
            if (terminator != nullptr && terminatorLen > 0 && got >= terminatorLen &&
                std::memcmp(buf + got - terminatorLen, terminator, terminatorLen) == 0) {
                break;
            }
            wait = interChunkMs == -2 ? kOwnChunkWaitMs : interChunkMs;
        }
        return got;
    }

    // Reads 4096-byte chunks until one comes back shorter.
    void Purge(int32_t drainMs) override {
        char chunk[kPurgeChunk];
        for (;;) {
            const int32_t n = ReadNetworkData(record_, chunk, sizeof chunk, ReadWait(drainMs), cancel_);
            if (n < static_cast<int32_t>(sizeof chunk)) return;
        }
    }

    // 02 05, text length (16-bit big-endian), text, CRC-32 of all that
    // (32-bit big-endian); the answer has the same form, its first payload
    // byte the result.
    bool Exchange(int32_t firstWaitMs, const std::string& text, uint8_t* result) override {
        if (result != nullptr) *result = 0;
        const uint32_t textLen = std::min<uint32_t>(static_cast<uint32_t>(text.size()), kMaxExchangeText);
        uint8_t frame[4 + kMaxExchangeText + 4];
        frame[0] = 0x02;
        frame[1] = 0x05;
        frame[2] = static_cast<uint8_t>(textLen >> 8);
        frame[3] = static_cast<uint8_t>(textLen);
        std::memcpy(frame + 4, text.data(), textLen);
        const uint32_t crc = Crc32(frame, 4 + textLen);
        for (int k = 0; k < 4; ++k) frame[4 + textLen + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
        if (!Write(frame, 4 + textLen + 4)) return false;

        uint8_t reply[4 + kMaxExchangeReply + 4];
        if (Read(reply, 4, firstWaitMs, kExchangeRestWaitMs, nullptr, 0) == 4 && reply[0] == 0x02 &&
            reply[1] == 0x05) {
            const uint32_t replyLen = (static_cast<uint32_t>(reply[2]) << 8) | reply[3];
            if (replyLen >= 1 && replyLen <= kMaxExchangeReply &&
                Read(reply + 4, replyLen + 4, kExchangeRestWaitMs, kExchangeRestWaitMs, nullptr, 0) == replyLen + 4) {
                const uint8_t* tail = reply + 4 + replyLen;
                const uint32_t got = (uint32_t{tail[0]} << 24) | (uint32_t{tail[1]} << 16) |
                                     (uint32_t{tail[2]} << 8) | uint32_t{tail[3]};
                if (Crc32(reply, 4 + replyLen) == got) {
                    if (result != nullptr) *result = reply[4];
                    if (reply[4] == '0') return true;
                }
            }
        }
        // What is left of a bad or refused answer is dropped.
        Purge(20);
        return false;
    }

    bool HasLine() override { return false; }
    bool GetLine(firmware::LinkLine*) override { return false; }
    bool SetLine(const firmware::LinkLine&) override { return false; }
    bool SetBaud(uint32_t) override { return false; }
    bool SetBaud8N1(uint32_t) override { return false; }

    bool IsOpen() override { return record_->socket != platform::kNoSocket; }
    bool Cancelled() override { return cancel_ != nullptr && cancel_->Signalled(); }
    void Stop() override { Disconnect(record_); }
    bool LeavesOnSwitch() override { return false; }

    // No device-change monitor: the link connects again by itself.
    bool StartWatch() override {
        watching_ = true;
        return true;
    }
    void StopWatch() override { watching_ = false; }
    bool Watching() override { return watching_; }
    void ResetArrival() override {}

    // The scanner dropped the connection for its loader: the loader's start
    // is waited for, then a number of connection attempts.
    bool Reopen(int32_t waitMs, const firmware::LinkLine*) override {
        Disconnect(record_);
        QV_LOG("%s %d waiting %d ms for the scanner's loader\n", "net_update", __LINE__, waitMs);
        if (platform::WaitCancelled(waitMs, cancel_) == platform::WaitResult::kCancelled) return false;
        for (int attempt = 1; attempt <= kNetLoaderAttempts; ++attempt) {
            if (attempt > 1 &&
                platform::WaitCancelled(kReconnectPauseMs, cancel_) == platform::WaitResult::kCancelled) {
                return false;
            }
            if (ConnectToDevice(record_, cancel_)) {
                QV_LOG("%s %d connected again, attempt %d\n", "net_update", __LINE__, attempt);
                return true;
            }
        }
        return false;
    }

    bool HasBlockSwitch() override { return false; }
    bool SendsBetweenBlocks() override { return false; }

    // The scanner leaves its loader: connect again every 10 ms, for a bounded
    // time (a scanner that never comes back must not hold the caller).
    int32_t ComeBackAfterGroup(int32_t, const firmware::LinkLine*) override {
        QV_LOG("Close Port and Try to reconnect");
        Disconnect(record_);
        const auto end = Clock::now() + std::chrono::milliseconds(kNetAppComebackMs);
        for (;;) {
            if (ConnectToDevice(record_, cancel_)) return firmware::kFwOk;
            if (Clock::now() >= end) break;
            if (platform::WaitCancelled(kAppRetryPauseMs, cancel_) == platform::WaitResult::kCancelled) break;
        }
        QV_LOG("%s %d the scanner did not come back\n", "net_update", __LINE__);
        return firmware::kFwProtocol;
    }

private:
    T_DevicesInfo* record_;
    const platform::CancelEvent* cancel_;
    bool watching_ = false;
};

}  // namespace

int32_t NetUpdateFirmwareFile(T_DevicesInfo* record, const char16_t* fileName,
                              const firmware::FirmwareSettings& settings, const platform::CancelEvent* cancel,
                              firmware::T_FirmwareProgress* progress) {
    if (record == nullptr) return firmware::kFwPortClosed;
    try {
        NetFirmwareLink link(record, cancel);
        return firmware::UpdateFirmwareOverLink(link, fileName, settings, progress);
    } catch (const std::bad_alloc&) {
        QV_LOG("%s %d out of memory\n", "net_update", __LINE__);
        return firmware::kFwNoMemory;
    }
}

}  // namespace qv
