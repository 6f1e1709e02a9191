#include "firmware/firmware_update.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "core/crc32.h"
#include "core/log.h"

namespace qv::firmware {
namespace {

using Clock = std::chrono::steady_clock;

// Single-byte signals.
constexpr uint8_t kProbe = '?';
constexpr uint8_t kLoaderReady = '<';
constexpr uint8_t kApplication = '!';
constexpr uint8_t kSwitchAck = 0x06;
constexpr uint8_t kFrameOk = '*';
constexpr uint8_t kErasing = '.';
constexpr uint8_t kErased = ';';
constexpr uint8_t kWritten = '^';

// Switch frames: 7E 00 00 len text, then the complement of the XOR of the
// three bytes after 7E and the text.
const uint8_t kUpdateSwitch[] = {0x7E, 0x00, 0x00, 0x08, '~', 'u', 'p', 'D', 'a', 't', 'e', '~', 0xC6};
const uint8_t kUpgradeSwitch[] = {0x7E, 0x00, 0x00, 0x09, '~', 'u', 'p', 'G', 'r', 'a', 'd', 'e', '~', 0xA6};
const uint8_t kBlockSwitch[] = {0x7E, 0x00, 0x00, 0x09, '~', 'u', 'p', 'B', 'l', 'o', 'c', 'k', '~', 0xBA};

constexpr uint32_t kMaxBlocks = 4;
constexpr uint32_t kDefaultFrameSize = 512;
constexpr uint32_t kFallbackFrameSize = 256;
constexpr uint32_t kMinFrameSize = 32;
constexpr uint32_t kMaxFrameSize = 4091;
constexpr uint32_t kLoaderBaud = 9600;
constexpr uint32_t kFastBaud = 115200;
constexpr uint8_t kExtraBlockProgressType = 16;
constexpr int32_t kFirstLoaderWaitMs = 20000;
constexpr int32_t kLaterLoaderWaitMs = 10000;
constexpr int32_t kProbeWaitMs = 10;
constexpr int32_t kComebackWaitMs = 20000;
constexpr int32_t kRetryLimitMs = 9999;
constexpr int32_t kRetryPauseMs = 100;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n <= 0 ? std::string() : std::string(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1));
}

// The one run of the protocol over a plan.
class UpdateRun {
public:
    UpdateRun(FirmwareLink& link, const UpdatePlan& plan, const FirmwareSettings& settings,
              T_FirmwareProgress* progress)
        : link_(link), plan_(plan), settings_(settings), progress_(*progress) {
        total_ = plan.mainCount + plan.extraCount;
        mainCount_ = plan.mainCount;
        // In an "efp" package of any variant but 2 the extra blocks are
        // handled exactly as main blocks.
        if (plan.efp && plan.variant != 2) mainCount_ = total_;
    }

    int32_t Run() {
        for (uint32_t u = 0; u < total_ && u < 16; ++u) {
            const bool extra = u >= plan_.mainCount;
            const bool ownType = plan_.efp && plan_.variant != 2;
            StoreProgress(progress_.blockTypes[u],
                          static_cast<uint8_t>(extra && !ownType ? kExtraBlockProgressType : plan_.blocks[u].type));
        }
        if (mainCount_ > 0 || plan_.efp) link_.StartWatch();
        int32_t rc = kFwOk;
        for (uint32_t u = 0; u < total_ && rc == kFwOk; ++u) rc = RunBlock(u);
        link_.StopWatch();
        return rc;
    }

private:
    // ---------------------------------------------------------------- helpers

    bool Cancelled() { return link_.Cancelled(); }

    int ReadByte(int32_t waitMs) {
        uint8_t b = 0;
        return link_.Read(&b, 1, waitMs, -2, nullptr, 0) == 1 ? b : -1;
    }

    bool WriteBytes(const uint8_t* data, uint32_t len) { return link_.Write(data, len); }

    bool Exchange(int32_t waitMs, const std::string& text) {
        lastResult_ = 0;
        const bool ok = link_.Exchange(waitMs, text, &lastResult_);
        QV_LOG("%s %d %s -> %s (0x%02X)\n", "firmware", __LINE__, text.c_str(), ok ? "accepted" : "refused",
               lastResult_);
        return ok;
    }

