// Configuration of one simulated scanner and the small text helpers the
// simulator uses for its command line and control channel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvsim {

// How a scanner reacts to what it receives.
enum class Mode {
    normal,   // answers as a working scanner does
    silent,   // answers nothing at all
    garbage,  // answers with random bytes that never contain 0x02 nor '!'
};

// Status byte a scripted command is answered with; `silent` suppresses the
// whole response frame.
enum class Status { ack, nak, enq, silent };

inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;
inline constexpr char kEnq = 0x05;

struct PortConfig {
    int com = 0;
    uint32_t baud = 115200;
    int stop = 1;
    std::string driver = "serial";
    std::string id;    // value answered after QRYSYS
    std::string base;  // value answered after BASQSY
    std::string product;  // when set, QRYSYS answers "Product Name: <product>\r\n" before the id
    bool probe = true; // answer the '?' presence probe
    bool old = false;  // older-protocol scanner
    Mode mode = Mode::normal;
    // The scanner sits behind a fake HID node instead of a pty of its own: the
    // inherited descriptor of the node's other side, over which it speaks
    // 64-byte reports (-1: a pty port).
    int hid_fd = -1;
    // The scanner sits behind a fake vendor-driver device: the inherited
    // descriptor carries the bytes of its bulk endpoints as they are (-1: none).
    int raw_fd = -1;
    std::string prn;   // value answered after PRNQRY (firmware package check)
    std::string cpn;   // value answered after CPNQRY
};

// Parses "com=3,baud=9600,stop=2,driver=usb,id=...,base=...,product=...,probe=0,old=1,mode=silent,prn=...,cpn=...".
// Values may contain commas: a comma-separated piece that does not start with
// a known key and '=' is appended to the previous value, so the default style
// of identity string ("Name,SN:x,FW:y") can be given as is.
bool parse_port_settings(std::string_view text, PortConfig& out, std::string& error);

// The pieces of parse_port_settings, for settings texts that add keys of their own.
using KeyValues = std::vector<std::pair<std::string, std::string>>;
bool is_port_key(std::string_view key);
bool split_settings(std::string_view text, bool (*is_known_key)(std::string_view), KeyValues& pairs,
                    std::string& error);
// Applies pairs whose keys are port keys (com= among them) to a fresh config.
bool apply_port_settings(const KeyValues& pairs, PortConfig& out, std::string& error);

bool parse_mode(std::string_view text, Mode& out);
bool parse_status(std::string_view text, Status& out);
const char* mode_name(Mode mode);

// Decimal number without sign, at most `max`.
bool parse_uint(std::string_view text, uint64_t max, uint64_t& out);
// COM number given as "3", "com3" or "COM3".
bool parse_com(std::string_view text, int& out);

// Upper-case hex, no separators.
std::string to_hex(std::string_view bytes);
// Hex digits, whitespace between digit pairs allowed; an even digit count is required.
bool from_hex(std::string_view text, std::string& out);

}  // namespace qvsim
