// Discovery datagrams and reply texts as a scanner (or anybody on the network)
// may send them: a run of datagrams goes through the datagram parser, the
// collection of first and second replies and the record filler, each record
// in a heap block of exactly its size, so a write past a field or past the
// record is a heap-buffer-overflow for AddressSanitizer.
//
// Input: a run of datagrams, each a 2-byte little-endian length and its bytes
// (a length beyond the input takes the rest).
//
// Checked: a datagram is accepted exactly when it is longer than 11 bytes and
// starts with "QVSCAN" 0x10, and its text is the bytes from offset 12 up to
// the first zero; no two listed texts belong to the same scanner; every field
// of a filled record ends with a zero byte inside its field and holds a prefix
// of its value; devInfo is a prefix of the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "network/net_datagram.h"
#include "network/net_replies.h"

namespace {

bool Terminated(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

// The field holds a prefix of the key's value (what fits with its zero byte).
void CheckField(std::string_view text, const char* key, const char* field, size_t size) {
    QV_FUZZ_CHECK(Terminated(field, size), "%s not terminated", key);
    std::string_view value;
    QV_FUZZ_CHECK(qv::FindTextValue(text, key, &value) == qv::TextLookup::kFound, "%s filled but not found", key);
    const size_t len = std::strlen(field);
    QV_FUZZ_CHECK(len == (value.size() < size - 1 ? value.size() : size - 1), "%s cut to %zu of %zu", key, len,
                  value.size());
    QV_FUZZ_CHECK(std::memcmp(field, value.data(), len) == 0, "%s holds another value", key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> netDev;
    std::vector<qv::PendingReply> pending;
    size_t pos = 0;
    while (pos < size) {
        size_t len = data[pos];
        if (pos + 1 < size) len |= static_cast<size_t>(data[pos + 1]) << 8;
        pos += 2;
        if (pos > size) break;
        if (len > size - pos) len = size - pos;
        const std::string datagram(reinterpret_cast<const char*>(data + pos), len);
        pos += len;

        uint8_t type = 0;
        std::string text;
        const bool accepted = qv::ParseDatagram(datagram.data(), datagram.size(), &type, &text);
        const bool expected = len >= 12 && datagram.compare(0, 7, std::string("QVSCAN\x10", 7)) == 0;
        QV_FUZZ_CHECK(accepted == expected, "datagram of %zu bytes accepted=%d", len, accepted ? 1 : 0);
        if (!accepted) continue;
        QV_FUZZ_CHECK(type == static_cast<uint8_t>(datagram[7]), "type %u", type);
        QV_FUZZ_CHECK(text == std::string(datagram.c_str() + 12), "text is not the bytes up to the zero");
        if (type == qv::kTypeReply1 || type == qv::kTypeReply2) {
            qv::AcceptFirstReply(text, netDev, pending);
        } else if (type == qv::kTypeSecondReply) {
            qv::AcceptSecondReply(text, netDev, pending);
        }
    }

    for (size_t i = 0; i < netDev.size(); ++i) {
        for (size_t j = i + 1; j < netDev.size(); ++j) {
            QV_FUZZ_CHECK(!qv::SameScanner(netDev[i], netDev[j]), "texts %zu and %zu are one scanner", i, j);
        }
    }
    for (const qv::PendingReply& p : pending) QV_FUZZ_CHECK(Terminated(p.text, sizeof p.text), "pending text");

    for (const std::string& text : netDev) {
        auto record = std::make_unique<T_DevicesInfo>();
        std::memset(record.get(), 0, sizeof *record);
        if (!qv::FillNetDeviceRecord(text, record.get())) continue;
        const T_DevicesInfo& r = *record;
        QV_FUZZ_CHECK(Terminated(r.devInfo, sizeof r.devInfo), "devInfo not terminated");
        QV_FUZZ_CHECK(text.compare(0, std::strlen(r.devInfo), r.devInfo) == 0, "devInfo is not a prefix");
        CheckField(text, "Ip Address=", r.ipAddress, sizeof r.ipAddress);
        CheckField(text, "Serial Number=", r.serialNumber, sizeof r.serialNumber);
        CheckField(text, "MAC Address=", r.macAddress, sizeof r.macAddress);
        CheckField(text, "SubNetmask=", r.subNetmask, sizeof r.subNetmask);
        CheckField(text, "Gateway Address=", r.gatewayAddress, sizeof r.gatewayAddress);
        QV_FUZZ_CHECK(r.tcpPort >= 0 && r.tcpPort <= 65535, "port %d", r.tcpPort);
        QV_FUZZ_CHECK(r.socket == -1 && r.transportKind == QV_TRANSPORT_NETWORK, "kind and socket");
    }
    return 0;
}
