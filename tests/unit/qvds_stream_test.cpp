// The port stream over real ptys (COM streams) and over a scripted fake device
// (USB/HID streams): opening, line settings, writes, the reader thread and its
// receive buffer, waits and terminators, purge, HID report framing, the framed
// exchange, and the stream's life cycle.
#include "portstream/qvds.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_port_device.h"
#include "pty_pair.h"

namespace qv::portstream_testing {
void SetReaderStartFailure(bool fail);  // defined next to the stream
}

namespace {

using qvtest::Bytes;
using qvtest::FakePortControl;
using qvtest::MakeFakePort;
using qvtest::PtyPair;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kCom = 7;
const char kTerm[2] = {';', 0x03};

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Runs `fn` and fails the test (ending the process: a hung thread cannot be
// recovered) when it has not returned within `limit`. Only detects hangs.
void ExpectFinishes(const char* what, std::chrono::seconds limit, std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread worker([fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    if (finished.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " still blocked after " << limit.count() << " s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    worker.join();
}

// A read with a 20 s first wait that only the loss of the device can end
// early: fails when it was not woken well before its wait ran out.
Bytes ReadUntilClosed(QvdsStream* s, uint32_t* status) {
    Bytes got(100);
    uint32_t st = 99;
    auto start = Clock::now();
    ExpectFinishes("read across the loss of the device", std::chrono::seconds(40), [&] {
        got.resize(qvds_read(s, got.data(), 100, 20000, 20000, nullptr, 0, &st));
    });
    EXPECT_LT(MsSince(start), 10000) << "the read was not woken when the device went away";
    *status = st;
    return got;
}

size_t CountEntries(const char* dir) {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

// Every test declares its own ptys and points the settings file at a file of
// its own, so nothing from the machine or another test can leak in.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "qvds_stream_XXXXXX";
        std::vector<char> path(pattern.begin(), pattern.end());
        path.push_back('\0');
        int fd = mkstemp(path.data());
        ASSERT_GE(fd, 0);
        close(fd);
        settingsPath_ = path.data();
        setenv("QUORVIA_SETTINGS", settingsPath_.c_str(), 1);
        unsetenv("QUORVIA_COM_PORTS");
    }

    void TearDown() override {
        for (QvdsStream* s : streams_) qvds_destory(s);
        unsetenv("QUORVIA_COM_PORTS");
        unsetenv("QUORVIA_SETTINGS");
        std::remove(settingsPath_.c_str());
        qv::portstream_testing::SetReaderStartFailure(false);
    }

    void WriteSettings(const std::string& text) {
        std::ofstream out(settingsPath_, std::ios::trunc);
        out << text;
    }

    static void Declare(const std::string& entries) { setenv("QUORVIA_COM_PORTS", entries.c_str(), 1); }
    static void Declare(uint16_t com, const PtyPair& pty) {
        Declare("COM" + std::to_string(com) + "=" + pty.slave_path() + ":serial");
    }

    // A stream destroyed at the end of the test.
    QvdsStream* NewStream() {
        QvdsStream* s = qvds_create();
        EXPECT_NE(s, nullptr);
        streams_.push_back(s);
        return s;
    }

    void Destroy(QvdsStream* s) {
        streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
        qvds_destory(s);
    }

    // A COM stream open on a fresh pty.
    QvdsStream* OpenPty(PtyPair& pty, uint32_t baud = 115200) {
        EXPECT_TRUE(pty.ok());
        Declare(kCom, pty);
        QvdsStream* s = NewStream();
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_com(s, kCom, baud, 8, 0, 0, 0, &status));
        EXPECT_EQ(status, QVDS_OK);
        return s;
    }

    // A stream open on a fake device of the given kind.
    QvdsStream* OpenFake(int32_t kind, std::shared_ptr<FakePortControl>* control) {
        auto [dev, ctl] = MakeFakePort();
        *control = ctl;
        QvdsStream* s = NewStream();
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_device(s, std::move(dev), kind, &status));
        EXPECT_EQ(status, QVDS_OK);
        return s;
    }

    static Bytes Read(QvdsStream* s, uint32_t len, int32_t firstWait, int32_t interWait,
                      uint32_t* status = nullptr, const char* term = nullptr, uint32_t termLen = 0) {
        Bytes out(len);
        uint32_t st = 0;
        out.resize(qvds_read(s, out.data(), len, firstWait, interWait, term, termLen, &st));
        if (status != nullptr) *status = st;
        return out;
    }

    // Reads until `want` bytes came (each call with a short first wait), for
    // data whose arrival time the test does not control.
    static Bytes ReadUntil(QvdsStream* s, size_t want, int limitMs = 10000) {
        Bytes got;
        auto start = Clock::now();
        while (got.size() < want && MsSince(start) < limitMs) {
            Bytes part = Read(s, static_cast<uint32_t>(want - got.size()), 100, 20);
            got.insert(got.end(), part.begin(), part.end());
        }
        return got;
    }

    std::string settingsPath_;
    std::vector<QvdsStream*> streams_;
};

// ------------------------------------------------------------------ opening COM ports

TEST_F(StreamTest, OpenComSetsKindPortAndInterChunkWaitFromBaud) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty, 115200);
    EXPECT_TRUE(qvds_is_open(s));
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_COM);
    EXPECT_EQ(qvds_port_number(s), kCom);
    EXPECT_EQ(qvds_inter_chunk_wait(s), 21);
    qvds_close(s);
    EXPECT_FALSE(qvds_is_open(s));

    uint32_t status = 99;
    ASSERT_TRUE(qvds_open_com(s, kCom, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 36);
}

