// The TCP connection primitives and the network transport against peers this
// test plays itself on 127.0.0.1 (inside the test program's own network
// namespace): connects that succeed, are refused or never complete; receives
// of data, time-outs, resets, orderly closes and cancels; sends that must go
// out whole and never raise SIGPIPE.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "e2e_helpers.h"
#include "network/net_connection.h"
#include "net_helpers.h"
#include "transport/network_communication.h"

using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

// A listening peer on 127.0.0.1.
class Peer {
public:
    explicit Peer(int backlog = 8) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in sa = Loopback(0);
        bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        listen(fd_, backlog);
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
        port_ = ntohs(bound.sin_port);
    }
    ~Peer() {
        if (conn_ >= 0) close(conn_);
        if (fd_ >= 0) close(fd_);
    }
    uint16_t port() const { return port_; }
    int Accept() {
        conn_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_;
    }
    int conn() const { return conn_; }
    void Send(const std::string& bytes) { ASSERT_EQ(send(conn_, bytes.data(), bytes.size(), 0), (ssize_t)bytes.size()); }
    void Reset() {
        linger l{1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(conn_);
        conn_ = -1;
    }
    void CloseOrderly() {
        shutdown(conn_, SHUT_WR);
        close(conn_);
        conn_ = -1;
    }

private:
    int fd_ = -1;
    int conn_ = -1;
    uint16_t port_ = 0;
};

T_DevicesInfo Record(uint16_t port, const char* ip = "127.0.0.1") {
    T_DevicesInfo r{};
    qv::InitDeviceRecord(&r);
    r.transportKind = QV_TRANSPORT_NETWORK;
    r.tcpPort = port;
    std::strncpy(r.ipAddress, ip, sizeof r.ipAddress - 1);
    return r;
}

// A port nobody listens on.
uint16_t ClosedPort() {
    Peer p;
    return p.port();
}

int IntOption(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

class NetConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qvtest::PrivateNetwork());
        // A send to a reset peer must not kill the process: leave SIGPIPE at
        // its default action so that it would.
        signal(SIGPIPE, SIG_DFL);
    }
};

}  // namespace

