#include <memory>

#include "transport/communication.h"
#include "transport/network_communication.h"
#include "transport/serial_communication.h"
#include "transport/usb_communication.h"

namespace qv {

std::unique_ptr<CDevicesFactory> MakeDevicesFactory(int32_t transportKind) {
    switch (transportKind) {
        case kTransportSerial: return std::make_unique<CSerialFactory>();
        case kTransportNetwork: return std::make_unique<CNetworkFactory>();
        case kTransportUsb: return std::make_unique<CUsbFactory>();
        default: return nullptr;
    }
}

}  // namespace qv
