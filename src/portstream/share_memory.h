// The "ShareMemory" table: serial numbers of the HID scanners that processes
// using this library hold open, so that an enumeration in another process
// leaves them out. 2560 bytes of named shared memory: 10 slots of 256 bytes,
// each a zero-terminated serial number, an empty slot (first byte 0) free.
//
// Behind the text, a slot written here also carries the writer's process ID
// (bytes 248..251, little-endian) and the mark "QVPI" (bytes 252..255): a slot
// whose writer has ended counts as free, so the serial number of a device that
// a crashed process held does not keep the device out of every list. Each open
// releases its own slot when its device is closed (see qvds_open_usb); nothing
// clears other processes' slots except qvds_clear_share_memory.
#pragma once

#include <cstddef>
#include <string>

namespace qv {

constexpr size_t kShareMemorySize = 2560;
constexpr size_t kShareSlots = 10;
constexpr size_t kShareSlotSize = 256;
constexpr size_t kShareTextMax = 247;  // serial number bytes a slot holds (then its zero)

// Name of the block: "ShareMemory", or the value of QUORVIA_SHARE_MEMORY
// (tests give each run its own table).
std::string ShareMemoryName();

// Records a serial number in the first free slot, creating the table when it
// does not exist (this process then keeps it mapped for its lifetime).
// Returns the slot, or -1 when the text is empty or too long, the table is
// full, or it cannot be created.
int ShareMemoryRegister(const std::string& serial);

// Frees slot `slot` when it still holds `serial` written by this process.
void ShareMemoryRelease(int slot, const std::string& serial);

// True when the table exists and a slot holds `serial` (a slot whose writer
// has ended does not count). An empty text is never held.
bool ShareMemoryHolds(const std::string& serial);

}  // namespace qv

// Zeroes all 2560 bytes of the table, every process's slots, when it exists.
void qvds_clear_share_memory();