TEST_F(NetConnection, ConnectsWithKeepAliveAndANonBlockingSocket) {
    Peer peer;
    T_DevicesInfo r = Record(peer.port());
    ASSERT_TRUE(qv::ConnectToDevice(&r)) << qv::LastErrorText();
    ASSERT_GE(r.socket, 0);
    EXPECT_NE(fcntl(r.socket, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(IntOption(r.socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(r.socket, IPPROTO_TCP, TCP_KEEPIDLE), 1);
    EXPECT_EQ(IntOption(r.socket, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(IntOption(r.socket, IPPROTO_TCP, TCP_KEEPCNT), qv::kKeepAliveProbes);
    EXPECT_TRUE(qv::Disconnect(&r));
    EXPECT_EQ(r.socket, -1);
    EXPECT_TRUE(qv::Disconnect(nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
}

TEST_F(NetConnection, FailedConnectsKeepTheOldSocketValue) {
    EXPECT_FALSE(qv::ConnectToDevice(nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    for (const char* ip : {"localhost", "127.0.0", "127.0.0.1 ", "", "300.1.1.1"}) {
        T_DevicesInfo r = Record(1, ip);
        r.socket = 4321;
        EXPECT_FALSE(qv::ConnectToDevice(&r)) << ip;
        EXPECT_STREQ(qv::LastErrorText(), "Connect to server error") << ip;
        EXPECT_EQ(r.socket, 4321);
    }
    for (int32_t port : {0, -5, 65536}) {
        T_DevicesInfo r = Record(1);
        r.tcpPort = port;
        EXPECT_FALSE(qv::ConnectToDevice(&r)) << port;
        EXPECT_STREQ(qv::LastErrorText(), "Connect to server error");
    }
    // An address field without its zero byte is read up to the field's end.
    T_DevicesInfo unterminated = Record(ClosedPort());
    std::memset(unterminated.ipAddress, '1', sizeof unterminated.ipAddress);
    EXPECT_FALSE(qv::ConnectToDevice(&unterminated));
    // Refused.
    T_DevicesInfo r = Record(ClosedPort());
    const auto t0 = Clock::now();
    EXPECT_FALSE(qv::ConnectToDevice(&r));
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_STREQ(qv::LastErrorText(), "Connect to server error");
    EXPECT_EQ(r.socket, -1);
}

TEST_F(NetConnection, AHandshakeThatNeverCompletesTimesOutAfterTwoSeconds) {
    Peer peer(0);
    // One connection nobody accepts fills a queue of length 0.
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Loopback(peer.port());
    ASSERT_EQ(connect(filler, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    T_DevicesInfo r = Record(peer.port());
    const auto t0 = Clock::now();
    EXPECT_FALSE(qv::ConnectToDevice(&r));
    const long long ms = MsSince(t0);
    EXPECT_STREQ(qv::LastErrorText(), "Connect to server timeout");
    EXPECT_GE(ms, 1990);
    EXPECT_LT(ms, 3500);
    EXPECT_EQ(r.socket, -1);
    close(filler);
}

TEST_F(NetConnection, ReceivesDataTimeOutsResetsAndOrderlyCloses) {
    Peer peer;
    T_DevicesInfo r = Record(peer.port());
    ASSERT_TRUE(qv::ConnectToDevice(&r));
    ASSERT_GE(peer.Accept(), 0);
    char buf[64];
    EXPECT_EQ(qv::ReadNetworkData(nullptr, buf, sizeof buf, 10), qv::kNetReadFailed);
    EXPECT_EQ(qv::ReadNetworkData(&r, nullptr, sizeof buf, 10), qv::kNetReadFailed);

    peer.Send("abc");
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 1000), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // Another transport kind reads nothing.
    T_DevicesInfo serial = r;
    serial.transportKind = QV_TRANSPORT_SERIAL;
    peer.Send("x");
    EXPECT_EQ(qv::ReadNetworkData(&serial, buf, sizeof buf, 10), 0);
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 1000), 1);

    // Nothing within the time-out: 0, after the whole of it.
    auto t0 = Clock::now();
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 300), 0);
    EXPECT_GE(MsSince(t0), 295);
    EXPECT_LT(MsSince(t0), 1300);

    // At most 1 MiB per receive, whatever the capacity.
    const std::string big(3 * 1024 * 1024, 'b');
    std::thread sender([&] { peer.Send(big); });
    std::vector<char> large(4 * 1024 * 1024);
    size_t total = 0;
    while (total < big.size()) {
        const int32_t n = qv::ReadNetworkData(&r, large.data(), static_cast<uint32_t>(large.size()), 2000);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 1024 * 1024);
        total += static_cast<size_t>(n);
    }
    sender.join();
    EXPECT_EQ(total, big.size());

    // An orderly close: 0 after the time-out, also on the next read.
    peer.CloseOrderly();
    for (int i = 0; i < 2; ++i) {
        t0 = Clock::now();
        EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 200), 0);
        EXPECT_GE(MsSince(t0), 195);
    }
    qv::Disconnect(&r);

    // A reset: -5 at once.
    ASSERT_TRUE(qv::ConnectToDevice(&r));
    ASSERT_GE(peer.Accept(), 0);
    peer.Reset();
    t0 = Clock::now();
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 2000), qv::kNetReadReset);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_STREQ(qv::LastErrorText(), "Socket disconnected");
    qv::Disconnect(&r);
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 10), qv::kNetReadError);
    EXPECT_STREQ(qv::LastErrorText(), "Invalid socket");
}