TEST_F(StreamTest, InvalidComNumberOrBaudIsRejectedBeforeAnyLookup) {
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(s, 0, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    // COM 12 is not declared: a lookup would say "not found", so 8 shows that
    // the baud rate was judged first.
    EXPECT_FALSE(qvds_open_com(s, 12, 0, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    EXPECT_FALSE(qvds_open_com(s, 12, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_NOT_FOUND);

    // A declared pty is left alone by a baud-0 open: another stream gets it.
    PtyPair pty;
    Declare(kCom, pty);
    EXPECT_FALSE(qvds_open_com(s, kCom, 0, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    EXPECT_FALSE(qvds_is_open(s));
    QvdsStream* other = NewStream();
    EXPECT_TRUE(qvds_open_com(other, kCom, 9600, 8, 0, 0, 0, &status));
}

TEST_F(StreamTest, SecondOpenOnAnOpenStreamIsRefusedAndTheFirstKeepsWorking) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_ALREADY_OPEN);

    auto [dev, ctl] = MakeFakePort();
    EXPECT_FALSE(qvds_open_device(s, std::move(dev), QVDS_KIND_HID, &status));
    EXPECT_EQ(status, QVDS_ALREADY_OPEN);
    EXPECT_TRUE(ctl->Destroyed());  // the refused device was not kept
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_COM);

    ASSERT_TRUE(qvds_write(s, "ping", 4));
    EXPECT_EQ(pty.ReadMaster(4, 5000), B("ping"));
}

TEST_F(StreamTest, MissingPortsAreNotFound) {
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    Declare("COM5=/dev/pts/quorvia-no-such-pty:serial");
    EXPECT_FALSE(qvds_open_com(s, 5, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_NOT_FOUND);
    EXPECT_FALSE(qvds_open_com(s, 6, 9600, 8, 0, 0, 0, &status));  // not declared at all
    EXPECT_EQ(status, QVDS_NOT_FOUND);
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_CLOSED);

    // The failed opens left the stream reusable.
    PtyPair pty;
    Declare(kCom, pty);
    EXPECT_TRUE(qvds_open_com(s, kCom, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_OK);
}

TEST_F(StreamTest, PortHeldByAnotherStreamIsDenied) {
    PtyPair pty;
    QvdsStream* first = OpenPty(pty);
    QvdsStream* second = NewStream();
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(second, kCom, 115200, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_DENIED);
    EXPECT_FALSE(qvds_is_open(second));

    qvds_close(first);
    EXPECT_TRUE(qvds_open_com(second, kCom, 115200, 8, 0, 0, 0, &status));
    ASSERT_TRUE(qvds_write(second, "2nd", 3));
    EXPECT_EQ(pty.ReadMaster(3, 5000), B("2nd"));
}

// ------------------------------------------------------------------ line settings

TEST_F(StreamTest, LineSettingsReachTheTty) {
    // A pty keeps the speed, stop bits, parity kind and flow control it is
    // given; its driver forces 8 data bits and clears the parity-enable bit, so
    // those two are not checked here.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const int slave = pty.HoldSlave();
    ASSERT_GE(slave, 0);
    Declare(kCom, pty);
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    // 19200 baud, 7 data bits, two stop bits, odd parity, no flow control.
    ASSERT_TRUE(qvds_open_com(s, kCom, 19200, 7, 2, 1, 0, &status));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 154000 / 19200 + 20);
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_EQ(tio.c_cflag & (CMSPAR | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    // Space parity and XON/XOFF; the rest is kept.
    ASSERT_TRUE(qvds_set_comm(s, -1, -1, -1, 4, 2));
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CMSPAR, 0u);
    EXPECT_EQ(tio.c_cflag & PARODD, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 154000 / 19200 + 20);  // no baud given: unchanged

    // One stop bit and hardware flow control.
    ASSERT_TRUE(qvds_set_comm(s, -1, -1, 0, -1, 1));
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CMSPAR, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    // 8N1 at 9600; flow control is not part of it.
    ASSERT_TRUE(qvds_set_comm(s, -1, -1, 2, 1, -1));
    ASSERT_TRUE(qvds_set_baudrate_8n1(s, 9600));
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARODD | CMSPAR), 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_TRUE(qvds_set_baudrate_8n1(s, 9600));  // already so

    // qvds_set_baudrate changes only the rate and refuses the current one.
    ASSERT_TRUE(qvds_set_comm(s, -1, -1, 2, -1, -1));
    EXPECT_FALSE(qvds_set_baudrate(s, 9600));
    ASSERT_TRUE(qvds_set_baudrate(s, 115200));
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
}

TEST_F(StreamTest, SetCommValidatesAndKeepsTheOldStateOnFailure) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty, 9600);
    ASSERT_EQ(qvds_inter_chunk_wait(s), 36);
    EXPECT_FALSE(qvds_set_comm(s, 0, -1, -1, -1, -1));       // baud 0
    EXPECT_FALSE(qvds_set_comm(s, -7, -1, -1, -1, -1));      // not a baud rate
    EXPECT_FALSE(qvds_set_comm(s, 115200, 3, -1, -1, -1));   // data bits 4..8
    EXPECT_FALSE(qvds_set_comm(s, 115200, 9, -1, -1, -1));
    EXPECT_FALSE(qvds_set_comm(s, 115200, -1, 3, -1, -1));   // stop bits 0..2
    EXPECT_FALSE(qvds_set_comm(s, 115200, -1, -1, 5, -1));   // parity 0..4
    EXPECT_FALSE(qvds_set_comm(s, 115200, -1, -1, -1, 3));   // flow 0..2
    EXPECT_EQ(qvds_inter_chunk_wait(s), 36);

    EXPECT_TRUE(qvds_set_comm(s, -1, -1, -1, -1, -1));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 36);
    EXPECT_TRUE(qvds_set_comm(s, 12345, -1, -1, -1, -1));    // a rate without a standard constant
    EXPECT_EQ(qvds_inter_chunk_wait(s), 154000 / 12345 + 20);
    EXPECT_TRUE(qvds_set_comm(s, 115200, 8, 0, 0, 0));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 21);
    EXPECT_TRUE(qvds_set_comm(s, 9600, -1, -1, 4, 2));
    EXPECT_EQ(qvds_inter_chunk_wait(s), 36);

    qvds_close(s);
    EXPECT_FALSE(qvds_set_comm(s, 115200, -1, -1, -1, -1));  // closed
    EXPECT_FALSE(qvds_set_baudrate(s, 57600));
    EXPECT_FALSE(qvds_set_baudrate_8n1(s, 57600));

    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* usb = OpenFake(QVDS_KIND_VENDOR, &ctl);
    EXPECT_FALSE(qvds_set_comm(usb, 115200, -1, -1, -1, -1));  // not a COM stream
    EXPECT_EQ(qvds_inter_chunk_wait(usb), 20);
}

