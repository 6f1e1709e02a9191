// Network scanners as plain TCP peers, through the exports of the built
// library in this test program's own network namespace: the TCP service with
// quorvia-sim's clients, client connections to a simulated scanner, raw bytes
// both ways, pictures over such a connection, and refused arguments.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "img_param.h"
#include "net_helpers.h"
#include "quorvia.h"
#include "sim_pictures.h"

using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

namespace {

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

long long CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000LL + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

int OpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n;
}

// A TCP socket listening on 127.0.0.1 at a port the system picked.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            return;
        }
        port = ntohs(sa.sin_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
};

// A port nothing listens on right now.
uint16_t FreePort() { return Listener().port; }

// What the service handed to the callback.
std::mutex g_mu;
std::vector<std::pair<int32_t, std::string>> g_clients;

void OnClient(int32_t socket, const char* ip) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_clients.emplace_back(socket, ip);
}

size_t ClientCount() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_clients.size();
}

// qv_CreateTcpService on a thread of its own.
class RunningService {
public:
    explicit RunningService(uint16_t port) : port_(port) {
        {
            std::lock_guard<std::mutex> lock(g_mu);
            g_clients.clear();
        }
        thread_ = std::thread([this] {
            result_ = qv_CreateTcpService(port_, OnClient);
            error_ = qv_GetLastError();
            ended_ = true;
        });
    }
    ~RunningService() {
        if (thread_.joinable()) {
            qv_ExitTcpService();
            thread_.join();
        }
    }
    // Ends the service from this thread; the time qv_CreateTcpService took to return.
    long long Exit() {
        const auto t = Clock::now();
        EXPECT_EQ(qv_ExitTcpService(), 0);
        thread_.join();
        return MsSince(t);
    }
    bool ended() const { return ended_; }
    int32_t result() const { return result_; }
    const std::string& error() const { return error_; }

private:
    uint16_t port_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    int32_t result_ = 0;
    std::string error_;
};

// A service is up once a client gets through.
bool ServiceUp(SimProcess& sim, uint16_t port) {
    const std::string connect = "tcpclient connect " + std::to_string(port) + " 1";
    return qvtest::WaitFor([&] { return sim.command(connect).rfind("OK", 0) == 0; }, 5000);
}

std::string ClientState(SimProcess& sim, size_t i) { return sim.command("tcpclient state " + std::to_string(i)); }

}  // namespace

TEST(TcpService, SixtyFiveClientsExitClosesOnlyTheSet) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim(std::vector<SimProcess::Port>{});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const uint16_t port = FreePort();
    RunningService service(port);
    ASSERT_TRUE(ServiceUp(sim, port));  // client 0
    ASSERT_EQ(sim.command("tcpclient connect " + std::to_string(port) + " 64"), "OK 1 64");
    ASSERT_TRUE(qvtest::WaitFor([] { return ClientCount() == 65; }, 5000)) << ClientCount();
    std::vector<std::pair<int32_t, std::string>> clients;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        clients = g_clients;
    }
    for (const auto& [socket, ip] : clients) {
        EXPECT_GE(socket, 0);
        EXPECT_EQ(ip, "127.0.0.1");
    }
    // The callback's socket carries the client's bytes both ways.
    ASSERT_EQ(sim.command("tcpclient send 0 48656C6C6F"), "OK");
    char buf[QV_SOCKET_READ_SIZE];
    int32_t len = 0;
    ASSERT_EQ(qv_readFromSocket(clients[0].first, 2000, buf, &len), 0) << qv_GetLastError();
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "Hello");
    ASSERT_EQ(qv_sendDataToSocket(clients[0].first, "Hi", 2), 0);
    ASSERT_TRUE(qvtest::WaitFor([&] { return sim.command("tcpclient recv 0") == "OK 4869"; }, 2000));

    // qv_CloseClientSocket takes one client out of the set and closes it.
    int32_t second = clients[1].first;
    EXPECT_EQ(qv_CloseClientSocket(&second), 0);
    EXPECT_EQ(second, -1);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_TRUE(qvtest::WaitFor([&] { return ClientState(sim, 1) == "OK closed"; }, 2000));
    EXPECT_EQ(qv_sendDataToSocket(clients[1].first, "x", 1), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid socket");

    // The exit ends the service at once and closes the clients of the set:
    // the first 63; the 64th and 65th were never in it and stay open.
    const long long took = service.Exit();
    EXPECT_LT(took, 1000);
    EXPECT_TRUE(service.ended());
    EXPECT_EQ(service.result(), -1);
    EXPECT_EQ(service.error(), "");
    for (size_t i = 0; i < 63; ++i) {
        EXPECT_TRUE(qvtest::WaitFor([&] { return ClientState(sim, i) == "OK closed"; }, 2000)) << "client " << i;
    }
    for (size_t i : {63u, 64u}) {
        EXPECT_EQ(ClientState(sim, i), "OK open") << "client " << i;
        EXPECT_EQ(qv_sendDataToSocket(clients[i].first, "still here", 10), 0) << qv_GetLastError();
        EXPECT_TRUE(qvtest::WaitFor(
            [&] { return sim.command("tcpclient recv " + std::to_string(i)) == "OK 7374696C6C2068657265"; }, 2000));
        int32_t s = clients[i].first;
        EXPECT_EQ(qv_CloseClientSocket(&s), 0);
        EXPECT_TRUE(qvtest::WaitFor([&] { return ClientState(sim, i) == "OK closed"; }, 2000)) << "client " << i;
    }
    // A new service may start once the old one has ended.
    RunningService again(port);
    EXPECT_TRUE(ServiceUp(sim, port));
}

