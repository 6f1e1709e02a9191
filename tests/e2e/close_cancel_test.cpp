// A close always ends: it cancels what still runs on its handle (exchanges
// without a time-out, reads of a streaming or silent device, a write to a peer
// that never reads), waits for those exports to return, then closes. Checked
// through the built library against simulated scanners and plain ptys; every
// call that used to hang runs under a hang guard, so a regression fails the
// test instead of hanging the suite.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "hang_guard.h"
#include "pty_pair.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::Bounded;
using qvtest::HangGuard;
using qvtest::SimDevices;
using qvtest::WaitFor;

namespace {

const char* const kReadLost = "Read from com error, com push out";
const char* const kWriteLost = "Write to com error";

// An export running on a thread of its own: its result and the error text it
// left, read right after it returned.
class Running {
public:
    explicit Running(std::function<int()> call)
        : thread_([this, call = std::move(call)] {
              const int r = call();
              error_ = qv_GetLastError();
              result_ = r;
              done_ = true;
          }) {}
    ~Running() {
        if (thread_.joinable()) Join();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    void Join() {
        Bounded("an export after its handle was closed", 20000ms, [&] { thread_.join(); });
    }
    bool done() const { return done_; }
    int result() const { return result_; }
    const std::string& error() const { return error_; }

private:
    std::string error_;
    std::atomic<int> result_{-12345};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Waits until the handle's status shows that an export began (statuses 6 and
// 8 are recorded right before the device is used), then gives the export time
// to settle into its wait.
bool Began(void* h, int32_t status) {
    if (!WaitFor([&] { return qv_GetDevStatus(h) == status; }, 10000)) return false;
    std::this_thread::sleep_for(300ms);
    return true;
}

int Exchange(void* h, const char* command, int32_t length, int32_t timeoutMs, bool framed) {
    char buf[256];
    int32_t len = sizeof buf;
    return qv_GetCommandResponse(h, command, length, buf, &len, timeoutMs, framed, false) ? 1 : 0;
}

// Keeps a close from finishing until released: a listener whose callback
// waits, so the close (which waits for the listener after cancelling) cannot
// empty the process-wide last-error text before the test has read what the
// cancelled export left there.
struct CloseHold {
    static inline std::atomic<bool> entered{false};
    static inline std::atomic<bool> release{false};
    static void Reset() {
        entered = false;
        release = false;
    }
    static void Callback(void*, const char*, uint32_t) {
        if (entered.exchange(true)) return;
        WaitFor([] { return release.load(); }, 20000);
    }
};

// Closes on a thread of its own: the close itself waits for CloseHold.
class BackgroundClose {
public:
    explicit BackgroundClose(void* h) : handle_(h), thread_([this] { ok_ = qv_CloseDevice(&handle_); }) {}
    ~BackgroundClose() { Join(); }
    bool Join() {
        if (thread_.joinable()) Bounded("a held close", 30000ms, [&] { thread_.join(); });
        return ok_;
    }

private:
    void* handle_;
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

// Hex text of `count` times the byte `pair` ("41").
std::string RepeatedHex(const char* pair, size_t count) {
    std::string hex(2 * count, pair[0]);
    for (size_t i = 1; i < hex.size(); i += 2) hex[i] = pair[1];
    return hex;
}

// A caller-held record for the pty at COM `com`: opened with qv_OpenDeviceForNati.
T_DevicesInfo PtyRecord(int com) {
    T_DevicesInfo r;
    std::memset(&r, 0, sizeof r);
    r.socket = -1;
    r.isAsynRead = QV_LISTENER_IDLE;
    r.transportKind = QV_TRANSPORT_SERIAL;
    r.SerialSettings.port_number = static_cast<uint16_t>(com);
    r.SerialSettings.baudrate = 115200;
    r.SerialSettings.databits = 8;
    return r;
}

}  // namespace

TEST(CloseCancels, AnExchangeWithoutTimeOutOnASilentDevice) {
    SimDevices d({{.com = 101}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("mode 101 silent"), "OK");
    // Unframed with time-out 0: collected until a reply and 51 ms of silence,
    // with no time-out at all.
    Running probe([h] { return Exchange(h, "?", 1, 0, false); });
    ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));
    EXPECT_FALSE(probe.done());

    void* copy = h;
    const long long ms = Bounded("qv_CloseDevice during an exchange", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&h)); });
    EXPECT_LT(ms, 5000);
    probe.Join();
    EXPECT_EQ(probe.result(), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(qv_GetDevStatus(copy), QV_STATUS_CLOSED);
}

