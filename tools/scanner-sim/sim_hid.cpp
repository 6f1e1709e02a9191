#include "sim_hid.h"

#include <algorithm>

namespace qvsim {

void HidReportReader::feed(std::string_view data, std::string& payload) {
    partial_.append(data);
    size_t pos = 0;
    while (partial_.size() - pos >= kHidReportSize) {
        const std::string_view report(partial_.data() + pos, kHidReportSize);
        pos += kHidReportSize;
        const auto length = static_cast<uint8_t>(report[1]);
        if (report[0] != 0x04 || length > kHidOutPayload) {
            ++bad_;
            continue;
        }
        payload.append(report.substr(2, length));
    }
    partial_.erase(0, pos);
}

std::string hid_input_reports(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + kHidInPayload - 1) / kHidInPayload * kHidReportSize);
    while (!bytes.empty()) {
        const size_t n = std::min(bytes.size(), kHidInPayload);
        std::string report(kHidReportSize, '\0');
        report[0] = 0x02;
        report[1] = static_cast<char>(n);
        report.replace(2, n, bytes.substr(0, n));
        out += report;
        bytes.remove_prefix(n);
    }
    return out;
}

}  // namespace qvsim
