// The transport interface: how bytes reach one kind of device (COM port, USB
// device path, network), and the factories that create transports.
#pragma once

#include <cstdint>
#include <memory>

#include "quorvia.h"

namespace qv {

// Values of T_DevicesInfo::transportKind.
enum TransportKind : int32_t {
    kTransportUsb = QV_TRANSPORT_USB,
    kTransportSerial = QV_TRANSPORT_SERIAL,
    kTransportNetwork = QV_TRANSPORT_NETWORK,
};
constexpr int kTransportKinds = 3;

// Listener states kept in T_DevicesInfo::isAsynRead.
enum ListenerState : int32_t {
    kListenerIdle = QV_LISTENER_IDLE,
    kListenerRunning = QV_LISTENER_RUNNING,
    kListenerStopped = QV_LISTENER_STOPPED,
    kListenerReadError = QV_LISTENER_READ_ERROR,
};

// A transport. The operations are declared in slot order; "device" is a record
// opened by this transport. A required pointer that is null (or a length of 0)
// sets -1001 and fails, except where an implementation says otherwise.
class CCommunicationFactory {
public:
    // Slot 0: enumerates devices; *count selects the scan where the transport
    // has several and receives the number found. Returns the first record of
    // the transport-owned list, or null.
    virtual T_DevicesInfo* EnumDevices(int32_t* count) = 0;
    // Slot 1: opens entry `index` of `list`; returns a new heap record or null.
    virtual T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) = 0;
    // Slot 2: writes all bytes.
    virtual bool Write(T_DevicesInfo* device, const char* data, uint32_t length) = 0;
    // Slot 3: one read: a byte count, 0 when nothing arrived within the
    // time-out (0 = the transport's default), or a negative code.
    virtual int32_t Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) = 0;
    // Slot 4: firmware update.
    virtual bool UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value,
                                    int32_t* result) = 0;
    // Slot 5: closes the device; on success *device is freed and set to null.
    virtual bool CloseDevice(T_DevicesInfo** device) = 0;
    // Slot 6: clears the transport's monitoring maps.
    virtual void ResetDeviceMaps() = 0;
    // Slots 7 and 8: start and stop device-status monitoring.
    virtual void SetCbDevStatusChanged(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) = 0;
    virtual void StopCbDevStatusChanged(T_DevicesInfo* device) = 0;
    // Slot 9.
    virtual ~CCommunicationFactory() = default;
    // Slot 10: opens a single caller-held entry; returns a new heap record or null.
    virtual T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* entry) = 0;
    // Slot 11: cancels what runs on an open device, because it is about to be
    // closed: every blocked read and write of it returns at once with its
    // failure (reads -1 and the transport's read error, writes false and its
    // write error), and so does every later one. Takes no lock that a blocked
    // Read or Write holds; may be called from any thread while they run.
    virtual void Cancel(T_DevicesInfo* device) = 0;
    // Slot 12: takes what the device has already delivered, without waiting:
    // a byte count, 0 when nothing is waiting, or a negative code when the
    // device is lost. Sets no error text.
    virtual int32_t ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) = 0;
};

// A factory creates one kind of transport; the caller owns the result.
class CDevicesFactory {
public:
    virtual ~CDevicesFactory() = default;
    virtual CCommunicationFactory* CreateCommunication() = 0;
};

// Creates the factory of a transport kind, or null when the library has no
// transport of that kind.
std::unique_ptr<CDevicesFactory> MakeDevicesFactory(int32_t transportKind);

// Fills a fresh record: zero everywhere, socket -1, listener state idle.
void InitDeviceRecord(T_DevicesInfo* record);

// A new default-initialised record (nullptr when out of memory), released with
// FreeDeviceRecord. Records come from a cyclic slot pool: a released record's
// address is handed out again only after hundreds of thousands of others, and
// until then any access through it faults.
T_DevicesInfo* NewDeviceRecord();
void FreeDeviceRecord(T_DevicesInfo* record);

// Public device type of a transport kind: USB 2, serial 1, network 4, other 0.
int32_t PublicDeviceType(int32_t transportKind);

}  // namespace qv