    void SetStep(uint32_t step) { StoreProgress(progress_.step, step); }
    void SetPercent(int step, int64_t percent) {
        StoreProgress(progress_.stepPercent[step], static_cast<uint32_t>(std::clamp<int64_t>(percent, 0, 100)));
    }

    bool LineIs115200_8N1() {
        LinkLine line;
        return link_.GetLine(&line) && line.baud == kFastBaud && line.dataBits == 8 && line.parity == 0 &&
               line.stopBits == 0;
    }

    // ---------------------------------------------------------------- one block

    int32_t RunBlock(uint32_t u) {
        StoreProgress(progress_.block, u);
        const bool extraGroup = u >= mainCount_;
        asExtra_ = extraGroup;
        commSwitched_ = false;
        SetStep(0);
        int32_t rc = kFwOk;
        if (u == 0 || u == mainCount_) {
            rc = Prepare(u);
        } else if (!extraGroup) {
            rc = WaitForLoader(u);
        }
        if (rc == kFwOk) rc = LoaderReady(u);
        if (rc == kFwOk) rc = SettingsParameters(u);
        if (rc == kFwOk) rc = SendData(u);
        if (rc == kFwOk) rc = WaitWritten(u);
        if (rc == kFwOk) rc = AfterBlock(u);
        return rc;
    }

    // Step 1: find out whether the loader runs; switch to it when not.
    int32_t Prepare(uint32_t u) {
        QV_LOG("<<<----------------Step 1: Prepare  ---------------->>>\n");
        if (!link_.IsOpen() && u > 0) {
            // The main group's end stopped the port (the scanner left its
            // loader): it must be back before the extra group can begin.
            if (!link_.Reopen(kComebackWaitMs, haveSaved_ ? &saved_ : nullptr)) return Fail("port not back");
        }
        if (link_.HasLine()) haveSaved_ = link_.GetLine(&saved_);
        QV_LOG("    ---------------- Checking  ----------------\n");
        // Whatever arrived before (a barcode scanned just now) is no answer
        // to the probe.
        link_.Purge(0);
        if (!WriteBytes(&kProbe, 1)) return Fail("probe not written");
        const int c = ReadByte(500);
        const bool mainGroup = u < mainCount_;
        if (mainGroup) {
            if (c == kLoaderReady) {
                QV_LOG("in_kernel:%u check_kernel:%u\n", 0u, 0u);
                alreadyInLoader_ = true;
                return kFwOk;
            }
            if (c < 0) {
                // No answer to the probe: a loader that takes commands but
                // does not answer '?' accepts "!Frames:9".
                if (Exchange(2000, "!Frames:9")) {
                    QV_LOG("in_kernel:%u check_kernel:%u\n", 0u, 0u);
                    alreadyInLoader_ = true;
                    return kFwOk;
                }
            } else if (c != kApplication) {
                return Fail("unexpected answer to the probe");
            }
            QV_LOG("in_kernel:%u check_kernel:%u\n", 1u, 0u);
            return SwitchToLoader(u, true);
        }
        // The first extra block: the application (or a scanner that did not
        // hear the probe at this rate) is asked for the block loader.
        if (c >= 0 && c != kApplication) return Fail("unexpected answer to the probe");
        if (!link_.HasBlockSwitch()) {
            // The application must answer; it is switched as for a main
            // block, and its loader is ready once the switch is taken.
            if (c < 0) return Fail("no answer to the probe");
            QV_LOG("in_kernel:%u check_kernel:%u\n", 1u, 0u);
            return SwitchToLoader(u, false);
        }
        return BlockSwitch(u);
    }