TEST_F(StreamTest, RefusedSettingsAtOpenReleaseThePort) {
    PtyPair pty;
    Declare(kCom, pty);
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(s, kCom, 9600, 9, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_FAILED);
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_CLOSED);
    QvdsStream* other = NewStream();
    EXPECT_TRUE(qvds_open_com(other, kCom, 9600, 8, 0, 0, 0, &status));  // not held any more
    qvds_close(other);
    EXPECT_TRUE(qvds_open_com(s, kCom, 9600, 8, 0, 0, 0, &status));      // and s is reusable
}

// ------------------------------------------------------------------ writing to COM ports

TEST_F(StreamTest, WritesReachThePtyMasterWhole) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    const uint8_t small[] = {'h', 'i', 0x00, 0xFF, 0x7E};
    ASSERT_TRUE(qvds_write(s, small, sizeof small));
    EXPECT_EQ(pty.ReadMaster(sizeof small, 5000), Bytes(small, small + sizeof small));
    EXPECT_TRUE(qvds_write(s, nullptr, 0));
    EXPECT_TRUE(qvds_write(s, "x", 0));

    // More than one 64 KiB chunk; the master is read while the write runs.
    Bytes big(200000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + i / 256);
    Bytes received;
    std::thread drain([&] { received = pty.ReadMaster(big.size(), 30000); });
    EXPECT_TRUE(qvds_write(s, big.data(), static_cast<uint32_t>(big.size())));
    drain.join();
    EXPECT_EQ(received, big);

    qvds_close(s);
    EXPECT_FALSE(qvds_write(s, "late", 4));
    EXPECT_FALSE(qvds_write(s, nullptr, 0));  // a closed stream fails even for nothing
}

// ------------------------------------------------------------------ reading

TEST_F(StreamTest, FirstWaitZeroTakesOnlyWhatIsBuffered) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    uint32_t status = 99;
    EXPECT_TRUE(Read(s, 16, 0, 0, &status).empty());
    EXPECT_EQ(status, QVDS_OK);

    ASSERT_TRUE(pty.WriteMaster("abcdef"));
    // Poll with wait-0 reads until the reader thread has buffered everything;
    // a wait-0 read takes at most the length asked for.
    Bytes got;
    auto start = Clock::now();
    while (got.size() < 6 && MsSince(start) < 10000) {
        Bytes part = Read(s, 4, 0, 0, &status);
        EXPECT_LE(part.size(), 4u);
        got.insert(got.end(), part.begin(), part.end());
        if (part.empty()) std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(got, B("abcdef"));
}

TEST_F(StreamTest, TerminatorEndsTheReadBeforeTheLength) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    // The frame ends with ';' 0x03; "tail" follows half a second later. A read
    // that honours the terminator returns before the tail arrives.
    auto run = [&](const char* term, uint32_t termLen) {
        std::thread device([&] {
            pty.WriteMaster(std::string("ok;\x03", 4));
            std::this_thread::sleep_for(milliseconds(500));
            pty.WriteMaster("tail");
        });
        Bytes got = Read(s, 100, 5000, 1500, nullptr, term, termLen);
        device.join();
        return got;
    };
    EXPECT_EQ(run(kTerm, 2), B(std::string("ok;\x03", 4)));
    EXPECT_EQ(ReadUntil(s, 4), B("tail"));
    // Without the terminator the same read goes on through the inter-chunk wait.
    EXPECT_EQ(run(nullptr, 0), B(std::string("ok;\x03tail", 8)));

    // A read that holds only the terminator ends at once as well: it must not
    // sit out its 8 s inter-chunk wait, whether the terminator was already
    // buffered or arrives during the read.
    ASSERT_TRUE(pty.WriteMaster(std::string(";\x03", 2)));
    std::this_thread::sleep_for(milliseconds(100));
    auto start = Clock::now();
    EXPECT_EQ(Read(s, 100, 8000, 8000, nullptr, kTerm, 2), B(std::string(";\x03", 2)));
    EXPECT_LT(MsSince(start), 3000) << "a read of just the terminator sat out the inter-chunk wait";
    std::thread lone([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.WriteMaster(std::string(";\x03", 2));
    });
    start = Clock::now();
    EXPECT_EQ(Read(s, 100, 8000, 8000, nullptr, kTerm, 2), B(std::string(";\x03", 2)));
    lone.join();
    EXPECT_LT(MsSince(start), 3000) << "a read of just the terminator sat out the inter-chunk wait";

    // A terminator split across two chunks still ends the read.
    std::thread device([&] {
        pty.WriteMaster("a;");
        std::this_thread::sleep_for(milliseconds(100));
        pty.WriteMaster("\x03");
        std::this_thread::sleep_for(milliseconds(500));
        pty.WriteMaster("z");
    });
    EXPECT_EQ(Read(s, 100, 5000, 1500, nullptr, kTerm, 2), B("a;\x03"));
    device.join();
}

