#include "engine/settings_text.h"

#include <cstdint>

#include "engine/stream_splitter.h"

namespace qv {
namespace {

constexpr std::string_view kDfmadd = "DFMADD";
constexpr std::string_view kProductName = "Product Name: ";
constexpr size_t kNameLength = 6;
constexpr size_t kShortestElement = kNameLength + 1;

// One element of at least kShortestElement characters: its record, and the
// empty "DFMADD" record after a DFMADD element.
void AddElement(std::string_view element, std::vector<SettingRecord>& out) {
    const std::string_view name = element.substr(0, kNameLength);
    std::string_view value = element.substr(kNameLength);
    if (IsStatusByte(static_cast<uint8_t>(value.back()))) value.remove_suffix(1);
    if (!value.empty()) out.push_back({std::string(name), std::string(value)});
    if (name == kDfmadd) out.push_back({std::string(name), std::string()});
}

}  // namespace

std::vector<std::string_view> SplitText(std::string_view text, char separator, bool finalEmpty) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        if (at == std::string_view::npos) break;
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    if (finalEmpty || start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

std::vector<SettingRecord> ParseSettings(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::vector<std::string_view> items = SplitText(text, ';', false);
    if (!items.empty()) items.pop_back();  // the frame's end byte, or a cut item

    std::vector<SettingRecord> out;
    for (std::string_view item : items) {
        const std::vector<std::string_view> elements = SplitText(item, ',', false);
        const std::string_view first = elements.empty() ? std::string_view() : elements.front();
        if (first.size() < kShortestElement) break;
        AddElement(first, out);
        const std::string_view prefix = first.substr(0, 3);
        std::string grouped;
        for (size_t i = 1; i < elements.size(); ++i) {
            grouped.assign(prefix);
            grouped.append(elements[i]);
            if (grouped.size() < kShortestElement) continue;  // no name and value to read
            AddElement(grouped, out);
        }
    }
    return out;
}

std::string ProductNameFromReply(std::string_view reply) {
    const size_t at = reply.find(kProductName);
    if (at == std::string_view::npos) return std::string();
    size_t end = reply.size();
    // A whole frame ends with status byte, ';' and 03: not part of any line.
    if (end >= 3 && reply[end - 1] == '\x03' && reply[end - 2] == ';' &&
        IsStatusByte(static_cast<uint8_t>(reply[end - 3]))) {
        end -= 3;
    }
    const size_t start = at + kProductName.size();
    if (start >= end) return std::string();
    const size_t lineEnd = reply.substr(0, end).find("\r\n", start);
    return std::string(reply.substr(start, (lineEnd == std::string_view::npos ? end : lineEnd) - start));
}

std::string DfmqcuValueFromReply(std::string_view reply) {
    const size_t at = reply.find("DFMQCU");
    if (at == std::string_view::npos || reply.size() < 16) return std::string();
    const size_t start = at + 6;
    const size_t most = reply.size() - 16;
    return std::string(reply.substr(start, std::min(most, reply.size() - start)));
}

std::vector<std::string> RefusedCommandNames(std::string_view reply) {
    std::vector<std::string> names;
    size_t pos = reply.size();
    while (pos > 1) {
        --pos;
        if (reply[pos] != ';' || static_cast<uint8_t>(reply[pos - 1]) == 0x06) continue;
        // A refused command ends at its status byte reply[pos - 1]; its start
        // is the byte after the nearest ';' or '@' at or before that byte.
        size_t delimiter = pos - 1;
        while (reply[delimiter] != ';' && reply[delimiter] != '@') {
            if (delimiter == 0) return names;
            --delimiter;
        }
        const size_t nameStart = delimiter + 1;
        const size_t statusAt = pos - 1;
        const size_t length = nameStart < statusAt ? std::min<size_t>(6, statusAt - nameStart) : 0;
        names.emplace_back(reply.substr(nameStart, length));
        if (reply[delimiter] == '@') break;
        pos = delimiter + 1;  // the found ';' is examined next
    }
    return names;
}

}  // namespace qv