TEST_F(NetConnection, ACancelEndsAReceiveAndASendAtOnce) {
    Peer peer;
    T_DevicesInfo r = Record(peer.port());
    ASSERT_TRUE(qv::ConnectToDevice(&r));
    ASSERT_GE(peer.Accept(), 0);
    qv::platform::CancelEvent cancel;
    ASSERT_TRUE(cancel.valid());
    std::atomic<int32_t> got{1};
    const auto t0 = Clock::now();
    std::thread reader([&] {
        char buf[16];
        got = qv::ReadNetworkData(&r, buf, sizeof buf, 20000, &cancel);
    });
    std::thread writer([&] {
        // The peer reads nothing: the connection fills and the send waits.
        std::vector<char> big(64 * 1024 * 1024, 'w');
        EXPECT_FALSE(qv::WriteNetworkData(&r, big.data(), static_cast<uint32_t>(big.size()), &cancel));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel.Signal();
    reader.join();
    writer.join();
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_EQ(got.load(), qv::kNetReadFailed);
    // And every later wait too.
    char buf[4];
    EXPECT_EQ(qv::ReadNetworkData(&r, buf, sizeof buf, 1000, &cancel), qv::kNetReadFailed);
    qv::Disconnect(&r);
}

TEST_F(NetConnection, SendsGoOutWholeAndFailWithoutSignalOnAGonePeer) {
    Peer peer;
    T_DevicesInfo r = Record(peer.port());
    EXPECT_FALSE(qv::WriteNetworkData(nullptr, "a", 1));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    EXPECT_FALSE(qv::WriteNetworkData(&r, "a", 1));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid socket");
    ASSERT_TRUE(qv::ConnectToDevice(&r));
    ASSERT_GE(peer.Accept(), 0);

    // More than the connection holds: every byte arrives, in order.
    std::string big(16 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (received.size() < big.size()) {
            const ssize_t n = recv(peer.conn(), buf.data(), buf.size(), 0);
            if (n <= 0) break;
            received.append(buf.data(), static_cast<size_t>(n));
            if (received.size() < 4 * 1024 * 1024) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(qv::WriteNetworkData(&r, big.data(), static_cast<uint32_t>(big.size())));
    reader.join();
    EXPECT_TRUE(received == big);

    // A peer that closed its side takes nothing more: the send fails.
    peer.CloseOrderly();
    ASSERT_TRUE(qvtest::WaitFor([&] { return qv::platform::PeekConnection(r.socket).peerClosed; }));
    EXPECT_FALSE(qv::WriteNetworkData(&r, "abc", 3));
    EXPECT_STREQ(qv::LastErrorText(), "Send tcp data error");
    qv::Disconnect(&r);

    // A reset peer: the send fails and no SIGPIPE ends the process, also
    // when the socket service is asked to send on the broken connection.
    ASSERT_TRUE(qv::ConnectToDevice(&r));
    ASSERT_GE(peer.Accept(), 0);
    peer.Reset();
    ASSERT_TRUE(qvtest::WaitFor([&] { return qv::platform::PeekConnection(r.socket).errorPending; }));
    EXPECT_FALSE(qv::WriteNetworkData(&r, "abc", 3));
    for (int i = 0; i < 3; ++i) {
        int err = 0;
        EXPECT_EQ(qv::platform::Send(r.socket, "abc", 3, &err), -1);
        EXPECT_EQ(qv::platform::ClassifyError(err), qv::platform::NetError::kReset) << err;
    }
    qv::Disconnect(&r);
}

TEST_F(NetConnection, TransportOpensReadsBufferedInputCancelsAndCloses) {
    Peer peer;
    qv::CNetworkCommunication t;
    T_DevicesInfo entry = Record(peer.port());
    entry.index = 7;
    EXPECT_EQ(t.OpenDeviceForNati(nullptr), nullptr);
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr) << qv::LastErrorText();
    ASSERT_GE(peer.Accept(), 0);
    EXPECT_EQ(entry.socket, dev->socket);
    EXPECT_EQ(dev->index, 7);
    EXPECT_EQ(dev->isAsynRead, QV_LISTENER_IDLE);

    char buf[64];
    EXPECT_EQ(t.ReadBuffered(dev, buf, sizeof buf), 0);
    peer.Send("waiting");
    ASSERT_TRUE(qvtest::WaitFor([&] { return qv::platform::PeekConnection(dev->socket).readable; }));
    const auto t0 = Clock::now();
    EXPECT_EQ(t.ReadBuffered(dev, buf, sizeof buf), 7);
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_EQ(std::string(buf, 7), "waiting");

    // A package that is not there: its code, and the connection is made afresh.
    int32_t result = 0;
    EXPECT_FALSE(t.UpdateKernelDevice(dev, "no-such-firmware.bin", 0, &result));
    EXPECT_EQ(result, QV_FW_CANNOT_OPEN);
    EXPECT_STREQ(qv::LastErrorText(), "Update firmware file with net erro");
    EXPECT_FALSE(t.UpdateKernelDevice(dev, "", 0, &result));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");

    // A write of nothing is refused without an error text.
    qv::SetLastErrorCode(qv::kOk);
    EXPECT_FALSE(t.Write(dev, "a", 0));
    EXPECT_FALSE(t.Write(dev, nullptr, 1));
    EXPECT_STREQ(qv::LastErrorText(), "");

    // After a cancel every read and write fails at once, without reconnecting.
    t.Cancel(dev);
    EXPECT_FALSE(t.Write(dev, "abc", 3));
    EXPECT_EQ(t.Read(dev, buf, sizeof buf, 2000), -1);
    EXPECT_EQ(t.ReadBuffered(dev, buf, sizeof buf), -1);

    T_DevicesInfo* closing = dev;
    EXPECT_TRUE(t.CloseDevice(&closing));
    EXPECT_EQ(closing, nullptr);
    EXPECT_TRUE(t.CloseDevice(nullptr));
    // The peer sees the connection end.
    pollfd p{peer.conn(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(recv(peer.conn(), buf, sizeof buf, 0), 0);
}

TEST_F(NetConnection, TransportReconnectsAResetConnectionOnRead) {
    Peer peer;
    qv::CNetworkCommunication t;
    T_DevicesInfo entry = Record(peer.port());
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr) << qv::LastErrorText();
    ASSERT_GE(peer.Accept(), 0);
    const int first = dev->socket;
    peer.Reset();
    char buf[16];
    // The reset is seen, the connection opened again, and the read goes on on it.
    std::thread server([&] {
        if (peer.Accept() >= 0) peer.Send("new");
    });
    EXPECT_EQ(t.Read(dev, buf, sizeof buf, 2000), 3);
    server.join();
    EXPECT_EQ(std::string(buf, 3), "new");
    EXPECT_NE(dev->socket, -1);
    EXPECT_NE(dev->socket, first);
    T_DevicesInfo* closing = dev;
    EXPECT_TRUE(t.CloseDevice(&closing));
}
