#include "transport/stream_owners.h"

#include <atomic>
#include <chrono>

#include "core/errors.h"
#include "core/log.h"
#include "portstream/qvds.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReadChunk = 0x100000;
constexpr double kDefaultReadTimeoutMs = 2000.999999;
constexpr char kReadTerminator[2] = {';', 0x03};

}  // namespace

QvdsStream* StreamOwners::CreateOwned(T_DevicesInfo* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    QvdsStream* stream = qvds_create();
    if (stream != nullptr) owners_[stream] = owner;
    return stream;
}

bool StreamOwners::ClaimOwn(const void* stream, T_DevicesInfo* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = owners_.find(stream);
    if (it == owners_.end() || it->second != owner) return false;
    it->second = nullptr;
    return true;
}

bool StreamOwners::ClaimOrphan(const void* stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (owners_.count(stream) != 0 || !qvds_is_live(stream)) return false;
    owners_[stream] = nullptr;
    return true;
}

void StreamOwners::DestroyClaimed(QvdsStream* stream) {
    qvds_close(stream);
    qvds_destory(stream);
    std::lock_guard<std::mutex> lock(mutex_);
    owners_.erase(stream);
}

void StreamOwners::CancelOwnedBy(T_DevicesInfo* owner, const char* who) {
    if (owner == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [stream, o] : owners_) {
        if (o != owner) continue;
        QV_LOG("[%s] cancel pDevice=[%p] stream=[%p]", who, static_cast<void*>(owner), stream);
        qvds_cancel(static_cast<QvdsStream*>(const_cast<void*>(stream)));
    }
}

int32_t ReadStream(QvdsStream* stream, T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs,
                   int32_t firstWaitMs, int32_t readError, bool* defaultTimedOut) {
    if (defaultTimedOut != nullptr) *defaultTimedOut = false;
    const double limitMs = timeoutMs == 0 ? kDefaultReadTimeoutMs : static_cast<double>(timeoutMs);
    const uint32_t ask = capacity < kReadChunk ? capacity : kReadChunk;
    const auto start = Clock::now();
    for (;;) {
        uint32_t status = 0;
        const uint32_t n = qvds_read(stream, buffer, ask, firstWaitMs, -2, kReadTerminator, 2, &status);
        // Relaxed atomic: a hot-plug monitor stores its reopen's status too.
        std::atomic_ref<uint32_t>(device->streamError).store(status, std::memory_order_relaxed);
        if (status != QVDS_OK) {
            // Bytes that arrived before the device was lost are still delivered;
            // the loss is reported by the next read.
            if (n > 0) return static_cast<int32_t>(n);
            SetLastErrorCode(readError);
            return -1;
        }
        if (n > 0) return static_cast<int32_t>(n);
        const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (elapsed > limitMs) {
            if (timeoutMs == 0 && defaultTimedOut != nullptr) *defaultTimedOut = true;
            return 0;
        }
    }
}

int32_t ReadStreamBuffered(QvdsStream* stream, char* buffer, uint32_t capacity) {
    uint32_t status = 0;
    const uint32_t n = qvds_read(stream, buffer, capacity, 0, -2, nullptr, 0, &status);
    if (n > 0) return static_cast<int32_t>(n);
    return status == QVDS_OK ? 0 : -1;
}

}  // namespace qv
