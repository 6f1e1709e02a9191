#include "network/net_replies.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "network/net_datagram.h"

namespace qv {
namespace {

constexpr size_t kSuppGrField = 4;
constexpr size_t kPortField = 128;

bool Listed(std::string_view text, const std::vector<std::string>& netDev, const std::vector<PendingReply>& pending) {
    for (const PendingReply& p : pending) {
        if (SameScanner(text, std::string_view(p.text, strnlen(p.text, sizeof p.text)))) return true;
    }
    for (const std::string& t : netDev) {
        if (SameScanner(text, t)) return true;
    }
    return false;
}

// A decimal port number, 0 when the text is anything else.
int32_t PortNumber(const char* text) {
    if (text[0] < '0' || text[0] > '9') return 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v > 65535) return 0;
    return static_cast<int32_t>(v);
}

}  // namespace

ReplyOutcome AcceptFirstReply(std::string_view text, std::vector<std::string>& netDev,
                              std::vector<PendingReply>& pending) {
    if (Listed(text, netDev, pending)) return ReplyOutcome::kDuplicate;
    char suppGr[kSuppGrField];
    const bool found = GetTextValue(text, "Supp Gr=", suppGr, sizeof suppGr);
    QV_LOG("sdret=[%d] suppGr=[%s]", found ? 1 : 0, suppGr);
    if (!found || std::atoi(suppGr) == 0) {
        netDev.emplace_back(text);
        return ReplyOutcome::kListed;
    }
    PendingReply& entry = pending.emplace_back();
    const size_t take = text.size() < sizeof entry.text - 1 ? text.size() : sizeof entry.text - 1;
    std::memcpy(entry.text, text.data(), take);
    entry.text[take] = '\0';
    return ReplyOutcome::kPending;
}

ReplyOutcome AcceptSecondReply(std::string_view text, std::vector<std::string>& netDev,
                               std::vector<PendingReply>& pending) {
    for (PendingReply& p : pending) {
        if (p.matched != 0 || !SameScanner(text, std::string_view(p.text, strnlen(p.text, sizeof p.text)))) continue;
        p.matched = 1;
        const std::string rest = RemoveKeyValue(RemoveKeyValue(text, "Serial Number="), "MAC Address=");
        netDev.push_back(std::string(p.text) + rest);
        return ReplyOutcome::kMerged;
    }
    return ReplyOutcome::kUnmatchedSecond;
}

bool FillNetDeviceRecord(std::string_view text, T_DevicesInfo* record) {
    const size_t take = text.size() < sizeof record->devInfo - 1 ? text.size() : sizeof record->devInfo - 1;
    std::memcpy(record->devInfo, text.data(), take);
    record->devInfo[take] = '\0';
    QV_LOG("net device info:[%s]", record->devInfo);
    record->socket = -1;
    record->transportKind = QV_TRANSPORT_NETWORK;

    if (!GetTextValue(text, "Ip Address=", record->ipAddress, sizeof record->ipAddress)) return false;
    QV_LOG("ip=%s\n", record->ipAddress);
    char port[kPortField];
    if (!GetTextValue(text, "Tcp Port Number=", port, sizeof port)) return false;
    record->tcpPort = PortNumber(port);
    QV_LOG("nPort=%d\n", record->tcpPort);
    if (!GetTextValue(text, "Serial Number=", record->serialNumber, sizeof record->serialNumber)) return false;
    QV_LOG("number=%s\n", record->serialNumber);
    if (!GetTextValue(text, "MAC Address=", record->macAddress, sizeof record->macAddress)) return false;
    QV_LOG("mac=%s\n", record->macAddress);
    if (!GetTextValue(text, "SubNetmask=", record->subNetmask, sizeof record->subNetmask)) return false;
    QV_LOG("SubNetmask=%s\n", record->subNetmask);
    if (!GetTextValue(text, "Gateway Address=", record->gatewayAddress, sizeof record->gatewayAddress)) return false;
    QV_LOG("Gateway=%s\n", record->gatewayAddress);
    return true;
}

}  // namespace qv