    // `waitForLoader` false: the loader is taken as ready once the switch went out.
    int32_t SwitchToLoader(uint32_t u, bool waitForLoader) {
        if (plan_.upgradeMode) {
            QV_LOG("    ---------------- Send  ~upGrade~ ----------------\n");
            if (!WriteBytes(kUpgradeSwitch, sizeof kUpgradeSwitch)) return Fail("upgrade switch not written");
            const int c = ReadByte(500);
            if (c == kSwitchAck) {
                upgradeAcked_ = true;
                return waitForLoader ? WaitForLoader(u) : kFwOk;
            }
            if (c >= 0) return Fail("upgrade switch refused");
        }
        QV_LOG("    ---------------- Send  ~upDate~ ----------------\n");
        if (!WriteBytes(kUpdateSwitch, sizeof kUpdateSwitch)) return Fail("update switch not written");
        const int c = ReadByte(500);
        QV_LOG("cmd_upDate reponse: 0x%02X\n", c < 0 ? 0u : static_cast<unsigned>(c));
        updateSwitchSent_ = true;
        return waitForLoader ? WaitForLoader(u) : kFwOk;
    }

    int32_t BlockSwitch(uint32_t u) {
        if (!WriteBytes(kBlockSwitch, sizeof kBlockSwitch)) return Fail("block switch not written");
        int c = ReadByte(500);
        if (c == kSwitchAck) return kFwOk;
        if (c >= 0) return Fail("block switch refused");
        if (link_.HasLine()) {
            LinkLine line;
            const uint32_t current = link_.GetLine(&line) ? line.baud : 0;
            for (uint32_t rate : {kFastBaud, kLoaderBaud}) {
                if (rate == current) continue;
                link_.SetBaud(rate);
                if (!WriteBytes(kBlockSwitch, sizeof kBlockSwitch)) return Fail("block switch not written");
                c = ReadByte(500);
                if (c == kSwitchAck) {
                    StoreProgress(progress_.baudChanged, uint8_t{1});
                    break;
                }
            }
        }
        // From here on the block is handled as a main block.
        asExtra_ = false;
        return WaitForLoader(u);
    }

    // Probes until the loader answers '<'.
    int32_t WaitForLoader(uint32_t u) {
        QV_LOG("    ---------------- Send ???... ----------------\n");
        const int32_t limitMs = u == 0 ? kFirstLoaderWaitMs : kLaterLoaderWaitMs;
        const LinkLine loaderLine{kLoaderBaud, 8, 0, 0, 0};
        if (link_.HasLine()) link_.SetBaud8N1(kLoaderBaud);
        link_.Purge(20);
        if (u == 0 && updateSwitchSent_ && !plan_.upgradeMode && link_.LeavesOnSwitch()) {
            // The scanner re-enumerates to run its loader.
            link_.Stop();
        }
        auto start = Clock::now();
        for (;;) {
            if (Cancelled()) return Fail("cancelled while waiting for the loader");
            // What arrived since the last probe is dropped, but a late '<'
            // among it is still the loader's answer.
            if (TakeReceived(kLoaderReady)) return kFwOk;
            if (!WriteBytes(&kProbe, 1)) {
                if (u > 0) {
                    QV_LOG("write failed. ");
                    return Fail("probe not written");
                }
                QV_LOG("write failed. close. can_reconnect:%u\n", updateSwitchSent_ ? 1u : 0u);
                link_.Stop();
                if (!(updateSwitchSent_ && link_.Watching())) return Fail("scanner gone after the switch");
                if (!link_.Reopen(kComebackWaitMs, &loaderLine)) return Fail("scanner not back after the switch");
                reconnected_ = true;
                start = Clock::now();  // the loader's own wait begins now
                continue;
            }
            const int c = ReadByte(kProbeWaitMs);
            if (c == kLoaderReady) return kFwOk;
            if (c >= 0) {
                QV_LOG("********** Error: Invalid Reponse ch:%02X !!!!!!!!!!\n", static_cast<unsigned>(c));
                link_.Purge(20);
            }
            const int64_t elapsed = MsSince(start);
            SetPercent(0, elapsed * 100 / limitMs);
            if (elapsed * 100 / limitMs > 99) return Fail("the loader did not answer");
        }
    }

    // Takes what was received without waiting; true when `wanted` was among it.
    bool TakeReceived(uint8_t wanted) {
        uint8_t chunk[4096];
        bool seen = false;
        for (;;) {
            const uint32_t n = link_.Read(chunk, sizeof chunk, 0, -2, nullptr, 0);
            if (std::memchr(chunk, wanted, n) != nullptr) seen = true;
            if (n < sizeof chunk) return seen;
        }
    }

