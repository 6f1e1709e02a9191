// COM-port detection: the trial order, waits and answer checks; the probe of
// one row against a scripted device; and whole detections over ptys the test
// creates, with a small responder thread on the master side playing the scanner.
//
// A pty carries the speed and the stop bits (and the odd-parity flag) that the
// library sets on its slave; the responder reads them from the master and
// answers only when they are the scanner's.
// The kernel keeps no parity-enable flag on ptys, so the parity rules are
// checked against the scripted device instead.
#include <asm/termbits.h>  // termios2: the line speed as a number, also for rates without a B constant
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_env.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_port.h"
#include "portstream/serial_detect.h"
#include "portstream/serial_detect_internal.h"

namespace fs = std::filesystem;
namespace sd = qv::serialdetect;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

using qvtest::TempDir;
using EnvVar = qvtest::ScopedEnv;

// ------------------------------------------------------------------ helpers

// A settings file of its own and the ports it declares, for one test.
class DetectEnv {
public:
    explicit DetectEnv(const std::string& mainSection) {
        const std::string file = (dir_.path() / "q.ini").string();
        std::ofstream(file) << "[main]\n" << mainSection;
        settings_.emplace("QUORVIA_SETTINGS", file);
    }
    void DeclarePorts(const std::string& decl) { ports_.emplace("QUORVIA_COM_PORTS", decl); }
    const fs::path& dir() const { return dir_.path(); }

private:
    TempDir dir_{"qv_detect"};
    std::optional<EnvVar> settings_;
    std::optional<EnvVar> ports_;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

const std::vector<uint8_t> kQuery = Bytes({0x7E, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40, 0x5F, 0x5F, 0x5F, 0x3F, 0x3B, 0x03});
const std::vector<uint8_t> kAnswer =
    Bytes({0x02, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40, 0x5F, 0x5F, 0x5F, 0x3F, 0x05, 0x3B, 0x03});
const std::vector<uint8_t> kOld = Bytes({0x7E, 0x00, 0x00, 0x05, 0x33, 0x48, 0x30, 0x34, 0x30, 0xB5});

// ------------------------------------------------------------ pure functions

TEST(DetectOrder, SeqDetectZeroTriesCommonRatesFirst) {
    const std::vector<sd::Trial> want = {
        {115200, 0}, {115200, 2}, {9600, 0}, {9600, 2},
        {57600, 0}, {38400, 0}, {19200, 0}, {14400, 0}, {4800, 0}, {2400, 0}, {1200, 0},
        {57600, 2}, {38400, 2}, {19200, 2}, {14400, 2}, {4800, 2}, {2400, 2}, {1200, 2},
    };
    EXPECT_EQ(sd::PresenceTrials(0), want);
    EXPECT_EQ(sd::PresenceTrials(0)[5], (sd::Trial{38400, 0})) << "sixth trial";
    EXPECT_EQ(sd::PresenceTrials(0)[6], (sd::Trial{19200, 0})) << "seventh trial";
    // Only the value 1 selects table order.
    EXPECT_EQ(sd::PresenceTrials(2), want);
    EXPECT_EQ(sd::PresenceTrials(-1), want);
}

TEST(DetectOrder, SeqDetectOneGoesThroughTheTable) {
    const std::vector<sd::Trial> want = {
        {115200, 0}, {115200, 2}, {9600, 0}, {9600, 2}, {57600, 0}, {57600, 2},
        {38400, 0}, {38400, 2}, {19200, 0}, {19200, 2}, {14400, 0}, {14400, 2},
        {4800, 0}, {4800, 2}, {2400, 0}, {2400, 2}, {1200, 0}, {1200, 2},
    };
    EXPECT_EQ(sd::PresenceTrials(1), want);
    EXPECT_EQ(sd::PresenceTrials(1)[5], (sd::Trial{57600, 2})) << "sixth trial";
    EXPECT_EQ(sd::PresenceTrials(1)[6], (sd::Trial{38400, 0})) << "seventh trial";
}

TEST(DetectWaits, ProbeWaitGrowsWithTheCharacterTime) {
    EXPECT_EQ(sd::ProbeWaitMs(115200), 259u);
    EXPECT_EQ(sd::ProbeWaitMs(57600), 259u);
    EXPECT_EQ(sd::ProbeWaitMs(14400), 259u);
    EXPECT_EQ(sd::ProbeWaitMs(9600), 263u);
    EXPECT_EQ(sd::ProbeWaitMs(4800), 267u);
    EXPECT_EQ(sd::ProbeWaitMs(2400), 275u);
    EXPECT_EQ(sd::ProbeWaitMs(1200), 291u);
}

TEST(DetectWaits, QueryWaitsDependOnPresenceParityAndStopBits) {
    // Framed query: base + 32 * ((X div rate) + 1), X = 10000 / 11000 (+1000 for two stop bits).
    EXPECT_EQ(sd::FramedQueryWaitMs(115200, 0, 0), 287u);
    EXPECT_EQ(sd::FramedQueryWaitMs(9600, 0, 0), 319u);
    EXPECT_EQ(sd::FramedQueryWaitMs(9600, 2, 2), 319u);
    EXPECT_EQ(sd::FramedQueryWaitMs(4800, 0, 0), 351u);
    EXPECT_EQ(sd::FramedQueryWaitMs(4800, 2, 2), 351u);
    EXPECT_EQ(sd::FramedQueryWaitMs(1200, 0, 0), 543u);
    EXPECT_EQ(sd::FramedQueryWaitMs(1200, 2, 0), 575u);
    EXPECT_EQ(sd::FramedQueryWaitMs(1200, 0, 2), 575u);
    EXPECT_EQ(sd::FramedQueryWaitMs(1200, 2, 2), 607u);
    // Older query: base + 24 * ((X div rate) + 1).
    EXPECT_EQ(sd::OldQueryWaitMs(115200, 0, 0), 279u);
    EXPECT_EQ(sd::OldQueryWaitMs(1200, 0, 0), 471u);
    EXPECT_EQ(sd::OldQueryWaitMs(1200, 2, 0), 495u);
    EXPECT_EQ(sd::OldQueryWaitMs(1200, 2, 2), 519u);
    EXPECT_EQ(sd::OldQueryWaitMs(2400, 0, 2), 375u);
}

TEST(DetectAnswers, FramedReplies) {
    using sd::ClassifyFramedReply;
    using sd::FramedReply;
    EXPECT_EQ(ClassifyFramedReply(nullptr, 0), FramedReply::kNone);
    EXPECT_EQ(ClassifyFramedReply(kAnswer.data(), 0), FramedReply::kNone);
    EXPECT_EQ(ClassifyFramedReply(kAnswer.data(), kAnswer.size()), FramedReply::kMatch);

    const auto bang = Bytes({'!'});
    const auto nakBang = Bytes({0x15, '!'});
    EXPECT_EQ(ClassifyFramedReply(bang.data(), bang.size()), FramedReply::kOldProtocol);
    EXPECT_EQ(ClassifyFramedReply(nakBang.data(), nakBang.size()), FramedReply::kOldProtocol);
    for (const auto& other : {Bytes({'!', '!'}), Bytes({0x15}), Bytes({'!', 0x15}), Bytes({0x15, '!', 0x03}),
                              Bytes({'?'})}) {
        EXPECT_EQ(ClassifyFramedReply(other.data(), other.size()), FramedReply::kOther);
    }
    // Every byte of the answer counts, and so does its length.
    for (size_t i = 0; i < kAnswer.size(); ++i) {
        auto bad = kAnswer;
        bad[i] ^= 0x01;
        EXPECT_EQ(ClassifyFramedReply(bad.data(), bad.size()), FramedReply::kOther) << "byte " << i;
    }
    auto longer = kAnswer;
    longer.push_back(0x03);
    EXPECT_EQ(ClassifyFramedReply(longer.data(), longer.size()), FramedReply::kOther);
    EXPECT_EQ(ClassifyFramedReply(kAnswer.data(), kAnswer.size() - 1), FramedReply::kOther);
    // The library's query and answer tables are the scanner's bytes.
    EXPECT_TRUE(std::equal(kQuery.begin(), kQuery.end(), sd::kFramedQuery));
    EXPECT_TRUE(std::equal(kOld.begin(), kOld.end(), sd::kOldQuery));
}

TEST(DetectAnswers, OlderProtocolHeader) {
    using sd::OldReplyFollowing;
    EXPECT_EQ(OldReplyFollowing(Bytes({0x02, 0x00, 0x00, 0x03}).data(), 4), 4);
    EXPECT_EQ(OldReplyFollowing(Bytes({0x02, 0x00, 0x01, 0x00}).data(), 4), 257);
    EXPECT_EQ(OldReplyFollowing(Bytes({0x02, 0x00, 0xFF, 0xFF}).data(), 4), 65536);
    EXPECT_EQ(OldReplyFollowing(Bytes({0x02, 0x01, 0x00, 0x03}).data(), 4), -1);
    EXPECT_EQ(OldReplyFollowing(Bytes({0x03, 0x00, 0x00, 0x03}).data(), 4), -1);
    EXPECT_EQ(OldReplyFollowing(Bytes({0x02, 0x00, 0x00}).data(), 3), -1);
    EXPECT_EQ(OldReplyFollowing(nullptr, 4), -1);
}

// ------------------------------------------------- probe against a scripted device

// What a scripted device saw, shared with the test after the device is gone.
struct DeviceLog {
    std::vector<qv::platform::LineSettings> lines;  // every SetLine call
    std::vector<std::string> events;                // "?", "query", "old", "closed"
    int writesBeforeFailure = -1;                    // -1: writes never fail
};

// A scanner behind a driver, answering synchronously when written to.
class ScriptedDevice final : public qv::platform::PortDevice {
public:
    struct Scanner {
        uint32_t baud = 115200;
        uint8_t parity = 0;
        uint8_t stopBits = 0;
        bool reportsLineErrors = true;  // the driver flags a parity mismatch at no parity
        std::vector<uint8_t> oldReply;  // answer to the older query (empty: none)
        std::vector<uint8_t> framedReply = kAnswer;  // answer to the framed query
        int chatterMs = 0;  // after the open it sends a byte every 10 ms for this long, deaf to probes
    };

