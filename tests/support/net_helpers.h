// Helpers for tests of network scanners: the check every sending test makes
// first, the simulator with network scanners and one enumeration, and the
// datagram and text builders tests use to speak for a scanner.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "net_namespace.h"
#include "quorvia.h"
#include "sim_process.h"
#include "test_env.h"

namespace qvtest {

// Succeeds only inside a private network namespace: a test that can make
// anything send a datagram asserts this before it starts a simulator or
// calls a network export.
inline ::testing::AssertionResult PrivateNetwork() {
    std::string why;
    if (OnlyLoopbackNetwork(&why)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "refusing to send datagrams outside a private network namespace: "
                                         << why;
}

// A datagram as a scanner sends it: "QVSCAN", 0x10, type, big-endian length,
// text. `length` overrides the length field.
inline std::string NetDatagram(uint8_t type, const std::string& text, int64_t length = -1) {
    std::string d = "QVSCAN";
    d += static_cast<char>(0x10);
    d += static_cast<char>(type);
    const uint32_t n = length < 0 ? static_cast<uint32_t>(text.size()) : static_cast<uint32_t>(length);
    for (int shift = 24; shift >= 0; shift -= 8) d += static_cast<char>((n >> shift) & 0xFF);
    return d + text;
}

// A simulator with network scanners (and COM ports, when given) whose COM
// ports are the only ones the library sees, and one enumeration with `flags`
// (released at the end). Nothing is enumerated outside a private network
// namespace.
class NetDevices : public SimDevices {
public:
    NetDevices(std::initializer_list<SimProcess::NetScanner> net, std::initializer_list<SimProcess::Port> ports = {},
               uint32_t flags = QV_ENUM_NETWORK)
        : SimDevices(ports, net, flags, OnlyLoopbackNetwork(nullptr)) {}

    // Index of the network entry whose serial number is `serial`, or -1.
    int IndexOfSerial(const std::string& serial) const {
        for (int i = 0; i < count(); ++i) {
            if (list()[i].transportKind == QV_TRANSPORT_NETWORK && serial == list()[i].serialNumber) return i;
        }
        return -1;
    }
    // Serial number and MAC address the simulator gives scanner `number`
    // unless told otherwise.
    static std::string DefaultSerial(int number) {
        char text[32];
        std::snprintf(text, sizeof text, "QVNET%04d", number);
        return text;
    }
    static std::string DefaultMac(int number) {
        char text[32];
        std::snprintf(text, sizeof text, "02:51:56:00:00:%02X", number);
        return text;
    }
    void Reenumerate(uint32_t flags = QV_ENUM_NETWORK) {
        if (OnlyLoopbackNetwork(nullptr)) SimDevices::Reenumerate(flags);
    }
};

}  // namespace qvtest
