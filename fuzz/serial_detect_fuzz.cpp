// COM-port detection: what the library makes of the bytes a port answers and
// of the driver names the port list gives.
//
// Input: [selector] [...]; selector % 3 picks one of three parts.
//   0  reply checks: the rest is one reply, in a buffer of exactly its size;
//      the framed-query classification and the older-protocol header are
//      compared with plain references.
//   1  port rows: [mode byte] then lines "<COM number> <device name>" (a line
//      without a leading number gets its line number + 1); the rows filled
//      for the mode (-2, -1 or the byte as a signed value) are compared with a
//      reference classification, into a table of exactly 255 rows.
//   2  the probe of one row against a scripted port: [options] [kind]
//      [SetLine call that fails] [write that fails] [open result] and then
//      replies, each a length byte and that many bytes: the first is waiting
//      when the port opens, each later one answers one write. The row must
//      come out consistent with what the port answered.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "platform/serial_port.h"
#include "portstream/serial_detect.h"
#include "portstream/serial_detect_internal.h"

namespace sd = qv::serialdetect;

namespace {

const uint8_t kAnswer[14] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40, 0x5F, 0x5F, 0x5F, 0x3F, 0x05, 0x3B, 0x03};
const uint8_t kQuery[13] = {0x7E, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40, 0x5F, 0x5F, 0x5F, 0x3F, 0x3B, 0x03};
const uint8_t kOld[10] = {0x7E, 0x00, 0x00, 0x05, 0x33, 0x48, 0x30, 0x34, 0x30, 0xB5};
const uint32_t kRates[] = {115200, 9600, 57600, 38400, 19200, 14400, 4800, 2400, 1200};

// ------------------------------------------------------------------ replies

sd::FramedReply ReferenceFramed(const std::string& r) {
    if (r.empty()) return sd::FramedReply::kNone;
    if (r == "!" || r == std::string("\x15!", 2)) return sd::FramedReply::kOldProtocol;
    if (r == std::string(reinterpret_cast<const char*>(kAnswer), sizeof kAnswer)) return sd::FramedReply::kMatch;
    return sd::FramedReply::kOther;
}

int32_t ReferenceOldFollowing(const std::string& r) {
    if (r.size() != 4 || r[0] != 0x02 || r[1] != 0x00) return -1;
    return static_cast<int32_t>(static_cast<uint8_t>(r[2]) * 256 + static_cast<uint8_t>(r[3])) + 1;
}

void CheckReply(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);  // exactly the reply: nothing beyond it is readable
    std::memcpy(buf.get(), data, size);
    const std::string r(reinterpret_cast<const char*>(data), size);
    QV_FUZZ_CHECK(sd::ClassifyFramedReply(buf.get(), size) == ReferenceFramed(r), "framed reply of %zu bytes",
                  size);
    const int32_t following = sd::OldReplyFollowing(buf.get(), size);
    QV_FUZZ_CHECK(following == ReferenceOldFollowing(r), "older header of %zu bytes: %d", size, following);
    QV_FUZZ_CHECK(following == -1 || (following >= 1 && following <= 65536), "following %d", following);
}

// -------------------------------------------------------------- port rows

bool WordThenHex(const std::string& rest, const std::string& word) {
    if (rest.size() <= word.size() || rest.compare(0, word.size(), word) != 0) return false;
    return rest.find_first_not_of("0123456789abcdef", word.size()) == std::string::npos;
}

uint8_t ReferenceKind(const std::string& deviceName, int32_t mode) {
    std::string name = deviceName;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string prefix = "\\device\\";
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string rest = name.substr(prefix.size());
    if (mode == QVDS_ENUM_ALL) {
        return (WordThenHex(rest, "serial") || WordThenHex(rest, "silabser")) ? QVDS_PORT_SERIAL : QVDS_PORT_OTHER;
    }
    if (WordThenHex(rest, "com0com")) return QVDS_PORT_COM0COM;
    for (const char* w : {"usbser", "qvs_vcom_fdo_", "qvscom", "qvs_vcom_", "oem_cdc_acmserial"}) {
        if (WordThenHex(rest, w)) return QVDS_PORT_USB_VCOM;
    }
    return 0;
}

