// Device side of network discovery and network configuration: the datagrams a
// network scanner receives on UDP port 36510 and the replies it sends back.
// Pure code, no I/O.
//
// Datagram: "QVSCAN", 0x10, the message type, the payload length (32-bit
// big-endian), the payload: text items "Key=value;".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

inline constexpr uint16_t kQueryPort = 36510;        // scanners listen here
inline constexpr uint16_t kDefaultAnswerPort = 36511; // replies go here unless the query names a port

inline constexpr uint8_t kMsgQuery = 0x30;
inline constexpr uint8_t kMsgSecondReply = 0x3A;
inline constexpr uint8_t kMsgConfig = 0x10;
inline constexpr uint8_t kMsgConfigMode1 = 0x40;
inline constexpr uint8_t kMsgConfigReply = 0x11;
inline constexpr uint8_t kMsgConfigReplyMode1 = 0x41;

// What a network scanner says about itself, how it answers, and the settings
// configuration requests gave it.
struct NetIdentity {
    int number = 0;
    std::string name;
    std::string serial;
    std::string mac;
    std::string ip = "127.0.0.1";
    std::string mask = "255.0.0.0";
    std::string gateway = "127.0.0.1";
    uint16_t tcp_port = 0;
    int supp_gr = 0;           // non-zero: the first reply announces a second one
    bool second = true;        // the second reply is sent (when announced)
    char reply_type = '1';     // type of the first reply: '1' or '2'
    int answers = 1;           // how many times each query is answered
    bool discoverable = true;  // answers queries at all
    bool unicast = false;      // replies to the sender instead of by broadcast
    // Replacements for the generated reply texts, and raw datagrams that
    // answer each query instead of the replies (for malformed input).
    std::optional<std::string> first_text;
    std::optional<std::string> second_text;
    std::vector<std::string> raw_answers;

    // Applied by configuration requests.
    int configured = 0;
    std::string dhcp;
    std::string device_ip;
    std::string device_mask;
    std::string device_gateway;
};

struct NetMessage {
    uint8_t type = 0;
    std::string text;
};

std::string net_datagram(uint8_t type, std::string_view text);

// A complete datagram: the magic, 0x10, a length that the bytes hold. The
// text is the payload as given by the length.
bool parse_net_datagram(std::string_view bytes, NetMessage& out);

// The value of `key` (with its '='): up to the next ';'. nullopt when the key
// or the ';' is missing.
std::optional<std::string> item_value(std::string_view text, std::string_view key);

// The port a query asks the replies to go to ("Answer Port="), or the default.
uint16_t answer_port(std::string_view query_text);

std::string first_reply_text(const NetIdentity& id);
std::string second_reply_text(const NetIdentity& id);

// The datagrams that answer one query, in order.
std::vector<std::string> answer_query(const NetIdentity& id);

// A configuration request addressed to this scanner ("Serial Number=" and
// "MAC Address=" are its own) is applied and answered (type 0x41 for a mode-1
// request, else 0x11); nullopt for a request meant for another scanner.
std::optional<std::string> answer_config(NetIdentity& id, const NetMessage& request);

}  // namespace qvsim
