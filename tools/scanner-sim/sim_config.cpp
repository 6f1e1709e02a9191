#include "sim_config.h"

#include <cctype>
#include <optional>
#include <vector>

namespace qvsim {

namespace {

const char* const kKeys[] = {"com",     "baud",  "stop", "driver", "id",    "base",  "product",
                             "probe",   "old",   "mode", "hidfd",  "rawfd", "prn",   "cpn"};

bool parse_flag(std::string_view text, bool& out) {
    if (text == "0") { out = false; return true; }
    if (text == "1") { out = true; return true; }
    return false;
}

// The driver word ends up inside the declaration line, whose separators are
// ';', '=', ':' and ','.
bool valid_driver(std::string_view word) {
    if (word.empty()) return false;
    for (char c : word) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isspace(u) || !std::isprint(u) || c == ';' || c == ':' || c == '=' || c == ',') return false;
    }
    return true;
}

}  // namespace

bool parse_uint(std::string_view text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

bool parse_com(std::string_view text, int& out) {
    if (text.size() > 3 && (text.substr(0, 3) == "com" || text.substr(0, 3) == "COM")) text.remove_prefix(3);
    uint64_t v = 0;
    if (!parse_uint(text, 255, v) || v == 0) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_mode(std::string_view text, Mode& out) {
    if (text == "normal") { out = Mode::normal; return true; }
    if (text == "silent") { out = Mode::silent; return true; }
    if (text == "garbage") { out = Mode::garbage; return true; }
    return false;
}

const char* mode_name(Mode mode) {
    switch (mode) {
        case Mode::normal: return "normal";
        case Mode::silent: return "silent";
        case Mode::garbage: return "garbage";
    }
    return "?";
}

bool parse_status(std::string_view text, Status& out) {
    if (text == "ack") { out = Status::ack; return true; }
    if (text == "nak") { out = Status::nak; return true; }
    if (text == "enq") { out = Status::enq; return true; }
    if (text == "silent") { out = Status::silent; return true; }
    return false;
}

bool is_port_key(std::string_view key) {
    for (const char* k : kKeys)
        if (key == k) return true;
    return false;
}

bool split_settings(std::string_view text, bool (*is_known_key)(std::string_view), KeyValues& pairs,
                    std::string& error) {
    // Split into key=value pairs, gluing unkeyed pieces back onto the previous value.
    pairs.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string_view::npos) comma = text.size();
        std::string_view piece = text.substr(pos, comma - pos);
        size_t eq = piece.find('=');
        if (eq != std::string_view::npos && is_known_key(piece.substr(0, eq))) {
            pairs.emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
        } else if (!pairs.empty()) {
            pairs.back().second += ',';
            pairs.back().second += piece;
        } else {
            error = "port settings must start with key=value: '" + std::string(text) + "'";
            return false;
        }
        pos = comma + 1;
    }
    return true;
}

bool parse_port_settings(std::string_view text, PortConfig& out, std::string& error) {
    KeyValues pairs;
    return split_settings(text, is_port_key, pairs, error) && apply_port_settings(pairs, out, error);
}

bool apply_port_settings(const KeyValues& pairs, PortConfig& out, std::string& error) {
    PortConfig cfg;
    std::optional<std::string> id, base;
    bool have_com = false;
    for (const auto& [key, value] : pairs) {
        uint64_t n = 0;
        if (key == "com") {
            if (!parse_com(value, cfg.com)) { error = "bad com number '" + value + "'"; return false; }
            have_com = true;
        } else if (key == "baud") {
            if (!parse_uint(value, 100000000, n) || n == 0) { error = "bad baud '" + value + "'"; return false; }
            cfg.baud = static_cast<uint32_t>(n);
        } else if (key == "stop") {
            if (value != "1" && value != "2") { error = "stop must be 1 or 2"; return false; }
            cfg.stop = value == "1" ? 1 : 2;
        } else if (key == "driver") {
            if (!valid_driver(value)) { error = "bad driver word '" + value + "'"; return false; }
            cfg.driver = value;
        } else if (key == "id") {
            id = value;
        } else if (key == "base") {
            base = value;
        } else if (key == "product") {
            cfg.product = value;
        } else if (key == "probe") {
            if (!parse_flag(value, cfg.probe)) { error = "probe must be 0 or 1"; return false; }
        } else if (key == "old") {
            if (!parse_flag(value, cfg.old)) { error = "old must be 0 or 1"; return false; }
        } else if (key == "hidfd") {
            if (!parse_uint(value, 1 << 20, n) || n < 3) { error = "bad hid descriptor '" + value + "'"; return false; }
            cfg.hid_fd = static_cast<int>(n);
        } else if (key == "rawfd") {
            if (!parse_uint(value, 1 << 20, n) || n < 3) { error = "bad raw descriptor '" + value + "'"; return false; }
            cfg.raw_fd = static_cast<int>(n);
        } else if (key == "mode") {
            if (!parse_mode(value, cfg.mode)) { error = "mode must be normal, silent or garbage"; return false; }
        } else if (key == "prn") {
            cfg.prn = value;
        } else if (key == "cpn") {
            cfg.cpn = value;
        }
    }
    if (!have_com) { error = "port settings without com=<N>"; return false; }
    const std::string n = std::to_string(cfg.com);
    cfg.id = id ? *id : "QuorviaSim Scanner,SN:SIM" + n + ",FW:1.00";
    cfg.base = base ? *base : "BASE:SIM" + n + ",HW:2.0";
    out = std::move(cfg);
    return true;
}

std::string to_hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        s += digits[u >> 4];
        s += digits[u & 0x0F];
    }
    return s;
}

bool from_hex(std::string_view text, std::string& out) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (high >= 0) return false;  // whitespace only between digit pairs
            continue;
        }
        int v = value(c);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            bytes += static_cast<char>((high << 4) | v);
            high = -1;
        }
    }
    if (high >= 0) return false;
    out = std::move(bytes);
    return true;
}

}  // namespace qvsim
