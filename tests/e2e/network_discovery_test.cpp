// Network discovery through the exports of the built library against
// simulated network scanners, inside this test program's own network
// namespace: which scanners are listed, once each, with the fields of their
// replies, and what becomes of replies that are doubled, split, incomplete,
// over-long or malformed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "net_helpers.h"
#include "quorvia.h"

using qvtest::NetDevices;
using namespace std::string_literals;

namespace {

std::string Hex(const std::string& bytes) { return sim_hex(bytes); }

std::string FirstText(int n, uint16_t port) {
    const std::string num = std::to_string(n);
    return "Device Name=QuorviaSim Net " + num + ";Serial Number=" + NetDevices::DefaultSerial(n) +
           ";MAC Address=" + NetDevices::DefaultMac(n) + ";Supp Gr=0;Ip Address=127.0.0.1;Tcp Port Number=" +
           std::to_string(port) + ";SubNetmask=255.0.0.0;Gateway Address=127.0.0.1;";
}

}  // namespace

TEST(NetDiscovery, ScannersAreListedAfterTheLocalEntriesOnceEachWithTheirFields) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 5, .options = "answers=2"}, {.number = 6, .options = "mask=255.255.0.0,gateway=127.0.0.9"}},
                 {{.com = 31, .options = "id=Serial Beside"}}, 15);
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 3);
    T_DevicesInfo* list = d.list();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].transportKind, QV_TRANSPORT_SERIAL);
    EXPECT_STREQ(list[0].devInfo, "Serial Beside");
    EXPECT_EQ(list[0].deviceCount, 3);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(list[i].transportKind, QV_TRANSPORT_NETWORK);
        EXPECT_EQ(list[i].index, i);
        EXPECT_EQ(list[i].socket, -1);
        EXPECT_EQ(list[i].pOpenStream, nullptr);
        EXPECT_STREQ(list[i].ipAddress, "127.0.0.1");
    }
    const int five = d.IndexOfSerial("QVNET0005");
    const int six = d.IndexOfSerial("QVNET0006");
    ASSERT_GE(five, 1);
    ASSERT_GE(six, 1);
    EXPECT_EQ(list[five].tcpPort, d.sim().tcp_port(5));
    EXPECT_STREQ(list[five].macAddress, "02:51:56:00:00:05");
    EXPECT_STREQ(list[five].subNetmask, "255.0.0.0");
    EXPECT_STREQ(list[five].gatewayAddress, "127.0.0.1");
    EXPECT_EQ(std::string(list[five].devInfo), FirstText(5, d.sim().tcp_port(5)));
    EXPECT_EQ(list[six].tcpPort, d.sim().tcp_port(6));
    EXPECT_STREQ(list[six].subNetmask, "255.255.0.0");
    EXPECT_STREQ(list[six].gatewayAddress, "127.0.0.9");
    EXPECT_STREQ(qv_GetLastError(), "");

    // The identity of a network entry is its discovery reply.
    T_DevInfo info{};
    ASSERT_TRUE(qv_GetDeviceInfo(list, static_cast<uint32_t>(five), &info));
    EXPECT_EQ(info.devType, QV_DEVTYPE_NETWORK);
    EXPECT_STREQ(info.devInfo, list[five].devInfo);

    // Flags 8 alone: only the network scanners.
    d.Reenumerate(QV_ENUM_NETWORK);
    ASSERT_EQ(d.count(), 2);
    EXPECT_EQ(d.list()[0].deviceCount, 2);
    EXPECT_NE(d.IndexOfSerial("QVNET0005"), -1);
    EXPECT_NE(d.IndexOfSerial("QVNET0006"), -1);
}

TEST(NetDiscovery, AScannerAnsweringTwiceOnTwoLocalAddressesIsListedOnce) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    std::string why;
    ASSERT_TRUE(qvtest::AddLoopbackAddress("127.0.0.2", &why)) << why;
    NetDevices d({{.number = 7, .options = "answers=2"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 1);
    EXPECT_STREQ(d.list()[0].serialNumber, "QVNET0007");
    // Both local addresses sent queries (and received every broadcast reply).
    const std::string stats = d.sim().command("netstats net7");
    EXPECT_NE(stats.find("sources=127.0.0.1,127.0.0.2"), std::string::npos) << stats;
}

TEST(NetDiscovery, ReplyByBroadcastOrToThisHost) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 8, .options = "reply=unicast"}, {.number = 9, .options = "reply=broadcast"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 2);
    EXPECT_NE(d.IndexOfSerial("QVNET0008"), -1);
    EXPECT_NE(d.IndexOfSerial("QVNET0009"), -1);
}

