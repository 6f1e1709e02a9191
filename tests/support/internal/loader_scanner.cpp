#include "loader_scanner.h"

namespace qvtest {

std::string LoaderScanner::Feed(std::string_view bytes, uint32_t hostBaud) {
    std::string out;
    const auto now = std::chrono::steady_clock::now();
    if (loader_.active()) {
        if (auto d = loader_.deadline(); d && now >= *d) loader_.poll(now);
    }
    if (loader_.active()) {
        const qvsim::LoaderOutput o =
            loader_.feed(bytes, hostBaud == 0 ? std::nullopt : std::optional<uint32_t>(hostBaud), 1, now);
        return o.reply;
    }
    Application(bytes, hostBaud, out);
    return out;
}

void LoaderScanner::Application(std::string_view bytes, uint32_t hostBaud, std::string& out) {
    if (appBaud_ != 0 && hostBaud != appBaud_) return;  // not heard
    for (char c : bytes) {
        if (switchBuf_.empty()) {
            if (c == '?') out += '!';
            if (static_cast<uint8_t>(c) == 0x7E) switchBuf_ = c;
            continue;
        }
        switchBuf_ += c;
        if (switchBuf_.size() < 4) continue;
        const size_t want = 4 + static_cast<uint8_t>(switchBuf_[3]) + 1;
        if (switchBuf_.size() < want) continue;
        const auto sw = qvsim::parse_switch_frame(switchBuf_);
        switchBuf_.clear();
        if (!sw) continue;
        loader_.note(qvsim::switch_frame_name(*sw));
        if (ignored_ && *ignored_ == *sw) continue;
        out += '\x06';
        if (*sw == qvsim::SwitchFrame::block) {
            loader_.enter(hostBaud, true);
        } else {
            loader_.enter(hostBaud == 0 ? 0 : 9600, false);
        }
        return;  // what follows goes to the loader
    }
}

}  // namespace qvtest