    ScriptedDevice(Scanner scanner, std::shared_ptr<DeviceLog> log)
        : scanner_(std::move(scanner)),
          log_(std::move(log)),
          chatterEnd_(Clock::now() + milliseconds(scanner_.chatterMs)),
          nextChatter_(Clock::now()) {}
    ~ScriptedDevice() override { log_->events.push_back("closed"); }

    int32_t ReadBlocking(uint8_t*, uint32_t) override { return -1; }
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        Chatter();
        if (input_.empty()) {
            std::this_thread::sleep_for(milliseconds(std::max(timeoutMs, 0)));
            return 0;
        }
        uint32_t n = std::min<uint32_t>(cap, static_cast<uint32_t>(input_.size()));
        std::copy_n(input_.begin(), n, buf);
        input_.erase(input_.begin(), input_.begin() + n);
        return static_cast<int32_t>(n);
    }
    uint32_t QueuedInput() override {
        Chatter();
        return static_cast<uint32_t>(input_.size());
    }
    void DiscardInput() override { input_.clear(); }
    void DiscardOutput() override {}
    void RequestStop() override {}
    void ClearStop() override {}
    void Cancel() override {}
    bool Write(const uint8_t* data, uint32_t len, int32_t) override {
        if (log_->writesBeforeFailure == 0) return false;
        if (log_->writesBeforeFailure > 0) --log_->writesBeforeFailure;
        const std::vector<uint8_t> msg(data, data + len);
        if (log_->lines.empty()) return true;  // no line state yet: nothing understood
        const auto& line = log_->lines.back();
        const bool baudOk = line.baud == scanner_.baud;
        if (msg == Bytes({'?'})) {
            log_->events.push_back("?");
            if (baudOk && Clock::now() >= chatterEnd_) {
                input_.push_back('!');
                if (line.parity == 0 && scanner_.parity != 0 && scanner_.reportsLineErrors) lineError_ = true;
            }
        } else if (msg == kQuery) {
            log_->events.push_back("query");
            if (baudOk && line.parity == scanner_.parity && line.stopBits == scanner_.stopBits) {
                input_.insert(input_.end(), scanner_.framedReply.begin(), scanner_.framedReply.end());
            }
        } else if (msg == kOld) {
            log_->events.push_back("old");
            if (baudOk && line.parity == scanner_.parity && line.stopBits == scanner_.stopBits) {
                input_.insert(input_.end(), scanner_.oldReply.begin(), scanner_.oldReply.end());
            }
        }
        return true;
    }
    bool SetLine(const qv::platform::LineSettings& s) override {
        log_->lines.push_back(s);
        return true;
    }
    bool TakeLineErrors() override {
        const bool seen = lineError_;
        lineError_ = false;
        return seen;
    }
    bool SetFeatureReport(const uint8_t*, uint32_t) override { return false; }

private:
    void Chatter() {
        const Clock::time_point now = Clock::now();
        while (nextChatter_ <= now && nextChatter_ < chatterEnd_) {
            input_.push_back('x');
            nextChatter_ += milliseconds(10);
        }
    }