    // The loader answered: the line goes to 115200 baud where it can.
    int32_t LoaderReady(uint32_t u) {
        link_.Purge(20);
        if (link_.HasLine() && (plan_.efp || u <= mainCount_) && !LineIs115200_8N1()) {
            if (Exchange(2000, "#COMM:115200,8,0,1")) {
                SleepMs(20);
                link_.SetBaud8N1(kFastBaud);
                WriteBytes(&kFrameOk, 1);
                ReadByte(200);
                commSwitched_ = true;
            }
        }
        SetPercent(0, 100);
        SetStep(1);
        link_.Purge(20);
        return kFwOk;
    }

    // Step 2: block length, type, frame size and count; then ">Start".
    int32_t SettingsParameters(uint32_t u) {
        const UpdateBlock& b = plan_.blocks[u];
        frameSize_ = FrameSizeFor(settings_.frameSize);
        frames_ = (b.length + frameSize_ - 1) / frameSize_;
        const bool typeWithExtra = b.type == kBlockFlash && (plan_.upgradeMode || asExtra_);
        const std::string fileType =
            typeWithExtra ? Format("!FileType:%.4s:%u", b.tag, b.extra) : Format("!FileType:%.4s", b.tag);
        QV_LOG("----------------Step 2: Settings Parameters(DataLens:%u, FileType:%s:%u,FrameSize:%u, "
               "Frames:%u)----------------",
               b.length, b.tag, b.extra, frameSize_, frames_);
        const std::string dataLens = Format("!DataLens:%u", b.length);
        if (!Exchange(2000, dataLens)) {
            QV_LOG("Failed to get reponse");
            if (!commSwitched_) return Fail("!DataLens refused");
            // The line change may not have settled: once more at 115200.
            link_.SetBaud8N1(kFastBaud);
            link_.Purge(20);
            if (!Exchange(2000, dataLens)) return Fail("!DataLens refused");
        }
        if (!Exchange(2000, fileType)) return Fail("!FileType refused");
        if (!Exchange(2000, Format("!FrameSize:%u", frameSize_))) return Fail("!FrameSize refused");
        if (!Exchange(2000, Format("!Frames:%u", frames_))) return Fail("!Frames refused");

        const int32_t startWaitMs = asExtra_ ? 3000 : 2000;
        if (Exchange(startWaitMs, ">Start")) return kFwOk;
        const uint8_t r = lastResult_;
        QV_LOG("    >Start reponse:%02X(%c) ", r, r >= 0x20 && r < 0x7F ? r : '.');
        if ((r == '3' || r == '4') && settings_.frameSize == 0 && frameSize_ != kFallbackFrameSize) {
            frameSize_ = kFallbackFrameSize;
            frames_ = (b.length + frameSize_ - 1) / frameSize_;
            if (!Exchange(2000, Format("!FrameSize:%u", frameSize_))) return Fail("!FrameSize refused");
            if (!Exchange(2000, Format("!Frames:%u", frames_))) return Fail("!Frames refused");
        }
        if (r == '4') {
            if (!Exchange(4000, ">Erase")) return Fail(">Erase refused");
            for (;;) {
                if (Cancelled()) return Fail("cancelled while erasing");
                const int c = ReadByte(4000);
                if (c == kErasing) continue;
                if (c != kErased) return Fail("erase did not finish");
                link_.Purge(20);
                return kFwOk;
            }
        }
        if (r == '3') return Exchange(150000, ">Erase") ? kFwOk : Fail(">Erase refused");
        if (r == '2' && asExtra_) {
            // The scanner waits for its reset button.
            StoreProgress(progress_.waitingForReset, uint8_t{1});
            QV_LOG("Retry...   Please press reset button on the scanner in %u ms.", 10000u);
            const auto start = Clock::now();
            for (;;) {
                if (Cancelled()) return Fail("cancelled while waiting for the reset button");
                SleepMs(kRetryPauseMs);
                if (Exchange(startWaitMs, ">Retry")) {
                    StoreProgress(progress_.waitingForReset, uint8_t{0});
                    return kFwOk;
                }
                if (lastResult_ != '2') return Fail(">Retry refused");
                const int64_t elapsed = MsSince(start);
                SetPercent(1, elapsed / 100);
                if (elapsed > kRetryLimitMs) return Fail("reset button not pressed");
            }
        }
        return Fail(">Start refused");
    }

