// The USB transport: scanners reached through a USB device path (interfaces of
// the vendor USB driver and HID interfaces), found by the device-ID table. It
// opens a port stream on the path, writes and reads through it. It has no
// mutex of its own for I/O: the engine serialises the exchanges of a device.
#pragma once

#include <memory>

#include "transport/communication.h"

struct QvdsStream;

namespace qv {

class CUsbCommunication : public CCommunicationFactory {
public:
    CUsbCommunication() = default;
    ~CUsbCommunication() override;

    T_DevicesInfo* EnumDevices(int32_t* count) override;
    T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) override;
    bool Write(T_DevicesInfo* device, const char* data, uint32_t length) override;
    int32_t Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) override;
    bool UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value,
                            int32_t* result) override;
    bool CloseDevice(T_DevicesInfo** device) override;
    void ResetDeviceMaps() override;
    void SetCbDevStatusChanged(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) override;
    void StopCbDevStatusChanged(T_DevicesInfo* device) override;
    T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* entry) override;
    void Cancel(T_DevicesInfo* device) override;
    int32_t ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) override;

    // Opens the record's stream on its device path.
    bool Open(T_DevicesInfo* record);
    // Closes and destroys the record's stream and unregisters the record.
    bool Close(T_DevicesInfo* record);

private:
    T_DevicesInfo* OpenEntry(T_DevicesInfo* entry, const char* caller);
    // Stops the record's monitoring and waits for it; returns the callback it
    // had (null when it was not monitored).
    QV_DEV_STATUS_CALLBACK StopMonitoring(T_DevicesInfo* device);
    // The update itself (monitoring is stopped meanwhile).
    bool UpdateUsbDevice(T_DevicesInfo* device, const char* fileName, int32_t* result);

    std::unique_ptr<T_DevicesInfo[]> m_list;  // device list of the last EnumDevices
};

class CUsbFactory : public CDevicesFactory {
public:
    CCommunicationFactory* CreateCommunication() override;
};

// The registries the hot-plug poller shares with the transport (usbOpenMap,
// usbPresenceMap, usbMonitorMap), seen from a poller thread. A poller of a
// record runs between UsbPollerBegin and UsbPollerEnd and keeps polling while
// UsbPollerWanted says so; StopCbDevStatusChanged, and every close before it
// frees the record, takes the record out of usbMonitorMap and waits for its
// poller to end, so a poller never reads a freed record.
// Enters the record in usbMonitorMap and counts a poller as running; false
// when the record is not an open USB record.
bool UsbPollerBegin(T_DevicesInfo* record);
bool UsbPollerWanted(T_DevicesInfo* record);
void UsbPollerEnd(T_DevicesInfo* record);

// Number of records in usbOpenMap (for tests).
size_t OpenUsbRecordCount();

}  // namespace qv
