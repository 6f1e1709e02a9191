// The scanner's settings as it reports them, and the replies of the
// configuration exchanges: pure text handling, no device.
//
// The settings text (the reply to "@*" from the byte after the kind byte on)
// is a list of items separated by ';'. An item is a six-character command
// name, its value and the item's status byte. An item may group several
// settings separated by ',': the first element carries a whole name, each
// further element only the last three characters of its name (the first three
// are the first element's). Devices write the status byte either after every
// element of a group or only after its last one; both read the same here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// One setting: a six-character name and its value text.
struct SettingRecord {
    std::string name;
    std::string value;
    bool operator==(const SettingRecord&) const = default;
};

// Longest reply to "@*" that is collected, and the longest settings text.
constexpr size_t kSettingsReplyCapacity = 819200;
constexpr size_t kSettingsTextCapacity = kSettingsReplyCapacity - 7;

// The pieces of `text` between separators, empty ones included; a final empty
// piece (after a separator at the end, or of an empty text) only with `finalEmpty`.
std::vector<std::string_view> SplitText(std::string_view text, char separator, bool finalEmpty);

// The settings of a settings text, in reply order. The text ends at its first
// zero byte. The piece after the last ';' is never read (in a whole reply it
// is the frame's end byte; in a cut one, a partial item). An element shorter
// than seven characters ends the parse when it is an item's first element and
// is skipped inside a group; an element's last character is dropped only when
// it is a status byte (05, 06, 15). Settings with an empty value are left out,
// except that every "DFMADD" element also yields a "DFMADD" record with an
// empty value (its value is the calibration data, read separately).
std::vector<SettingRecord> ParseSettings(std::string_view text);

// The product name in a reply to QRYSYS: the text after "Product Name: " up to
// the end of its line ("\r\n") or of the reply text (the frame's status byte,
// ';' and end byte are not part of it). Empty when the reply names no product.
std::string ProductNameFromReply(std::string_view reply);

// The value in a reply to DFMQCU: the text after the first "DFMQCU", at most
// the reply length less 16 bytes (prefix 6, kind byte, the word, status byte,
// ';', end byte). Empty when the word is missing.
std::string DfmqcuValueFromReply(std::string_view reply);

// The names of the commands a device refused in its reply to a batch: each
// ';' whose preceding byte is not ACK (06) ends a refused command, whose name
// is the (at most six) characters after the nearest ';' or '@' before it, and
// not past its status byte. Scanned from the end towards the batch's '@', so
// the names come last command first.
std::vector<std::string> RefusedCommandNames(std::string_view reply);

}  // namespace qv
