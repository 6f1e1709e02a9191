// The simulator's network scanners, driven with plain sockets: they speak the
// command protocol over TCP exactly as a scanner on a pty does, answer
// discovery queries and configuration requests, and play the network faults
// the library's tests rely on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "net_helpers.h"
#include "sim_process.h"

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace {

sockaddr_in Address(uint32_t host, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(host);
    sa.sin_port = htons(port);
    return sa;
}

// A blocking TCP client; -1 when the connection failed (errno says why).
int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Address(INADDR_LOOPBACK, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// Reads until `until` ends the bytes read, the peer closes or `ms` pass.
std::string ReadUntil(int fd, const std::string& until, int ms) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (got.size() >= until.size() && got.compare(got.size() - until.size(), until.size(), until) == 0) break;
    }
    return got;
}

// The library's side of discovery: a query from 127.0.0.1 and the datagrams
// that come back to port 36511 within `ms`.
std::vector<std::string> Discover(const std::string& query, int ms) {
    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any = Address(INADDR_ANY, 36511);
    bind(rx, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setsockopt(tx, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in local = Address(INADDR_LOOPBACK, 0);
    bind(tx, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const sockaddr_in to = Address(INADDR_BROADCAST, 36510);
    sendto(tx, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<std::string> got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char buf[8192];
        const ssize_t n = recv(rx, buf, sizeof buf, 0);
        if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
    }
    close(rx);
    close(tx);
    return got;
}

const std::string kQuery = qvtest::NetDatagram(0x30, "Answer Port=36511;");

}  // namespace

TEST(SimNet, RefusesToRunOutsideAPrivateNetwork) {
    // This process is in a namespace of its own: here it runs.
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 1}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_NE(sim.tcp_port(1), 0);
}

TEST(SimNet, SpeaksTheCommandProtocolOverTcp) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 2, .options = "id=Net Two"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const int fd = Connect(sim.tcp_port(2));
    ASSERT_GE(fd, 0) << strerror(errno);
    const std::string frame = sim_command_frame("QRYSYS");
    ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    EXPECT_EQ(ReadUntil(fd, ";\x03", 3000), "\x02\x01" "0000@QRYSYSNet Two\x06;\x03"s);
    EXPECT_EQ(sim.command("last net2"), "OK " + sim_hex(frame));
    ASSERT_EQ(sim.command("emit 2 2"), "OK");
    EXPECT_EQ(ReadUntil(fd, sim_barcode_text(2, 2) + "\r\n", 3000),
              sim_barcode_text(2, 1) + "\r\n" + sim_barcode_text(2, 2) + "\r\n");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(2, st));
    EXPECT_EQ(st.connections, 1u);
    EXPECT_EQ(st.emitted, 2u);
    close(fd);
}

TEST(SimNet, AnswersQueriesWithFirstAndSecondReplies) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 3}, {.number = 4, .options = "suppgr=1,answers=2"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::vector<std::string> got = Discover(kQuery, 500);
    const std::string p3 = std::to_string(sim.tcp_port(3)), p4 = std::to_string(sim.tcp_port(4));
    const std::string first3 =
        "Device Name=QuorviaSim Net 3;Serial Number=QVNET0003;MAC Address=02:51:56:00:00:03;Supp Gr=0;"
        "Ip Address=127.0.0.1;Tcp Port Number=" + p3 + ";SubNetmask=255.0.0.0;Gateway Address=127.0.0.1;";
    const std::string first4 =
        "Device Name=QuorviaSim Net 4;Serial Number=QVNET0004;MAC Address=02:51:56:00:00:04;Supp Gr=1;"
        "Ip Address=127.0.0.1;";
    const std::string second4 = "Serial Number=QVNET0004;MAC Address=02:51:56:00:00:04;Tcp Port Number=" + p4 +
                                ";SubNetmask=255.0.0.0;Gateway Address=127.0.0.1;Firmware=QVSIM-NET 1.0;";
    const std::vector<std::string> expected = {qvtest::NetDatagram('1', first3), qvtest::NetDatagram('1', first4),
                                               qvtest::NetDatagram(':', second4), qvtest::NetDatagram('1', first4),
                                               qvtest::NetDatagram(':', second4)};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(sim.command("netstats 3"), "OK queries=1 requests=0 configured=0 sources=127.0.0.1");

    // Silenced, it answers nothing; a malformed query gets no answer either.
    ASSERT_EQ(sim.command("discover net3 off"), "OK");
    ASSERT_EQ(sim.command("discover net4 off"), "OK");
    EXPECT_TRUE(Discover(kQuery, 300).empty());
    ASSERT_EQ(sim.command("discover net3 on"), "OK");
    EXPECT_TRUE(Discover(kQuery.substr(0, 11), 300).empty());
    EXPECT_TRUE(Discover("QVSCAN\x11\x30" + kQuery.substr(8), 300).empty());
    // Raw answers replace the replies.
    ASSERT_EQ(sim.command("netraw net3 414243"), "OK");
    EXPECT_EQ(Discover(kQuery, 300), std::vector<std::string>{"ABC"});
}

