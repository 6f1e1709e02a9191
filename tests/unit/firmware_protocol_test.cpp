// The update protocol over an in-process link to a simulated scanner
// (quorvia-sim's loader logic): the "efp" variants, the reset-button retries,
// the block switch at other baud rates, a scanner that keeps answering '!',
// a late '<', a link whose handle is being closed, the progress record, and
// the frame-size and write-time rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "firmware/firmware_update.h"
#include "hang_guard.h"
#include "loader_scanner.h"

namespace {

using namespace std::chrono_literals;
using qv::firmware::FirmwareSettings;
using qv::firmware::LinkLine;
using qv::firmware::T_FirmwareProgress;
using qv::firmware::UpdateBlock;
using qv::firmware::UpdatePlan;
using qvtest::LoaderScanner;
using Clock = std::chrono::steady_clock;

// The link: every write goes to the scanner at once; its answers come back
// after `answerDelay`. A line when the scanner has one.
class LoopLink final : public qv::firmware::FirmwareLink {
public:
    LoopLink(LoaderScanner& scanner, uint32_t baud) : scanner_(scanner), hasLine_(baud != 0) { line_.baud = baud; }

    std::chrono::milliseconds answerDelay{0};
    std::atomic<bool> cancelled{false};
    int writes = 0;

    bool Write(const uint8_t* data, uint32_t len) override {
        ++writes;
        if (!open_ || cancelled) return false;
        const std::string reply =
            scanner_.Feed(std::string_view(reinterpret_cast<const char*>(data), len), hasLine_ ? line_.baud : 0);
        if (!reply.empty()) pending_.push_back({Clock::now() + answerDelay, reply});
        return true;
    }
    uint32_t Read(uint8_t* buf, uint32_t len, int32_t firstWaitMs, int32_t, const uint8_t*, uint32_t) override {
        const auto end = Clock::now() + std::chrono::milliseconds(firstWaitMs);
        for (;;) {
            Deliver();
            if (!received_.empty() || cancelled || Clock::now() >= end) break;
            std::this_thread::sleep_for(1ms);
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(len, received_.size()));
        std::memcpy(buf, received_.data(), n);
        received_.erase(0, n);
        return n;
    }
    void Purge(int32_t drainMs) override {
        Deliver();
        received_.clear();
        if (drainMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(drainMs));
            Deliver();
            received_.clear();
        }
    }
    bool Exchange(int32_t firstWaitMs, const std::string& text, uint8_t* result) override {
        std::string frame = {'\x02', '\x05', static_cast<char>(text.size() >> 8), static_cast<char>(text.size())};
        frame += text;
        const uint32_t crc = qvsim::loader_crc32(frame);
        for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>((crc >> shift) & 0xFF);
        *result = 0;
        if (!Write(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint32_t>(frame.size()))) return false;
        uint8_t reply[9];
        if (Read(reply, 9, firstWaitMs, -2, nullptr, 0) != 9 || reply[0] != 0x02) {
            received_.clear();
            return false;
        }
        *result = reply[4];
        return reply[4] == '0';
    }
    bool HasLine() override { return hasLine_; }
    bool GetLine(LinkLine* line) override {
        if (!hasLine_ || !open_) return false;
        *line = line_;
        return true;
    }
    bool SetLine(const LinkLine& line) override {
        if (!hasLine_ || !open_) return false;
        line_ = line;
        return true;
    }
    bool SetBaud(uint32_t baud) override {
        if (!hasLine_ || !open_ || baud == line_.baud) return false;
        line_.baud = baud;
        ++baudChanges;
        return true;
    }
    bool SetBaud8N1(uint32_t baud) override {
        if (!hasLine_ || !open_) return false;
        line_ = LinkLine{baud, 8, 0, 0, line_.flow};
        return true;
    }
    bool IsOpen() override { return open_; }
    bool Cancelled() override { return cancelled; }
    void Stop() override { open_ = false; }
    bool LeavesOnSwitch() override { return false; }
    bool StartWatch() override { return false; }
    void StopWatch() override {}
    bool Watching() override { return false; }
    void ResetArrival() override {}
    bool Reopen(int32_t, const LinkLine* line) override {
        open_ = true;
        if (line != nullptr) line_ = *line;
        return true;
    }

