// Descriptor helpers shared by the POSIX devices (ttys, hidraw nodes): the
// eventfds that wake a blocked read or end a blocked write, and a write that
// a cancel can end.
#pragma once

#include <atomic>
#include <cstdint>

namespace qv::platform {

// Makes an eventfd readable (until ResetEventFd).
void SignalEventFd(int fd);
// Makes a non-blocking eventfd unreadable again.
void ResetEventFd(int fd);

// Writes `len` bytes to a non-blocking descriptor, waiting for room with
// poll(): at most `timeoutMs` in all (< 0: without limit). Fails when the
// descriptor fails or hangs up, when `cancelled` is set or `cancelFd` becomes
// readable, or (with `whole`, for devices that take one report per write)
// when a write() takes less than all of it.
bool WriteCancellable(int fd, int cancelFd, const std::atomic<bool>& cancelled, const uint8_t* data, uint32_t len,
                      int32_t timeoutMs, bool whole);

}  // namespace qv::platform
