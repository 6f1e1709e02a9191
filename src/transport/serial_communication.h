// The COM-port transport: enumerates and detects serial scanners, opens a port
// stream per device with the device's line settings, writes and reads through it.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "firmware/firmware_progress.h"
#include "transport/communication.h"
#include "transport/hotplug_monitor.h"

struct QvdsStream;

namespace qv {

class CSerialCommunication : public CCommunicationFactory {
public:
    CSerialCommunication() = default;
    ~CSerialCommunication() override;

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

    // Opens the record's stream with its SerialSettings (under the transport mutex).
    bool OpenSerial(T_DevicesInfo* record);
    // Closes and destroys the record's stream and unregisters the record.
    bool CloseSerial(T_DevicesInfo* record);
    // Runs the firmware update on the record's stream (reopened first when
    // its port was closed). *result gets the update result code. Caller holds
    // the transport mutex.
    bool UpdateSerialDevice(T_DevicesInfo* record, const char* fileName, firmware::T_FirmwareProgress* progress,
                            int32_t* result);

private:
    friend class SerialHotplugDevice;
    T_DevicesInfo* OpenEntry(T_DevicesInfo* entry, const char* caller);
    // Stops the record's monitoring and waits for it; returns the callback it
    // had (null when it was not monitored).
    QV_DEV_STATUS_CALLBACK StopMonitoring(T_DevicesInfo* record);

    std::unique_ptr<T_DevicesInfo[]> m_list;  // device list of the last EnumDevices
    std::mutex m_mutex;                       // serialises open, write, read, update, close and the
                                              // hot-plug monitor's reopen and drop
};

class CSerialFactory : public CDevicesFactory {
public:
    CCommunicationFactory* CreateCommunication() override;
};

// Number of records currently registered as open serial devices (for tests).
size_t OpenSerialRecordCount();

// Number of serial records under hot-plug monitoring (for tests).
size_t MonitoredSerialRecordCount();

}  // namespace qv