    Scanner scanner_;
    std::shared_ptr<DeviceLog> log_;
    std::deque<uint8_t> input_;
    bool lineError_ = false;
    Clock::time_point chatterEnd_;
    Clock::time_point nextChatter_;
};

SerialPortEntry ProbeScripted(const ScriptedDevice::Scanner& scanner, const std::shared_ptr<DeviceLog>& log,
                              const sd::DetectOptions& options = {}, uint8_t kind = QVDS_PORT_SERIAL) {
    SerialPortEntry row{};
    row.port_number = 3;
    row.port_kind = kind;
    sd::ResetRow(row);
    sd::ProbeRow(row, options, [&](uint32_t number, uint32_t* status) -> std::unique_ptr<qv::platform::PortDevice> {
        EXPECT_EQ(number, 3u);
        *status = 0;
        return std::make_unique<ScriptedDevice>(scanner, log);
    });
    return row;
}

// (parity, stop bits) of the SetLine calls from index `from` on.
std::vector<std::pair<int, int>> Framings(const DeviceLog& log, size_t from) {
    std::vector<std::pair<int, int>> out;
    for (size_t i = from; i < log.lines.size(); ++i) out.emplace_back(log.lines[i].parity, log.lines[i].stopBits);
    return out;
}

TEST(DetectParity, LineErrorAfterAnAnswerAtNoParityMeansEvenParity) {
    ScriptedDevice::Scanner scanner;
    scanner.parity = 2;  // 8E1 at 115200
    auto log = std::make_shared<DeviceLog>();
    const SerialPortEntry row = ProbeScripted(scanner, log);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.parity, 2);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(row.status, 0);
    // One presence trial, then the framing search starts at even parity.
    ASSERT_GE(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[0].baud, 115200u);
    EXPECT_EQ(log->lines[0].parity, 0);
    EXPECT_EQ(Framings(*log, 1), (std::vector<std::pair<int, int>>{{2, 0}}));
    for (const auto& l : log->lines) {
        EXPECT_EQ(l.dataBits, 8);
        EXPECT_EQ(l.flow, 0);
    }
}

TEST(DetectParity, WithoutLineErrorsTheSearchStartsAtNoParity) {
    ScriptedDevice::Scanner scanner;
    scanner.parity = 2;
    scanner.reportsLineErrors = false;
    auto log = std::make_shared<DeviceLog>();
    const SerialPortEntry row = ProbeScripted(scanner, log);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.parity, 2);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(Framings(*log, 1), (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 0}}));
}

