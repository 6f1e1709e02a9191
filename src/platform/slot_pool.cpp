// SlotPool: cyclic page-aligned slots over the address-space service.
#include "platform/address_space.h"

namespace qv::platform {
namespace {

// A pool whose full reservation is refused tries with fewer slots, down to this.
constexpr size_t kFewestSlots = 64;

size_t RoundUpToPages(size_t bytes) {
    const size_t page = PageSize();
    if (bytes == 0) bytes = 1;
    return (bytes + page - 1) / page * page;
}

}  // namespace

SlotPool::SlotPool(size_t objectSize, size_t slots)
    : slotSize_(RoundUpToPages(objectSize)), wanted_(slots < kFewestSlots ? kFewestSlots : slots) {}

bool SlotPool::ReserveLocked() {
    if (base_ != nullptr) return true;
    if (reserveTried_) return false;
    reserveTried_ = true;
    for (size_t n = wanted_; n >= kFewestSlots; n /= 2) {
        void* p = ReserveAddressSpace(n * slotSize_);
        if (p == nullptr) continue;
        base_ = static_cast<uint8_t*>(p);
        count_ = n;
        used_.assign(n, false);
        return true;
    }
    return false;
}

void* SlotPool::Allocate() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ReserveLocked()) return nullptr;
    for (size_t k = 0; k < count_; ++k) {
        const size_t i = (next_ + k) % count_;
        if (used_[i]) continue;
        uint8_t* slot = base_ + i * slotSize_;
        if (!CommitPages(slot, slotSize_)) return nullptr;
        used_[i] = true;
        next_ = (i + 1) % count_;
        return slot;
    }
    return nullptr;
}

size_t SlotPool::IndexLocked(const void* p) const {
    const auto* q = static_cast<const uint8_t*>(p);
    if (base_ == nullptr || q < base_ || q >= base_ + count_ * slotSize_) return SIZE_MAX;
    return static_cast<size_t>(q - base_) / slotSize_;
}

void SlotPool::Release(void* slot) {
    if (slot == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t i = IndexLocked(slot);
    if (i == SIZE_MAX || !used_[i] || static_cast<uint8_t*>(slot) != base_ + i * slotSize_) return;
    ReleasePages(slot, slotSize_);
    used_[i] = false;
}

bool SlotPool::InUse(const void* p) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t i = IndexLocked(p);
    return i != SIZE_MAX && used_[i];
}

size_t SlotPool::SlotCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace qv::platform
