// The pure parts of network discovery: datagrams, item texts, the collection
// of first and second replies, and records filled from reply texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "network/net_datagram.h"
#include "network/net_replies.h"

using namespace std::string_literals;
using qv::ReplyOutcome;

namespace {

std::string Text(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

std::string Reply(const std::string& serial, const std::string& mac, const std::string& rest = "") {
    return "Serial Number=" + serial + ";MAC Address=" + mac + ";" + rest;
}

const std::string kComplete = "Serial Number=SN1;MAC Address=AA;Supp Gr=0;Ip Address=10.1.2.3;Tcp Port Number=30000;"
                              "SubNetmask=255.255.255.0;Gateway Address=10.1.2.1;";

}  // namespace

TEST(NetDatagram, BuildsTheQueryAndRequests) {
    std::vector<char> d;
    ASSERT_TRUE(qv::BuildDatagram(qv::kTypeQuery, qv::kQueryPayload, std::strlen(qv::kQueryPayload), &d));
    EXPECT_EQ(Text(d), "QVSCAN\x10\x30\x00\x00\x00\x12" "Answer Port=36511;"s);
    EXPECT_EQ(d.size(), 30u);

    const std::string longest(qv::kMaxRequestPayload, 'r');
    ASSERT_TRUE(qv::BuildDatagram(qv::kTypeConfigRequestMode1, longest.data(), longest.size(), &d));
    EXPECT_EQ(d.size(), 4096u);
    EXPECT_EQ(Text(d).substr(0, 12), "QVSCAN\x10\x40\x00\x00\x0F\xF4"s);
    EXPECT_FALSE(qv::BuildDatagram(qv::kTypeConfigRequest, longest.data(), longest.size() + 1, &d));
    ASSERT_TRUE(qv::BuildDatagram(qv::kTypeConfigRequest, nullptr, 0, &d));
    EXPECT_EQ(Text(d), "QVSCAN\x10\x10\x00\x00\x00\x00"s);
}

TEST(NetDatagram, AcceptsOnlyMagicVersionAndAHeader) {
    uint8_t type = 0;
    std::string text;
    const std::string good = "QVSCAN\x10\x31\x00\x00\x00\x03" "A=1;"s;
    ASSERT_TRUE(qv::ParseDatagram(good.data(), good.size(), &type, &text));
    EXPECT_EQ(type, 0x31);
    EXPECT_EQ(text, "A=1;");  // the length field (3) is not trusted
    ASSERT_TRUE(qv::ParseDatagram(good.data(), 12, &type, &text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(qv::ParseDatagram(good.data(), 11, &type, &text));
    EXPECT_FALSE(qv::ParseDatagram(nullptr, 0, &type, &text));
    std::string bad = good;
    bad[5] = 'M';
    EXPECT_FALSE(qv::ParseDatagram(bad.data(), bad.size(), &type, &text));
    bad = good;
    bad[6] = 0x11;
    EXPECT_FALSE(qv::ParseDatagram(bad.data(), bad.size(), &type, &text));
    // The text ends at a zero byte.
    const std::string zero = "QVSCAN\x10\x31\x00\x00\x00\x09" "A=1;\0B=2;"s;
    ASSERT_TRUE(qv::ParseDatagram(zero.data(), zero.size(), &type, &text));
    EXPECT_EQ(text, "A=1;");
}

TEST(NetText, ValuesRemovalAndScannerIdentity) {
    std::string_view v;
    EXPECT_EQ(qv::FindTextValue("A=1;B=2;A=3;", "A=", &v), qv::TextLookup::kFound);
    EXPECT_EQ(v, "1");  // the first occurrence
    EXPECT_EQ(qv::FindTextValue("A=1;B=", "B=", &v), qv::TextLookup::kNoSemicolon);
    EXPECT_EQ(qv::FindTextValue("A=1;", "C=", &v), qv::TextLookup::kKeyMissing);
    EXPECT_EQ(qv::FindTextValue("A=;", "A=", &v), qv::TextLookup::kFound);
    EXPECT_EQ(v, "");
    // A key is found inside a longer one: the text is read as it comes.
    EXPECT_EQ(qv::FindTextValue("Device Serial Number=X;Serial Number=Y;", "Serial Number=", &v),
              qv::TextLookup::kFound);
    EXPECT_EQ(v, "X");

    char field[4];
    std::memset(field, 'Z', sizeof field);
    EXPECT_TRUE(qv::GetTextValue("K=abcdef;", "K=", field, sizeof field));
    EXPECT_STREQ(field, "abc");  // cut to the field with its zero byte
    EXPECT_FALSE(qv::GetTextValue("K=abc", "K=", field, sizeof field));
    EXPECT_STREQ(field, "");
    EXPECT_FALSE(qv::GetTextValue("X=1;", "K=", field, sizeof field));
    EXPECT_STREQ(field, "");

    EXPECT_EQ(qv::RemoveKeyValue("A=1;B=2;C=3;", "B="), "A=1;C=3;");
    EXPECT_EQ(qv::RemoveKeyValue("A=1;B=2", "B="), "A=1;");
    EXPECT_EQ(qv::RemoveKeyValue("A=1;", "B="), "A=1;");

    EXPECT_TRUE(qv::SameScanner(Reply("S", "M", "X=1;"), Reply("S", "M")));
    EXPECT_FALSE(qv::SameScanner(Reply("S", "M"), Reply("S", "N")));
    EXPECT_FALSE(qv::SameScanner(Reply("S", "M"), Reply("T", "M")));
    EXPECT_FALSE(qv::SameScanner("Serial Number=S;", "Serial Number=S;"));  // no MAC: never the same
    EXPECT_FALSE(qv::SameScanner("MAC Address=M;", "MAC Address=M;"));
}

TEST(NetReplies, FirstRepliesAreListedOnceOrHeldForTheirSecond) {
    std::vector<std::string> list;
    std::vector<qv::PendingReply> pending;
    EXPECT_EQ(qv::AcceptFirstReply(Reply("A", "1", "Supp Gr=0;"), list, pending), ReplyOutcome::kListed);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("A", "1", "Supp Gr=0;Other=x;"), list, pending), ReplyOutcome::kDuplicate);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("A", "2"), list, pending), ReplyOutcome::kListed);  // no Supp Gr
    EXPECT_EQ(qv::AcceptFirstReply(Reply("B", "1", "Supp Gr=abc;"), list, pending), ReplyOutcome::kListed);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("C", "1", "Supp Gr=0001;"), list, pending), ReplyOutcome::kListed);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("D", "1", "Supp Gr=1;Ip Address=1.2.3.4;"), list, pending),
              ReplyOutcome::kPending);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("D", "1", "Supp Gr=1;"), list, pending), ReplyOutcome::kDuplicate);
    // Texts without serial number or MAC address are never duplicates.
    EXPECT_EQ(qv::AcceptFirstReply("Ip Address=1.1.1.1;", list, pending), ReplyOutcome::kListed);
    EXPECT_EQ(qv::AcceptFirstReply("Ip Address=1.1.1.1;", list, pending), ReplyOutcome::kListed);
    ASSERT_EQ(list.size(), 6u);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].matched, 0);
    EXPECT_STREQ(pending[0].text, Reply("D", "1", "Supp Gr=1;Ip Address=1.2.3.4;").c_str());

    // The second reply completes the first, without its serial and MAC items.
    EXPECT_EQ(qv::AcceptSecondReply(Reply("X", "9", "Tcp Port Number=1;"), list, pending),
              ReplyOutcome::kUnmatchedSecond);
    EXPECT_EQ(qv::AcceptSecondReply("Tcp Port Number=7;" + Reply("D", "1", "SubNetmask=m;"), list, pending),
              ReplyOutcome::kMerged);
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list.back(), Reply("D", "1", "Supp Gr=1;Ip Address=1.2.3.4;") + "Tcp Port Number=7;SubNetmask=m;");
    EXPECT_EQ(pending[0].matched, 1);
    // Later replies of a merged scanner change nothing.
    EXPECT_EQ(qv::AcceptSecondReply(Reply("D", "1", "Late=1;"), list, pending), ReplyOutcome::kUnmatchedSecond);
    EXPECT_EQ(qv::AcceptFirstReply(Reply("D", "1", "Supp Gr=1;"), list, pending), ReplyOutcome::kDuplicate);
    EXPECT_EQ(list.size(), 7u);
}