    // Step 3: the block in data frames, each acknowledged with '*'.
    int32_t SendData(uint32_t u) {
        const UpdateBlock& b = plan_.blocks[u];
        SetPercent(1, 100);
        SetStep(2);
        QV_LOG("----------------Step 3: Sending data ----------------");
        link_.Purge(0);
        std::vector<uint8_t> frame(frameSize_ + 5);
        for (uint32_t i = 0; i < frames_; ++i) {
            if (Cancelled()) return Fail("cancelled while sending");
            if (settings_.sendIntervalMs >= 0 && settings_.sendIntervalMs <= 200) SleepMs(settings_.sendIntervalMs);
            SetPercent(2, static_cast<int64_t>(i) * 100 / frames_);
            const uint32_t at = i * frameSize_;
            const uint32_t n = std::min(frameSize_, b.length - at);
            frame[0] = 0x02;
            std::memcpy(frame.data() + 1, b.data + at, n);
            std::memset(frame.data() + 1 + n, 0, frameSize_ - n);
            const uint32_t crc = Crc32(frame.data(), frameSize_ + 1);
            for (int k = 0; k < 4; ++k) frame[frameSize_ + 1 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
            if (!WriteBytes(frame.data(), static_cast<uint32_t>(frame.size()))) return Fail("data frame not written");
            if (ReadByte(4000) != kFrameOk) return Fail("data frame not acknowledged");
        }
        if (ReadByte(4000) != kFrameOk) return Fail("block not acknowledged");
        QV_LOG("Download data all over");
        return kFwOk;
    }

    // Step 4: the scanner writes the block and answers '^'.
    int32_t WaitWritten(uint32_t u) {
        const UpdateBlock& b = plan_.blocks[u];
        SetPercent(2, 100);
        SetStep(3);
        QV_LOG("----------------Step 4: Wait Update to complete ----------------");
        link_.ResetArrival();
        const int64_t budgetMs = WriteBudgetMs(b, plan_.upgradeMode, settings_);
        const auto start = Clock::now();
        for (;;) {
            if (Cancelled()) return Fail("cancelled while the block is written");
            const int c = ReadByte(100);
            if (c < 0) {
                // A main block outside upgrade mode needs no answer.
                if (!asExtra_ && !plan_.upgradeMode) return kFwOk;
                const int64_t elapsed = MsSince(start);
                SetPercent(3, elapsed * 100 / budgetMs);
                if (elapsed * 100 / budgetMs > 99) return Fail("block not written in time");
                continue;
            }
            QV_LOG("\t    Get reponse:%02X(%c)    ", c, c >= 0x20 && c < 0x7F ? c : '.');
            if (c == kWritten) return kFwOk;
            QV_LOG("%s %d the scanner failed to write block %u\n", "firmware", __LINE__, u);
            return kFwWriteFailed;
        }
    }

    int32_t AfterBlock(uint32_t u) {
        const uint32_t next = u + 1;
        const bool extraGroup = u >= mainCount_;
        const bool groupEnd = next == mainCount_ || next == total_;
        if (groupEnd) {
            bool exit = plan_.upgradeMode || extraGroup;
            if (plan_.efp) exit = !(plan_.variant == 3 && exit);
            if (exit) {
                QV_LOG("    ---------------- Send @Exit ----------------\n");
                if (!Exchange(500, "@Exit")) QV_LOG(" ************* Error:@Exit  !!!!!!!!!!!!!!!!");
            }
            SetPercent(3, 100);
            link_.Purge(10);
            if (reconnected_ || alreadyInLoader_) {
                // The scanner leaves its loader and comes back as its
                // application: the port is reopened where it comes back,
                // with the line the application uses.
                return link_.ComeBackAfterGroup(kComebackWaitMs, haveSaved_ ? &saved_ : nullptr);
            }
            if (upgradeAcked_) link_.Stop();
            LinkLine now;
            if (link_.HasLine() && haveSaved_ && link_.IsOpen() && link_.GetLine(&now) && !(now == saved_)) {
                link_.SetLine(saved_);
            }
            if (next < total_) SleepMs(1000);  // both groups: the extra group follows
            return kFwOk;
        }
        const bool nextExtra = next >= mainCount_;
        if (!link_.SendsBetweenBlocks()) {
            if (nextExtra) link_.Purge(100);
            return kFwOk;
        }
        if (plan_.efp && plan_.variant == 3) return kFwOk;
        if (plan_.efp && plan_.variant == 1) {
            Exchange(500, "@NextDown");
            return kFwOk;
        }
        if (!nextExtra) {
            if (plan_.upgradeMode) Exchange(500, "@NextDown");
            return kFwOk;
        }
        link_.Purge(100);
        Exchange(500, "@NextBlock");
        return kFwOk;
    }

    int32_t Fail(const char* why) {
        QV_LOG("%s %d update failed: %s\n", "firmware", __LINE__, why);
        return kFwProtocol;
    }

    FirmwareLink& link_;
    const UpdatePlan& plan_;
    const FirmwareSettings& settings_;
    T_FirmwareProgress& progress_;
    uint32_t total_ = 0;
    uint32_t mainCount_ = 0;  // blocks handled as main blocks

    bool alreadyInLoader_ = false;  // the loader ran before any switch
    bool reconnected_ = false;      // the port was reopened after the switch
    bool updateSwitchSent_ = false;
    bool upgradeAcked_ = false;
    bool haveSaved_ = false;
    LinkLine saved_;

    bool asExtra_ = false;          // this block gets the extra group's handling
    bool commSwitched_ = false;     // "#COMM:115200,8,0,1" was accepted for this block
    uint32_t frameSize_ = kDefaultFrameSize;
    uint32_t frames_ = 0;
    uint8_t lastResult_ = 0;
};

// The PRNQRY / CPNQRY answer of the scanner (empty when it gave none).
std::string AskScanner(FirmwareLink& link, const char* command) {
    uint8_t query[15] = {0x7E, 0x01, '0', '0', '0', '0', '#'};
    std::memcpy(query + 7, command, 6);
    query[13] = ';';
    query[14] = 0x03;
    link.Purge(0);
    if (!link.Write(query, sizeof query)) return {};
    static const uint8_t kEnd[2] = {';', 0x03};
    uint8_t reply[1024];
    uint32_t n = link.Read(reply, sizeof reply, 1000, 500, kEnd, 2);
    if (n <= 16) n += link.Read(reply + n, sizeof reply - n, 1000, 500, kEnd, 2);
    return QueryAnswer(reply, n, command);
}

int32_t UpdateOverLink(FirmwareLink& link, const char16_t* fileName, const FirmwareSettings& settings,
                       T_FirmwareProgress* progress);

}  // namespace