TEST(DetectFailures, FailedWriteClosesThePort) {
    ScriptedDevice::Scanner scanner;
    {
        // The presence probe cannot be written: the port is closed, and setting
        // the next trial's line state fails.
        auto log = std::make_shared<DeviceLog>();
        log->writesBeforeFailure = 0;
        const SerialPortEntry row = ProbeScripted(scanner, log);
        EXPECT_EQ(row.status, 1);
        EXPECT_EQ(row.baudrate, 0u);
        EXPECT_EQ(log->lines.size(), 1u);
        EXPECT_EQ(log->events, std::vector<std::string>{"closed"});
    }
    {
        // The framed query cannot be written: the row ends, keeping its rate.
        auto log = std::make_shared<DeviceLog>();
        log->writesBeforeFailure = 1;
        const SerialPortEntry row = ProbeScripted(scanner, log);
        EXPECT_EQ(row.status, 0);
        EXPECT_EQ(row.baudrate, 115200u);
        EXPECT_EQ(row.stopbits, 0);
        EXPECT_EQ(row.parity, 0);
        EXPECT_EQ(log->lines.size(), 2u);
        EXPECT_EQ(log->events, (std::vector<std::string>{"?", "closed"}));
    }
}

TEST(DetectFraming, AnyOtherAnswerMovesOnToTwoStopBits) {
    ScriptedDevice::Scanner scanner;
    scanner.framedReply = Bytes({0x02, 0x01, 0x30, 0x30, 0x15, 0x3B, 0x03});
    auto log = std::make_shared<DeviceLog>();
    const SerialPortEntry row = ProbeScripted(scanner, log);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(row.parity, 0);
    EXPECT_EQ(row.status, 0);
    // No parity at one stop bit answers wrongly; two stop bits are silent
    // at every parity.
    EXPECT_EQ(Framings(*log, 1), (std::vector<std::pair<int, int>>{{0, 0}, {0, 2}, {1, 2}, {2, 2}}));
}

TEST(DetectFraming, ProbingStartsOnceThePortIsQuiet) {
    // A scanner still sending when the port is opened: the probe waits until
    // the port has been quiet, so the first trial is answered cleanly.
    ScriptedDevice::Scanner scanner;
    scanner.chatterMs = 200;
    auto log = std::make_shared<DeviceLog>();
    const SerialPortEntry row = ProbeScripted(scanner, log);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(row.parity, 0);
    EXPECT_EQ(log->events, (std::vector<std::string>{"?", "query", "closed"}));
}

TEST(DetectFraming, Com0comPortGetsOnlyThe115200Probe) {
    ScriptedDevice::Scanner scanner;
    auto log = std::make_shared<DeviceLog>();
    const SerialPortEntry row = ProbeScripted(scanner, log, {}, QVDS_PORT_COM0COM);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(row.parity, 0);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].baud, 115200u);
    EXPECT_EQ(log->lines[0].parity, 0);
    EXPECT_EQ(log->lines[0].stopBits, 0);
    EXPECT_EQ(log->events, (std::vector<std::string>{"?", "closed"}));
}

TEST(DetectOlder, LongOlderAnswerIsDrainedAndTheFramingKept) {
    // An older-protocol scanner at 8E1: "!" to the framed query, and an
    // answer to the older query that announces more than 4096 bytes.
    ScriptedDevice::Scanner scanner;
    scanner.parity = 2;
    scanner.framedReply = Bytes({'!'});
    scanner.oldReply = Bytes({0x02, 0x00, 0x13, 0x88});  // 5001 bytes to follow
    auto log = std::make_shared<DeviceLog>();
    sd::DetectOptions options;
    options.detectOld = 3;
    options.noPollingRead = 1;
    const SerialPortEntry row = ProbeScripted(scanner, log, options);
    EXPECT_EQ(row.baudrate, 115200u);
    EXPECT_EQ(row.stopbits, 0);
    EXPECT_EQ(row.parity, 2);
    EXPECT_EQ(row.status, 0);
    // Both stages start at the presence parity (even, from the line error):
    // "!" at one stop bit, silence at two, then the older query answers at once.
    EXPECT_EQ(log->events, (std::vector<std::string>{"?", "query", "query", "old", "closed"}));
    EXPECT_EQ(Framings(*log, 1), (std::vector<std::pair<int, int>>{{2, 0}, {2, 2}, {2, 0}}));
}

// A port that sends back whatever is written to it: a loopback plug, or a
// modem echoing its input. It answers every probe, but never with "!".
class EchoDevice final : public qv::platform::PortDevice {
public:
    explicit EchoDevice(std::shared_ptr<std::vector<std::vector<uint8_t>>> writes) : writes_(std::move(writes)) {}
    int32_t ReadBlocking(uint8_t*, uint32_t) override { return -1; }
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        if (input_.empty()) {
            std::this_thread::sleep_for(milliseconds(std::max(timeoutMs, 0)));
            return 0;
        }
        const uint32_t n = std::min<uint32_t>(cap, static_cast<uint32_t>(input_.size()));
        std::copy_n(input_.begin(), n, buf);
        input_.erase(input_.begin(), input_.begin() + n);
        return static_cast<int32_t>(n);
    }
    uint32_t QueuedInput() override { return static_cast<uint32_t>(input_.size()); }
    void DiscardInput() override { input_.clear(); }
    void DiscardOutput() override {}
    void RequestStop() override {}
    void ClearStop() override {}
    void Cancel() override {}
    bool Write(const uint8_t* data, uint32_t len, int32_t) override {
        writes_->emplace_back(data, data + len);
        input_.insert(input_.end(), data, data + len);
        return true;
    }
    bool SetLine(const qv::platform::LineSettings&) override { return true; }
    bool TakeLineErrors() override { return false; }
    bool SetFeatureReport(const uint8_t*, uint32_t) override { return false; }