void CheckRows(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const int32_t mode = data[0] == 0 ? QVDS_ENUM_ALL : data[0] == 1 ? QVDS_ENUM_USB_VCOM : static_cast<int8_t>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<qv::platform::ComPortInfo> ports;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        qv::platform::ComPortInfo info;
        info.number = static_cast<uint32_t>(ports.size() + 1);
        info.deviceName = line;
        const size_t space = line.find(' ');
        if (space != std::string::npos && space > 0 && space <= 9 &&
            line.find_first_not_of("0123456789") == space) {
            info.number = static_cast<uint32_t>(std::strtoul(line.substr(0, space).c_str(), nullptr, 10));
            info.deviceName = line.substr(space + 1);
        }
        ports.push_back(info);
        start = end + 1;
    }

    std::vector<SerialPortEntry> expected;
    for (const auto& p : ports) {
        if (p.number < 1 || p.number > 65535) continue;
        if (expected.size() == QVDS_MAX_PORTS) break;
        const uint8_t kind = ReferenceKind(p.deviceName, mode);
        QV_FUZZ_CHECK(sd::ClassifyPortName(p.deviceName, mode).kind == kind, "kind of [%s] in mode %d",
                      p.deviceName.c_str(), mode);
        if (kind == 0) continue;
        SerialPortEntry row{};
        row.port_number = static_cast<uint16_t>(p.number);
        row.port_kind = kind;
        expected.push_back(row);
    }

    std::unique_ptr<SerialPortEntry[]> table(new SerialPortEntry[QVDS_MAX_PORTS]);
    const int filled = sd::FillPortRows(ports, mode, table.get());
    QV_FUZZ_CHECK(filled == static_cast<int>(expected.size()), "%d rows, expected %zu", filled, expected.size());
    for (int i = 0; i < filled; ++i) {
        const SerialPortEntry& a = table[static_cast<size_t>(i)];
        const SerialPortEntry& b = expected[static_cast<size_t>(i)];
        QV_FUZZ_CHECK(a.port_number == b.port_number && a.port_kind == b.port_kind && a.status == 0 &&
                          a.baudrate == 0 && a.databits == 0 && a.stopbits == 0 && a.parity == 0 &&
                          a.flowcontrol == 0,
                      "row %d: COM%u kind %u, expected COM%u kind %u", i, a.port_number, a.port_kind, b.port_number,
                      b.port_kind);
    }
}

// ----------------------------------------------------------------- the probe

// What the scripted port saw and answered.
struct PortLog {
    int setLineCalls = 0;
    int writes = 0;
    bool failureHappened = false;                   // an injected SetLine or write failure fired
    uint32_t firstPresenceBaud = 0;                 // rate of the first '?' answered by '!'
    uint8_t firstPresenceParity = 0;                // and its parity
    size_t firstPresenceIndex = 0;                  // and which probe it answered
    std::vector<qv::platform::LineSettings> presenceLines;  // line of every '?'
    std::vector<qv::platform::LineSettings> queryLines;     // line of every framed or older query
    std::set<std::pair<uint8_t, uint8_t>> matched;  // (stop bits, parity) of answered framed/older queries
};

// The presence trials in the order the detection must try them: the two most
// common rates with both parities first, then the other rates without and then
// with parity; with SeqDetect 1 simply the table, each rate without and with parity.
std::vector<std::pair<uint32_t, uint8_t>> ExpectedTrials(bool tableOrder) {
    std::vector<std::pair<uint32_t, uint8_t>> t;
    if (tableOrder) {
        for (uint32_t r : kRates) {
            t.emplace_back(r, 0);
            t.emplace_back(r, 2);
        }
        return t;
    }
    t = {{115200, 0}, {115200, 2}, {9600, 0}, {9600, 2}};
    for (uint8_t parity : {0, 2}) {
        for (size_t i = 2; i < std::size(kRates); ++i) t.emplace_back(kRates[i], parity);
    }
    return t;
}

// A port whose driver answers each write at once with the next scripted reply.
// With nothing queued a read reports the device failed, so no read ever waits.
class ScriptedPort final : public qv::platform::PortDevice {
public:
    ScriptedPort(std::vector<std::string> replies, int failSetLine, int failWrite, bool lineErrors, PortLog* log)
        : replies_(std::move(replies)), failSetLine_(failSetLine), failWrite_(failWrite), lineErrors_(lineErrors),
          log_(log) {
        if (!replies_.empty()) queue_.insert(queue_.end(), replies_[0].begin(), replies_[0].end());
        next_ = 1;
    }

