// qv_SetNetDeviceConfig through the built library against simulated network
// scanners, inside this test program's own network namespace: the datagram it
// sends, the reply it hands back, how long it waits, and the requests and
// replies that do not fit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "net_helpers.h"
#include "quorvia.h"

using namespace std::string_literals;

namespace {

std::string Request(int number, const std::string& ip = "127.0.0.1") {
    char serial[32], mac[32];
    std::snprintf(serial, sizeof serial, "QVNET%04d", number);
    std::snprintf(mac, sizeof mac, "02:51:56:00:00:%02X", number);
    return "Serial Number="s + serial + ";MAC Address=" + mac + ";Device Use DHCP=0;Device IP Address=" + ip +
           ";Device SubNetmask=255.255.255.0;Device Gateway Address=127.0.0.1;";
}

std::string LastRequest(SimProcess& sim, int number) {
    const std::string r = sim.command("netlast net" + std::to_string(number));
    return r.size() > 3 ? r.substr(3) : std::string();
}

// A reply buffer of the documented size with a guard zone behind it.
struct ReplyBuffer {
    std::vector<char> bytes = std::vector<char>(QV_NET_CONFIG_REPLY_SIZE + 256, 'X');
    char* data() { return bytes.data(); }
    bool GuardIntact() const {
        for (size_t i = QV_NET_CONFIG_REPLY_SIZE; i < bytes.size(); ++i) {
            if (bytes[i] != 'X') return false;
        }
        return true;
    }
};

}  // namespace

TEST(NetConfig, SendsTheExactDatagramAndReturnsTheReply) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 60}, {.number = 61}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string text = Request(61);
    for (int32_t mode : {1, 0, 2}) {
        ReplyBuffer reply;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(qv_SetNetDeviceConfig(mode, text.c_str(), static_cast<int32_t>(text.size()), 5000, reply.data()), 0);
        EXPECT_LT(qvtest::MsSince(t0), 1000);  // the reply ends the wait
        EXPECT_STREQ(qv_GetLastError(), "");
        const uint8_t type = mode == 1 ? 0x40 : 0x10;
        EXPECT_EQ(LastRequest(sim, 61), sim_hex(qvtest::NetDatagram(type, text))) << "mode " << mode;
        EXPECT_EQ(std::string(reply.data()),
                  "Serial Number=QVNET0061;MAC Address=02:51:56:00:00:3D;Config Result=OK;Device Use DHCP=0;"
                  "Device IP Address=127.0.0.1;Device SubNetmask=255.255.255.0;Device Gateway Address=127.0.0.1;");
        EXPECT_TRUE(reply.GuardIntact());
    }
    EXPECT_EQ(sim.command("netconfig net61"), "OK dhcp=0 ip=127.0.0.1 mask=255.255.255.0 gateway=127.0.0.1");
    EXPECT_EQ(sim.command("netconfig net60"), "OK dhcp= ip= mask= gateway=");
    // A null reply buffer is allowed.
    EXPECT_EQ(qv_SetNetDeviceConfig(0, text.c_str(), static_cast<int32_t>(text.size()), 1000, nullptr), 0);
}

TEST(NetConfig, WaitsAtMostOneSecondPerLocalAddressAndLeavesAnEmptyTextWithoutReply) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 62}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string text = Request(99);  // nobody has this serial number
    ReplyBuffer reply;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_SetNetDeviceConfig(0, text.c_str(), static_cast<int32_t>(text.size()), 5000, reply.data()), 0);
    long long ms = qvtest::MsSince(t0);
    EXPECT_GE(ms, 995);
    EXPECT_LT(ms, 2500);
    EXPECT_STREQ(reply.data(), "");
    EXPECT_TRUE(reply.GuardIntact());
    EXPECT_EQ(LastRequest(sim, 62), sim_hex(qvtest::NetDatagram(0x10, text)));

    // A shorter time-out is kept.
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_SetNetDeviceConfig(0, text.c_str(), static_cast<int32_t>(text.size()), 300, reply.data()), 0);
    ms = qvtest::MsSince(t0);
    EXPECT_GE(ms, 295);
    EXPECT_LT(ms, 1500);

    // With a second local address the request goes out twice, 1 s each.
    std::string why;
    ASSERT_TRUE(qvtest::AddLoopbackAddress("127.0.0.2", &why)) << why;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qv_SetNetDeviceConfig(0, text.c_str(), static_cast<int32_t>(text.size()), 5000, reply.data()), 0);
    ms = qvtest::MsSince(t0);
    EXPECT_GE(ms, 1990);
    EXPECT_LT(ms, 4000);
    const std::string stats = sim.command("netstats net62");
    EXPECT_NE(stats.find("requests=4"), std::string::npos) << stats;
}

TEST(NetConfig, ALongReplyIsCutTo4095BytesAndAZeroByte) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 63}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    // The scanner echoes the request's values: a long address makes a reply
    // text longer than the buffer.
    std::string text = Request(63, std::string(10, '1'));
    text = Request(63, std::string(QV_NET_CONFIG_REQUEST_MAX - text.size() + 10, '1'));
    ASSERT_EQ(text.size(), static_cast<size_t>(QV_NET_CONFIG_REQUEST_MAX));
    ReplyBuffer reply;
    ASSERT_EQ(qv_SetNetDeviceConfig(1, text.c_str(), static_cast<int32_t>(text.size()), 1000, reply.data()), 0);
    const std::string got(reply.data());
    EXPECT_EQ(got.size(), QV_NET_CONFIG_REPLY_SIZE - 1u);
    EXPECT_EQ(got.substr(0, 58), "Serial Number=QVNET0063;MAC Address=02:51:56:00:00:3F;Conf");
    EXPECT_EQ(reply.bytes[QV_NET_CONFIG_REPLY_SIZE - 1], '\0');
    EXPECT_TRUE(reply.GuardIntact());
}

TEST(NetConfig, BadRequestsAreRefusedBeforeAnythingIsSent) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 64}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string over(QV_NET_CONFIG_REQUEST_MAX + 1, 'A');
    ReplyBuffer reply;
    EXPECT_EQ(qv_SetNetDeviceConfig(0, over.c_str(), static_cast<int32_t>(over.size()), 1000, reply.data()), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_STREQ(reply.data(), "");
    EXPECT_EQ(qv_SetNetDeviceConfig(0, nullptr, 10, 1000, reply.data()), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(qv_SetNetDeviceConfig(0, "X=1;", 0, 1000, reply.data()), -1);
    EXPECT_EQ(qv_SetNetDeviceConfig(0, "X=1;", -4, 1000, reply.data()), -1);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    const std::string stats = sim.command("netstats net64");
    EXPECT_NE(stats.find("requests=0"), std::string::npos) << stats;

    // The longest request goes out whole.
    const std::string longest(QV_NET_CONFIG_REQUEST_MAX, 'B');
    EXPECT_EQ(qv_SetNetDeviceConfig(0, longest.c_str(), static_cast<int32_t>(longest.size()), 100, reply.data()), 0);
    EXPECT_EQ(LastRequest(sim, 64), sim_hex(qvtest::NetDatagram(0x10, longest)));
}
