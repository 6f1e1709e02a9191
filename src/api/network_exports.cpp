// Network configuration of scanners by broadcast.
#include <algorithm>
#include <memory>

#include "api/export_guard.h"
#include "api/net_enum_lock.h"
#include "core/errors.h"
#include "core/log.h"
#include "quorvia.h"
#include "transport/network_communication.h"

namespace qv {
namespace {

// Longest a configuration request waits for a reply on each local address.
constexpr int32_t kConfigReplyLimitMs = 1000;

}  // namespace

std::mutex& NetEnumMutex() {
    static std::mutex* mutex = new std::mutex;  // outlives detached threads at exit
    return *mutex;
}

}  // namespace qv

using namespace qv;

extern "C" {

QV_API int32_t qv_SetNetDeviceConfig(int32_t mode, const char* request, int32_t length, int32_t timeoutMs,
                                     char* reply) try {
    QV_LOG("%s %d begin\n", "qv_SetNetDeviceConfig", __LINE__);
    std::lock_guard<std::mutex> lock(NetEnumMutex());
    std::unique_ptr<CDevicesFactory> factory = MakeDevicesFactory(kTransportNetwork);
    std::unique_ptr<CCommunicationFactory> created(factory ? factory->CreateCommunication() : nullptr);
    auto* transport = dynamic_cast<CNetworkCommunication*>(created.get());
    if (transport == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return -1;
    }
    CBroadcastDiscovery& discovery = transport->Discovery();
    // Without any local address the request is refused as unsendable.
    discovery.CreateBroadcastSockets();
    const bool ok =
        discovery.SetNetDeviceConfig(mode, request, length, std::min(timeoutMs, kConfigReplyLimitMs), reply);
    discovery.StopBroadcast();
    QV_LOG("%s %d return %d\n", "qv_SetNetDeviceConfig", __LINE__, ok ? 0 : -1);
    if (!ok) return -1;
    SetLastErrorCode(kOk);
    return 0;
} QV_EXPORT_CATCH("qv_SetNetDeviceConfig", -1)

}  // extern "C"
