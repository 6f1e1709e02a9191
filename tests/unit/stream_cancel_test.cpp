// Cancelling a port stream (what a close does first): blocked read waits and a
// write stalled on a peer that never reads end at once, later reads and writes
// fail at once, the close that follows ends, and the next open clears it. Also
// the COM open's purge of both directions. Over real ptys, every wait that
// used to hang under a hang guard.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fake_port_device.h"
#include "hang_guard.h"
#include "portstream/qvds.h"
#include "pty_pair.h"
#include "quorvia.h"
#include "test_env.h"
#include "transport/serial_communication.h"

namespace {

using namespace std::chrono_literals;
using qvtest::Bounded;
using qvtest::PtyPair;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kCom = 9;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Each test declares its own pty and a settings file of its own.
class StreamCancel : public ::testing::Test {
protected:
    void SetUp() override {
        settings_ = std::make_unique<qvtest::TempDir>("qv_cancel");
        env_ = std::make_unique<qvtest::ScopedEnv>("QUORVIA_SETTINGS", (settings_->path() / "none.ini").string());
    }
    void TearDown() override {
        for (QvdsStream* s : streams_) {
            Bounded("qvds_destory", 20000ms, [&] { qvds_destory(s); });
        }
        ports_.reset();
    }

    // A stream open on `pty` as COM kCom.
    QvdsStream* Open(PtyPair& pty) {
        ports_ = std::make_unique<qvtest::ScopedEnv>("QUORVIA_COM_PORTS",
                                                     "COM" + std::to_string(kCom) + "=" + pty.slave_path() + ":serial");
        QvdsStream* s = qvds_create();
        EXPECT_NE(s, nullptr);
        streams_.push_back(s);
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
        EXPECT_EQ(status, QVDS_OK);
        return s;
    }