int64_t WriteBudgetMs(const UpdateBlock& block, bool upgradeMode, const FirmwareSettings& settings) {
    const bool slowFlash = block.type == kBlockFlash && upgradeMode &&
                           ((block.extra >= 9990 && block.extra <= 9995) || block.extra == 9998);
    const int64_t extraMs = static_cast<int64_t>(std::clamp(settings.extraFlashSeconds, 0, 60)) * 1000;
    return extraMs + static_cast<int64_t>(block.length / 1024) * (slowFlash ? 500 : 50) + 3000;
}

uint32_t FrameSizeFor(int32_t setting) {
    if (setting == 0) return kDefaultFrameSize;
    return static_cast<uint32_t>(std::clamp<int32_t>(setting, kMinFrameSize, kMaxFrameSize));
}

std::string QueryAnswer(const uint8_t* reply, uint32_t len, const char* command) {
    uint8_t head[13] = {0x02, 0x01, '0', '0', '0', '0', '#'};
    std::memcpy(head + 7, command, 6);
    if (len < sizeof head + 3 || std::memcmp(reply, head, sizeof head) != 0) return {};
    if (reply[len - 3] != 0x06 || reply[len - 2] != ';' || reply[len - 1] != 0x03) return {};
    return std::string(reinterpret_cast<const char*>(reply) + sizeof head, len - sizeof head - 3);
}

