// The engine when its device is lost or its handle is being closed: every
// exchange and read ends at the first failed read, with its failure value, and
// keeps what already came where its contract says so. Also the engine's
// cancel, which reaches the transport without taking the engine's own lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/qvscan.h"
#include "hang_guard.h"
#include "quorvia.h"
#include "scripted_transport.h"

using namespace std::chrono_literals;
using qvtest::Bounded;
using qvtest::ScriptedTransport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPrefix("\x02\x01" "0000", 6);

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class EngineLoss : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }

    qvtest::ScriptedEngine scripted;
    ScriptedTransport* transport = scripted.transport;
    std::unique_ptr<qv::CQVScan>& engine = scripted.engine;
    T_DevicesInfo*& device = scripted.device;
};

}  // namespace

TEST_F(EngineLoss, UnframedReplyKeepsWhatCameBeforeTheLoss) {
    // Part of a raw reply, then the device goes away before 51 ms of silence.
    transport->QueueReply({{5, "PARTIAL"}});
    transport->FailReadsWith(-1);
    char out[64];
    int32_t len = sizeof out;
    ASSERT_TRUE(engine->GetOtherResponse(device, "?", 1, out, &len, 0, false));
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)), "PARTIAL");
    // Nothing at all before the loss is a failure.
    len = sizeof out;
    EXPECT_FALSE(engine->GetOtherResponse(device, "?", 1, out, &len, 0, false));
    EXPECT_EQ(len, 0);
}

TEST_F(EngineLoss, CommandWhoseReplyWasCutByTheLossIsNotAccepted) {
    // A silent device is "accepted" after the read time-out...
    transport->QueueReply({});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdAccepted);
    // ...but a device lost before its reply was complete accepted nothing.
    transport->QueueReply({{5, kPrefix + "@BEEP"}});
    transport->FailReadsWith(-1);
    const auto t0 = Clock::now();
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdNotWritten);
    EXPECT_LT(MsSince(t0), 1500);  // did not sit out the 2 s reply wait
}

TEST_F(EngineLoss, CancelEndsEveryWaitWithoutTheEngineLock) {
    // Each of these waits without a time-out on a silent device and holds the
    // engine's lock meanwhile; the cancel must not need that lock.
    std::vector<char> codes(0x100000);
    std::atomic<int> other{-1}, code{-1}, command{-1};
    std::thread a([&] {
        char out[64];
        int32_t len = sizeof out;
        other = engine->GetOtherResponse(device, "?", 1, out, &len, 0, false) ? 1 : 0;
    });
    std::thread b([&] {
        int32_t len = 0;
        code = engine->GetCodeData(device, codes.data(), &len, -1) ? 1 : 0;
    });
    std::thread c([&] {
        char out[64];
        int32_t len = sizeof out;
        command = engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 0, true) ? 1 : 0;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(other.load() + code.load() + command.load(), -3);  // all still waiting
    const auto t0 = Clock::now();
    Bounded("CQVScan::Cancel", 20000ms, [&] { engine->Cancel(device); });
    Bounded("the engine's waits after a cancel", 20000ms, [&] {
        a.join();
        b.join();
        c.join();
    });
    EXPECT_LT(MsSince(t0), 5000);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(code.load(), 0);
    EXPECT_EQ(command.load(), 0);

    // A record of a kind without a transport is left alone.
    T_DevicesInfo stray;
    qv::InitDeviceRecord(&stray);
    stray.transportKind = 7;
    engine->Cancel(&stray);
    engine->Cancel(nullptr);
}
