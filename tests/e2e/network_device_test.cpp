// Network scanners opened and used over TCP through the exports of the built
// library, against simulated network scanners in this test program's own
// network namespace: commands, reads, barcodes and the listener; connections
// that are reset, closed, refused or never complete; reads that wait their
// time-out to the millisecond; closes that end blocked calls.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "net_helpers.h"
#include "quorvia.h"

using qvtest::NetDevices;
using namespace std::string_literals;

namespace {

uint64_t Connections(SimProcess& sim, int n) {
    SimProcess::Stats st;
    return sim.stats(n, st) ? st.connections : ~0ull;
}

// The simulator accepts a connection on its own time after the handshake:
// waits until it counted `expected` connections.
bool ConnectionsBecome(SimProcess& sim, int n, uint64_t expected) {
    return qvtest::WaitFor([&] { return Connections(sim, n) == expected; }, 5000);
}

std::string LastFrameHex(SimProcess& sim, int n) {
    const std::string r = sim.command("last net" + std::to_string(n));
    return r.size() > 3 ? r.substr(3) : std::string();
}

// CPU time this process used, user and system, in milliseconds.
long long CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000LL + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

std::string QrysysReply(const std::string& id) { return "\x02\x01" "0000@QRYSYS"s + id + "\x06;\x03"; }

}  // namespace

TEST(NetDevice, CommandsReadsAndBarcodesOverTcp) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 40, .options = "id=Net Forty"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    auto* record = static_cast<T_DevicesInfo*>(h);
    EXPECT_EQ(record->transportKind, QV_TRANSPORT_NETWORK);
    EXPECT_GE(record->socket, 0);
    EXPECT_EQ(d.list()[0].socket, record->socket);
    EXPECT_EQ(record->isAsynRead, QV_LISTENER_IDLE);
    EXPECT_STREQ(record->ipAddress, "127.0.0.1");
    EXPECT_EQ(record->tcpPort, d.sim().tcp_port(40));
    EXPECT_STREQ(record->devInfo, d.list()[0].devInfo);
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_OPENED);
    EXPECT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 40) == 1; }));

    EXPECT_EQ(qv_SendCommand(h, "QRYSYS", 6), QV_CMD_ACCEPTED);
    ASSERT_EQ(d.sim().command("status net40 DFMQCU nak"), "OK");
    EXPECT_EQ(qv_SendCommand(h, "DFMQCU1", 7), QV_CMD_NAK);

    char reply[256] = {};
    int32_t len = sizeof reply;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
    EXPECT_EQ(std::string(reply, static_cast<size_t>(len)), QrysysReply("Net Forty"));
    EXPECT_EQ(LastFrameHex(d.sim(), 40), sim_hex(sim_command_frame("QRYSYS")));

    ASSERT_TRUE(qv_Write(h, "QRYSYS", 6, true));
    std::string got;
    char buf[256];
    while (got.size() < QrysysReply("Net Forty").size()) {
        const int32_t n = qv_Read(h, buf, sizeof buf, 2000);
        ASSERT_GT(n, 0) << qv_GetLastError();
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, QrysysReply("Net Forty"));

    ASSERT_EQ(d.sim().command("emit net40 3"), "OK");
    std::string codes;
    ASSERT_TRUE(qvtest::WaitFor([&] {
        char cb[1024];
        int32_t cl = sizeof cb;
        if (qv_GetCodeData(h, cb, &cl, 200) && cl > 0) codes.append(cb, static_cast<size_t>(cl));
        return parse_sim_barcodes(codes).size() >= 3;
    }));
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(codes), 40, 1, 3, &why)) << why;

    T_DevInfo info{};
    ASSERT_TRUE(qv_GetDeviceInfoByHandle(h, &info));
    EXPECT_EQ(info.devType, QV_DEVTYPE_NETWORK);
    EXPECT_STREQ(info.devInfo, d.list()[0].devInfo);

    void* copy = h;
    ASSERT_TRUE(qv_CloseDevice(&h));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(d.list()[0].socket, -1);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(copy));
    // The simulator sees the connection end.
    EXPECT_TRUE(qvtest::WaitFor([&] {
        SimProcess::Stats st;
        return d.sim().stats(40, st) && st.connected == 0;
    }));
}

