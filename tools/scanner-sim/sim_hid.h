// The scanner's side of the HID report framing: what the host writes comes as
// 64-byte output reports (0x04, payload length up to 56, payload, zero
// padding, a "more reports follow" flag in byte 63); what the scanner sends
// goes out as 64-byte input reports (0x02, payload length up to 62, payload,
// zero padding). Pure code, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvsim {

inline constexpr size_t kHidReportSize = 64;
inline constexpr size_t kHidInPayload = 62;
inline constexpr size_t kHidOutPayload = 56;

// Collects output reports from the bytes read on the node (a report may come
// in pieces) and appends the payload of each complete one to `payload`. A
// report with another first byte or a length above 56 is dropped and counted.
class HidReportReader {
public:
    void feed(std::string_view data, std::string& payload);
    void reset() { partial_.clear(); }
    uint64_t bad_reports() const { return bad_; }

private:
    std::string partial_;
    uint64_t bad_ = 0;
};

// The input reports that carry `bytes` (none for no bytes).
std::string hid_input_reports(std::string_view bytes);

}  // namespace qvsim