TEST(NetDiscovery, SecondReplies) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    // 10: Supp Gr=0, listed from its first reply; 11: Supp Gr=1 with its ':'
    // reply; 12: Supp Gr=1 whose ':' reply never comes; 13: Supp Gr=0 that
    // sends a ':' reply all the same.
    NetDevices d({{.number = 10},
                  {.number = 11, .options = "suppgr=1"},
                  {.number = 12, .options = "suppgr=1,second=0"},
                  {.number = 13}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    const std::string first13 = FirstText(13, d.sim().tcp_port(13));
    const std::string second13 = "Serial Number=QVNET0013;MAC Address=02:51:56:00:00:0D;Extra=1;";
    ASSERT_EQ(d.sim().command("netraw net13 " + Hex(qvtest::NetDatagram('1', first13))), "OK");
    ASSERT_EQ(d.sim().command("netraw net13 " + Hex(qvtest::NetDatagram(':', second13))), "OK");
    d.Reenumerate();
    ASSERT_EQ(d.count(), 3);
    const int ten = d.IndexOfSerial("QVNET0010");
    const int eleven = d.IndexOfSerial("QVNET0011");
    const int thirteen = d.IndexOfSerial("QVNET0013");
    ASSERT_NE(ten, -1);
    ASSERT_NE(eleven, -1);
    ASSERT_NE(thirteen, -1);
    EXPECT_EQ(d.IndexOfSerial("QVNET0012"), -1);
    EXPECT_EQ(std::string(d.list()[ten].devInfo), FirstText(10, d.sim().tcp_port(10)));
    EXPECT_EQ(std::string(d.list()[thirteen].devInfo), first13);
    const std::string p11 = std::to_string(d.sim().tcp_port(11));
    EXPECT_EQ(std::string(d.list()[eleven].devInfo),
              "Device Name=QuorviaSim Net 11;Serial Number=QVNET0011;MAC Address=02:51:56:00:00:0B;Supp Gr=1;"
              "Ip Address=127.0.0.1;Tcp Port Number=" + p11 +
                  ";SubNetmask=255.0.0.0;Gateway Address=127.0.0.1;Firmware=QVSIM-NET 1.0;");
    EXPECT_EQ(d.list()[eleven].tcpPort, d.sim().tcp_port(11));
    EXPECT_STREQ(d.list()[eleven].subNetmask, "255.0.0.0");
}

TEST(NetDiscovery, TakesTheWindowAndFindsNothingWhenNobodyAnswers) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 14, .options = "discover=0"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    int32_t count = 77;
    const auto t0 = std::chrono::steady_clock::now();
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_NETWORK);
    const long long ms = qvtest::MsSince(t0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_GE(ms, 2300);
    EXPECT_LT(ms, 6000);  // the window and the ends of the threads, generously
    // Queries went out every 500 ms while the window was open.
    const std::string stats = d.sim().command("netstats net14");
    EXPECT_NE(stats.find("queries="), std::string::npos);
    const int queries = std::atoi(stats.c_str() + stats.find("queries=") + 8);
    EXPECT_GE(queries, 6);  // two discoveries (the fixture's and this one), 4 or 5 queries each
}

TEST(NetDiscovery, RepliesLackingAKeyAreLeftOutAndNotCounted) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 15}, {.number = 16}, {.number = 17}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    // 16 lacks its gateway, 17 its serial number's closing ';'.
    const std::string t16 = "Serial Number=QVNET0016;MAC Address=02:51:56:00:00:10;Ip Address=127.0.0.1;"
                            "Tcp Port Number=1;SubNetmask=255.0.0.0;";
    const std::string t17 = "MAC Address=02:51:56:00:00:11;Ip Address=127.0.0.1;Tcp Port Number=1;"
                            "SubNetmask=255.0.0.0;Gateway Address=127.0.0.1;Serial Number=QVNET0017";
    ASSERT_EQ(d.sim().command("netreply net16 first " + Hex(t16)), "OK");
    ASSERT_EQ(d.sim().command("netreply net17 first " + Hex(t17)), "OK");
    d.Reenumerate();
    ASSERT_EQ(d.count(), 1);
    ASSERT_NE(d.list(), nullptr);
    EXPECT_STREQ(d.list()[0].serialNumber, "QVNET0015");
    EXPECT_EQ(d.list()[0].deviceCount, 1);

    // Nobody complete: nothing listed, a count of 0.
    ASSERT_EQ(d.sim().command("discover net15 off"), "OK");
    d.Reenumerate();
    EXPECT_EQ(d.count(), 0);
    EXPECT_EQ(d.list(), nullptr);
}

