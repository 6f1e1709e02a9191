#include <cstring>
#include <new>

#include "transport/communication.h"

namespace qv {

void InitDeviceRecord(T_DevicesInfo* record) {
    std::memset(record, 0, sizeof *record);
    record->socket = -1;
    record->isAsynRead = kListenerIdle;
}

T_DevicesInfo* NewDeviceRecord() {
    T_DevicesInfo* record = new (std::nothrow) T_DevicesInfo;
    if (record != nullptr) InitDeviceRecord(record);
    return record;
}

void FreeDeviceRecord(T_DevicesInfo* record) { delete record; }

int32_t PublicDeviceType(int32_t transportKind) {
    switch (transportKind) {
        case kTransportUsb: return 2;
        case kTransportSerial: return 1;
        case kTransportNetwork: return 4;
        default: return 0;
    }
}

}  // namespace qv
