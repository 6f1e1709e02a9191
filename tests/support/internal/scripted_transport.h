// An in-process transport for engine tests: it records what is written and
// serves scripted bytes that "arrive" at chosen times, the way a device would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/qvscan.h"
#include "transport/communication.h"

namespace qvtest {

class ScriptedTransport : public qv::CCommunicationFactory {
public:
    struct Chunk {
        int delayMs;        // after the write that triggers it (or after Push)
        std::string bytes;  // may hold any byte
    };

    // The reply to the next write: chunks timed from the moment of that write.
    void QueueReply(std::vector<Chunk> chunks);
    // Bytes that arrive `delayMs` from now, written or not.
    void Push(const std::string& bytes, int delayMs = 0);
    // Reads after the queued data is used up return this code (e.g. -1: device lost).
    void FailReadsWith(int32_t code);
    void FailWrites(bool fail);
    // Largest chunk one Read returns (smaller reads split the scripted chunks).
    void SetMaxReadSize(uint32_t n);

    std::vector<std::string> writes() const;
    int reads() const;

    // Records created by OpenDevice, with the kind of the opened entry.
    T_DevicesInfo* EnumDevices(int32_t* count) override;
    T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) override;
    bool Write(T_DevicesInfo* device, const char* data, uint32_t length) override;
    int32_t Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) override;
    bool UpdateKernelDevice(T_DevicesInfo*, const char*, int32_t, int32_t*) override { return false; }
    bool CloseDevice(T_DevicesInfo** device) override;
    void ResetDeviceMaps() override {}
    void SetCbDevStatusChanged(T_DevicesInfo*, QV_DEV_STATUS_CALLBACK) override {}
    void StopCbDevStatusChanged(T_DevicesInfo*) override {}
    T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* entry) override;
    // A cancelled device's reads fail with -1 once the scripted data is used up.
    void Cancel(T_DevicesInfo*) override { FailReadsWith(-1); }
    // This transport's writes drop no unread input, so nothing is ever taken
    // ahead of a write: scripted bytes stay for the reads that follow.
    int32_t ReadBuffered(T_DevicesInfo*, char*, uint32_t) override { return 0; }

private:
    using Clock = std::chrono::steady_clock;
    struct Timed {
        Clock::time_point at;
        std::string bytes;
    };

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::vector<Chunk>> replies_;
    std::deque<Timed> pending_;  // ordered by arrival time
    std::vector<std::string> writes_;
    int32_t failCode_ = 0;
    bool failWrites_ = false;
    uint32_t maxRead_ = 0x7fffffff;
    int reads_ = 0;
};

// An engine whose serial transport is scripted, with one record opened
// through it (null when the open failed).
struct ScriptedEngine {
    ScriptedEngine();
    // Closes the record when it is still open.
    ~ScriptedEngine();
    ScriptedEngine(const ScriptedEngine&) = delete;
    ScriptedEngine& operator=(const ScriptedEngine&) = delete;

    ScriptedTransport* transport = nullptr;
    std::unique_ptr<qv::CQVScan> engine;
    T_DevicesInfo* device = nullptr;
};

}  // namespace qvtest