TEST_F(StreamTest, FirstAndInterChunkWaitsAreHonoured) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty, 9600);
    uint32_t status = 99;
    auto start = Clock::now();
    EXPECT_TRUE(Read(s, 10, 300, 20, &status).empty());
    EXPECT_GE(MsSince(start), 300);
    EXPECT_EQ(status, QVDS_OK);

    // After the first chunk the read waits the inter-chunk time for more, and
    // never the first-byte wait again (8 s here: the bounds below are far from it).
    // The clock starts before the writer's sleep does: the byte cannot come
    // sooner than 100 ms after `start`.
    start = Clock::now();
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.WriteMaster("A");
    });
    EXPECT_EQ(Read(s, 10, 8000, 400), B("A"));
    late.join();
    EXPECT_GE(MsSince(start), 100 + 400);
    EXPECT_LT(MsSince(start), 3000) << "the first-byte wait was applied after the first chunk";

    // -2: the stream's own wait, 36 ms at 9600 baud.
    start = Clock::now();
    late = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.WriteMaster("B");
    });
    EXPECT_EQ(Read(s, 10, 8000, -2), B("B"));
    late.join();
    EXPECT_GE(MsSince(start), 100 + 36);
    EXPECT_LT(MsSince(start), 3000) << "the first-byte wait was applied after the first chunk";

    // Bytes already buffered when the read starts: the first-byte wait does not
    // apply, only the wait between chunks.
    ASSERT_TRUE(pty.WriteMaster("C"));
    std::this_thread::sleep_for(milliseconds(100));
    start = Clock::now();
    EXPECT_EQ(Read(s, 10, 5000, 50), B("C"));
    EXPECT_GE(MsSince(start), 50);
    EXPECT_LT(MsSince(start), 2500);

    // Chunks closer together than the inter-chunk wait are collected in one read.
    std::thread device([&] {
        for (char c : std::string("wxyz")) {
            pty.WriteMaster(std::string(1, c));
            std::this_thread::sleep_for(milliseconds(30));
        }
    });
    start = Clock::now();
    EXPECT_EQ(Read(s, 10, 8000, 1000), B("wxyz"));
    device.join();
    EXPECT_LT(MsSince(start), 4000) << "the first-byte wait was applied after the first chunk";
}

TEST_F(StreamTest, PtyClosedMidReadEndsTheReadAndTheStreamOpensAgain) {
    auto pty = std::make_unique<PtyPair>();
    QvdsStream* s = OpenPty(*pty);
    ASSERT_TRUE(pty->WriteMaster("xy"));
    EXPECT_EQ(ReadUntil(s, 2), B("xy"));

    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(200));
        pty->CloseMaster();
    });
    uint32_t status = 99;
    Bytes got = ReadUntilClosed(s, &status);
    unplug.join();
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(status, QVDS_CLOSED);
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_FALSE(qvds_write(s, "x", 1));

    // Replugged (a new pty declared under the same COM number).
    pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->ok());
    Declare(kCom, *pty);
    ASSERT_TRUE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_OK);
    ASSERT_TRUE(pty->WriteMaster("back"));
    EXPECT_EQ(ReadUntil(s, 4), B("back"));
    ASSERT_TRUE(qvds_write(s, "ack", 3));
    EXPECT_EQ(pty->ReadMaster(3, 5000), B("ack"));
}