TEST(SimNet, AppliesAndAnswersConfigurationRequestsMeantForIt) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 5}, {.number = 6}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string text = "Serial Number=QVNET0006;MAC Address=02:51:56:00:00:06;Device Use DHCP=0;"
                             "Device IP Address=127.0.0.1;Device SubNetmask=255.255.255.0;"
                             "Device Gateway Address=127.0.0.1;";
    const std::string request = qvtest::NetDatagram(0x40, text);
    const std::vector<std::string> got = Discover(request, 300);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], qvtest::NetDatagram(0x41, "Serial Number=QVNET0006;MAC Address=02:51:56:00:00:06;"
                                                "Config Result=OK;Device Use DHCP=0;Device IP Address=127.0.0.1;"
                                                "Device SubNetmask=255.255.255.0;Device Gateway Address=127.0.0.1;"));
    EXPECT_EQ(sim.command("netconfig net6"), "OK dhcp=0 ip=127.0.0.1 mask=255.255.255.0 gateway=127.0.0.1");
    EXPECT_EQ(sim.command("netconfig net5"), "OK dhcp= ip= mask= gateway=");
    EXPECT_EQ(sim.command("netlast net5"), "OK " + sim_hex(request));
    // Mode 0 (type 0x10) is answered with 0x11.
    const std::vector<std::string> got0 = Discover(qvtest::NetDatagram(0x10, text), 300);
    ASSERT_EQ(got0.size(), 1u);
    EXPECT_EQ(static_cast<uint8_t>(got0[0][7]), 0x11);
}

TEST(SimNet, ConnectionFaults) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 7}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const uint16_t port = sim.tcp_port(7);

    // Reset: the next receive reports it.
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(qvtest::WaitFor([&] {
        SimProcess::Stats st;
        return sim.stats(7, st) && st.connections == 1;
    }));
    ASSERT_EQ(sim.command("reset net7"), "OK");
    char c;
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_EQ(recv(fd, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(fd);

    // Orderly close: the end of the stream.
    fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(qvtest::WaitFor([&] {
        SimProcess::Stats st;
        return sim.stats(7, st) && st.connections == 2;
    }));
    ASSERT_EQ(sim.command("hangup net7"), "OK");
    p = pollfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_EQ(recv(fd, &c, 1, 0), 0);
    close(fd);

    // Refused, for good and then for a number of attempts.
    ASSERT_EQ(sim.command("tcp net7 refuse"), "OK");
    EXPECT_EQ(Connect(port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ASSERT_EQ(sim.command("tcp net7 refuse 2"), "OK");
    EXPECT_EQ(Connect(port), -1);
    EXPECT_EQ(Connect(port), -1);
    int again = -1;
    ASSERT_TRUE(qvtest::WaitFor([&] { return (again = Connect(port)) >= 0; }, 3000));
    close(again);

    // A handshake that never completes.
    ASSERT_EQ(sim.command("tcp net7 hang"), "OK");
    const int hung = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Address(INADDR_LOOPBACK, port);
    connect(hung, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    pollfd w{hung, POLLOUT, 0};
    EXPECT_EQ(poll(&w, 1, 1500), 0);
    close(hung);
    ASSERT_EQ(sim.command("tcp net7 accept"), "OK");
    fd = Connect(port);
    EXPECT_GE(fd, 0);
    close(fd);
}