private:
    std::shared_ptr<std::vector<std::vector<uint8_t>>> writes_;
    std::deque<uint8_t> input_;
};

TEST(DetectAnswers, AnEchoingPortIsNoScanner) {
    // Only "!" answers the presence probe: the "?" coming back is not a scanner
    // at 115200 baud, so every trial fails and the framed query is never sent.
    for (uint8_t kind : {QVDS_PORT_SERIAL, QVDS_PORT_USB_VCOM}) {
        SCOPED_TRACE(static_cast<int>(kind));
        auto writes = std::make_shared<std::vector<std::vector<uint8_t>>>();
        SerialPortEntry row{};
        row.port_number = 4;
        row.port_kind = kind;
        sd::ResetRow(row);
        sd::DetectOptions options;
        options.noPollingRead = 1;  // the echo comes at once: no need to sit out the waits
        sd::ProbeRow(row, options, [&](uint32_t, uint32_t* status) -> std::unique_ptr<qv::platform::PortDevice> {
            *status = 0;
            return std::make_unique<EchoDevice>(writes);
        });
        EXPECT_EQ(row.baudrate, 0u);
        EXPECT_EQ(row.status, 0);
        const size_t trials = kind == QVDS_PORT_SERIAL ? sd::PresenceTrials(0).size() : 1u;
        ASSERT_EQ(writes->size(), trials);
        for (const auto& w : *writes) EXPECT_EQ(w, Bytes({'?'}));
    }
}

TEST(DetectRowsScripted, OpenFailuresAndMoreRowsThanWorkers) {
    // 40 rows, more than the 16 workers: every row is probed once and keeps
    // the status of its own failure.
    std::vector<SerialPortEntry> rows(40);
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i] = SerialPortEntry{};
        rows[i].port_number = static_cast<uint16_t>(100 + i);
        rows[i].port_kind = QVDS_PORT_SERIAL;
        rows[i].baudrate = 4711;  // stale values from an earlier run
        rows[i].parity = 3;
        rows[i].stopbits = 1;
        rows[i].flowcontrol = 2;
    }
    std::mutex lock;
    std::condition_variable cv;
    std::multiset<uint32_t> opened;
    int inFlight = 0;
    int mostInFlight = 0;
    // The first opens wait (at most until the deadline) for 16 of them to be
    // in flight together, which only 16 parallel workers achieve.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    const uint32_t statuses[] = {2, 5, 1, 7};
    sd::DetectRows(rows.data(), static_cast<int>(rows.size()), {},
                   [&](uint32_t number, uint32_t* status) -> std::unique_ptr<qv::platform::PortDevice> {
                       std::unique_lock<std::mutex> guard(lock);
                       opened.insert(number);
                       mostInFlight = std::max(mostInFlight, ++inFlight);
                       cv.notify_all();
                       cv.wait_until(guard, deadline, [&] { return mostInFlight >= 16; });
                       // Hold on a little, so that any worker beyond 16 would show up.
                       guard.unlock();
                       std::this_thread::sleep_for(milliseconds(50));
                       guard.lock();
                       --inFlight;
                       *status = statuses[number % 4];
                       return nullptr;
                   });
    EXPECT_EQ(mostInFlight, 16) << "16 workers at once, no more";
    ASSERT_EQ(opened.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const SerialPortEntry& r = rows[i];
        EXPECT_EQ(opened.count(r.port_number), 1u);
        const uint32_t s = statuses[r.port_number % 4];
        EXPECT_EQ(r.status, s == 7 ? 1 : s) << "unknown open failures are setup failures";
        EXPECT_EQ(r.port_kind, QVDS_PORT_SERIAL);
        EXPECT_EQ(r.baudrate, 0u);
        EXPECT_EQ(r.databits, 8);
        EXPECT_EQ(r.stopbits, 0);
        EXPECT_EQ(r.parity, 0);
        EXPECT_EQ(r.flowcontrol, 0);
    }
    EXPECT_EQ(qvds_detect_serial_settings(nullptr, 3), 0);
    EXPECT_EQ(qvds_detect_serial_settings(rows.data(), 0), 0);
}

// ------------------------------------------------------ detection over ptys

// What the responder saw: one entry per probe or query, with the line state
// of the pty at that moment.
struct Seen {
    enum Kind { kPresence, kQuery, kOld, kOther } kind;
    uint32_t speed;  // bits per second
    bool twoStopBits;
    bool oddParity;
    Clock::time_point at;
};

