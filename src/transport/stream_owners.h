// What the COM-port and USB transports share about their port streams: which
// open record owns each stream, and the transport read.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "quorvia.h"

struct QvdsStream;

namespace qv {

// The record that owns each stream, from the stream's creation until its
// destruction has ended (a stream being destroyed is owned by null). A stream
// pointer found in a record is only trusted when this registry knows it as a
// live stream that nobody owns; only the one who claimed a stream destroys
// it, so two closes (or a close and a reopen) never destroy it twice.
class StreamOwners {
public:
    // A new stream (qvds_create), owned by `owner` from its creation on, so
    // no other open takes it for an orphan and a close's cancel reaches it.
    // Null when out of memory.
    QvdsStream* CreateOwned(T_DevicesInfo* owner);

    // Claims `stream` for destruction when `owner` owns it.
    bool ClaimOwn(const void* stream, T_DevicesInfo* owner);

    // Claims `stream` for destruction on behalf of a new open when it is a
    // live stream that nobody owns (or is destroying).
    bool ClaimOrphan(const void* stream);

    // Closes and destroys a claimed stream, then forgets it.
    void DestroyClaimed(QvdsStream* stream);

    // qvds_cancel on every stream `owner` owns, with a log line naming `who`.
    // Takes only this registry's lock, which nobody holds while waiting on a
    // device; the stream cannot be destroyed meanwhile (its owner is dropped
    // under the same lock first).
    void CancelOwnedBy(T_DevicesInfo* owner, const char* who);

private:
    std::mutex mutex_;
    std::map<const void*, T_DevicesInfo*> owners_;
};

// One transport read: qvds_read into `buffer` (first wait `firstWaitMs`, the
// stream's inter-chunk wait, terminator ';' 03) until a call brings bytes,
// the stream fails, or more than `timeoutMs` passed (0: 2000.999999 ms, and
// *defaultTimedOut is set when it ran out). Returns the byte count, 0 when
// nothing came, or -1 with `readError` set when the stream failed with
// nothing read (bytes that came before are delivered first). The status goes
// to device->streamError.
int32_t ReadStream(QvdsStream* stream, T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs,
                   int32_t firstWaitMs, int32_t readError, bool* defaultTimedOut);

// What the stream already holds, without waiting: a byte count, 0 when
// nothing, -1 when the stream's device is lost.
int32_t ReadStreamBuffered(QvdsStream* stream, char* buffer, uint32_t capacity);

}  // namespace qv
