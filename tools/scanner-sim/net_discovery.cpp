#include "net_discovery.h"

#include <cstring>

namespace qvsim {
namespace {

constexpr char kMagic[] = "QVSCAN";
constexpr uint8_t kVersion = 0x10;
constexpr size_t kHeader = 12;

std::string item(std::string_view key, std::string_view value) {
    std::string s(key);
    s += value;
    s += ';';
    return s;
}

}  // namespace

std::string net_datagram(uint8_t type, std::string_view text) {
    std::string d(kMagic, 6);
    d += static_cast<char>(kVersion);
    d += static_cast<char>(type);
    const uint32_t n = static_cast<uint32_t>(text.size());
    for (int shift = 24; shift >= 0; shift -= 8) d += static_cast<char>((n >> shift) & 0xFF);
    d += text;
    return d;
}

bool parse_net_datagram(std::string_view bytes, NetMessage& out) {
    if (bytes.size() < kHeader || bytes.substr(0, 6) != std::string_view(kMagic, 6) ||
        static_cast<uint8_t>(bytes[6]) != kVersion) {
        return false;
    }
    uint32_t n = 0;
    for (size_t i = 8; i < 12; ++i) n = (n << 8) | static_cast<uint8_t>(bytes[i]);
    if (n > bytes.size() - kHeader) return false;
    out.type = static_cast<uint8_t>(bytes[7]);
    out.text.assign(bytes.substr(kHeader, n));
    return true;
}

std::optional<std::string> item_value(std::string_view text, std::string_view key) {
    const size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    const size_t end = text.find(';', at + key.size());
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(text.substr(at + key.size(), end - at - key.size()));
}

uint16_t answer_port(std::string_view query_text) {
    const std::optional<std::string> v = item_value(query_text, "Answer Port=");
    if (!v || v->empty() || v->size() > 5) return kDefaultAnswerPort;
    uint32_t port = 0;
    for (char c : *v) {
        if (c < '0' || c > '9') return kDefaultAnswerPort;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    return port >= 1 && port <= 65535 ? static_cast<uint16_t>(port) : kDefaultAnswerPort;
}

std::string first_reply_text(const NetIdentity& id) {
    if (id.first_text) return *id.first_text;
    std::string t = item("Device Name=", id.name) + item("Serial Number=", id.serial) + item("MAC Address=", id.mac) +
                    item("Supp Gr=", std::to_string(id.supp_gr)) + item("Ip Address=", id.ip);
    // A scanner that sends a second reply keeps the rest of its items for it.
    if (id.supp_gr == 0) {
        t += item("Tcp Port Number=", std::to_string(id.tcp_port)) + item("SubNetmask=", id.mask) +
             item("Gateway Address=", id.gateway);
    }
    return t;
}

std::string second_reply_text(const NetIdentity& id) {
    if (id.second_text) return *id.second_text;
    return item("Serial Number=", id.serial) + item("MAC Address=", id.mac) +
           item("Tcp Port Number=", std::to_string(id.tcp_port)) + item("SubNetmask=", id.mask) +
           item("Gateway Address=", id.gateway) + item("Firmware=", "QVSIM-NET 1.0");
}

std::vector<std::string> answer_query(const NetIdentity& id) {
    std::vector<std::string> out;
    if (!id.discoverable) return out;
    for (int i = 0; i < id.answers; ++i) {
        if (!id.raw_answers.empty()) {
            out.insert(out.end(), id.raw_answers.begin(), id.raw_answers.end());
            continue;
        }
        out.push_back(net_datagram(static_cast<uint8_t>(id.reply_type), first_reply_text(id)));
        if (id.supp_gr != 0 && id.second) out.push_back(net_datagram(kMsgSecondReply, second_reply_text(id)));
    }
    return out;
}

std::optional<std::string> answer_config(NetIdentity& id, const NetMessage& request) {
    if (request.type != kMsgConfig && request.type != kMsgConfigMode1) return std::nullopt;
    if (item_value(request.text, "Serial Number=") != id.serial || item_value(request.text, "MAC Address=") != id.mac) {
        return std::nullopt;
    }
    const auto dhcp = item_value(request.text, "Device Use DHCP=");
    const auto ip = item_value(request.text, "Device IP Address=");
    const auto mask = item_value(request.text, "Device SubNetmask=");
    const auto gateway = item_value(request.text, "Device Gateway Address=");
    const bool complete = dhcp && ip && mask && gateway && (*dhcp == "0" || *dhcp == "1");
    std::string text = item("Serial Number=", id.serial) + item("MAC Address=", id.mac);
    if (complete) {
        ++id.configured;
        id.dhcp = *dhcp;
        id.device_ip = *ip;
        id.device_mask = *mask;
        id.device_gateway = *gateway;
        text += item("Config Result=", "OK") + item("Device Use DHCP=", id.dhcp) +
                item("Device IP Address=", id.device_ip) + item("Device SubNetmask=", id.device_mask) +
                item("Device Gateway Address=", id.device_gateway);
    } else {
        text += item("Config Result=", "Error");
    }
    return net_datagram(request.type == kMsgConfigMode1 ? kMsgConfigReplyMode1 : kMsgConfigReply, text);
}

}  // namespace qvsim
