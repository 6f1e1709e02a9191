// The network transport: scanners on the local network, found by UDP broadcast
// and spoken to over one TCP connection each, with reconnection when the peer
// resets the connection.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "network/broadcast_discovery.h"
#include "platform/socket.h"
#include "transport/communication.h"

namespace qv {

class CNetworkCommunication : public CCommunicationFactory {
public:
    CNetworkCommunication() = default;
    ~CNetworkCommunication() override;

    // Broadcast discovery (*count is written with the number found).
    T_DevicesInfo* EnumDevices(int32_t* count) override;
    T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) override;
    // Sends all bytes. On a failed send (and only while the record has a
    // socket) it reconnects: up to 4 attempts 100 ms apart; after one of the
    // first three succeeded the bytes are sent again (at most 3 such rounds
    // per call); when all 4 fail, or only the fourth succeeds, false.
    bool Write(T_DevicesInfo* device, const char* data, uint32_t length) override;
    // One read (ReadNetworkData); a reset connection is reconnected by the same
    // rule and read again.
    int32_t Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) override;
    // The network firmware update over the record's connection; *result gets
    // its code (0 on success), a failure sets -1045. Afterwards, whatever the
    // outcome, the connection is closed and opened again.
    bool UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value,
                            int32_t* result) override;
    // Disconnects and frees the record.
    bool CloseDevice(T_DevicesInfo** device) override;
    void ResetDeviceMaps() override;
    void SetCbDevStatusChanged(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) override;
    void StopCbDevStatusChanged(T_DevicesInfo* device) override;
    T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* entry) override;
    void Cancel(T_DevicesInfo* device) override;
    int32_t ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) override;

    // Discovery and configuration requests (qv_SetNetDeviceConfig).
    CBroadcastDiscovery& Discovery() { return m_discovery; }

private:
    T_DevicesInfo* OpenEntry(T_DevicesInfo* entry, const char* caller);
    std::shared_ptr<platform::CancelEvent> CancelOf(const T_DevicesInfo* device);
    // Up to 4 connection attempts 100 ms apart: the number of the attempt that
    // succeeded (the old socket is then closed), 0 when none did or the device
    // was cancelled.
    int Reconnect(T_DevicesInfo* device, const platform::CancelEvent* cancel);

    CBroadcastDiscovery m_discovery;
    std::mutex ioMutex;  // serialises Write, Read, ReadBuffered and UpdateKernelDevice
    // The cancel event of each record this transport opened; a close signals it.
    std::mutex m_cancelMutex;
    std::map<const T_DevicesInfo*, std::shared_ptr<platform::CancelEvent>> m_cancels;
};

class CNetworkFactory : public CDevicesFactory {
public:
    CCommunicationFactory* CreateCommunication() override;
};

}  // namespace qv
