// Operating-system service: address space reserved without memory behind it,
// whose pages are committed (readable and writable, zero-filled) and released
// (memory given back, every access faults) one range at a time.
//
// On top of it, SlotPool hands out fixed-size, page-aligned slots from one
// large reserved range, cyclically: a released slot comes back only after
// every other slot of the pool was handed out, and while it is released any
// access to it faults. Objects whose address is their identity (the records
// behind device handles, port streams) live in such slots, so a stale copy of
// an address is refused, or faults, but never reaches an object created after
// it: with hundreds of thousands of slots an address returns only after that
// many opens.
//
// The implementations live in platform/posix (mmap PROT_NONE | MAP_NORESERVE,
// mprotect, madvise) and, later, platform/win32 (VirtualAlloc reserve and
// commit, VirtualFree decommit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qv::platform {

// The page size: the unit of committing and releasing.
size_t PageSize();

// Reserves `bytes` (a multiple of the page size) of address space with no
// memory behind it; every access faults until pages are committed. nullptr
// when the range cannot be reserved. Never given back.
void* ReserveAddressSpace(size_t bytes);

// Makes whole pages of a reserved range readable and writable; they read as
// zero. False when the system has no memory for them.
bool CommitPages(void* start, size_t bytes);

// Gives the memory of committed pages back and makes them inaccessible again.
void ReleasePages(void* start, size_t bytes);

class SlotPool {
public:
    // Slots of at least `objectSize` bytes, rounded up to whole pages; at most
    // `slots` of them. Nothing is reserved before the first Allocate.
    SlotPool(size_t objectSize, size_t slots);
    SlotPool(const SlotPool&) = delete;
    SlotPool& operator=(const SlotPool&) = delete;

    // A zero-filled slot: the one after the slot handed out last that is free.
    // nullptr when every slot is in use, or memory or address space ran out.
    void* Allocate();

    // Gives a slot from Allocate back: its memory is released and any access
    // to it faults until the slot is handed out again. Other pointers and null
    // are ignored.
    void Release(void* slot);

    // True when `p` points into a slot that is in use.
    bool InUse(const void* p);

    size_t SlotSize() const { return slotSize_; }
    // Number of slots reserved (0 before the first Allocate).
    size_t SlotCount();

private:
    bool ReserveLocked();
    // Index of the slot `p` points into, or SIZE_MAX. Caller holds the mutex.
    size_t IndexLocked(const void* p) const;

    std::mutex mutex_;
    const size_t slotSize_;
    const size_t wanted_;
    bool reserveTried_ = false;
    uint8_t* base_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;
    std::vector<bool> used_;
};

}  // namespace qv::platform
