#include <cstring>
#include <new>

#include "platform/address_space.h"
#include "transport/communication.h"

namespace qv {
namespace {

// Records behind open handles: a handle is the record's address, so a closed
// record's address must not come back while a stale copy of the handle may
// still be used. Its slot returns only after this many other opens.
constexpr size_t kRecordSlots = size_t{1} << 18;

platform::SlotPool& RecordSlots() {
    static platform::SlotPool* pool = new platform::SlotPool(sizeof(T_DevicesInfo), kRecordSlots);
    return *pool;
}

}  // namespace

void InitDeviceRecord(T_DevicesInfo* record) {
    std::memset(record, 0, sizeof *record);
    record->socket = -1;
    record->isAsynRead = kListenerIdle;
}

T_DevicesInfo* NewDeviceRecord() {
    void* slot = RecordSlots().Allocate();
    if (slot == nullptr) return nullptr;
    T_DevicesInfo* record = new (slot) T_DevicesInfo;
    InitDeviceRecord(record);
    return record;
}

void FreeDeviceRecord(T_DevicesInfo* record) {
    if (record == nullptr) return;
    record->~T_DevicesInfo();
    RecordSlots().Release(record);  // any later access through a stale handle faults
}

int32_t PublicDeviceType(int32_t transportKind) {
    switch (transportKind) {
        case kTransportUsb: return QV_DEVTYPE_USB;
        case kTransportSerial: return QV_DEVTYPE_SERIAL;
        case kTransportNetwork: return QV_DEVTYPE_NETWORK;
        default: return QV_DEVTYPE_UNKNOWN;
    }
}

}  // namespace qv