TEST(CloseCancels, AReplyWaitWithoutTimeOutWhileBarcodesStream) {
    SimDevices d({{.com = 102}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("status 102 QRYSYS silent"), "OK");
    ASSERT_EQ(d.sim().command("emit 102 1000000 1"), "OK");
    // Framed with time-out 0: every read brings barcode bytes and never the
    // response frame, so only the close can end the wait.
    Running query([h] { return Exchange(h, "QRYSYS", 6, 0, true); });
    ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));
    EXPECT_FALSE(query.done());

    const long long ms = Bounded("qv_CloseDevice while data streams", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&h)); });
    EXPECT_LT(ms, 5000);
    query.Join();
    EXPECT_EQ(query.result(), 0);
}

TEST(CloseCancels, CodeDataWithANegativeTimeOut) {
    SimDevices d({{.com = 103}, {.com = 104}});
    ASSERT_EQ(d.count(), 2);
    void* silent = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(103)), 0);
    void* busy = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(104)), 0);
    ASSERT_NE(silent, nullptr);
    ASSERT_NE(busy, nullptr);

    // A negative time-out reads as about 49 days: nothing arrives, so only the
    // close ends the wait, and with nothing collected it is a failure that
    // says the device is gone. (A held listener keeps the close from emptying
    // the error text before it is read.)
    CloseHold::Reset();
    qv_SetListener(silent, CloseHold::Callback);
    ASSERT_EQ(d.sim().command("emit 103 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return CloseHold::entered.load(); }));
    std::vector<char> codes(0x100000);
    Running empty([&] {
        int32_t len = 0;
        return qv_GetCodeData(silent, codes.data(), &len, -1) ? 1 : 0;
    });
    ASSERT_TRUE(Began(silent, QV_STATUS_READ_BEGIN));
    EXPECT_FALSE(empty.done());
    {
        BackgroundClose close(silent);
        empty.Join();
        EXPECT_EQ(empty.result(), 0);
        EXPECT_EQ(empty.error(), kReadLost);
        CloseHold::release = true;
        EXPECT_TRUE(close.Join());
    }
    EXPECT_EQ(qv_GetDevStatus(silent), QV_STATUS_CLOSED);

    // Barcodes arriving every millisecond never leave a quiet gap: what was
    // collected before the close is returned, with true.
    ASSERT_EQ(d.sim().command("emit 104 1000000 1"), "OK");
    std::vector<char> got(0x100000);
    std::atomic<int32_t> gotLen{0};
    Running streaming([&] {
        int32_t len = static_cast<int32_t>(got.size());
        const bool ok = qv_GetCodeData(busy, got.data(), &len, -1);
        gotLen = len;
        return ok ? 1 : 0;
    });
    ASSERT_TRUE(Began(busy, QV_STATUS_READ_BEGIN));
    Bounded("qv_CloseDevice during a collection", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&busy)); });
    streaming.Join();
    EXPECT_EQ(streaming.result(), 1);
    ASSERT_GT(gotLen.load(), 0);
    const std::vector<SimBarcode> seen = parse_sim_barcodes(std::string(got.data(), static_cast<size_t>(gotLen.load())));
    ASSERT_FALSE(seen.empty());
    std::string why;
    EXPECT_TRUE(check_sim_sequence(seen, 104, 1, seen.size(), &why)) << why;
}