TEST(NetDevice, ListenerOverTcpGetsEveryBarcodeInOrder) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 41}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    static std::mutex mu;
    static std::string seen;
    {
        std::lock_guard<std::mutex> lock(mu);
        seen.clear();
    }
    qv_SetListener(h, [](void*, const char* data, uint32_t length) {
        std::lock_guard<std::mutex> lock(mu);
        seen.append(data, length);
    });
    // Emitted once the simulator has accepted the connection: a scanner with
    // no host attached drops what it would send.
    ASSERT_TRUE(qvtest::WaitFor(
        [&] { return d.sim().command("stats net41").find("connected=1") != std::string::npos; }));
    ASSERT_EQ(d.sim().command("emit net41 50 5"), "OK");
    ASSERT_TRUE(qvtest::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mu);
        return parse_sim_barcodes(seen).size() >= 50;
    }));
    EXPECT_TRUE(qv_StopListener(h));
    std::string why;
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(seen), 41, 1, 50, &why)) << why;
    }
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, AResetConnectionIsOpenedAgainByTheNextWrite) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 42, .options = "id=Net 42"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 42) == 1; }));
    ASSERT_EQ(d.sim().command("reset net42"), "OK");
    EXPECT_TRUE(qv_Write(h, "QRYSYS", 6, true)) << qv_GetLastError();
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 42, 2));
    ASSERT_TRUE(qvtest::WaitFor([&] { return LastFrameHex(d.sim(), 42) == sim_hex(sim_command_frame("QRYSYS")); }));
    // The new connection carries commands as the old one did.
    char reply[256] = {};
    int32_t len = sizeof reply;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
    EXPECT_EQ(std::string(reply, static_cast<size_t>(len)), QrysysReply("Net 42"));

    // A read notices the reset as well and reads on a new connection.
    ASSERT_EQ(d.sim().command("reset net42"), "OK");
    char buf[64];
    EXPECT_EQ(qv_Read(h, buf, sizeof buf, 300), 0);
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 42, 3));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, AWriteWhoseConnectionCameBackOnlyOnTheFourthAttemptFails) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 43}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 43) == 1; }));

    // Three attempts refused, the fourth accepted: false, yet connected again.
    ASSERT_EQ(d.sim().command("tcp net43 refuse 3"), "OK");
    ASSERT_EQ(d.sim().command("reset net43"), "OK");
    EXPECT_FALSE(qv_Write(h, "QRYSYS", 6, true));
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 43, 2));
    EXPECT_TRUE(qv_Write(h, "QRYSYS", 6, true)) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return LastFrameHex(d.sim(), 43) == sim_hex(sim_command_frame("QRYSYS")); }));
    EXPECT_EQ(Connections(d.sim(), 43), 2u);  // written on that connection, no new one

    // Two refused, the third accepted: the write goes through.
    ASSERT_EQ(d.sim().command("tcp net43 refuse 2"), "OK");
    ASSERT_EQ(d.sim().command("reset net43"), "OK");
    EXPECT_TRUE(qv_Write(h, "QRYSYS", 6, true)) << qv_GetLastError();
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 43, 3));

    // All four refused: false, and the next write (with the scanner back)
    // reconnects at its first attempt.
    ASSERT_EQ(d.sim().command("tcp net43 refuse"), "OK");
    ASSERT_EQ(d.sim().command("reset net43"), "OK");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(qv_Write(h, "QRYSYS", 6, true));
    EXPECT_GE(qvtest::MsSince(t0), 290);  // three pauses of 100 ms between four attempts
    EXPECT_STREQ(qv_GetLastError(), "Connect to server error");
    ASSERT_EQ(d.sim().command("tcp net43 accept"), "OK");
    EXPECT_TRUE(qv_Write(h, "QRYSYS", 6, true)) << qv_GetLastError();
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 43, 4));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, AfterAnOrderlyCloseReadsReturnZeroAfterTheirTimeOut) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 44}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 44) == 1; }));
    ASSERT_EQ(d.sim().command("hangup net44"), "OK");
    char buf[64];
    for (int i = 0; i < 2; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(qv_Read(h, buf, sizeof buf, 500), 0);
        const long long ms = qvtest::MsSince(t0);
        EXPECT_GE(ms, 495);
        EXPECT_LT(ms, 2000);
    }
    EXPECT_EQ(Connections(d.sim(), 44), 1u);  // no reconnection for an orderly close
    // A write does not go into the closed connection: it reconnects.
    EXPECT_TRUE(qv_Write(h, "QRYSYS", 6, true)) << qv_GetLastError();
    EXPECT_TRUE(ConnectionsBecome(d.sim(), 44, 2));
    EXPECT_TRUE(qvtest::WaitFor([&] { return LastFrameHex(d.sim(), 44) == sim_hex(sim_command_frame("QRYSYS")); }));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, ReadsWaitTheirTimeOutToTheMillisecondWithoutSpinning) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 45, .options = "mode=silent"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    char buf[64];
    for (int32_t timeout : {500, 1500}) {
        const long long cpu0 = CpuMs();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(qv_Read(h, buf, sizeof buf, timeout), 0);
        const long long ms = qvtest::MsSince(t0);
        const long long cpu = CpuMs() - cpu0;
        EXPECT_GE(ms, timeout - 5) << "time-out " << timeout;
        EXPECT_LT(ms, timeout + 800) << "time-out " << timeout;
        EXPECT_LT(cpu, 200) << "a read of " << timeout << " ms used " << cpu << " ms of CPU";
    }
    // 0 is the default of 2 s.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_Read(h, buf, sizeof buf, 0), 0);
    EXPECT_GE(qvtest::MsSince(t0), 1995);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, AHandshakeThatNeverCompletesFailsWithinTwoSeconds) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 46}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 1);
    ASSERT_EQ(d.sim().command("tcp net46 hang"), "OK");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), nullptr);
    const long long ms = qvtest::MsSince(t0);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server timeout");
    EXPECT_EQ(qv_GetDevStatus(nullptr), QV_STATUS_OPEN_FAILED);
    EXPECT_GE(ms, 1990);
    EXPECT_LT(ms, 3500);
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
    EXPECT_EQ(d.list()[0].socket, -1);

    // Refused: at once, with its own text.
    ASSERT_EQ(d.sim().command("tcp net46 refuse"), "OK");
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), nullptr);
    EXPECT_LT(qvtest::MsSince(t1), 1000);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server error");

    ASSERT_EQ(d.sim().command("tcp net46 accept"), "OK");
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, APeerThatResetsMidReply) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 47, .options = "id=Net 47"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 47) == 1; }));
    ASSERT_EQ(d.sim().command("cut net47 10"), "OK");
    std::thread resetter([&] {
        // Once the first part of the reply is out, the connection is reset.
        qvtest::WaitFor([&] { return LastFrameHex(d.sim(), 47) == sim_hex(sim_command_frame("QRYSYS")); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        d.sim().command("reset net47");
    });
    char reply[64];
    std::memset(reply, 'X', sizeof reply);
    int32_t len = 32;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 1000, true, false));
    resetter.join();
    EXPECT_LT(qvtest::MsSince(t0), 6000);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(reply[32], 'X');  // nothing written beyond the capacity
    // The scanner answers again on the connection the read opened.
    len = sizeof reply;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
    EXPECT_EQ(std::string(reply, static_cast<size_t>(len)), QrysysReply("Net 47"));
    EXPECT_GE(Connections(d.sim(), 47), 2u);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(NetDevice, ACloseEndsABlockedReadAndABlockedWriteAtOnce) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 48}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();

    // A collection that would wait for about 49 days.
    std::atomic<bool> readReturned{false};
    std::thread reader([&] {
        char buf[64];
        int32_t len = sizeof buf;
        qv_GetCodeData(h, buf, &len, -1);
        readReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(readReturned.load());
    void* closing = h;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(qv_CloseDevice(&closing));
    reader.join();
    EXPECT_LT(qvtest::MsSince(t0), 3000);

    // A write to a scanner that stops reading fills the connection and blocks.
    h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_TRUE(qvtest::WaitFor([&] { return Connections(d.sim(), 48) == 2; }));
    ASSERT_EQ(d.sim().command("tcp net48 noread"), "OK");
    std::atomic<int> written{-1};
    std::thread writer([&] {
        std::vector<char> big(64 * 1024 * 1024, 'w');
        written = qv_Write(h, big.data(), static_cast<uint32_t>(big.size()), false) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(written.load(), -1);
    closing = h;
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(qv_CloseDevice(&closing));
    writer.join();
    EXPECT_LT(qvtest::MsSince(t0), 3000);
    EXPECT_EQ(written.load(), 0);
}