TEST(NetReplies, AnOverLongFirstReplyIsKeptCut) {
    std::vector<std::string> list;
    std::vector<qv::PendingReply> pending;
    const std::string text = Reply("L", "1", "Supp Gr=5;Pad=" + std::string(5000, 'p') + ";");
    EXPECT_EQ(qv::AcceptFirstReply(text, list, pending), ReplyOutcome::kPending);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(std::string(pending[0].text), text.substr(0, 4095));
    EXPECT_EQ(qv::AcceptSecondReply(Reply("L", "1", "Tail=t;"), list, pending), ReplyOutcome::kMerged);
    EXPECT_EQ(list.back(), text.substr(0, 4095) + "Tail=t;");
}

TEST(NetRecord, FilledFromACompleteReply) {
    T_DevicesInfo r;
    std::memset(&r, 0x5A, sizeof r);
    ASSERT_TRUE(qv::FillNetDeviceRecord(kComplete, &r));
    EXPECT_STREQ(r.devInfo, kComplete.c_str());
    EXPECT_STREQ(r.ipAddress, "10.1.2.3");
    EXPECT_EQ(r.tcpPort, 30000);
    EXPECT_STREQ(r.serialNumber, "SN1");
    EXPECT_STREQ(r.macAddress, "AA");
    EXPECT_STREQ(r.subNetmask, "255.255.255.0");
    EXPECT_STREQ(r.gatewayAddress, "10.1.2.1");
    EXPECT_EQ(r.socket, -1);
    EXPECT_EQ(r.transportKind, QV_TRANSPORT_NETWORK);
}