struct ScannerSetup {
    uint32_t speed = 115200;
    bool twoStopBits = false;
    bool answersPresence = true;
    enum class Framed { kAnswer, kSilent, kBang } framed = Framed::kAnswer;
    bool answersOld = false;
    bool splitAnswers = false;  // send answers in two pieces, 30 ms apart
    bool echo = false;          // a loopback plug: every byte comes back, nothing else
};

// The scanner side of a pty: reads what the library writes to the slave and
// answers like the device, when the pty's line state is the scanner's.
class PtyScanner {
public:
    explicit PtyScanner(ScannerSetup setup) : setup_(setup) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
        slave_ = ptsname(master_);
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyScanner() {
        stop_ = true;
        thread_.join();
        close(master_);
    }
    const std::string& path() const { return slave_; }
    std::vector<Seen> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::vector<Seen> seen(Seen::Kind kind) const {
        std::vector<Seen> out;
        for (const Seen& s : seen()) {
            if (s.kind == kind) out.push_back(s);
        }
        return out;
    }

private:
    void Run() {
        std::vector<uint8_t> pending;
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            const int r = poll(&pfd, 1, 20);
            if (r <= 0) continue;
            uint8_t buf[512];
            const ssize_t n = (pfd.revents & POLLIN) ? read(master_, buf, sizeof buf) : -1;
            if (n <= 0) {
                // No slave open at the moment (before and after the library's probe).
                std::this_thread::sleep_for(milliseconds(5));
                continue;
            }
            if (setup_.echo) {
                Echo(buf, static_cast<size_t>(n));
                continue;
            }
            pending.insert(pending.end(), buf, buf + n);
            Handle(pending);
        }
    }

    void Handle(std::vector<uint8_t>& pending) {
        while (!pending.empty()) {
            size_t used = 1;
            Seen::Kind kind = Seen::kOther;
            if (pending[0] == '?') {
                kind = Seen::kPresence;
            } else if (pending[0] == 0x7E) {
                if (pending.size() < 2) return;
                const std::vector<uint8_t>* expected = pending[1] == 0x01 ? &kQuery : pending[1] == 0x00 ? &kOld : nullptr;
                if (expected != nullptr) {
                    if (pending.size() < expected->size()) return;
                    if (std::equal(expected->begin(), expected->end(), pending.begin())) {
                        kind = expected == &kQuery ? Seen::kQuery : Seen::kOld;
                        used = expected->size();
                    }
                }
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
            Answer(kind);
        }
    }

    void Answer(Seen::Kind kind) {
        termios2 tio{};
        ioctl(master_, TCGETS2, &tio);  // the slave's line state
        Seen s{kind, tio.c_ospeed, (tio.c_cflag & CSTOPB) != 0, (tio.c_cflag & PARODD) != 0, Clock::now()};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(s);
        }
        const bool speedOk = s.speed == setup_.speed && !s.oddParity;
        const bool framingOk = speedOk && s.twoStopBits == setup_.twoStopBits;
        switch (kind) {
            case Seen::kPresence:
                if (setup_.answersPresence && speedOk) Send(Bytes({'!'}));
                break;
            case Seen::kQuery:
                if (!framingOk) break;
                if (setup_.framed == ScannerSetup::Framed::kAnswer) Send(kAnswer);
                if (setup_.framed == ScannerSetup::Framed::kBang) Send(Bytes({0x15, '!'}));
                break;
            case Seen::kOld:
                if (setup_.answersOld && framingOk) Send(Bytes({0x02, 0x00, 0x00, 0x03, 'O', 'L', 'D', '1'}));
                break;
            case Seen::kOther:
                break;
        }
    }

    void Echo(const uint8_t* data, size_t len) {
        termios2 tio{};
        ioctl(master_, TCGETS2, &tio);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const bool presence = len == 1 && data[0] == '?';
            seen_.push_back(Seen{presence ? Seen::kPresence : Seen::kOther, tio.c_ospeed,
                                 (tio.c_cflag & CSTOPB) != 0, (tio.c_cflag & PARODD) != 0, Clock::now()});
        }
        WriteAll(data, len);
    }

    void Send(const std::vector<uint8_t>& bytes) {
        if (setup_.splitAnswers && bytes.size() > 1) {
            const size_t half = bytes.size() / 2;
            WriteAll(bytes.data(), half);
            std::this_thread::sleep_for(milliseconds(30));
            WriteAll(bytes.data() + half, bytes.size() - half);
        } else {
            WriteAll(bytes.data(), bytes.size());
        }
    }

    void WriteAll(const uint8_t* data, size_t len) {
        while (len > 0) {
            const ssize_t n = write(master_, data, len);
            if (n <= 0) return;
            data += n;
            len -= static_cast<size_t>(n);
        }
    }

    ScannerSetup setup_;
    int master_ = -1;
    std::string slave_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

// Enumerates every declared port (mode -2, or -1 for virtual COM ports) and detects them.
std::vector<SerialPortEntry> EnumerateAndDetect(int32_t mode = QVDS_ENUM_ALL) {
    std::vector<SerialPortEntry> table(QVDS_MAX_PORTS);
    const int n = qvds_enum_serial_ports(table.data(), mode);
    table.resize(static_cast<size_t>(n));
    EXPECT_EQ(qvds_detect_serial_settings(table.data(), n), n);
    return table;
}