TEST(TcpService, ReadableClientsDoNotKeepTheServiceBusy) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim(std::vector<SimProcess::Port>{});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const uint16_t port = FreePort();
    RunningService service(port);
    ASSERT_TRUE(ServiceUp(sim, port));
    ASSERT_TRUE(qvtest::WaitFor([] { return ClientCount() == 1; }, 5000));
    // The client's bytes stay unread: the service must sleep all the same.
    ASSERT_EQ(sim.command("tcpclient send 0 0154040154040154"), "OK");
    const long long cpu = CpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(CpuMs() - cpu, 300);
    // The exit ends it at once, a readable client in the set or not.
    EXPECT_LT(service.Exit(), 1000);
    EXPECT_EQ(ClientState(sim, 0), "OK closed");
}

TEST(TcpService, SecondServiceAndPortInUseAreReported) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim(std::vector<SimProcess::Port>{});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const uint16_t port = FreePort();
    RunningService service(port);
    ASSERT_TRUE(ServiceUp(sim, port));
    // Only one service runs in a process.
    EXPECT_EQ(qv_CreateTcpService(FreePort(), OnClient), -1);
    EXPECT_STREQ(qv_GetLastError(), "Socket bind error");
    EXPECT_FALSE(service.ended());
    service.Exit();

    // A port someone else listens on is reported at once.
    Listener taken;
    ASSERT_GT(taken.port, 0);
    const auto t = Clock::now();
    EXPECT_EQ(qv_CreateTcpService(taken.port, OnClient), -1);
    EXPECT_STREQ(qv_GetLastError(), "Socket bind error");
    EXPECT_LT(MsSince(t), 1000);
    EXPECT_EQ(qv_CreateTcpService(port, nullptr), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(TcpClient, ConnectSendReadAndClose) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 61}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    int32_t s = -1;
    ASSERT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(61), &s), 0) << qv_GetLastError();
    EXPECT_GE(s, 0);
    EXPECT_STREQ(qv_GetLastError(), "");

    const std::string frame = "\x7E\x01" "0000@QRYSYS;\x03"s;
    ASSERT_EQ(qv_sendDataToSocket(s, frame.data(), static_cast<int32_t>(frame.size())), 0);
    std::string got;
    char buf[QV_SOCKET_READ_SIZE];
    while (got.find(";\x03") == std::string::npos) {
        int32_t len = 0;
        ASSERT_EQ(qv_readFromSocket(s, 2000, buf, &len), 0) << qv_GetLastError();
        ASSERT_GT(len, 0);
        got.append(buf, static_cast<size_t>(len));
    }
    EXPECT_EQ(got.rfind("\x02\x01" "0000@QRYSYS", 0), 0u) << got;

    // Nothing comes: -1 after the 500 ms, "Recv from net timeout".
    auto t = Clock::now();
    int32_t len = 0;
    EXPECT_EQ(qv_readFromSocket(s, 500, buf, &len), -1);
    EXPECT_STREQ(qv_GetLastError(), "Recv from net timeout");
    EXPECT_GE(MsSince(t), 480);
    EXPECT_LT(MsSince(t), 1500);

    // The scanner closes the connection: -2.
    ASSERT_EQ(sim.command("hangup net61"), "OK");
    t = Clock::now();
    EXPECT_EQ(qv_readFromSocket(s, 2000, buf, &len), -2);
    EXPECT_STREQ(qv_GetLastError(), "Recv tcp data error");
    EXPECT_LT(MsSince(t), 1500);

    EXPECT_EQ(qv_CloseClientSocket(&s), 0);
    EXPECT_EQ(s, -1);
}