TEST(CloseCancels, AWriteToAPeerThatNeverReads) {
    qvtest::PtyPair pty;  // its master side is never read
    ASSERT_TRUE(pty.ok());
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", "COM105=" + pty.slave_path() + ":serial");
    T_DevicesInfo record = PtyRecord(105);
    void* h = qv_OpenDeviceForNati(&record, 105, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();

    const std::string big(1 << 20, 'W');
    {
        Running write([&] { return qv_Write(h, big.data(), static_cast<uint32_t>(big.size()), false) ? 1 : 0; });
        ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));
        EXPECT_FALSE(write.done());
        void* copy = h;
        const long long ms = Bounded("qv_CloseDeviceForNati during a stalled write", 20000ms,
                                     [&] { EXPECT_TRUE(qv_CloseDeviceForNati(&h)); });
        EXPECT_LT(ms, 5000);
        write.Join();
        EXPECT_EQ(write.result(), 0);
        EXPECT_EQ(qv_GetDevStatus(copy), QV_STATUS_CLOSED);
    }

    // Again with a held listener, so the close cannot empty the error text
    // before it is read: the stalled write says the device is gone.
    h = qv_OpenDeviceForNati(&record, 105, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    CloseHold::Reset();
    qv_SetListener(h, CloseHold::Callback);
    ASSERT_TRUE(pty.WriteMaster("x"));
    ASSERT_TRUE(WaitFor([] { return CloseHold::entered.load(); }));
    {
        Running write([&] { return qv_Write(h, big.data(), static_cast<uint32_t>(big.size()), false) ? 1 : 0; });
        ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));
        BackgroundClose close(h);
        write.Join();
        EXPECT_EQ(write.result(), 0);
        EXPECT_EQ(write.error(), kWriteLost);
        CloseHold::release = true;
        EXPECT_TRUE(close.Join());
    }

    // The port is free again: a new open works and writes what fits.
    h = qv_OpenDeviceForNati(&record, 105, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    pty.DrainMaster(50);
    EXPECT_TRUE(qv_Write(h, "PING", 4, false));
    EXPECT_EQ(pty.ReadMaster(4, 3000).size(), 4u);
    EXPECT_TRUE(qv_CloseDeviceForNati(&h));
}

TEST(CloseCancels, ReleasingTheListEndsTheExportsOfItsHandles) {
    SimDevices d({{.com = 106}, {.com = 107}});
    ASSERT_EQ(d.count(), 2);
    void* a = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(106)), 0);
    void* b = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(107)), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(d.sim().command("mode 106 silent"), "OK");
    ASSERT_EQ(d.sim().command("mode 107 silent"), "OK");
    Running probe([a] { return Exchange(a, "?", 1, 0, false); });
    std::vector<char> codes(0x100000);
    Running read([&] {
        int32_t len = 0;
        return qv_GetCodeData(b, codes.data(), &len, -1) ? 1 : 0;
    });
    ASSERT_TRUE(Began(a, QV_STATUS_WRITE_BEGIN));
    ASSERT_TRUE(Began(b, QV_STATUS_READ_BEGIN));

    const long long ms = Bounded("qv_ReleaseDevices", 20000ms, [&] { qv_ReleaseDevices(&d.listRef()); });
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(d.list(), nullptr);
    probe.Join();
    read.Join();
    EXPECT_EQ(probe.result(), 0);
    EXPECT_EQ(read.result(), 0);
    EXPECT_EQ(qv_GetDevStatus(a), QV_STATUS_CLOSED);
    EXPECT_EQ(qv_GetDevStatus(b), QV_STATUS_CLOSED);
}

TEST(CloseCancels, AnEnumerationEndsTheExportsOfThePreviousListsHandles) {
    SimDevices d({{.com = 108}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("mode 108 silent"), "OK");
    Running probe([h] { return Exchange(h, "?", 1, 0, false); });
    ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));

    // The silent scanner is not found again; what matters is that the
    // enumeration ends and the exchange with it.
    Bounded("qv_EnumDevices", 60000ms, [&] { d.Reenumerate(); });
    probe.Join();
    EXPECT_EQ(probe.result(), 0);
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_CLOSED);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
}

