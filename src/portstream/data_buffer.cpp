#include "portstream/data_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "core/log.h"

namespace qv {

DataBuffer::DataBuffer(uint32_t capacity) {
    // Default-initialised: the pages stay untouched until data is written.
    data_.reset(new (std::nothrow) uint8_t[capacity == 0 ? 1 : capacity]);
    capacity_ = data_ ? capacity : 0;
}

DataBuffer::~DataBuffer() = default;

uint32_t DataBuffer::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

bool DataBuffer::Push(const void* data, uint32_t len) {
    if (len == 0) return true;
    if (data == nullptr) return false;
    uint32_t countSeen = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (static_cast<uint64_t>(count_) + len > capacity_) {
            countSeen = count_;
        } else {
            const auto* src = static_cast<const uint8_t*>(data);
            // At most two pieces: up to the end of the ring, then from its start.
            const uint32_t first = std::min(len, capacity_ - writeIndex_);
            std::memcpy(data_.get() + writeIndex_, src, first);
            if (first < len) std::memcpy(data_.get(), src + first, len - first);
            writeIndex_ = (writeIndex_ + len) % capacity_;
            const bool wasEmpty = count_ == 0;
            count_ += len;
            if (wasEmpty) {
                dataEvent_ = true;
                dataCv_.notify_all();
            }
            return true;
        }
    }
    // Logged outside the ring lock: the log opens a file per line.
    QV_LOG("%s %d PutBufferError: buffer: %u/%u  putlen:%u  -----------", "DataBuffer::push", __LINE__,
           countSeen, capacity_, len);
    return false;
}

uint32_t DataBuffer::Pop(void* out, uint32_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t n = out == nullptr ? 0 : std::min(count_, len);
    if (n > 0) {
        auto* dst = static_cast<uint8_t*>(out);
        const uint32_t first = std::min(n, capacity_ - readIndex_);
        std::memcpy(dst, data_.get() + readIndex_, first);
        if (first < n) std::memcpy(dst + first, data_.get(), n - first);
        readIndex_ = (readIndex_ + n) % capacity_;
        count_ -= n;
    }
    ResetIfEmptyLocked();
    return n;
}

uint32_t DataBuffer::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t n = count_;
    count_ = 0;
    ResetIfEmptyLocked();
    return n;
}

bool DataBuffer::WaitForData(int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto woken = [this] { return dataEvent_ || cancelled_; };
    if (timeoutMs < 0) {
        dataCv_.wait(lock, woken);
        return true;
    }
    return dataCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
}

void DataBuffer::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    dataCv_.notify_all();
}

void DataBuffer::Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = false;
}

void DataBuffer::Signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    dataEvent_ = true;
    dataCv_.notify_all();
}

bool DataBuffer::Signalled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataEvent_;
}

void DataBuffer::ResetIfEmptyLocked() {
    if (count_ != 0) return;
    readIndex_ = 0;
    writeIndex_ = 0;
    dataEvent_ = false;
}

}  // namespace qv
