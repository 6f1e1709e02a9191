// The datagrams of network discovery and network configuration, and the item
// texts they carry ("Key=value;" items). Pure code: bytes in, bytes out.
//
// Datagram: "QVSCAN", 0x10, the message type, the payload length (unsigned
// 32-bit big-endian), the payload text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

constexpr size_t kDatagramHeaderSize = 12;
constexpr size_t kMaxDatagramSize = 4096;
constexpr size_t kMaxRequestPayload = kMaxDatagramSize - kDatagramHeaderSize;  // 4084
constexpr uint8_t kDatagramVersion = 0x10;

// UDP ports: scanners listen for queries and requests on the first and send
// their replies to the second.
constexpr uint16_t kDiscoveryPort = 36510;
constexpr uint16_t kAnswerPort = 36511;

enum DatagramType : uint8_t {
    kTypeQuery = 0x30,              // discovery query, library -> broadcast
    kTypeReply1 = 0x31,             // discovery reply ('1')
    kTypeReply2 = 0x32,             // discovery reply ('2')
    kTypeSecondReply = 0x3A,        // second discovery reply (':')
    kTypeConfigRequest = 0x10,      // configuration request, any mode but 1
    kTypeConfigRequestMode1 = 0x40, // configuration request, mode 1
    kTypeConfigReply = 0x11,        // configuration replies: either is accepted
    kTypeConfigReplyMode1 = 0x41,
};

// The discovery query's payload (18 bytes): the whole query is 30 bytes.
extern const char kQueryPayload[];

// Builds a datagram. False (nothing built) when the payload is longer than
// kMaxRequestPayload.
bool BuildDatagram(uint8_t type, const char* payload, size_t length, std::vector<char>* out);

// A received datagram is accepted when it is longer than 11 bytes and starts
// with the magic and 0x10; the length field is ignored and the text is every
// byte from offset 12 up to the first zero byte. False for anything else.
bool ParseDatagram(const char* data, size_t length, uint8_t* type, std::string* text);

// Result of looking a key up in an item text.
enum class TextLookup {
    kFound,
    kKeyMissing,   // the key does not occur
    kNoSemicolon,  // the key occurs but its value has no closing ';'
};

// The value of `key` (which includes its '='): the text after the key's first
// occurrence up to, not including, the next ';'. Sets *value only when found.
TextLookup FindTextValue(std::string_view text, std::string_view key, std::string_view* value);

// FindTextValue into a fixed field: at most capacity - 1 bytes and a zero
// byte (a longer value is cut). A missing key logs "Find not %s\n", a value
// without ';' logs "Find not ;\n"; both leave an empty text and give false.
bool GetTextValue(std::string_view text, const char* key, char* out, size_t capacity);

// The text without the item of `key`: from the key's first occurrence to the
// first ';' after it, inclusive (to the end when there is none). Unchanged
// when the key does not occur.
std::string RemoveKeyValue(std::string_view text, std::string_view key);

// True when both texts carry "Serial Number=" and "MAC Address=" values and
// both values are equal; texts lacking either key never match.
bool SameScanner(std::string_view a, std::string_view b);

}  // namespace qv