TEST(Close, TwoClosesOfOneHandleAtOnce) {
    SimDevices d({{.com = 109}});
    ASSERT_EQ(d.count(), 1);
    for (int round = 0; round < 3; ++round) {
        void* h = qv_OpenDevice(d.list(), 0, 0);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(d.sim().command("mode 109 silent"), "OK");
        Running probe([h] { return Exchange(h, "?", 1, 0, false); });
        ASSERT_TRUE(Began(h, QV_STATUS_WRITE_BEGIN));

        // Both succeed: one closes, the other finds the close in progress.
        std::atomic<int> ready{0};
        std::atomic<int> closed{0};
        auto close = [&] {
            void* mine = h;
            ready++;
            while (ready.load() < 2) std::this_thread::yield();
            if (qv_CloseDevice(&mine)) closed++;
        };
        {
            HangGuard guard("two closes of one handle", 20000ms);
            std::thread first(close), second(close);
            first.join();
            second.join();
        }
        EXPECT_EQ(closed.load(), 2);
        probe.Join();
        EXPECT_EQ(probe.result(), 0);
        EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_CLOSED);
        EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
        ASSERT_EQ(d.sim().command("mode 109 normal"), "OK");
    }
    // The index opens again afterwards.
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Close, WaitsForEveryExportInFlightOnItsHandle) {
    SimDevices d({{.com = 110}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("mode 110 silent"), "OK");
    std::vector<char> codes(0x100000);
    // Each of them would keep working on the device long after the close
    // began, and each records its end status when it returns.
    Running probe([h] { return Exchange(h, "?", 1, 0, false); });
    Running framed([h] { return Exchange(h, "QRYSYS", 6, 0, true); });
    Running collect([&] {
        int32_t len = 0;
        return qv_GetCodeData(h, codes.data(), &len, -1) ? 1 : 0;
    });
    Running raw([h] {
        char buf[64];
        return qv_Read(h, buf, sizeof buf, 30000);
    });
    Running command([h] { return qv_SendCommand(h, "BEEPON", 6); });
    std::this_thread::sleep_for(500ms);
    // And one that is still checking and decoding its long hex command when
    // the close comes, before it touches the device at all.
    const std::string hex = RepeatedHex("3F", 8 << 20);
    Running decoding([&] {
        char buf[64];
        int32_t len = sizeof buf;
        return qv_GetCommandResponse(h, hex.c_str(), static_cast<int32_t>(hex.size()), buf, &len, 0, false, true)
                   ? 1
                   : 0;
    });
    std::this_thread::sleep_for(5ms);

    void* copy = h;
    Bounded("qv_CloseDevice with six exports in flight", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&h)); });
    for (Running* r : {&probe, &framed, &collect, &raw, &command, &decoding}) r->Join();
    EXPECT_EQ(decoding.result(), 0);
    EXPECT_EQ(probe.result(), 0);
    EXPECT_EQ(framed.result(), 0);
    EXPECT_EQ(collect.result(), 0);
    EXPECT_LT(raw.result(), 0);
    // The command either lost its device while waiting for the reply (0) or
    // was refused because the close had begun (0 as well).
    EXPECT_EQ(command.result(), QV_CMD_NOT_WRITTEN);
    // Only the close records the last status: no export of the handle was
    // still running after it.
    EXPECT_EQ(qv_GetDevStatus(copy), QV_STATUS_CLOSED);
}

TEST(Close, WriteAsHexHoldsItsHandleLikeTheOtherExports) {
    SimDevices d({{.com = 111}});
    ASSERT_EQ(d.count(), 1);
    // Long enough that checking and decoding it takes a while: a close that
    // does not wait for the export lands in the middle.
    const std::string hex = RepeatedHex("41", 8 << 20);
    for (int round = 0; round < 2; ++round) {
        void* h = qv_OpenDevice(d.list(), 0, 0);
        ASSERT_NE(h, nullptr);
        void* copy = h;
        Running write([&] { return qv_WriteAsHex(copy, hex.c_str(), false) ? 1 : 0; });
        std::this_thread::sleep_for(10ms);
        Bounded("qv_CloseDevice during qv_WriteAsHex", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&h)); });
        write.Join();
        EXPECT_EQ(qv_GetDevStatus(copy), QV_STATUS_CLOSED) << "round " << round;
    }
}