TEST_F(StreamTest, CommEventReaderMovesDataAndSeesTheUnplug) {
    WriteSettings("[main]\nUseCommEvent=1\n");
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    std::string expected;
    for (int burst = 0; burst < 5; ++burst) {
        std::string part = "burst" + std::to_string(burst) + std::string(3000, static_cast<char>('a' + burst));
        expected += part;
        ASSERT_TRUE(pty.WriteMaster(part));
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(ReadUntil(s, expected.size()), B(expected));

    pty.CloseMaster();
    uint32_t status = 99;
    EXPECT_TRUE(ReadUntilClosed(s, &status).empty());
    EXPECT_EQ(status, QVDS_CLOSED);
}

TEST_F(StreamTest, LongTransferThroughTheRingLosesNothing) {
    // More than the 4 MiB ring, so its indices wrap; the device side never runs
    // more than 1 MiB ahead of the reader, so nothing is dropped for lack of room.
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    constexpr size_t kTotal = 6 * 1024 * 1024;
    auto pattern = [](size_t i) { return static_cast<uint8_t>((i * 131 + (i >> 12)) & 0xFF); };
    std::atomic<size_t> consumed{0};
    std::atomic<bool> writeFailed{false};
    std::thread device([&] {
        Bytes chunk(32768);
        size_t sent = 0;
        while (sent < kTotal) {
            auto start = Clock::now();
            while (sent > consumed.load() + 1024 * 1024 && MsSince(start) < 20000) {
                std::this_thread::sleep_for(milliseconds(1));
            }
            const size_t n = std::min(chunk.size(), kTotal - sent);
            for (size_t i = 0; i < n; ++i) chunk[i] = pattern(sent + i);
            if (!pty.WriteMaster(chunk.data(), n, 20000)) {
                writeFailed = true;
                return;
            }
            sent += n;
        }
    });
    Bytes buf(65536);
    size_t got = 0;
    size_t firstBad = kTotal;
    auto start = Clock::now();
    while (got < kTotal && MsSince(start) < 60000 && !writeFailed) {
        const uint32_t n = qvds_read(s, buf.data(), static_cast<uint32_t>(buf.size()), 200, 20, nullptr, 0, nullptr);
        for (uint32_t i = 0; i < n && firstBad == kTotal; ++i) {
            if (buf[i] != pattern(got + i)) firstBad = got + i;
        }
        got += n;
        consumed = got;
    }
    device.join();
    EXPECT_FALSE(writeFailed);
    EXPECT_EQ(got, kTotal);
    EXPECT_EQ(firstBad, kTotal) << "first wrong byte at offset " << firstBad;
}

// ------------------------------------------------------------------ purge

TEST_F(StreamTest, PurgeWithoutDrainDropsWhatIsBuffered) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    ASSERT_TRUE(pty.WriteMaster("stale input"));
    uint32_t discarded = 0;
    auto start = Clock::now();
    while (discarded < 11 && MsSince(start) < 10000) {
        discarded += qvds_purge(s, 0);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(discarded, 11u);
    EXPECT_TRUE(Read(s, 64, 200, 20).empty());

    ASSERT_TRUE(pty.WriteMaster("fresh"));
    EXPECT_EQ(ReadUntil(s, 5), B("fresh"));
}

TEST_F(StreamTest, PurgeWithDrainAlsoSwallowsWhatArrivesDuringTheDrain) {
    PtyPair pty;
    QvdsStream* s = OpenPty(pty);
    // Nothing is buffered when the purge starts; the drain waits for what comes.
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.WriteMaster("late!");
    });
    EXPECT_EQ(qvds_purge(s, 400), 5u);
    late.join();
    EXPECT_TRUE(Read(s, 64, 200, 20).empty());

    // 10000 bytes: more than two full 4096-byte drain reads; every byte is counted.
    Bytes burst(10000, 0x55);
    ASSERT_TRUE(pty.WriteMaster(burst.data(), burst.size()));
    uint32_t discarded = 0;
    auto start = Clock::now();
    while (discarded < 10000 && MsSince(start) < 10000) discarded += qvds_purge(s, 400);
    EXPECT_EQ(discarded, 10000u);
    EXPECT_TRUE(Read(s, 64, 200, 20).empty());
}

// ------------------------------------------------------------------ HID and vendor devices

TEST_F(StreamTest, HidWritesAreSplitInto64ByteReports) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_HID, &ctl);
    EXPECT_EQ(qvds_inter_chunk_wait(s), 20);
    Bytes data(57);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_TRUE(qvds_write(s, data.data(), 57));

    Bytes first(64, 0);
    first[0] = 0x04;
    first[1] = 56;
    std::copy(data.begin(), data.begin() + 56, first.begin() + 2);
    first[63] = 1;
    Bytes second(64, 0);
    second[0] = 0x04;
    second[1] = 1;
    second[2] = data[56];
    second[63] = 0;
    auto writes = ctl->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].data, first);
    EXPECT_EQ(writes[1].data, second);
    EXPECT_EQ(writes[0].timeoutMs, 1000);
    EXPECT_EQ(writes[1].timeoutMs, 1000);

    // Exactly one report's worth, and nothing at all.
    ASSERT_TRUE(qvds_write(s, data.data(), 56));
    ASSERT_TRUE(qvds_write(s, data.data(), 0));
    writes = ctl->Writes();
    ASSERT_EQ(writes.size(), 3u);
    first[63] = 0;
    EXPECT_EQ(writes[2].data, first);
}

TEST_F(StreamTest, VendorDeviceWritesGoIn64KiBChunksWithALimit) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_VENDOR, &ctl);
    Bytes data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 253);
    ASSERT_TRUE(qvds_write(s, data.data(), static_cast<uint32_t>(data.size())));
    auto writes = ctl->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].data, Bytes(data.begin(), data.begin() + 65536));
    EXPECT_EQ(writes[1].data, Bytes(data.begin() + 65536, data.end()));
    EXPECT_EQ(writes[0].timeoutMs, 1000);
}

TEST_F(StreamTest, HidInputReportsDeliverTheirPayloadOnly) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_HID, &ctl);
    auto report = [](const Bytes& payload) {
        Bytes r(64, 0xEE);  // padding after the payload is ignored
        r[0] = 0x02;
        r[1] = static_cast<uint8_t>(payload.size());
        std::copy(payload.begin(), payload.end(), r.begin() + 2);
        return r;
    };
    Bytes full(62);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
    ctl->QueueRead(report(B("hello")));
    ctl->QueueRead(report({}));  // empty report: nothing to deliver
    ctl->QueueRead(report(full));
    Bytes expected = B("hello");
    expected.insert(expected.end(), full.begin(), full.end());
    EXPECT_EQ(ReadUntil(s, expected.size()), expected);
    EXPECT_TRUE(qvds_is_open(s));
}