    int32_t ReadBlocking(uint8_t*, uint32_t) override { return -1; }
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t) override {
        if (queue_.empty()) return -1;
        const uint32_t n = std::min<uint32_t>(cap, static_cast<uint32_t>(queue_.size()));
        std::copy_n(queue_.begin(), n, buf);
        queue_.erase(queue_.begin(), queue_.begin() + n);
        return static_cast<int32_t>(n);
    }
    uint32_t QueuedInput() override { return static_cast<uint32_t>(queue_.size()); }
    void DiscardInput() override { queue_.clear(); }
    void DiscardOutput() override {}
    void Cancel() override {}
    void RequestStop() override {}
    void ClearStop() override {}
    bool SetFeatureReport(const uint8_t*, uint32_t) override { return false; }
    bool TakeLineErrors() override {
        const bool seen = lineError_;
        lineError_ = false;
        return seen;
    }
    bool SetLine(const qv::platform::LineSettings& s) override {
        QV_FUZZ_CHECK(s.dataBits == 8 && s.flow == 0, "line %u data bits, flow %u", s.dataBits, s.flow);
        QV_FUZZ_CHECK(std::find(std::begin(kRates), std::end(kRates), s.baud) != std::end(kRates), "rate %u",
                      s.baud);
        if (log_->setLineCalls++ == failSetLine_) {
            log_->failureHappened = true;
            return false;
        }
        line_ = s;
        haveLine_ = true;
        return true;
    }
    bool Write(const uint8_t* data, uint32_t len, int32_t) override {
        if (log_->writes++ == failWrite_) {
            log_->failureHappened = true;
            return false;
        }
        QV_FUZZ_CHECK(haveLine_, "write before any line settings");
        const std::string msg(reinterpret_cast<const char*>(data), len);
        if (next_ < replies_.size()) {
            queue_.insert(queue_.end(), replies_[next_].begin(), replies_[next_].end());
            ++next_;
        }
        const std::string queued(queue_.begin(), queue_.end());
        if (msg == "?") {
            log_->presenceLines.push_back(line_);
            const bool bang = !queued.empty() && queued[0] == '!';
            if (bang && log_->firstPresenceBaud == 0) {
                log_->firstPresenceBaud = line_.baud;
                log_->firstPresenceParity = line_.parity;
                log_->firstPresenceIndex = log_->presenceLines.size() - 1;
            }
            if (bang && line_.parity == 0 && lineErrors_) lineError_ = true;
        } else if (msg == std::string(reinterpret_cast<const char*>(kQuery), sizeof kQuery)) {
            log_->queryLines.push_back(line_);
            if (queued.substr(0, sd::kReadCap) == std::string(reinterpret_cast<const char*>(kAnswer), sizeof kAnswer)) {
                log_->matched.insert({line_.stopBits, line_.parity});
            }
        } else if (msg == std::string(reinterpret_cast<const char*>(kOld), sizeof kOld)) {
            log_->queryLines.push_back(line_);
            if (queued.size() >= 4 && queued[0] == 0x02 && queued[1] == 0x00) {
                log_->matched.insert({line_.stopBits, line_.parity});
            }
        } else {
            QV_FUZZ_CHECK(false, "unexpected write of %u bytes", len);
        }
        return true;
    }

private:
    std::vector<std::string> replies_;
    size_t next_ = 0;
    std::deque<uint8_t> queue_;
    int failSetLine_;
    int failWrite_;
    bool lineErrors_;
    bool lineError_ = false;
    bool haveLine_ = false;
    qv::platform::LineSettings line_;
    PortLog* log_;
};