// (two stop bits, odd parity) of each entry.
using Framing = std::pair<bool, bool>;
std::vector<Framing> StopAndOdd(const std::vector<Seen>& seen) {
    std::vector<Framing> out;
    for (const Seen& s : seen) out.emplace_back(s.twoStopBits, s.oddParity);
    return out;
}

std::vector<uint32_t> Speeds(const std::vector<Seen>& seen) {
    std::vector<uint32_t> out;
    for (const Seen& s : seen) out.push_back(s.speed);
    return out;
}

void ExpectRow(const SerialPortEntry& row, uint16_t number, uint32_t baud, uint8_t stopBits, uint8_t parity,
               uint8_t status = 0) {
    EXPECT_EQ(row.port_number, number);
    EXPECT_EQ(row.baudrate, baud);
    EXPECT_EQ(row.stopbits, stopBits);
    EXPECT_EQ(row.parity, parity);
    EXPECT_EQ(row.status, status);
    EXPECT_EQ(row.databits, 8);
    EXPECT_EQ(row.flowcontrol, 0);
}

TEST(DetectPty, ScannerAt115200OneStopBit) {
    DetectEnv env("");
    PtyScanner scanner({});
    env.DeclarePorts("COM5=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 5, 115200, 0, 0);

    const auto probes = scanner.seen(Seen::kPresence);
    const auto queries = scanner.seen(Seen::kQuery);
    ASSERT_EQ(probes.size(), 1u);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_FALSE(queries[0].twoStopBits);
    EXPECT_TRUE(scanner.seen(Seen::kOld).empty());
    // A polling read takes its whole wait even when the answer came at once.
    EXPECT_GE(queries[0].at - probes[0].at, milliseconds(sd::ProbeWaitMs(115200)));
}

TEST(DetectPty, ScannerAt9600TwoStopBits) {
    DetectEnv env("");
    ScannerSetup setup;
    setup.speed = 9600;
    setup.twoStopBits = true;
    setup.splitAnswers = true;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM6=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 6, 9600, 2, 0);
    EXPECT_EQ(Speeds(scanner.seen(Seen::kPresence)), (std::vector<uint32_t>{115200, 115200, 9600}));
    // One stop bit with no, odd and even parity, then two stop bits with no parity.
    EXPECT_EQ(StopAndOdd(scanner.seen(Seen::kQuery)),
              (std::vector<Framing>{{false, false}, {false, true}, {false, false}, {true, false}}));
}

TEST(DetectPty, SilentPortTriesEveryRateAndFindsNothing) {
    DetectEnv env("");
    ScannerSetup setup;
    setup.answersPresence = false;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM8=" + scanner.path());
    const Clock::time_point start = Clock::now();
    const auto rows = EnumerateAndDetect();
    const auto elapsed = Clock::now() - start;
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 8, 0, 0, 0);
    EXPECT_EQ(rows[0].port_kind, QVDS_PORT_SERIAL);

    const auto probes = scanner.seen(Seen::kPresence);
    EXPECT_EQ(Speeds(probes),
              (std::vector<uint32_t>{115200, 115200, 9600, 9600, 57600, 38400, 19200, 14400, 4800, 2400,
                                    1200, 57600, 38400, 19200, 14400, 4800, 2400, 1200}));
    for (const Seen& s : probes) EXPECT_FALSE(s.twoStopBits);
    EXPECT_TRUE(scanner.seen(Seen::kQuery).empty());
    uint32_t waits = 0;
    for (const sd::Trial& t : sd::PresenceTrials(0)) waits += sd::ProbeWaitMs(t.baud);
    EXPECT_GE(elapsed, milliseconds(waits)) << "every probe waits its full time";
}

TEST(DetectPty, LoopbackPlugIsNotTakenForAScanner) {
    DetectEnv env("");
    ScannerSetup setup;
    setup.echo = true;
    PtyScanner plug(setup);
    env.DeclarePorts("COM14=" + plug.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 14, 0, 0, 0);
    // Every presence trial was made and echoed; nothing else was ever sent.
    EXPECT_EQ(plug.seen(Seen::kPresence).size(), sd::PresenceTrials(0).size());
    EXPECT_TRUE(plug.seen(Seen::kOther).empty());
}

TEST(DetectPty, PresenceButNoFramedAnswerKeepsTheRate) {
    DetectEnv env("");
    ScannerSetup setup;
    setup.speed = 9600;
    setup.framed = ScannerSetup::Framed::kSilent;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM9=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 9, 9600, 0, 0);
    // Every framing was asked, in order, and the older query never.
    EXPECT_EQ(StopAndOdd(scanner.seen(Seen::kQuery)),
              (std::vector<Framing>{
                  {false, false}, {false, true}, {false, false}, {true, false}, {true, true}, {true, false}}));
    for (const Seen& s : scanner.seen(Seen::kQuery)) EXPECT_EQ(s.speed, 9600u);
    EXPECT_TRUE(scanner.seen(Seen::kOld).empty());
}