namespace {

// The close line of the log: time stamp, two spaces, "CloseDevice".
int CountCloseLines(const std::string& text) {
    int n = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() >= 13 && line.compare(line.size() - 13, 13, "  CloseDevice") == 0) ++n;
    }
    return n;
}

std::string LogFiles(const std::filesystem::path& dir) {
    std::string all;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir / "QuorviaLog", ec)) {
        std::ifstream in(e.path());
        std::ostringstream s;
        s << in.rdbuf();
        all += s.str();
    }
    return all;
}

}  // namespace

TEST(Close, EveryCloseWritesItsLogLineAlsoForAHandleThatIsNotOpen) {
    SimDevices d({{.com = 112}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);

    // The log goes to ./QuorviaLog: run in a directory of our own.
    qvtest::TempDir dir("qv_close_log");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    T_DevicesInfo fake;
    std::memset(&fake, 0, sizeof fake);
    void* foreign = &fake;  // never a handle
    void* copy = h;

    testing::internal::CaptureStdout();
    EXPECT_TRUE(qv_CloseDeviceForNati(&foreign));  // not open: nothing closed, still logged
    EXPECT_TRUE(qv_CloseDevice(&h));
    EXPECT_TRUE(qv_CloseDevice(&copy));  // closed already
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string file = LogFiles(dir.path());
    std::filesystem::current_path(previous);

    EXPECT_EQ(CountCloseLines(console), 3) << console;
    EXPECT_EQ(CountCloseLines(file), 3);
}

namespace {

struct OwnIndexOpen {
    T_DevicesInfo* list = nullptr;
    uint32_t index = 0;
    std::atomic<bool> entered{false};
    std::atomic<bool> done{false};
    std::atomic<void*> opened{nullptr};
    std::string error;
};
OwnIndexOpen ownOpen;

// Opens the index of its own handle while that handle is being closed (the
// close waits for this callback to return).
void OpenOwnIndexFromCallback(void*, const char*, uint32_t) {
    if (ownOpen.entered.exchange(true)) return;
    std::this_thread::sleep_for(500ms);
    ownOpen.opened = qv_OpenDevice(ownOpen.list, ownOpen.index, 0);
    ownOpen.error = qv_GetLastError();
    ownOpen.done = true;
}

}  // namespace

TEST(Close, OpeningAnIndexWhileItsHandleClosesWaitsOrFails) {
    SimDevices d({{.com = 113}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ownOpen.list = d.list();
    ownOpen.index = 0;
    qv_SetListener(h, OpenOwnIndexFromCallback);
    ASSERT_EQ(d.sim().command("emit 113 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return ownOpen.entered.load(); }));

    // Another thread opening the index while the close runs waits for the
    // close to end and then opens the device afresh.
    std::atomic<void*> other{nullptr};
    std::thread opener([&] {
        std::this_thread::sleep_for(200ms);
        other = qv_OpenDevice(d.list(), 0, 0);
    });
    void* copy = h;
    Bounded("qv_CloseDevice while its listener opens the same index", 20000ms, [&] { EXPECT_TRUE(qv_CloseDevice(&h)); });
    Bounded("an open of an index being closed", 20000ms, [&] { opener.join(); });
    ASSERT_TRUE(ownOpen.done.load());
    // The callback cannot wait for the close that waits for it: its open fails.
    EXPECT_EQ(ownOpen.opened.load(), nullptr);
    EXPECT_EQ(ownOpen.error, "Device is not open");
    EXPECT_EQ(qv_GetDevStatus(copy), QV_STATUS_CLOSED);

    void* fresh = other.load();
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, copy);
    EXPECT_TRUE(qv_DeviceIsOpenByHandle(fresh));
    EXPECT_EQ(qv_SendCommand(fresh, "BEEPON", 6), QV_CMD_ACCEPTED);
    EXPECT_TRUE(qv_CloseDevice(&fresh));
}
