// A scriptable in-memory PortDevice for tests of the port stream. The test
// keeps a FakePortControl; the device handed to the code under test shares it,
// so the test can feed reads, inspect writes and feature reports, make writes
// fail, reject feature reports, report line errors and "unplug" the device,
// and see when the device was destroyed (closed), also after the stream let
// go of it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/serial_port.h"

namespace qvtest {

using Bytes = std::vector<uint8_t>;

class FakePortControl {
public:
    struct WriteRecord {
        Bytes data;
        int32_t timeoutMs;
    };
    // Called with each accepted write; returns chunks to queue as input (a
    // scripted device answering a request).
    using Responder = std::function<std::vector<Bytes>(const Bytes& written)>;

    // ---- the test side
    // Queues one chunk; one device read delivers it (cut to the read's size,
    // like a report read from a HID device).
    void QueueRead(Bytes chunk);
    // The device disappears: pending and later reads fail, writes fail.
    void Unplug();
    // True once the device was cancelled (writes fail from then on).
    bool Cancelled() const;
    // Write attempt number `index` (0-based, counting every Write call) and
    // all later ones fail.
    void FailWritesFrom(int index);
    void RejectFeatureReports(bool reject);
    void SetLineErrors();
    void SetResponder(Responder responder);

    std::vector<WriteRecord> Writes() const;
    std::vector<Bytes> FeatureReports() const;
    int WriteAttempts() const;  // accepted or not
    bool Destroyed() const;
    bool WaitDestroyed(std::chrono::milliseconds limit);
    // Number of feature reports recorded when the device was destroyed.
    size_t FeatureReportsAtDestruction() const;

    // ---- the device side, called by FakePortDevice
    int32_t ReadBlocking(uint8_t* buf, uint32_t cap);
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs);
    uint32_t QueuedInput();
    void DiscardInput();
    void RequestStop();
    void ClearStop();
    void Cancel();
    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs);
    bool TakeLineErrors();
    bool SetFeatureReport(const uint8_t* report, uint32_t len);
    void MarkDestroyed();

private:
    int32_t TakeLocked(uint8_t* buf, uint32_t cap);

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Bytes> reads_;
    std::vector<WriteRecord> writes_;
    std::vector<Bytes> features_;
    Responder responder_;
    int writeAttempts_ = 0;
    int failWritesFrom_ = -1;
    size_t featuresAtDestruction_ = 0;
    bool stop_ = false;
    bool unplugged_ = false;
    bool cancelled_ = false;
    bool rejectFeatures_ = false;
    bool lineErrors_ = false;
    bool destroyed_ = false;
};

class FakePortDevice final : public qv::platform::PortDevice {
public:
    explicit FakePortDevice(std::shared_ptr<FakePortControl> control) : control_(std::move(control)) {}
    ~FakePortDevice() override;

    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override;
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override;
    uint32_t QueuedInput() override;
    void DiscardInput() override;
    void DiscardOutput() override {}  // writes are recorded whole: nothing is pending
    void RequestStop() override;
    void ClearStop() override;
    void Cancel() override;
    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) override;
    bool SetLine(const qv::platform::LineSettings& settings) override;  // not a serial line: false
    bool TakeLineErrors() override;
    bool SetFeatureReport(const uint8_t* report, uint32_t len) override;

private:
    std::shared_ptr<FakePortControl> control_;
};

// A fake device and the control the test keeps.
std::pair<std::unique_ptr<qv::platform::PortDevice>, std::shared_ptr<FakePortControl>> MakeFakePort();

}  // namespace qvtest