struct BadReport {
    const char* name;
    Bytes report;
};

class MalformedHidReport : public StreamTest, public ::testing::WithParamInterface<BadReport> {};

TEST_P(MalformedHidReport, ClosesTheHandle) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_HID, &ctl);
    ctl->QueueRead(GetParam().report);
    uint32_t status = 99;
    EXPECT_TRUE(ReadUntilClosed(s, &status).empty());
    EXPECT_EQ(status, QVDS_CLOSED);
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_TRUE(ctl->WaitDestroyed(milliseconds(10000)));
}

Bytes Report(size_t size, uint8_t id, uint8_t len) {
    Bytes r(size, 0);
    if (size > 0) r[0] = id;
    if (size > 1) r[1] = len;
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, MalformedHidReport,
    ::testing::Values(BadReport{"short", Report(63, 0x02, 3)}, BadReport{"wrongId", Report(64, 0x01, 3)},
                      BadReport{"lengthTooBig", Report(64, 0x02, 63)}),
    [](const ::testing::TestParamInfo<BadReport>& info) { return std::string(info.param.name); });

TEST_F(StreamTest, HidInterfaceOneGetsFeatureReportsAroundTheSession) {
    auto [dev, ctl] = MakeFakePort();
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    auto start = Clock::now();
    ASSERT_TRUE(qvds_open_device(s, std::move(dev), QVDS_KIND_HID_IF1, &status));
    EXPECT_GE(MsSince(start), 50);  // the device is given time to switch
    EXPECT_EQ(status, QVDS_OK);
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_HID_IF1);
    EXPECT_EQ(qvds_port_number(s), 0u);
    ASSERT_EQ(ctl->FeatureReports().size(), 1u);
    EXPECT_EQ(ctl->FeatureReports()[0], Bytes({0xFE, 0x01}));

    qvds_close(s);
    // The close waited for the reader, which sent FE 00 and then closed the device.
    EXPECT_TRUE(ctl->Destroyed());
    ASSERT_EQ(ctl->FeatureReports().size(), 2u);
    EXPECT_EQ(ctl->FeatureReports()[1], Bytes({0xFE, 0x00}));
    EXPECT_EQ(ctl->FeatureReportsAtDestruction(), 2u);

    // A plain HID interface gets none.
    std::shared_ptr<FakePortControl> hid;
    QvdsStream* s2 = OpenFake(QVDS_KIND_HID, &hid);
    qvds_close(s2);
    EXPECT_TRUE(hid->Destroyed());
    EXPECT_TRUE(hid->FeatureReports().empty());
}

TEST_F(StreamTest, RejectedFeatureReportFailsTheOpenWithStatus7) {
    auto [dev, ctl] = MakeFakePort();
    ctl->RejectFeatureReports(true);
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_device(s, std::move(dev), QVDS_KIND_HID_IF1, &status));
    EXPECT_EQ(status, QVDS_FEATURE_REJECTED);
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_EQ(qvds_kind(s), QVDS_KIND_CLOSED);
    EXPECT_TRUE(ctl->Destroyed());
    EXPECT_TRUE(ctl->FeatureReports().empty());  // no FE 00 for an FE 01 that never took

    auto [dev2, ctl2] = MakeFakePort();
    EXPECT_TRUE(qvds_open_device(s, std::move(dev2), QVDS_KIND_HID_IF1, &status));
    EXPECT_EQ(status, QVDS_OK);
}

TEST_F(StreamTest, OpenDeviceRejectsAMissingDeviceOrKind) {
    QvdsStream* s = NewStream();
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_device(s, nullptr, QVDS_KIND_HID, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    auto [dev, ctl] = MakeFakePort();
    EXPECT_FALSE(qvds_open_device(s, std::move(dev), QVDS_KIND_CLOSED, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    EXPECT_TRUE(ctl->Destroyed());
}

TEST_F(StreamTest, FailedWriteClosesTheStream) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_HID, &ctl);
    ctl->FailWritesFrom(1);  // the second report fails
    bool ok = true;
    ExpectFinishes("failed write", std::chrono::seconds(20), [&] { ok = qvds_write(s, Bytes(100, 1).data(), 100); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(ctl->WriteAttempts(), 2);
    // qvds_write waited for the reader: the device is closed by now.
    EXPECT_TRUE(ctl->Destroyed());
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_FALSE(qvds_write(s, "x", 1));
    EXPECT_EQ(ctl->WriteAttempts(), 2);
}

TEST_F(StreamTest, LostDeviceEndsAWaitingRead) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_VENDOR, &ctl);
    ctl->QueueRead(B("first"));
    EXPECT_EQ(ReadUntil(s, 5), B("first"));
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(100));
        ctl->Unplug();
    });
    uint32_t status = 99;
    EXPECT_TRUE(ReadUntilClosed(s, &status).empty());
    unplug.join();
    EXPECT_EQ(status, QVDS_CLOSED);
    EXPECT_TRUE(ctl->WaitDestroyed(milliseconds(10000)));
}

// ------------------------------------------------------------------ framed exchange