TEST(TcpClient, HandshakeThatNeverCompletesAndRefusals) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 62}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("tcp net62 hang"), "OK");
    int32_t s = 77;
    auto t = Clock::now();
    EXPECT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(62), &s), -1);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server timeout");
    EXPECT_GE(MsSince(t), 4900);
    EXPECT_LT(MsSince(t), 7000);
    EXPECT_EQ(s, 77);

    ASSERT_EQ(sim.command("tcp net62 refuse"), "OK");
    EXPECT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(62), &s), -1);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server error");
    EXPECT_EQ(qv_connectToService("scanner.local", 30000, &s), -1);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server error");
    EXPECT_EQ(qv_connectToService("127.0.0.1", 30000, nullptr), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(TcpClient, BadSocketsAndBuffersAreRefusedWithoutLeaks) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 63}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const int before = OpenDescriptors();
    int32_t closed = -1;
    ASSERT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(63), &closed), 0);
    const int32_t number = closed;
    ASSERT_EQ(qv_CloseClientSocket(&closed), 0);
    EXPECT_EQ(OpenDescriptors(), before);

    char buf[QV_SOCKET_READ_SIZE];
    int32_t len = 0;
    uint32_t ulen = sizeof buf;
    int32_t type = 0, w = 0, h = 0;
    {
        // A socket of this test's own that the library did not make (it may
        // even have the number of the closed one): never touched.
        Listener own;
        for (int32_t bad : {-1, number, 987654, own.fd}) {
            SCOPED_TRACE(bad);
            EXPECT_EQ(qv_sendDataToSocket(bad, "x", 1), -1);
            EXPECT_STREQ(qv_GetLastError(), "Invalid socket");
            EXPECT_EQ(qv_readFromSocket(bad, 100, buf, &len), -1);
            EXPECT_STREQ(qv_GetLastError(), "Invalid socket");
            EXPECT_EQ(qv_getNetImgData(bad, 0, 0, 0, 0, buf, &ulen, &type, &w, &h), -1);
            int32_t copy = bad;
            EXPECT_EQ(qv_CloseClientSocket(&copy), 0);
            EXPECT_EQ(copy, bad);
        }
        sockaddr_in sa{};
        socklen_t salen = sizeof sa;
        EXPECT_EQ(getsockname(own.fd, reinterpret_cast<sockaddr*>(&sa), &salen), 0) << "the test's socket was closed";
    }
    EXPECT_EQ(qv_CloseClientSocket(nullptr), 0);

    int32_t s = -1;
    ASSERT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(63), &s), 0);
    EXPECT_EQ(qv_readFromSocket(s, 0, buf, &len), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(qv_readFromSocket(s, -5, buf, &len), -1);
    EXPECT_EQ(qv_readFromSocket(s, 100, nullptr, &len), -1);
    EXPECT_EQ(qv_readFromSocket(s, 100, buf, nullptr), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(qv_sendDataToSocket(s, nullptr, 3), -1);
    EXPECT_EQ(qv_sendDataToSocket(s, "abc", 0), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    uint32_t zero = 0;
    EXPECT_EQ(qv_getNetImgData(s, 0, 0, 0, 0, buf, &zero, &type, &w, &h), -1);
    EXPECT_EQ(qv_getNetImgData(s, 0, 0, 0, 0, nullptr, &ulen, &type, &w, &h), -1);
    EXPECT_EQ(qv_getNetImgData(s, 0, 0, 0, 0, buf, &ulen, nullptr, &w, &h), -1);
    EXPECT_EQ(qv_getNetImgData(s, 0, 0, 0, 0, buf, &ulen, &type, &w, nullptr), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    ASSERT_EQ(qv_CloseClientSocket(&s), 0);
    EXPECT_EQ(OpenDescriptors(), before);
}

namespace {

struct NetImage {
    int32_t ret = 0;
    std::string bytes;
    int32_t type = 0, width = 0, height = 0;
};

NetImage GetNetImage(int32_t s, int t, int r, int f, int q, uint32_t capacity = 640 * 480 * 4) {
    NetImage out;
    std::vector<char> buf(capacity);
    uint32_t len = capacity;
    out.ret = qv_getNetImgData(s, t, r, f, q, buf.data(), &len, &out.type, &out.width, &out.height);
    if (out.ret == 0) out.bytes.assign(buf.data(), len);
    return out;
}

}  // namespace

TEST(TcpClient, NetImageSizesAndTypes) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 64}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("picture net64 caps=0-2T0-2R0.1.2.4F0-100Q"), "OK");
    int32_t s = -1;
    ASSERT_EQ(qv_connectToService("127.0.0.1", sim.tcp_port(64), &s), 0);
    const std::string grey = qvsim::grey_picture(640, 480);

    NetImage full = GetNetImage(s, 0, 0, 0, 0);
    ASSERT_EQ(full.ret, 0) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(full.type, QV_IMAGE_COLOR_GREY);
    EXPECT_EQ(full.width, 640);
    EXPECT_EQ(full.height, 480);
    EXPECT_TRUE(full.bytes == grey);

    NetImage half = GetNetImage(s, 0, 1, 0, 0);
    ASSERT_EQ(half.ret, 0) << qv_GetLastError();
    EXPECT_EQ(half.width, 320);
    EXPECT_EQ(half.height, 240);
    EXPECT_TRUE(half.bytes == qvsim::scaled_picture(grey, 640, 480, 2));

    NetImage quarter = GetNetImage(s, 0, 2, 0, 0);
    ASSERT_EQ(quarter.ret, 0) << qv_GetLastError();
    EXPECT_EQ(quarter.width, 160);
    EXPECT_EQ(quarter.height, 120);
    EXPECT_TRUE(quarter.bytes == qvsim::scaled_picture(grey, 640, 480, 4));

    // Compressed: the scanner's bytes as they came, at full size.
    NetImage jpeg = GetNetImage(s, 0, 0, 2, 60);
    ASSERT_EQ(jpeg.ret, 0) << qv_GetLastError();
    EXPECT_EQ(jpeg.type, QV_IMAGE_COLOR_GREY);
    EXPECT_EQ(jpeg.width, 640);
    EXPECT_EQ(jpeg.height, 480);
    EXPECT_TRUE(jpeg.bytes == qvsim::jpeg_picture(grey, 640, 480, 60));

    // A buffer shorter than the picture gets its first bytes.
    NetImage cut = GetNetImage(s, 0, 0, 0, 0, 1000);
    ASSERT_EQ(cut.ret, 0) << qv_GetLastError();
    EXPECT_TRUE(cut.bytes == grey.substr(0, 1000));

    // The socket is still the caller's and still works.
    const std::string frame = "\x7E\x01" "0000@QRYSYS;\x03"s;
    EXPECT_EQ(qv_sendDataToSocket(s, frame.data(), static_cast<int32_t>(frame.size())), 0);
    ASSERT_EQ(qv_CloseClientSocket(&s), 0);
}

