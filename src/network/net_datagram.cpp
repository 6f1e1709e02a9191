#include "network/net_datagram.h"

#include <cstring>

#include "core/log.h"

namespace qv {
namespace {

constexpr char kMagic[6] = {'Q', 'V', 'S', 'C', 'A', 'N'};
constexpr std::string_view kSerialKey = "Serial Number=";
constexpr std::string_view kMacKey = "MAC Address=";

}  // namespace

const char kQueryPayload[] = "Answer Port=36511;";

bool BuildDatagram(uint8_t type, const char* payload, size_t length, std::vector<char>* out) {
    if (length > kMaxRequestPayload || (payload == nullptr && length != 0)) return false;
    out->assign(kDatagramHeaderSize + length, '\0');
    std::memcpy(out->data(), kMagic, sizeof kMagic);
    (*out)[6] = static_cast<char>(kDatagramVersion);
    (*out)[7] = static_cast<char>(type);
    const uint32_t n = static_cast<uint32_t>(length);
    (*out)[8] = static_cast<char>(n >> 24);
    (*out)[9] = static_cast<char>(n >> 16);
    (*out)[10] = static_cast<char>(n >> 8);
    (*out)[11] = static_cast<char>(n);
    if (length != 0) std::memcpy(out->data() + kDatagramHeaderSize, payload, length);
    return true;
}

bool ParseDatagram(const char* data, size_t length, uint8_t* type, std::string* text) {
    if (data == nullptr || length < kDatagramHeaderSize) return false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0 || static_cast<uint8_t>(data[6]) != kDatagramVersion) {
        return false;
    }
    *type = static_cast<uint8_t>(data[7]);
    const char* body = data + kDatagramHeaderSize;
    text->assign(body, strnlen(body, length - kDatagramHeaderSize));
    return true;
}

TextLookup FindTextValue(std::string_view text, std::string_view key, std::string_view* value) {
    if (key.empty()) return TextLookup::kKeyMissing;
    const size_t at = text.find(key);
    if (at == std::string_view::npos) return TextLookup::kKeyMissing;
    const size_t start = at + key.size();
    const size_t end = text.find(';', start);
    if (end == std::string_view::npos) return TextLookup::kNoSemicolon;
    *value = text.substr(start, end - start);
    return TextLookup::kFound;
}

bool GetTextValue(std::string_view text, const char* key, char* out, size_t capacity) {
    if (capacity == 0) return false;
    out[0] = '\0';
    std::string_view value;
    switch (FindTextValue(text, key, &value)) {
        case TextLookup::kKeyMissing:
            QV_LOG("Find not %s\n", key);
            return false;
        case TextLookup::kNoSemicolon:
            QV_LOG("Find not ;\n");
            return false;
        case TextLookup::kFound:
            break;
    }
    const size_t take = value.size() < capacity - 1 ? value.size() : capacity - 1;
    if (take != 0) std::memcpy(out, value.data(), take);
    out[take] = '\0';
    return true;
}

std::string RemoveKeyValue(std::string_view text, std::string_view key) {
    std::string out(text);
    if (key.empty()) return out;
    const size_t at = out.find(key);
    if (at == std::string::npos) return out;
    const size_t semicolon = out.find(';', at + key.size());
    out.erase(at, semicolon == std::string::npos ? std::string::npos : semicolon + 1 - at);
    return out;
}

bool SameScanner(std::string_view a, std::string_view b) {
    std::string_view serialA, serialB, macA, macB;
    return FindTextValue(a, kSerialKey, &serialA) == TextLookup::kFound &&
           FindTextValue(b, kSerialKey, &serialB) == TextLookup::kFound &&
           FindTextValue(a, kMacKey, &macA) == TextLookup::kFound &&
           FindTextValue(b, kMacKey, &macB) == TextLookup::kFound && serialA == serialB && macA == macB;
}

}  // namespace qv
