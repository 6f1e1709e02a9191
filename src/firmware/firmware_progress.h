// The progress record of a firmware update: 84 bytes, zeroed at the start.
// The update writes it as it goes, so another thread may read it; the
// transports pass one of these (never a smaller block the update would write
// past). Only the fields named here are written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qv::firmware {

struct T_FirmwareProgress {
    uint32_t stepPercent[4];  //  0 progress of steps 1..4 (prepare, parameters, data, completion), percent
    uint32_t step;            // 16 the current step, 0..3
    uint32_t reserved20;      // 20
    uint32_t block;           // 24 the current block index
    uint32_t reserved28[2];   // 28
    uint8_t blockTypes[16];   // 36 one byte per block: its type (extra blocks 16, see the update)
    uint8_t waitingForReset;  // 52 set while the scanner waits for its reset button
    uint8_t baudChanged;      // 53 a baud-rate change was needed to reach the scanner
    uint8_t reserved54[30];   // 54
};
static_assert(sizeof(T_FirmwareProgress) == 84, "the progress record is 84 bytes");
static_assert(offsetof(T_FirmwareProgress, block) == 24, "block index at 24");
static_assert(offsetof(T_FirmwareProgress, blockTypes) == 36, "block types from 36");
static_assert(offsetof(T_FirmwareProgress, waitingForReset) == 52, "reset byte at 52");
static_assert(offsetof(T_FirmwareProgress, baudChanged) == 53, "baud byte at 53");

// Stores a field so that a reader on another thread sees whole values.
template <typename T>
void StoreProgress(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <typename T>
T LoadProgress(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

}  // namespace qv::firmware