TEST(TcpClient, NetImageOfAColourScannerIsConverted) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    qvtest::NetDevices d({{.number = 65}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.sim().command("picture net65 size=640x480 colour=yuv"), "OK");
    ASSERT_EQ(d.count(), 1);
    // The conversion export of an open handle gives the expected bytes.
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    const std::string frame = qvsim::yuv_frame(640, 480);
    std::vector<char> want(640 * 480 * 3);
    ASSERT_TRUE(qv_ConvertImageColorSpace(h, frame.data(), static_cast<int32_t>(frame.size()),
                                          STImgResolution{640, 720}, want.data()));
    ASSERT_TRUE(qv_CloseDevice(&h));

    int32_t s = -1;
    ASSERT_EQ(qv_connectToService("127.0.0.1", d.sim().tcp_port(65), &s), 0);
    NetImage rgb = GetNetImage(s, 0, 0, 0, 0, 640 * 720 * 4);
    ASSERT_EQ(rgb.ret, 0) << qv_GetLastError();
    EXPECT_EQ(rgb.type, QV_IMAGE_COLOR_YUV420);
    EXPECT_EQ(rgb.width, 640);
    EXPECT_EQ(rgb.height, 480);
    EXPECT_TRUE(rgb.bytes == std::string(want.data(), want.size()));

    // Compressed pictures of a colour scanner report the picture's height.
    NetImage jpeg = GetNetImage(s, 0, 0, 2, 60, 640 * 720 * 4);
    ASSERT_EQ(jpeg.ret, 0) << qv_GetLastError();
    EXPECT_EQ(jpeg.type, QV_IMAGE_COLOR_YUV420);
    EXPECT_EQ(jpeg.width, 640);
    EXPECT_EQ(jpeg.height, 480);
    ASSERT_EQ(qv_CloseClientSocket(&s), 0);
}