class ExchangeTest : public StreamTest {
protected:
    static Bytes Frame(const Bytes& payload) {
        Bytes f(4 + payload.size());
        f[0] = 0x02;
        f[1] = 0x05;
        f[2] = static_cast<uint8_t>(payload.size() >> 8);
        f[3] = static_cast<uint8_t>(payload.size());
        std::copy(payload.begin(), payload.end(), f.begin() + 4);
        const uint32_t crc = qvds_crc32(f.data(), static_cast<uint32_t>(f.size()), 0);
        for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(crc >> shift));
        return f;
    }

    // A device that answers every frame with `reply` (cut into `pieces` chunks).
    QvdsStream* OpenAnswering(Bytes reply, int pieces = 1) {
        QvdsStream* s = OpenFake(QVDS_KIND_VENDOR, &ctl_);
        ctl_->SetResponder([reply, pieces](const Bytes&) {
            std::vector<Bytes> chunks;
            const size_t step = (reply.size() + pieces - 1) / pieces;
            for (size_t at = 0; at < reply.size(); at += step) {
                chunks.emplace_back(reply.begin() + at, reply.begin() + std::min(reply.size(), at + step));
            }
            return chunks;
        });
        return s;
    }

    std::shared_ptr<FakePortControl> ctl_;
};

TEST_F(ExchangeTest, AcceptedReplyAndTheExactRequestFrame) {
    QvdsStream* s = OpenAnswering(Frame(B("0")));
    uint8_t result = 0xAA;
    EXPECT_TRUE(qvds_exchange(s, 1000, &result, "!Frames:%u", 9u));
    EXPECT_EQ(result, '0');
    auto writes = ctl_->Writes();
    ASSERT_EQ(writes.size(), 1u);
    Bytes expected = {0x02, 0x05, 0x00, 0x09, '!', 'F', 'r', 'a', 'm', 'e', 's', ':', '9'};
    const uint32_t crc = qvds_crc32(expected.data(), static_cast<uint32_t>(expected.size()), 0);
    for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(crc >> shift));
    EXPECT_EQ(writes[0].data, expected);
}

TEST_F(ExchangeTest, ReplyInPiecesAndLongestReplyAreAccepted) {
    QvdsStream* s = OpenAnswering(Frame(B("0 and some detail")), 4);
    uint8_t result = 0;
    EXPECT_TRUE(qvds_exchange(s, 1000, &result, ">Start"));
    EXPECT_EQ(result, '0');

    Bytes longest(249, 'x');
    longest[0] = '0';
    QvdsStream* s2 = OpenAnswering(Frame(longest));
    EXPECT_TRUE(qvds_exchange(s2, 1000, &result, ">Erase"));
}

TEST_F(ExchangeTest, RefusalAndBadRepliesFailAndLeaveNothingBuffered) {
    struct Case {
        const char* name;
        Bytes reply;
        uint8_t result;
    };
    Bytes badCrc = Frame(B("0"));
    badCrc.back() ^= 0x01;
    Bytes wrongHeader = Frame(B("0"));
    wrongHeader[1] = 0x06;
    Bytes tooLong(4 + 250 + 4, '0');
    tooLong[0] = 0x02;
    tooLong[1] = 0x05;
    tooLong[2] = 0x00;
    tooLong[3] = 250;
    const Case cases[] = {
        {"refused", Frame(B("1")), '1'},
        {"bad CRC", badCrc, 0},
        {"wrong header", wrongHeader, 0},
        {"length above 249", tooLong, 0},
        {"empty payload", Frame({}), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QvdsStream* s = OpenAnswering(c.reply);
        uint8_t result = 0xAA;
        EXPECT_FALSE(qvds_exchange(s, 1000, &result, "@NextBlock"));
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(Read(s, 600, 0, 0).empty());  // the rest was purged
        EXPECT_TRUE(qvds_is_open(s));
        Destroy(s);
    }
}

TEST_F(ExchangeTest, SilenceFailsAfterTheFirstWait) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_VENDOR, &ctl);
    uint8_t result = 0xAA;
    auto start = Clock::now();
    EXPECT_FALSE(qvds_exchange(s, 300, &result, "@Exit"));
    EXPECT_GE(MsSince(start), 300);
    EXPECT_EQ(ctl->Writes().size(), 1u);
}

TEST_F(ExchangeTest, PayloadIsCheckedAndCutTo252Bytes) {
    QvdsStream* s = OpenAnswering(Frame(B("0")));
    uint8_t result = 0;
    EXPECT_FALSE(qvds_exchange(s, 100, &result, "%s", ""));
    EXPECT_TRUE(ctl_->Writes().empty());

    const std::string text(300, 'p');
    EXPECT_TRUE(qvds_exchange(s, 1000, &result, "%s", text.c_str()));
    auto writes = ctl_->Writes();
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].data.size(), 4u + 252u + 4u);
    EXPECT_EQ(writes[0].data[2], 0);
    EXPECT_EQ(writes[0].data[3], 252);
}