TEST(NetDiscovery, OverLongFieldsAreCutToTheirFields) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 18}, {.number = 19}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    const std::string serial(1500, 'S'), mac(300, 'M'), ip(200, '9'), mask(130, '5'), gateway(128, '7');
    const std::string text = "Serial Number=" + serial + ";MAC Address=" + mac + ";Ip Address=" + ip +
                             ";Tcp Port Number=99999999999999999999;SubNetmask=" + mask + ";Gateway Address=" +
                             gateway + ";Supp Gr=0000001;Tail=" + std::string(2500, 'T') + ";";
    ASSERT_GT(text.size(), 4096u);
    ASSERT_LT(text.size(), 5108u);
    ASSERT_EQ(d.sim().command("netreply net18 first " + Hex(text)), "OK");
    // 19: "Supp Gr=" over three characters is read as its first three ("100").
    const std::string pending = FirstText(19, d.sim().tcp_port(19));
    ASSERT_EQ(d.sim().command("netreply net19 first " +
                              Hex(pending.substr(0, pending.find("Supp Gr=0")) + "Supp Gr=1000;" +
                                  pending.substr(pending.find("Supp Gr=0") + 10))),
              "OK");
    d.Reenumerate();
    ASSERT_EQ(d.count(), 1);
    const T_DevicesInfo& e = d.list()[0];
    EXPECT_EQ(std::string(e.serialNumber), serial.substr(0, 1023));
    EXPECT_EQ(std::string(e.macAddress), mac.substr(0, 127));
    EXPECT_EQ(std::string(e.ipAddress), ip.substr(0, 127));
    EXPECT_EQ(std::string(e.subNetmask), mask.substr(0, 127));
    EXPECT_EQ(std::string(e.gatewayAddress), gateway.substr(0, 127));
    EXPECT_EQ(e.tcpPort, 0);  // not a port number
    EXPECT_EQ(std::string(e.devInfo), text.substr(0, 4095));
    EXPECT_EQ(e.transportKind, QV_TRANSPORT_NETWORK);
    EXPECT_EQ(e.deviceCount, 1);
    // An entry that cannot be connected to fails its open cleanly.
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Connect to server error");
}

TEST(NetDiscovery, MalformedDatagramsAreIgnored) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 20}, {.number = 21}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    const std::string good20 = FirstText(20, d.sim().tcp_port(20));
    const std::vector<std::string> junk = {
        "QVSCAN\x10" "1"s,                                      // 8 bytes
        "QVSCAN\x10" "1\x00\x00\x00"s,                          // 11 bytes: too short
        "QVSCAN\x10" "1\x00\x00\x00\x00"s,                      // header only: an empty text
        "QVSCAM\x10" "1\x00\x00\x00\x05"s + good20,             // magic
        "QVSCAN\x11" "1\x00\x00\x00\x05"s + good20,             // version byte
        qvtest::NetDatagram(0x33, good20),                     // unknown type
        qvtest::NetDatagram(0x11, good20),                     // a configuration reply
        qvtest::NetDatagram(':', good20),                      // a second reply nobody waits for
        qvtest::NetDatagram('1', "Serial Number=X;\0"s + good20.substr(14)),  // cut at the zero byte
        std::string(6000, 'Q'),                                // longer than a receive takes
    };
    for (const std::string& j : junk) ASSERT_EQ(d.sim().command("netraw net20 " + Hex(j)), "OK");
    // The length field is not trusted: a reply whose length lies is read whole.
    ASSERT_EQ(d.sim().command("netraw net20 " + Hex(qvtest::NetDatagram('2', good20, 3))), "OK");
    // A reply longer than the receive buffer is read up to it.
    const std::string big = FirstText(21, d.sim().tcp_port(21)) + "Tail=" + std::string(6000, 't') + ";";
    ASSERT_EQ(d.sim().command("netreply net21 first " + Hex(big)), "OK");
    d.Reenumerate();
    ASSERT_EQ(d.count(), 2);
    const int twenty = d.IndexOfSerial("QVNET0020");
    const int twentyOne = d.IndexOfSerial("QVNET0021");
    ASSERT_NE(twenty, -1);
    ASSERT_NE(twentyOne, -1);
    EXPECT_EQ(std::string(d.list()[twenty].devInfo), good20);
    EXPECT_EQ(std::string(d.list()[twentyOne].devInfo), big.substr(0, 4095));
}

TEST(NetDiscovery, BaseInfoOverTcp) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetDevices d({{.number = 22, .options = "base=Net Base 22"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 1);
    char buf[256] = {};
    int32_t len = sizeof buf;
    qv_GetBaseInfo(d.list(), 0, buf, &len);
    EXPECT_STREQ(buf, "Net Base 22");
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
    SimProcess::Stats st;
    ASSERT_TRUE(d.sim().stats(22, st));
    EXPECT_EQ(st.connections, 1u);
}