int32_t RunUpdateProtocol(FirmwareLink& link, const UpdatePlan& plan, const FirmwareSettings& settings,
                          T_FirmwareProgress* progress) {
    T_FirmwareProgress own{};
    UpdateRun run(link, plan, settings, progress != nullptr ? progress : &own);
    return run.Run();
}

int32_t UpdateFirmwareOverLink(FirmwareLink& link, const char16_t* fileName, const FirmwareSettings& settings,
                               T_FirmwareProgress* progress) {
    try {
        return UpdateOverLink(link, fileName, settings, progress);
    } catch (const std::bad_alloc&) {
        QV_LOG("%s %d out of memory\n", "firmware", __LINE__);
        return kFwNoMemory;
    }
}

namespace {

int32_t UpdateOverLink(FirmwareLink& link, const char16_t* fileName, const FirmwareSettings& settings,
                       T_FirmwareProgress* progress) {
    PackageInfo info;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    const int32_t loaded = LoadFirmwarePackage(fileName, &info, &bytes, &size);
    if (loaded != kFwOk) {
        QV_LOG("%s %d package not loaded: %d\n", "firmware", __LINE__, loaded);
        return loaded;
    }

    // The blocks to send: main blocks of type 1..4 first, then the extra
    // blocks. "pak"/"pk2" leave the boot block out.
    std::vector<UpdateBlock> blocks;
    UpdatePlan plan;
    plan.efp = info.kind == kKindEfp;
    plan.variant = info.variant;
    plan.upgradeMode = info.kind == kKindBin || ((info.kind == kKindNfp || plan.efp) && info.upgradeMode == 1);
    for (const PackageBlock& pb : info.blocks) {
        if (info.kind == kKindPak && pb.type == kBlockBoot) continue;
        UpdateBlock b;
        b.data = bytes.get() + pb.offset;
        b.length = pb.length;
        b.type = pb.type;
        b.extra = pb.extra;
        std::memcpy(b.tag, pb.tag, sizeof b.tag);
        blocks.push_back(b);
        ++(pb.extraGroup ? plan.extraCount : plan.mainCount);
    }
    QV_LOG("total blocks:%u+%u\n", plan.mainCount, plan.extraCount);

    if (plan.efp) {
        // Does the package fit this scanner?
        if (!link.IsOpen()) return kFwPortClosed;
        const std::string prn = AskScanner(link, "PRNQRY");
        const std::string cpn = AskScanner(link, "CPNQRY");
        if (!link.IsOpen()) return kFwPortClosed;
        if (prn != info.prn || cpn != info.cpn) {
            QV_LOG("%s %d package does not fit: PRN [%s] / [%s], CPN [%s] / [%s]\n", "firmware", __LINE__,
                   prn.c_str(), info.prn.c_str(), cpn.c_str(), info.cpn.c_str());
            return kFwDoesNotFit;
        }
    }
    if (blocks.empty()) {
        QV_LOG("No Blokcs to Update.");
        return kFwNoBlock;
    }
    if (blocks.size() > kMaxBlocks) return kFwBadArguments;
    for (const UpdateBlock& b : blocks) {
        if (b.length == 0 || b.type < kBlockBoot || b.type > kBlockApp) return kFwBadArguments;
    }
    if (!link.IsOpen()) return kFwPortClosed;

    plan.blocks = blocks.data();
    const int32_t rc = RunUpdateProtocol(link, plan, settings, progress);
    QV_LOG("upgrade_kernel_impl ret=%d\n", rc);
    if (rc != kFwOk) {
        uint8_t result = 0;
        link.Exchange(100, "@Exit", &result);
    }
    return rc;
}

}  // namespace

}  // namespace qv::firmware