    int baudChanges = 0;

private:
    void Deliver() {
        const auto now = Clock::now();
        while (!pending_.empty() && pending_.front().first <= now) {
            received_ += pending_.front().second;
            pending_.pop_front();
        }
    }

    LoaderScanner& scanner_;
    bool hasLine_;
    bool open_ = true;
    LinkLine line_;
    std::deque<std::pair<Clock::time_point, std::string>> pending_;
    std::string received_;
};

struct Blocks {
    std::vector<std::string> data;
    std::vector<UpdateBlock> blocks;
    void Add(const char* tag, uint32_t type, size_t size, uint32_t extra = 0) {
        data.push_back(std::string(size, static_cast<char>('a' + data.size())));
        UpdateBlock b;
        b.length = static_cast<uint32_t>(size);
        b.type = type;
        b.extra = extra;
        std::memcpy(b.tag, tag, 4);
        blocks.push_back(b);
    }
    UpdatePlan Plan(uint32_t mainCount, bool upgrade = false, bool efp = false, uint32_t variant = 0) {
        for (size_t i = 0; i < blocks.size(); ++i) blocks[i].data = reinterpret_cast<const uint8_t*>(data[i].data());
        UpdatePlan p;
        p.blocks = blocks.data();
        p.mainCount = mainCount;
        p.extraCount = static_cast<uint32_t>(blocks.size()) - mainCount;
        p.upgradeMode = upgrade;
        p.efp = efp;
        p.variant = variant;
        return p;
    }
};

size_t Count(const std::vector<std::string>& log, const std::string& item) {
    return static_cast<size_t>(std::count(log.begin(), log.end(), item));
}

int32_t RunProtocol(LoopLink& link, const UpdatePlan& plan, T_FirmwareProgress* progress = nullptr,
            FirmwareSettings settings = {}) {
    int32_t rc = -1;
    qvtest::Bounded("the update protocol", 120000ms,
                    [&] { rc = qv::firmware::RunUpdateProtocol(link, plan, settings, progress); });
    return rc;
}

TEST(FirmwareProtocol, EfpVariantOneSendsNextDownBetweenEveryBlock) {
    LoaderScanner scanner(115200);
    LoopLink link(scanner, 115200);
    Blocks b;
    b.Add("kern", 2, 700);
    b.Add("appl", 4, 300);
    EXPECT_EQ(RunProtocol(link, b.Plan(2, false, true, 1)), 0);
    const auto& log = scanner.loader().log();
    EXPECT_EQ(Count(log, "@NextDown"), 1u);
    EXPECT_EQ(Count(log, "@Exit"), 1u);  // "efp" always ends with "@Exit" (variant 1)
    ASSERT_EQ(scanner.loader().blocks().size(), 2u);
    EXPECT_EQ(scanner.loader().blocks()[1].data, b.data[1]);
}

TEST(FirmwareProtocol, EfpVariantThreeInUpgradeModeSendsNoNextDownAndNoExit) {
    LoaderScanner scanner(115200);
    LoopLink link(scanner, 115200);
    Blocks b;
    b.Add("kern", 2, 700);
    b.Add("flah", 3, 300, 5);
    EXPECT_EQ(RunProtocol(link, b.Plan(2, true, true, 3)), 0);
    const auto& log = scanner.loader().log();
    EXPECT_EQ(Count(log, "@NextDown"), 0u);
    EXPECT_EQ(Count(log, "@Exit"), 0u);
    EXPECT_EQ(Count(log, "~upGrade~"), 1u);
    EXPECT_EQ(Count(log, "!FileType:flah:5"), 1u);  // type 3 in upgrade mode carries its extra value
}

TEST(FirmwareProtocol, EfpOfAnotherVariantHandlesExtraBlocksAsMainBlocks) {
    LoaderScanner scanner(115200);
    LoopLink link(scanner, 115200);
    Blocks b;
    b.Add("kern", 2, 700);
    b.Add("appl", 4, 300);  // an extra block with a main tag
    T_FirmwareProgress progress{};
    EXPECT_EQ(RunProtocol(link, b.Plan(1, false, true, 0), &progress), 0);
    const auto& log = scanner.loader().log();
    EXPECT_EQ(Count(log, "~upBlock~"), 0u);
    EXPECT_EQ(Count(log, "!FileType:appl"), 1u);
    // Its own type in the progress record, not 16.
    EXPECT_EQ(progress.blockTypes[0], 2);
    EXPECT_EQ(progress.blockTypes[1], 4);
}