TEST(DetectPty, OlderProtocolScannerWithDetectOld) {
    DetectEnv env("DetectOld=1\n");
    ScannerSetup setup;
    setup.twoStopBits = true;
    setup.framed = ScannerSetup::Framed::kBang;
    setup.answersOld = true;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM10=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 10, 115200, 2, 0);
    // The framed query walks the framings up to the scanner's "!" at two stop
    // bits; the older query then walks them again until the scanner answers.
    EXPECT_EQ(StopAndOdd(scanner.seen(Seen::kQuery)),
              (std::vector<Framing>{{false, false}, {false, true}, {false, false}, {true, false}}));
    EXPECT_EQ(StopAndOdd(scanner.seen(Seen::kOld)),
              (std::vector<Framing>{{false, false}, {false, true}, {false, false}, {true, false}}));
}

TEST(DetectPty, OlderProtocolScannerWithoutDetectOldIsGivenUp) {
    DetectEnv env("DetectOld=2\n");
    ScannerSetup setup;
    setup.framed = ScannerSetup::Framed::kBang;
    setup.answersOld = true;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM11=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 11, 115200, 0, 0);
    EXPECT_EQ(scanner.seen(Seen::kQuery).size(), 1u);
    EXPECT_TRUE(scanner.seen(Seen::kOld).empty());
}

TEST(DetectPty, SeqDetectOneTriesRatesInTableOrder) {
    DetectEnv env("SeqDetect=1\n");
    ScannerSetup setup;
    setup.speed = 38400;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM12=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 12, 38400, 0, 0);
    EXPECT_EQ(Speeds(scanner.seen(Seen::kPresence)),
              (std::vector<uint32_t>{115200, 115200, 9600, 9600, 57600, 57600, 38400}));
}

TEST(DetectPty, SingleTimedReadsCollectSplitAnswers) {
    DetectEnv env("NoPollingRead=1\n");
    ScannerSetup setup;
    setup.speed = 57600;
    setup.twoStopBits = true;
    setup.splitAnswers = true;
    PtyScanner scanner(setup);
    env.DeclarePorts("COM13=" + scanner.path());
    const auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], 13, 57600, 2, 0);
    EXPECT_EQ(Speeds(scanner.seen(Seen::kPresence)), (std::vector<uint32_t>{115200, 115200, 9600, 9600, 57600}));
    EXPECT_EQ(scanner.seen(Seen::kQuery).size(), 4u);
}

TEST(DetectPty, VirtualComPortsGetOneProbeAt115200) {
    DetectEnv env("");
    PtyScanner fast({});
    ScannerSetup slowSetup;
    slowSetup.speed = 9600;
    PtyScanner slow(slowSetup);
    env.DeclarePorts("COM20=" + fast.path() + ":usbser;COM21=" + slow.path() + ":qvscom");
    const Clock::time_point start = Clock::now();
    const auto rows = EnumerateAndDetect(QVDS_ENUM_USB_VCOM);
    const auto elapsed = Clock::now() - start;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].port_kind, QVDS_PORT_USB_VCOM);
    ExpectRow(rows[0], 20, 115200, 0, 0);
    ExpectRow(rows[1], 21, 0, 0, 0);
    for (const PtyScanner* s : {&fast, &slow}) {
        const auto seen = s->seen();
        ASSERT_EQ(seen.size(), 1u) << "only the presence probe";
        EXPECT_EQ(seen[0].kind, Seen::kPresence);
        EXPECT_EQ(seen[0].speed, 115200u);
        EXPECT_FALSE(seen[0].twoStopBits);
    }
    EXPECT_GE(elapsed, milliseconds(sd::kVirtualComWaitMs)) << "the silent one waits 600 ms";
}

TEST(DetectPty, RowsThatCannotBeProbedKeepTheirOwnStatus) {
    DetectEnv env("");
    PtyScanner scanner({});

    // A port another program holds.
    int heldMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(heldMaster, 0);
    ASSERT_EQ(grantpt(heldMaster), 0);
    ASSERT_EQ(unlockpt(heldMaster), 0);
    const std::string heldPath = ptsname(heldMaster);
    const int held = open(heldPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

    const fs::path plainFile = env.dir() / "plain";
    std::ofstream(plainFile) << "not a tty";

    std::ostringstream decl;
    decl << "COM1=" << scanner.path() << ";COM2=" << heldPath << ";COM3=" << (env.dir() / "gone").string()
         << ";COM4=" << plainFile.string();
    // More rows than workers: the rest are ports whose device has gone.
    for (int n = 40; n < 60; ++n) decl << ";COM" << n << "=" << (env.dir() / ("gone" + std::to_string(n))).string();
    env.DeclarePorts(decl.str());

    auto rows = EnumerateAndDetect();
    ASSERT_EQ(rows.size(), 24u);
    ExpectRow(rows[0], 1, 115200, 0, 0);
    ExpectRow(rows[1], 2, 0, 0, 0, 5);
    ExpectRow(rows[2], 3, 0, 0, 0, 2);
    ExpectRow(rows[3], 4, 0, 0, 0, 1);
    for (size_t i = 4; i < rows.size(); ++i) ExpectRow(rows[i], static_cast<uint16_t>(36 + i), 0, 0, 0, 2);

    // A row whose COM number is not in the list at all.
    SerialPortEntry unknown{};
    unknown.port_number = 999;
    unknown.port_kind = QVDS_PORT_SERIAL;
    EXPECT_EQ(qvds_detect_serial_settings(&unknown, 1), 1);
    ExpectRow(unknown, 999, 0, 0, 0, 2);

    close(held);
    close(heldMaster);
}

}  // namespace
