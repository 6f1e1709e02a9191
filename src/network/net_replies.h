// What discovery makes of the scanners' reply texts: the list of discovered
// scanners (duplicates dropped, a scanner that announces a second reply held
// back until that reply arrives and merged with it), and device records
// filled from the texts. Pure code; the caller holds the lock of the lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quorvia.h"

namespace qv {

// First reply of a scanner that announced a second reply ("Supp Gr=" not 0).
struct PendingReply {
    uint8_t matched = 0;  // 0 = waiting for its second reply, 1 = merged
    char text[4096] = {}; // the first reply text, cut to 4095 bytes
};
static_assert(sizeof(PendingReply) == 4097, "a pending reply is a flag and a 4096-byte text");

enum class ReplyOutcome {
    kListed,           // appended to the list
    kDuplicate,        // the scanner is listed or pending already
    kPending,          // held back for its second reply
    kMerged,           // a second reply completed a pending first reply
    kUnmatchedSecond,  // a second reply that no pending first reply waits for
};

// A first discovery reply (type '1' or '2').
ReplyOutcome AcceptFirstReply(std::string_view text, std::vector<std::string>& netDev,
                              std::vector<PendingReply>& pending);

// A second discovery reply (type ':'): completes the first pending entry of
// the same scanner; the merged text is the first reply followed directly by
// the second one without its "Serial Number=" and "MAC Address=" items.
ReplyOutcome AcceptSecondReply(std::string_view text, std::vector<std::string>& netDev,
                               std::vector<PendingReply>& pending);

// Fills a zeroed record from a reply text: devInfo (the text), ipAddress,
// tcpPort, serialNumber, macAddress, subNetmask, gatewayAddress, socket -1,
// transport kind network. Texts longer than their field are cut to it with a
// zero byte; a port that is not a decimal number from 0 to 65535 gives 0.
// False when one of the six keys is missing (the record is then unusable).
bool FillNetDeviceRecord(std::string_view text, T_DevicesInfo* record);

}  // namespace qv