TEST(FirmwareProtocol, ExtraGroupOfVariantTwoWaitsForTheResetButton) {
    LoaderScanner scanner(115200);
    scanner.script().start_answers = "02";  // the main block starts; the first extra block asks for the button
    scanner.script().retries = 2;
    LoopLink link(scanner, 115200);
    Blocks b;
    b.Add("kern", 2, 700);
    b.Add("exfl", 3, 600, 9);
    b.Add("exfl", 3, 400, 10);
    T_FirmwareProgress progress{};
    EXPECT_EQ(RunProtocol(link, b.Plan(1, false, true, 2), &progress), 0);
    const auto& log = scanner.loader().log();
    EXPECT_EQ(Count(log, "~upBlock~"), 1u);
    EXPECT_EQ(Count(log, ">Retry"), 3u);  // '2' twice, then accepted
    EXPECT_EQ(Count(log, "@NextBlock"), 1u);
    EXPECT_EQ(Count(log, "!FileType:exfl:9"), 1u);
    EXPECT_EQ(progress.waitingForReset, 0);  // cleared once the scanner went on
    EXPECT_EQ(progress.blockTypes[1], 16);   // extra blocks of variant 2
    EXPECT_EQ(progress.blockTypes[2], 16);
    EXPECT_EQ(progress.block, 2u);
    EXPECT_EQ(progress.step, 3u);
    for (uint32_t p : progress.stepPercent) EXPECT_EQ(p, 100u);
    ASSERT_EQ(scanner.loader().blocks().size(), 3u);
    EXPECT_EQ(scanner.loader().blocks()[2].data, b.data[2]);
}

TEST(FirmwareProtocol, BlockSwitchIsTriedAtOtherRatesWhenTheScannerDoesNotHearIt) {
    // The application runs at 115200 baud, the port was at 57600.
    LoaderScanner scanner(115200);
    LoopLink link(scanner, 57600);
    scanner.script().written = '^';
    Blocks b;
    b.Add("exfl", 3, 500, 1);
    T_FirmwareProgress progress{};
    // Only an extra group: the first block is the group's first.
    EXPECT_EQ(RunProtocol(link, b.Plan(0), &progress), 0);
    EXPECT_EQ(progress.baudChanged, 1);
    EXPECT_EQ(link.baudChanges, 1);  // 57600 -> 115200 was enough
    const auto& log = scanner.loader().log();
    EXPECT_EQ(Count(log, "~upBlock~"), 1u);  // heard (and acknowledged) at 115200 only
    ASSERT_EQ(scanner.loader().blocks().size(), 1u);
    // Handled as a main block from then on: no extra value with its type.
    EXPECT_EQ(scanner.loader().blocks()[0].file_type, "exfl");
}

TEST(FirmwareProtocol, LateLoaderAnswerIsNotThrownAway) {
    LoaderScanner scanner(115200);
    LoopLink link(scanner, 115200);
    Blocks b;
    b.Add("kern", 2, 300);
    b.Add("appl", 4, 300);
    // Every answer comes 15 ms late, after the 10-ms probe wait.
    link.answerDelay = 15ms;
    const auto start = Clock::now();
    EXPECT_EQ(RunProtocol(link, b.Plan(2)), 0);
    EXPECT_LT(Clock::now() - start, 15s);  // well before the loader wait ran out
    EXPECT_EQ(scanner.loader().blocks().size(), 2u);
}

TEST(FirmwareProtocol, ScannerThatKeepsAnsweringTheProbeFailsAtTheLoaderTimeOut) {
    // The application hears the loader's rate too, ignores the update switch
    // and answers every probe with '!': the wait for the loader must end.
    LoaderScanner scanner(9600);
    scanner.IgnoreSwitch(qvsim::SwitchFrame::update);
    LoopLink link(scanner, 9600);
    Blocks b;
    b.Add("kern", 2, 300);
    const auto start = Clock::now();
    EXPECT_EQ(RunProtocol(link, b.Plan(1)), qv::firmware::kFwProtocol);
    EXPECT_GE(Clock::now() - start, 19s);  // the 20-s loader wait
}