TEST_F(ExchangeTest, FailedWriteStopsTheReaderWithoutDeadlock) {
    std::shared_ptr<FakePortControl> ctl;
    QvdsStream* s = OpenFake(QVDS_KIND_HID, &ctl);
    ctl->FailWritesFrom(0);
    bool ok = true;
    ExpectFinishes("exchange with a failing write", std::chrono::seconds(20),
                   [&] { ok = qvds_exchange(s, 1000, nullptr, "!DataLens:%u", 1024u); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(qvds_is_open(s));
    EXPECT_TRUE(ctl->Destroyed());
    // A closed stream fails at once without another write.
    EXPECT_FALSE(qvds_exchange(s, 1000, nullptr, "@Exit"));
    EXPECT_EQ(ctl->WriteAttempts(), 1);
}

TEST(Crc32, CheckValueAndPieces) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(qvds_crc32(text, 9, 0), 0xCBF43926u);
    EXPECT_EQ(qvds_crc32(text + 4, 5, qvds_crc32(text, 4, 0)), 0xCBF43926u);
    EXPECT_EQ(qvds_crc32(text, 0, 0), 0u);
    EXPECT_EQ(qvds_crc32(text, 9), 0xCBF43926u);
}

// ------------------------------------------------------------------ life cycle

TEST_F(StreamTest, ReaderThatNeverStartedFailsOpensAndNeverBlocksClose) {
    PtyPair pty;
    Declare(kCom, pty);
    qv::portstream_testing::SetReaderStartFailure(true);
    QvdsStream* s = qvds_create();
    qv::portstream_testing::SetReaderStartFailure(false);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(qvds_is_live(s));
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_NO_READER);
    auto [dev, ctl] = MakeFakePort();
    EXPECT_FALSE(qvds_open_device(s, std::move(dev), QVDS_KIND_HID_IF1, &status));
    EXPECT_EQ(status, QVDS_NO_READER);
    EXPECT_TRUE(ctl->FeatureReports().empty());
    EXPECT_FALSE(qvds_write(s, "x", 1));
    EXPECT_EQ(qvds_read(s, nullptr, 0, 100, 20, nullptr, 0, &status), 0u);
    EXPECT_EQ(status, QVDS_CLOSED);
    ExpectFinishes("close without a reader", std::chrono::seconds(10), [&] { qvds_close(s); });
    ExpectFinishes("destroy without a reader", std::chrono::seconds(10), [&] { qvds_destory(s); });
    EXPECT_FALSE(qvds_is_live(s));

    // The port was never taken.
    QvdsStream* other = NewStream();
    EXPECT_TRUE(qvds_open_com(other, kCom, 115200, 8, 0, 0, 0, &status));
}

TEST_F(StreamTest, NullStreamIsHarmless) {
    uint32_t status = 99;
    EXPECT_FALSE(qvds_open_com(nullptr, kCom, 9600, 8, 0, 0, 0, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    auto [dev, ctl] = MakeFakePort();
    status = 99;
    EXPECT_FALSE(qvds_open_device(nullptr, std::move(dev), QVDS_KIND_HID, &status));
    EXPECT_EQ(status, QVDS_INVALID);
    EXPECT_FALSE(qvds_write(nullptr, "x", 1));
    uint8_t buf[4];
    EXPECT_EQ(qvds_read(nullptr, buf, 4, 100, 20, nullptr, 0, &status), 0u);
    EXPECT_EQ(qvds_purge(nullptr, 10), 0u);
    EXPECT_FALSE(qvds_exchange(nullptr, 10, nullptr, "x"));
    EXPECT_FALSE(qvds_set_comm(nullptr, 9600, -1, -1, -1, -1));
    EXPECT_FALSE(qvds_set_baudrate(nullptr, 9600));
    EXPECT_FALSE(qvds_set_baudrate_8n1(nullptr, 9600));
    EXPECT_EQ(qvds_port_number(nullptr), 0u);
    EXPECT_FALSE(qvds_is_open(nullptr));
    EXPECT_FALSE(qvds_is_live(nullptr));
    EXPECT_EQ(qvds_kind(nullptr), QVDS_KIND_CLOSED);
    qvds_close(nullptr);
    qvds_destory(nullptr);
}

TEST_F(StreamTest, LiveRegistryKnowsCreatedStreamsOnly) {
    QvdsStream* a = qvds_create();
    QvdsStream* b = qvds_create();
    EXPECT_TRUE(qvds_is_live(a));
    EXPECT_TRUE(qvds_is_live(b));
    int local = 0;
    EXPECT_FALSE(qvds_is_live(&local));
    qvds_destory(a);
    EXPECT_FALSE(qvds_is_live(a));
    EXPECT_TRUE(qvds_is_live(b));
    qvds_destory(b);
    EXPECT_FALSE(qvds_is_live(b));
}

TEST_F(StreamTest, CyclesLeaveNoThreadsOrDescriptorsBehind) {
    PtyPair pty;
    Declare(kCom, pty);
    auto cycle = [&] {
        QvdsStream* s = qvds_create();
        uint32_t status = 99;
        EXPECT_TRUE(qvds_open_com(s, kCom, 115200, 8, 0, 0, 0, &status));
        EXPECT_TRUE(qvds_write(s, "c", 1));
        qvds_close(s);
        EXPECT_TRUE(qvds_open_com(s, kCom, 9600, 8, 0, 0, 0, &status));  // destroyed while open
        qvds_destory(s);

        QvdsStream* h = qvds_create();
        auto [dev, ctl] = MakeFakePort();
        EXPECT_TRUE(qvds_open_device(h, std::move(dev), QVDS_KIND_HID, &status));
        qvds_destory(h);
        EXPECT_TRUE(ctl->Destroyed());
    };
    cycle();  // anything created once per process exists from here on
    pty.DrainMaster(50);
    const size_t fds = CountEntries("/proc/self/fd");
    const size_t tasks = CountEntries("/proc/self/task");
    for (int i = 0; i < 5; ++i) cycle();
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    // A joined thread may linger in /proc for a moment after join returns.
    auto start = Clock::now();
    while (CountEntries("/proc/self/task") > tasks && MsSince(start) < 5000) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
}

}  // namespace