    std::unique_ptr<qvtest::TempDir> settings_;
    std::unique_ptr<qvtest::ScopedEnv> env_;
    std::unique_ptr<qvtest::ScopedEnv> ports_;
    std::vector<QvdsStream*> streams_;
};

TEST_F(StreamCancel, WakesABlockedReadAndFailsLaterReadsAtOnce) {
    PtyPair pty;
    QvdsStream* s = Open(pty);
    uint32_t status = 99;
    uint32_t got = 99;
    std::atomic<long long> took{-1};
    std::thread reader([&] {
        uint8_t buf[64];
        const auto start = Clock::now();
        got = qvds_read(s, buf, sizeof buf, 20000, 20000, nullptr, 0, &status);
        took = MsSince(start);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(took.load(), -1);  // still waiting for its first byte
    const auto cancelAt = Clock::now();
    qvds_cancel(s);
    Bounded("a read across a cancel", 20000ms, [&] { reader.join(); });
    EXPECT_LT(MsSince(cancelAt), 3000) << "the read sat out its 20 s wait";
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(status, static_cast<uint32_t>(QVDS_CLOSED));
    EXPECT_TRUE(qvds_cancelled(s));
    EXPECT_TRUE(qvds_is_open(s));  // cancelled, not closed: the close comes next

    // Bytes that arrive after the cancel are not handed out, and no read waits.
    ASSERT_TRUE(pty.WriteMaster("late bytes"));
    std::this_thread::sleep_for(200ms);
    uint8_t buf[64];
    const auto start = Clock::now();
    status = 99;
    EXPECT_EQ(qvds_read(s, buf, sizeof buf, 20000, 20000, nullptr, 0, &status), 0u);
    EXPECT_EQ(status, static_cast<uint32_t>(QVDS_CLOSED));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_FALSE(qvds_write(s, "x", 1));
    EXPECT_EQ(qvds_purge(s, 20), 10u);  // the purge drains what is buffered and returns
    Bounded("qvds_close of a cancelled stream", 20000ms, [&] { qvds_close(s); });
    EXPECT_FALSE(qvds_is_open(s));
}

TEST_F(StreamCancel, EndsAWriteToAPeerThatNeverReads) {
    PtyPair pty;  // the master side is never read
    QvdsStream* s = Open(pty);
    const std::vector<uint8_t> big(1 << 20, 'W');
    std::atomic<int> written{-1};
    std::thread writer([&] { written = qvds_write(s, big.data(), static_cast<uint32_t>(big.size())) ? 1 : 0; });
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(written.load(), -1) << "the pty took 1 MiB without a reader";
    // The writer holds the stream lock; the cancel needs none of its locks.
    const auto cancelAt = Clock::now();
    Bounded("qvds_cancel during a stalled write", 20000ms, [&] { qvds_cancel(s); });
    Bounded("a stalled write across a cancel", 20000ms, [&] { writer.join(); });
    EXPECT_LT(MsSince(cancelAt), 3000);
    EXPECT_EQ(written.load(), 0);
    // The close no longer waits for the write, and the reader closes the port.
    Bounded("qvds_close after a cancelled write", 20000ms, [&] { qvds_close(s); });
    EXPECT_FALSE(qvds_is_open(s));

    // The next open clears the cancel: reads and writes work again.
    uint32_t status = 99;
    pty.DrainMaster(50);
    ASSERT_TRUE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
    EXPECT_FALSE(qvds_cancelled(s));
    ASSERT_TRUE(qvds_write(s, "ping", 4));
    EXPECT_EQ(pty.ReadMaster(4, 5000), (Bytes{'p', 'i', 'n', 'g'}));
    ASSERT_TRUE(pty.WriteMaster("pong"));
    uint8_t buf[8];
    status = 99;
    const uint32_t n = qvds_read(s, buf, 4, 5000, 100, nullptr, 0, &status);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "pong");
    EXPECT_EQ(status, static_cast<uint32_t>(QVDS_OK));
}

TEST_F(StreamCancel, BeforeAnyWaitAndOnClosedOrMissingStreams) {
    qvds_cancel(nullptr);  // nothing to cancel
    EXPECT_FALSE(qvds_cancelled(nullptr));
    PtyPair pty;
    QvdsStream* s = Open(pty);
    qvds_cancel(s);
    const auto start = Clock::now();
    uint8_t buf[16];
    uint32_t status = 99;
    EXPECT_EQ(qvds_read(s, buf, sizeof buf, 20000, 20000, nullptr, 0, &status), 0u);
    EXPECT_EQ(status, static_cast<uint32_t>(QVDS_CLOSED));
    EXPECT_FALSE(qvds_write(s, "ping", 4));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(pty.DrainMaster(100).empty());  // nothing was written
    qvds_close(s);
    qvds_cancel(s);  // a closed stream: harmless
    EXPECT_FALSE(qvds_is_open(s));
}

TEST_F(StreamCancel, AFakeDeviceIsCancelledWithItsStream) {
    auto [dev, ctl] = qvtest::MakeFakePort();
    QvdsStream* s = qvds_create();
    ASSERT_NE(s, nullptr);
    streams_.push_back(s);
    uint32_t status = 99;
    ASSERT_TRUE(qvds_open_device(s, std::move(dev), QVDS_KIND_VENDOR, &status));
    EXPECT_FALSE(ctl->Cancelled());
    qvds_cancel(s);
    EXPECT_TRUE(ctl->Cancelled());
    EXPECT_EQ(ctl->WriteAttempts(), 0);
}

TEST_F(StreamCancel, TheSerialTransportReportsACancelAsALostDevice) {
    PtyPair pty;
    ports_ = std::make_unique<qvtest::ScopedEnv>("QUORVIA_COM_PORTS",
                                                 "COM" + std::to_string(kCom) + "=" + pty.slave_path() + ":serial");
    qv::CSerialCommunication transport;
    T_DevicesInfo entry;
    qv::InitDeviceRecord(&entry);
    entry.transportKind = qv::kTransportSerial;
    entry.SerialSettings.port_number = kCom;
    entry.SerialSettings.baudrate = 115200;
    entry.SerialSettings.databits = 8;
    T_DevicesInfo* dev = transport.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr);

    // A read with a 20 s time-out holds the transport's lock; the cancel does
    // not need it.
    std::atomic<int32_t> n{1};
    std::thread reader([&] {
        char buf[64];
        n = transport.Read(dev, buf, sizeof buf, 20000);
    });
    std::this_thread::sleep_for(300ms);
    const auto cancelAt = Clock::now();
    Bounded("CSerialCommunication::Cancel during a read", 20000ms, [&] { transport.Cancel(dev); });
    Bounded("a transport read across a cancel", 20000ms, [&] { reader.join(); });
    EXPECT_LT(MsSince(cancelAt), 3000);
    EXPECT_EQ(n.load(), -1);
    EXPECT_STREQ(qv_GetLastError(), "Read from com error, com push out");
    EXPECT_EQ(dev->streamError, static_cast<uint32_t>(QVDS_CLOSED));
    EXPECT_FALSE(transport.Write(dev, "ping", 4));
    EXPECT_STREQ(qv_GetLastError(), "Write to com error");
    EXPECT_TRUE(pty.DrainMaster(100).empty());
    transport.Cancel(nullptr);  // nothing to cancel
    Bounded("closing a cancelled device", 20000ms, [&] { EXPECT_TRUE(transport.CloseDevice(&dev)); });
    EXPECT_EQ(dev, nullptr);
}

TEST_F(StreamCancel, ComOpenPurgesBothDirections) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    // Someone else's output still waiting on the line when the port is opened:
    // written on the slave and never read on the master. What does not fit the
    // master's line buffer waits in the driver, and is what an output purge
    // of the slave drops.
    const int held = pty.HoldSlave();
    ASSERT_GE(held, 0);
    std::vector<uint8_t> chunk(65536, 'o');
    size_t pending = 0;
    for (;;) {
        const ssize_t n = write(held, chunk.data(), chunk.size());
        if (n <= 0) break;
        pending += static_cast<size_t>(n);
    }
    ASSERT_GT(pending, 8192u);
    // And input waiting for the stream: written on the master before the open.
    ASSERT_TRUE(pty.WriteMaster("stale input"));
    std::this_thread::sleep_for(100ms);

    QvdsStream* s = Open(pty);
    ASSERT_TRUE(qvds_is_open(s));
    const std::vector<uint8_t> left = pty.DrainMaster(200);
    EXPECT_LT(left.size(), pending) << "the open left the pending output alone";
    uint8_t buf[32];
    uint32_t status = 99;
    EXPECT_EQ(qvds_read(s, buf, sizeof buf, 200, 20, nullptr, 0, &status), 0u) << "the open left stale input";
}

}  // namespace