TEST(FirmwareProtocol, LinkOfAClosingHandleEndsTheUpdateAtOnce) {
    LoaderScanner scanner(115200);
    scanner.IgnoreSwitch(qvsim::SwitchFrame::update);
    LoopLink link(scanner, 115200);  // the probes at 9600 are never answered
    Blocks b;
    b.Add("kern", 2, 300);
    std::thread closer([&] {
        std::this_thread::sleep_for(300ms);
        link.cancelled = true;
    });
    const auto start = Clock::now();
    EXPECT_EQ(RunProtocol(link, b.Plan(1)), qv::firmware::kFwProtocol);
    closer.join();
    EXPECT_LT(Clock::now() - start, 5s);  // not the 20-s loader wait
}

TEST(FirmwareProtocol, FrameSizeSetting) {
    EXPECT_EQ(qv::firmware::FrameSizeFor(0), 512u);
    EXPECT_EQ(qv::firmware::FrameSizeFor(10), 32u);
    EXPECT_EQ(qv::firmware::FrameSizeFor(-7), 32u);
    EXPECT_EQ(qv::firmware::FrameSizeFor(5000), 4091u);
    EXPECT_EQ(qv::firmware::FrameSizeFor(1000), 1000u);
}

TEST(FirmwareProtocol, WriteBudget) {
    UpdateBlock b;
    b.type = 2;
    b.length = 10 * 1024 + 1000;  // whole KiB count: 10
    FirmwareSettings s;
    EXPECT_EQ(qv::firmware::WriteBudgetMs(b, false, s), 10 * 50 + 3000);
    s.extraFlashSeconds = 100;  // at most 60 s
    EXPECT_EQ(qv::firmware::WriteBudgetMs(b, false, s), 60000 + 10 * 50 + 3000);
    s.extraFlashSeconds = -5;
    EXPECT_EQ(qv::firmware::WriteBudgetMs(b, false, s), 10 * 50 + 3000);
    s.extraFlashSeconds = 0;
    b.type = 3;
    for (uint32_t extra : {9990u, 9995u, 9998u}) {
        b.extra = extra;
        EXPECT_EQ(qv::firmware::WriteBudgetMs(b, true, s), 10 * 500 + 3000) << extra;
        EXPECT_EQ(qv::firmware::WriteBudgetMs(b, false, s), 10 * 50 + 3000) << extra;
    }
    for (uint32_t extra : {9989u, 9996u, 9997u, 9999u}) {
        b.extra = extra;
        EXPECT_EQ(qv::firmware::WriteBudgetMs(b, true, s), 10 * 50 + 3000) << extra;
    }
}

TEST(FirmwareProtocol, QueryAnswer) {
    const std::string reply = std::string("\x02\x01" "0000#PRNQRY") + "QV-PRN-7" + "\x06;\x03";
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    EXPECT_EQ(qv::firmware::QueryAnswer(bytes, static_cast<uint32_t>(reply.size()), "PRNQRY"), "QV-PRN-7");
    EXPECT_EQ(qv::firmware::QueryAnswer(bytes, static_cast<uint32_t>(reply.size()), "CPNQRY"), "");
    const std::string nak = std::string("\x02\x01" "0000#PRNQRY") + "X" + "\x15;\x03";
    EXPECT_EQ(qv::firmware::QueryAnswer(reinterpret_cast<const uint8_t*>(nak.data()),
                                        static_cast<uint32_t>(nak.size()), "PRNQRY"),
              "");
    const std::string empty = std::string("\x02\x01" "0000#CPNQRY") + "\x06;\x03";
    EXPECT_EQ(qv::firmware::QueryAnswer(reinterpret_cast<const uint8_t*>(empty.data()),
                                        static_cast<uint32_t>(empty.size()), "CPNQRY"),
              "");
    EXPECT_EQ(qv::firmware::QueryAnswer(bytes, 5, "PRNQRY"), "");
}

}  // namespace
