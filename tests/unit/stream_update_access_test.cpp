// What the firmware update needs of the port stream: the stream lock for raw
// writes (a holder must never wait for the reader that needs the lock), a
// stop that keeps the stream reusable, and the current line settings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_port_device.h"
#include "hang_guard.h"
#include "portstream/qvds.h"
#include "pty_pair.h"

namespace {

using qvtest::Bounded;
using qvtest::Bytes;
using qvtest::FakePortControl;
using qvtest::MakeFakePort;
using qvtest::PtyPair;
using namespace std::chrono_literals;

constexpr uint16_t kCom = 9;

class StreamAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "qvds_access_XXXXXX";
        std::vector<char> path(pattern.begin(), pattern.end());
        path.push_back('\0');
        const int fd = mkstemp(path.data());
        ASSERT_GE(fd, 0);
        close(fd);
        settings_ = path.data();
        setenv("QUORVIA_SETTINGS", settings_.c_str(), 1);
        unsetenv("QUORVIA_COM_PORTS");
    }
    void TearDown() override {
        for (QvdsStream* s : streams_) qvds_destory(s);
        unsetenv("QUORVIA_COM_PORTS");
        unsetenv("QUORVIA_SETTINGS");
        std::remove(settings_.c_str());
    }

    QvdsStream* OpenFake(std::shared_ptr<FakePortControl>* control) {
        auto [dev, ctl] = MakeFakePort();
        *control = ctl;
        QvdsStream* s = qvds_create();
        streams_.push_back(s);
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_device(s, std::move(dev), QVDS_KIND_VENDOR, &status));
        return s;
    }

    QvdsStream* OpenPty(PtyPair& pty, uint32_t baud) {
        setenv("QUORVIA_COM_PORTS", ("COM" + std::to_string(kCom) + "=" + pty.slave_path() + ":serial").c_str(), 1);
        QvdsStream* s = qvds_create();
        streams_.push_back(s);
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_com(s, kCom, baud, 8, 0, 0, 0, &status)) << status;
        return s;
    }

    std::string settings_;
    std::vector<QvdsStream*> streams_;
};

TEST_F(StreamAccessTest, FailedWriteUnderTheHeldStreamLockEndsAndClosesTheStream) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(&ctl);
    ctl->FailWritesFrom(0);
    bool ok = true;
    Bounded("a failed write while the caller holds the stream lock", 20000ms, [&] {
        qvds_lock(s);
        ok = qvds_write(s, "frame", 5);
        // The reader closed the device while the write gave the lock up.
        EXPECT_FALSE(qvds_is_open(s));
        qvds_unlock(s);
    });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(ctl->Destroyed());
}

TEST_F(StreamAccessTest, FailedExchangeUnderTheHeldStreamLockEndsAndClosesTheStream) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(&ctl);
    ctl->FailWritesFrom(0);
    bool ok = true;
    Bounded("a failed exchange while the caller holds the stream lock twice", 20000ms, [&] {
        qvds_lock(s);
        qvds_lock(s);
        uint8_t result = 0xAA;
        ok = qvds_exchange(s, 1000, &result, "!DataLens:%u", 1024u);
        EXPECT_FALSE(qvds_is_open(s));
        qvds_unlock(s);
        qvds_unlock(s);
    });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(ctl->Destroyed());
}

TEST_F(StreamAccessTest, HeldLockKeepsOtherWritersOutUntilReleased) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(&ctl);
    qvds_lock(s);
    std::promise<void> wrote;
    std::thread other([&] {
        EXPECT_TRUE(qvds_write(s, "other", 5));
        wrote.set_value();
    });
    auto done = wrote.get_future();
    EXPECT_EQ(done.wait_for(200ms), std::future_status::timeout);
    EXPECT_TRUE(qvds_write(s, "mine", 4));
    qvds_unlock(s);
    EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
    other.join();
    const auto writes = ctl->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].data, Bytes({'m', 'i', 'n', 'e'}));
}

TEST_F(StreamAccessTest, StopClosesTheHandleAndTheStreamOpensAgain) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QvdsStream* s = OpenPty(pty, 9600);
    ASSERT_TRUE(qvds_is_open(s));
    Bounded("qvds_stop", 10000ms, [&] { qvds_stop(s); });
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_FALSE(qvds_write(s, "x", 1));
    uint32_t status = 99;
    EXPECT_TRUE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status)) << status;
    EXPECT_TRUE(qvds_write(s, "y", 1));
    EXPECT_EQ(pty.ReadMaster(1, 2000), Bytes({'y'}));
}

TEST_F(StreamAccessTest, LineSettingsAreReadBackAndChangedForTheLoader) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QvdsStream* s = OpenPty(pty, 57600);
    qv::platform::LineSettings line;
    ASSERT_TRUE(qvds_get_comm(s, &line));
    EXPECT_EQ(line.baud, 57600u);
    EXPECT_EQ(line.dataBits, 8);
    ASSERT_TRUE(qvds_set_comm(s, -1, 7, 2, 2, -1));
    ASSERT_TRUE(qvds_set_baudrate_8n1(s, 9600));
    ASSERT_TRUE(qvds_get_comm(s, &line));
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.stopBits, 0);
    EXPECT_EQ(line.parity, 0);
    // The same rate again changes nothing and succeeds; a plain rate change
    // keeps the framing.
    EXPECT_TRUE(qvds_set_baudrate_8n1(s, 9600));
    EXPECT_FALSE(qvds_set_baudrate(s, 9600));
    EXPECT_TRUE(qvds_set_baudrate(s, 115200));
    ASSERT_TRUE(qvds_get_comm(s, &line));
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.dataBits, 8);

    qvds_stop(s);
    EXPECT_FALSE(qvds_get_comm(s, &line));
}

}  // namespace
