#include <memory>

#include "transport/communication.h"
#include "transport/network_communication.h"
#include "transport/serial_communication.h"

namespace qv {

std::unique_ptr<CDevicesFactory> MakeDevicesFactory(int32_t transportKind) {
    switch (transportKind) {
        case kTransportSerial: return std::make_unique<CSerialFactory>();
        case kTransportNetwork: return std::make_unique<CNetworkFactory>();
        default: return nullptr;  // this build has no USB transport yet
    }
}

}  // namespace qv
