// DataBuffer: the receive ring of a port stream. The reader thread pushes every
// chunk it reads; callers pop. The ring has its own lock and a manual-reset
// "data available" event that qvds_read waits on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace qv {

class DataBuffer {
public:
    // 4 MiB: enough to absorb a whole picture transfer without back-pressure.
    static constexpr uint32_t kDefaultCapacity = 4u * 1024u * 1024u;

    // Allocates the ring once. The memory is not touched until bytes arrive, so
    // an idle stream costs no resident pages. Capacity() is 0 when the
    // allocation failed; every push is then rejected.
    explicit DataBuffer(uint32_t capacity = kDefaultCapacity);
    ~DataBuffer();

    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;

    uint32_t Capacity() const { return capacity_; }
    uint32_t Count() const;

    // Appends a chunk. A chunk that does not fit in the free space is dropped
    // whole (logged as PutBufferError) and false is returned; the bytes already
    // buffered stay. A chunk that fills the ring exactly is accepted. A zero
    // length succeeds and changes nothing. Sets the event when the count leaves 0.
    bool Push(const void* data, uint32_t len);

    // Takes up to `len` bytes, oldest first. When the ring becomes (or already
    // is) empty, both indices return to 0 and the event is reset.
    uint32_t Pop(void* out, uint32_t len);

    // Drops everything buffered; returns how many bytes that was.
    uint32_t Clear();

    // Waits until the event is set, the buffer is cancelled, or `timeoutMs`
    // passed (negative: no limit). True when the event was set or the buffer
    // is cancelled.
    bool WaitForData(int32_t timeoutMs);

    // Cancels every wait, present and future, until Resume: the waits of a
    // stream whose handle is being closed must end at once. Unlike the event,
    // the cancel is not undone by a pop that empties the buffer, so no wait can
    // miss it.
    void Cancel();
    void Resume();

    // Sets the event without adding data, so that waiting callers wake up (the
    // reader does this when it stops reading a device).
    void Signal();

    // State of the event.
    bool Signalled() const;

private:
    void ResetIfEmptyLocked();

    mutable std::mutex mutex_;
    std::condition_variable dataCv_;
    std::unique_ptr<uint8_t[]> data_;
    uint32_t capacity_ = 0;
    uint32_t writeIndex_ = 0;
    uint32_t readIndex_ = 0;
    uint32_t count_ = 0;
    bool dataEvent_ = false;
    bool cancelled_ = false;
};

}  // namespace qv