void CheckProbe(const uint8_t* data, size_t size) {
    if (size < 5) return;
    const uint8_t options = data[0];
    const uint8_t kinds[4] = {QVDS_PORT_SERIAL, QVDS_PORT_OTHER, QVDS_PORT_USB_VCOM, QVDS_PORT_COM0COM};
    const uint8_t kind = kinds[data[1] & 3];
    const int failSetLine = data[2] == 0xFF ? -1 : data[2];
    const int failWrite = data[3] == 0xFF ? -1 : data[3];
    const uint8_t openResult = data[4];
    std::vector<std::string> replies;
    for (size_t i = 5; i < size;) {
        const size_t len = std::min<size_t>(data[i], size - i - 1);
        replies.emplace_back(reinterpret_cast<const char*>(data + i + 1), len);
        i += 1 + len;
    }

    sd::DetectOptions opts;
    const int detectOld[4] = {0, 1, 3, 2};
    opts.detectOld = detectOld[options & 3];
    opts.seqDetect = (options >> 2) & 1;
    opts.noPollingRead = 1;  // one timed read: the scripted port answers at once, so nothing waits
    const bool lineErrors = (options >> 3) & 1;

    PortLog log;
    SerialPortEntry row{};
    row.port_number = 42;
    row.port_kind = kind;
    sd::ResetRow(row);
    sd::ProbeRow(row, opts, [&](uint32_t number, uint32_t* status) -> std::unique_ptr<qv::platform::PortDevice> {
        QV_FUZZ_CHECK(number == 42, "opened COM%u", number);
        if (openResult >= 0xF0) {
            *status = openResult & 0x0F;
            return nullptr;
        }
        *status = 0;
        return std::make_unique<ScriptedPort>(replies, failSetLine, failWrite, lineErrors, &log);
    });

    QV_FUZZ_CHECK(row.port_number == 42 && row.port_kind == kind, "row identity changed");
    QV_FUZZ_CHECK(row.databits == 8 && row.flowcontrol == 0, "data bits %u, flow %u", row.databits, row.flowcontrol);
    if (openResult >= 0xF0) {
        const uint8_t s = openResult & 0x0F;
        const uint8_t want = (s == 2 || s == 5) ? s : 1;
        QV_FUZZ_CHECK(row.status == want && row.baudrate == 0, "open status %u gave row status %u", s, row.status);
        return;
    }
    QV_FUZZ_CHECK(row.status == 0 || (row.status == 1 && log.failureHappened), "status %u", row.status);
    QV_FUZZ_CHECK(row.baudrate == 0 || std::find(std::begin(kRates), std::end(kRates), row.baudrate) != std::end(kRates),
                  "rate %u", row.baudrate);
    QV_FUZZ_CHECK(row.stopbits == 0 || row.stopbits == 2, "stop bits %u", row.stopbits);
    QV_FUZZ_CHECK(row.parity <= 2, "parity %u", row.parity);
    QV_FUZZ_CHECK(row.baudrate != 0 || (row.stopbits == 0 && row.parity == 0), "framing without a rate");
    QV_FUZZ_CHECK(log.writes <= 30 && log.setLineCalls <= 30, "%d writes, %d line settings", log.writes,
                  log.setLineCalls);
    const bool virtualCom = kind == QVDS_PORT_USB_VCOM || kind == QVDS_PORT_COM0COM;
    if (virtualCom) {
        QV_FUZZ_CHECK(log.writes <= 1 && row.stopbits == 0 && row.parity == 0, "virtual COM port probed %d times",
                      log.writes);
        QV_FUZZ_CHECK(row.baudrate == 0 || row.baudrate == 115200, "virtual COM port at %u", row.baudrate);
    }
    if (log.failureHappened) return;
    // Nothing failed: the rate is the one of the first presence answer, and a
    // framing other than the default is one at which a query was answered.
    QV_FUZZ_CHECK(row.status == 0, "status %u without a failure", row.status);
    const uint32_t wantBaud = virtualCom && log.firstPresenceBaud != 0 ? 115200 : log.firstPresenceBaud;
    QV_FUZZ_CHECK(row.baudrate == wantBaud, "rate %u, the first presence answer came at %u", row.baudrate,
                  log.firstPresenceBaud);
    if (row.stopbits != 0 || row.parity != 0) {
        QV_FUZZ_CHECK(log.matched.count({row.stopbits, row.parity}) == 1,
                      "framing (%u stop, parity %u) was never answered", row.stopbits, row.parity);
    }

    // The presence trials in their order, one stop bit, until the first answer.
    const auto trials = virtualCom ? std::vector<std::pair<uint32_t, uint8_t>>{{115200, 0}} : ExpectedTrials(opts.seqDetect == 1);
    const size_t wantProbes = log.firstPresenceBaud != 0 ? log.firstPresenceIndex + 1 : trials.size();
    QV_FUZZ_CHECK(log.presenceLines.size() == wantProbes && wantProbes <= trials.size(), "%zu presence probes",
                  log.presenceLines.size());
    for (size_t i = 0; i < log.presenceLines.size(); ++i) {
        const auto& l = log.presenceLines[i];
        QV_FUZZ_CHECK(l.baud == trials[i].first && l.parity == trials[i].second && l.stopBits == 0,
                      "presence probe %zu at %u parity %u stop %u, expected %u parity %u", i, l.baud, l.parity,
                      l.stopBits, trials[i].first, trials[i].second);
    }
    // The framing search: at the presence rate, stop bits one or two, parities
    // from the presence parity (even when the answer at no parity came with a
    // line error) up to even, starting with one stop bit at that parity.
    if (virtualCom || row.baudrate == 0) {
        QV_FUZZ_CHECK(log.queryLines.empty(), "%zu queries without a framing search", log.queryLines.size());
        return;
    }
    const uint8_t from = log.firstPresenceParity == 0 && lineErrors ? 2 : log.firstPresenceParity;
    QV_FUZZ_CHECK(!log.queryLines.empty(), "no framed query after a presence answer");
    QV_FUZZ_CHECK(log.queryLines[0].stopBits == 0 && log.queryLines[0].parity == from,
                  "first query at stop %u parity %u, expected parity %u", log.queryLines[0].stopBits,
                  log.queryLines[0].parity, from);
    for (const auto& l : log.queryLines) {
        QV_FUZZ_CHECK(l.baud == row.baudrate && (l.stopBits == 0 || l.stopBits == 2) && l.parity >= from &&
                          l.parity <= 2,
                      "query at %u stop %u parity %u", l.baud, l.stopBits, l.parity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 3) {
        case 0: CheckReply(data + 1, size - 1); break;
        case 1: CheckRows(data + 1, size - 1); break;
        default: CheckProbe(data + 1, size - 1); break;
    }
    return 0;
}
