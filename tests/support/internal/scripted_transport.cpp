#include "scripted_transport.h"

#include <algorithm>
#include <cstring>

namespace qvtest {

void ScriptedTransport::QueueReply(std::vector<Chunk> chunks) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(chunks));
}

void ScriptedTransport::Push(const std::string& bytes, int delayMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    Timed t{Clock::now() + std::chrono::milliseconds(delayMs), bytes};
    auto pos = std::upper_bound(pending_.begin(), pending_.end(), t,
                                [](const Timed& a, const Timed& b) { return a.at < b.at; });
    pending_.insert(pos, std::move(t));
    cv_.notify_all();
}

void ScriptedTransport::FailReadsWith(int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    failCode_ = code;
    cv_.notify_all();
}

void ScriptedTransport::FailWrites(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    failWrites_ = fail;
}

void ScriptedTransport::SetMaxReadSize(uint32_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxRead_ = n;
}

std::vector<std::string> ScriptedTransport::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

int ScriptedTransport::reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

T_DevicesInfo* ScriptedTransport::EnumDevices(int32_t* count) {
    if (count != nullptr) *count = 0;
    return nullptr;
}

T_DevicesInfo* ScriptedTransport::OpenDevice(T_DevicesInfo* list, uint32_t index) {
    return list == nullptr ? nullptr : OpenDeviceForNati(&list[index]);
}

T_DevicesInfo* ScriptedTransport::OpenDeviceForNati(T_DevicesInfo* entry) {
    if (entry == nullptr) return nullptr;
    T_DevicesInfo* record = qv::NewDeviceRecord();
    record->transportKind = entry->transportKind;
    record->index = entry->index;
    return record;
}

bool ScriptedTransport::CloseDevice(T_DevicesInfo** device) {
    if (device == nullptr) return true;
    qv::FreeDeviceRecord(*device);
    *device = nullptr;
    return true;
}

bool ScriptedTransport::Write(T_DevicesInfo* device, const char* data, uint32_t length) {
    if (device == nullptr || data == nullptr || length == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (failWrites_) return false;
    writes_.emplace_back(data, length);
    if (!replies_.empty()) {
        const auto now = Clock::now();
        for (Chunk& c : replies_.front()) {
            Timed t{now + std::chrono::milliseconds(c.delayMs), c.bytes};
            auto pos = std::upper_bound(pending_.begin(), pending_.end(), t,
                                        [](const Timed& a, const Timed& b) { return a.at < b.at; });
            pending_.insert(pos, std::move(t));
        }
        replies_.pop_front();
        cv_.notify_all();
    }
    return true;
}

int32_t ScriptedTransport::Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || buffer == nullptr || capacity == 0) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    ++reads_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs == 0 ? 2000 : timeoutMs);
    for (;;) {
        const auto now = Clock::now();
        if (!pending_.empty() && pending_.front().at <= now) {
            Timed& t = pending_.front();
            const uint32_t n = std::min<uint32_t>({capacity, maxRead_, static_cast<uint32_t>(t.bytes.size())});
            std::memcpy(buffer, t.bytes.data(), n);
            t.bytes.erase(0, n);
            if (t.bytes.empty()) pending_.pop_front();
            return static_cast<int32_t>(n);
        }
        if (pending_.empty() && failCode_ != 0) return failCode_;
        if (now >= deadline) return 0;
        auto wake = deadline;
        if (!pending_.empty() && pending_.front().at < wake) wake = pending_.front().at;
        cv_.wait_until(lock, wake);
    }
}

ScriptedEngine::ScriptedEngine() {
    auto t = std::make_unique<ScriptedTransport>();
    transport = t.get();
    engine = std::make_unique<qv::CQVScan>(nullptr, std::move(t), nullptr);
    T_DevicesInfo entry;
    qv::InitDeviceRecord(&entry);
    entry.transportKind = qv::kTransportSerial;
    device = engine->OpenDeviceForNati(&entry);
}

ScriptedEngine::~ScriptedEngine() {
    if (device != nullptr) engine->CloseDevice(&device);
}

}  // namespace qvtest
