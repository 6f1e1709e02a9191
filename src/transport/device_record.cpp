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
        case kTransportUsb: return QV_DEVTYPE_USB;
        case kTransportSerial: return QV_DEVTYPE_SERIAL;
        case kTransportNetwork: return QV_DEVTYPE_NETWORK;
        default: return QV_DEVTYPE_UNKNOWN;
    }
}

}  // namespace qv
