#include "portstream/share_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/log.h"
#include "platform/shared_memory.h"

namespace qv {
namespace {

constexpr size_t kPidOffset = 248;
constexpr size_t kMarkOffset = 252;
constexpr char kMark[4] = {'Q', 'V', 'P', 'I'};

// The table this process created or mapped for a registration: kept mapped
// for the life of the process.
std::mutex& KeptMutex() {
    static std::mutex m;
    return m;
}
std::unique_ptr<platform::NamedSharedMemory>& Kept() {
    static auto* kept = new std::unique_ptr<platform::NamedSharedMemory>;  // outlives detached threads at exit
    return *kept;
}

// Holds the table's cross-process lock for a scope.
class TableLock {
public:
    explicit TableLock(platform::NamedSharedMemory& m) : m_(m) { m_.Lock(); }
    ~TableLock() { m_.Unlock(); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    platform::NamedSharedMemory& m_;
};

uint8_t* Slot(platform::NamedSharedMemory& m, size_t i) { return m.data() + i * kShareSlotSize; }

uint32_t SlotPid(const uint8_t* slot) {
    return static_cast<uint32_t>(slot[kPidOffset]) | (static_cast<uint32_t>(slot[kPidOffset + 1]) << 8) |
           (static_cast<uint32_t>(slot[kPidOffset + 2]) << 16) | (static_cast<uint32_t>(slot[kPidOffset + 3]) << 24);
}

bool SlotMarked(const uint8_t* slot) { return std::memcmp(slot + kMarkOffset, kMark, sizeof kMark) == 0; }

// A slot in use: it holds text, and its writer (when it says who that is) runs.
bool SlotInUse(const uint8_t* slot) {
    if (slot[0] == 0) return false;
    if (!SlotMarked(slot)) return true;  // written without a process ID: cannot tell
    return platform::ProcessRunning(SlotPid(slot));
}

// The slot's text, at most 255 bytes: a slot without its zero is read only that far.
std::string SlotText(const uint8_t* slot) {
    const void* end = std::memchr(slot, 0, kShareSlotSize);
    const size_t len = end != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(end) - slot) : kShareSlotSize;
    return std::string(reinterpret_cast<const char*>(slot), len);
}

}  // namespace

std::string ShareMemoryName() {
    const char* name = std::getenv("QUORVIA_SHARE_MEMORY");
    return name != nullptr && name[0] != '\0' ? name : "ShareMemory";
}

int ShareMemoryRegister(const std::string& serial) {
    if (serial.empty() || serial.size() > kShareTextMax) return -1;
    const std::string name = ShareMemoryName();
    std::lock_guard<std::mutex> keptLock(KeptMutex());
    std::unique_ptr<platform::NamedSharedMemory> table = platform::CreateSharedMemory(name, kShareMemorySize);
    if (!table) {
        QV_LOG("%s %d cannot create the shared table %s\n", "qvds_open_usb", __LINE__, name.c_str());
        return -1;
    }
    int taken = -1;
    {
        TableLock lock(*table);
        for (size_t i = 0; i < kShareSlots; ++i) {
            uint8_t* slot = Slot(*table, i);
            if (SlotInUse(slot)) continue;
            std::memset(slot, 0, kShareSlotSize);
            std::memcpy(slot, serial.data(), serial.size());
            const uint32_t pid = platform::CurrentProcessId();
            for (int b = 0; b < 4; ++b) slot[kPidOffset + b] = static_cast<uint8_t>(pid >> (8 * b));
            std::memcpy(slot + kMarkOffset, kMark, sizeof kMark);
            taken = static_cast<int>(i);
            break;
        }
    }
    if (!Kept()) Kept() = std::move(table);
    return taken;
}

void ShareMemoryRelease(int slot, const std::string& serial) {
    if (slot < 0 || static_cast<size_t>(slot) >= kShareSlots || serial.empty()) return;
    std::unique_ptr<platform::NamedSharedMemory> table =
        platform::OpenSharedMemory(ShareMemoryName(), kShareMemorySize);
    if (!table) return;
    TableLock lock(*table);
    uint8_t* s = Slot(*table, static_cast<size_t>(slot));
    if (SlotText(s) == serial && SlotMarked(s) && SlotPid(s) == platform::CurrentProcessId()) {
        std::memset(s, 0, kShareSlotSize);
    }
}

bool ShareMemoryHolds(const std::string& serial) {
    if (serial.empty()) return false;
    std::unique_ptr<platform::NamedSharedMemory> table =
        platform::OpenSharedMemory(ShareMemoryName(), kShareMemorySize);
    if (!table) return false;
    TableLock lock(*table);
    for (size_t i = 0; i < kShareSlots; ++i) {
        const uint8_t* slot = Slot(*table, i);
        if (SlotInUse(slot) && SlotText(slot) == serial) return true;
    }
    return false;
}

}  // namespace qv

void qvds_clear_share_memory() {
    std::unique_ptr<qv::platform::NamedSharedMemory> table =
        qv::platform::OpenSharedMemory(qv::ShareMemoryName(), qv::kShareMemorySize);
    if (!table) return;
    table->Lock();
    std::memset(table->data(), 0, qv::kShareMemorySize);
    table->Unlock();
}