TEST(NetRecord, EachMissingKeyFailsTheRecord) {
    for (const char* key : {"Ip Address=", "Tcp Port Number=", "Serial Number=", "MAC Address=", "SubNetmask=",
                            "Gateway Address="}) {
        T_DevicesInfo r{};
        EXPECT_FALSE(qv::FillNetDeviceRecord(qv::RemoveKeyValue(kComplete, key), &r)) << key;
    }
}

TEST(NetRecord, PortNumbersAndOverLongTexts) {
    auto port = [](const std::string& value) {
        T_DevicesInfo r{};
        std::string text = kComplete;
        text.replace(text.find("30000"), 5, value);
        EXPECT_TRUE(qv::FillNetDeviceRecord(text, &r)) << value;
        return r.tcpPort;
    };
    EXPECT_EQ(port("8080"), 8080);
    EXPECT_EQ(port("65535"), 65535);
    EXPECT_EQ(port("65536"), 0);
    EXPECT_EQ(port("99999999999999999999"), 0);
    EXPECT_EQ(port("-1"), 0);
    EXPECT_EQ(port("12ab"), 0);
    EXPECT_EQ(port(""), 0);

    // Every field is cut to its size with a zero byte; nothing spills into the next one.
    const std::string big(6000, 'b');
    std::string text = "Serial Number=" + big + ";MAC Address=" + big + ";Ip Address=" + big + ";Tcp Port Number=" +
                       std::string(300, '1') + ";SubNetmask=" + big + ";Gateway Address=" + big + ";";
    T_DevicesInfo r{};
    ASSERT_TRUE(qv::FillNetDeviceRecord(text, &r));
    EXPECT_EQ(std::string(r.serialNumber), big.substr(0, 1023));
    EXPECT_EQ(std::string(r.macAddress), big.substr(0, 127));
    EXPECT_EQ(std::string(r.ipAddress), big.substr(0, 127));
    EXPECT_EQ(std::string(r.subNetmask), big.substr(0, 127));
    EXPECT_EQ(std::string(r.gatewayAddress), big.substr(0, 127));
    EXPECT_EQ(std::string(r.devInfo), text.substr(0, 4095));
    EXPECT_EQ(r.tcpPort, 0);
    EXPECT_EQ(r.transportKind, QV_TRANSPORT_NETWORK);
}
