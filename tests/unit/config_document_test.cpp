// The configuration pieces that need no device: the settings text parser, the
// replies of the configuration queries, the refused names of a batch reply,
// the calibration text, the document walk that plans what a write sends, and
// the document written for a read.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/config_xml.h"
#include "engine/settings_text.h"
#include "test_env.h"

using qv::SettingRecord;
using namespace std::string_literals;

namespace qv {
// Failures show records as text.
void PrintTo(const SettingRecord& r, std::ostream* os) {
    *os << "{" << ::testing::PrintToString(r.name) << ", " << ::testing::PrintToString(r.value) << "}";
}
}  // namespace qv

namespace {

using Records = std::vector<SettingRecord>;

const std::string kReplyHead = "\x02\x01" "0000@"s;

// The batch frame bytes around a text.
std::string Frame(const std::string& body) { return "\x7E\x01" "0000@"s + body + "\x03"; }

qv::ConfigWritePlan Plan(const std::string& xml) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str(), xml.size()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
    return qv::PlanConfigWrite(doc);
}

std::string Doc(const std::string& commands) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Prazmor DeviceType=\"X\">\n" + commands + "</Prazmor>\n";
}

std::string Cmd(const std::string& name, const std::string& value) {
    return "<Command CommandName=\"" + name + "\" Value=\"" + value + "\"/>\n";
}

std::string FinalFrame(const qv::ConfigWritePlan& p) { return std::string(p.finalFrame.begin(), p.finalFrame.end()); }

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

// ------------------------------------------------------------ settings text

TEST(ParseSettings, SingleItemsInReplyOrderWithoutTheEndByte) {
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;BEPTON10\x06;INTERF0\x06;\x03"),
              (Records{{"BEPVOL", "2"}, {"BEPTON", "10"}, {"INTERF", "0"}}));
    EXPECT_TRUE(qv::ParseSettings("").empty());
    EXPECT_TRUE(qv::ParseSettings("\x03").empty());
}

TEST(ParseSettings, GroupsReadTheSameWhetherEveryElementOrOnlyTheLastCarriesTheStatus) {
    const Records want{{"232BAD", "9600"}, {"232PAR", "0"}, {"232STP", "1"}, {"BEPVOL", "2"}};
    EXPECT_EQ(qv::ParseSettings("232BAD9600\x06,PAR0\x06,STP1\x06;BEPVOL2\x06;\x03"), want);
    EXPECT_EQ(qv::ParseSettings("232BAD9600,PAR0,STP1\x06;BEPVOL2\x06;\x03"), want);
    // NAK and ENQ are status bytes too; any other last character is value.
    EXPECT_EQ(qv::ParseSettings("232BAD9600\x15,PAR0\x05;BEPVOL23;\x03"),
              (Records{{"232BAD", "9600"}, {"232PAR", "0"}, {"BEPVOL", "23"}}));
}

TEST(ParseSettings, ThePieceAfterTheLastSemicolonIsNeverRead) {
    // A reply cut inside an item: the whole items before it.
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;BEPTON1\x06;INTE"), (Records{{"BEPVOL", "2"}, {"BEPTON", "1"}}));
    // A text ending with ';' has no final piece: its last item is that piece.
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;BEPTON1\x06;"), (Records{{"BEPVOL", "2"}}));
    // The text ends at its first zero byte.
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;BEPTON1\x06;\0AIMENA1\x06;\x03"s), (Records{{"BEPVOL", "2"}}));
}

TEST(ParseSettings, ItemsWithoutValuesAreLeftOutAndShortItemsEndTheParse) {
    EXPECT_EQ(qv::ParseSettings("NOVALU\x06;BEPVOL2\x06;\x03"), (Records{{"BEPVOL", "2"}}));
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;AB\x06;BEPTON1\x06;\x03"), (Records{{"BEPVOL", "2"}}));
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06;;BEPTON1\x06;\x03"), (Records{{"BEPVOL", "2"}}));
    EXPECT_TRUE(qv::ParseSettings("BEPVO\x06;BEPTON1\x06;\x03").empty());
    // Inside a group a short element is skipped, the rest of the group is read.
    EXPECT_EQ(qv::ParseSettings("BEPVOL2\x06,T\x06,,TON1\x06,ENA;AIMENA1\x06;\x03"),
              (Records{{"BEPVOL", "2"}, {"BEPTON", "1"}, {"AIMENA", "1"}}));
}

TEST(ParseSettings, DfmaddAlwaysGivesAnEmptyRecordForItsCalibration) {
    EXPECT_EQ(qv::ParseSettings("DFMADD\x06;\x03"), (Records{{"DFMADD", ""}}));
    EXPECT_EQ(qv::ParseSettings("DFMADDxy\x06;\x03"), (Records{{"DFMADD", "xy"}, {"DFMADD", ""}}));
    EXPECT_EQ(qv::ParseSettings("DFMSIN1,ADD5\x06;\x03"), (Records{{"DFMSIN", "1"}, {"DFMADD", "5"}, {"DFMADD", ""}}));
}

TEST(ParseSettings, ValuesKeepEveryByte) {
    EXPECT_EQ(qv::ParseSettings("PRESTR\"<&>'\xC3\xA9\xE9\x01\x06;\x03"),
              (Records{{"PRESTR", "\"<&>'\xC3\xA9\xE9\x01"}}));
}

TEST(ParseSettings, TextsUpToTheReplyLimitAndBeyond) {
    for (size_t limit : {qv::kSettingsTextCapacity, 3 * qv::kSettingsReplyCapacity}) {
        std::string text;
        size_t items = 0;
        while (text.size() + 16 < limit) {
            char item[32];
            std::snprintf(item, sizeof item, "S%05zu%08zu\x06;", items % 100000, items);
            text += item;
            ++items;
        }
        text += "\x03";
        const Records r = qv::ParseSettings(text);
        ASSERT_EQ(r.size(), items);
        EXPECT_EQ(r.back().value, std::to_string(100000000 + items - 1).substr(1));
    }
}

// ------------------------------------------------------------ query replies

TEST(ConfigReplies, ProductNameIsTheRestOfItsLine) {
    EXPECT_EQ(qv::ProductNameFromReply(kReplyHead + "QRYSYSProduct Name: QV-9\r\nSN: 12\r\n\x06;\x03"), "QV-9");
    // The frame's tail is not part of a name on the reply's last line.
    EXPECT_EQ(qv::ProductNameFromReply(kReplyHead + "QRYSYSProduct Name: QV-9\x06;\x03"), "QV-9");
    // The line that names the product, wherever it is; a ": " inside the name stays.
    EXPECT_EQ(qv::ProductNameFromReply(kReplyHead + "QRYSYSModel: A\r\nProduct Name: QV: 9\r\n\x06;\x03"), "QV: 9");
    EXPECT_EQ(qv::ProductNameFromReply(kReplyHead + "QRYSYSQuorviaSim,SN:1\x06;\x03"), "");
    EXPECT_EQ(qv::ProductNameFromReply(kReplyHead + "QRYSYSProduct Name: \x06;\x03"), "");
    EXPECT_EQ(qv::ProductNameFromReply("Product Name: "), "");
    EXPECT_EQ(qv::ProductNameFromReply(""), "");
}

TEST(ConfigReplies, DfmqcuValueIsWhatFollowsTheWordWithoutTheFrameTail) {
    EXPECT_EQ(qv::DfmqcuValueFromReply(kReplyHead + "DFMQCUP1:0012;P2:0034;\x06;\x03"), "P1:0012;P2:0034;");
    EXPECT_EQ(qv::DfmqcuValueFromReply(kReplyHead + "DFMQCU\x15;\x03"), "");
    EXPECT_EQ(qv::DfmqcuValueFromReply(kReplyHead + "QRYSYS12345\x06;\x03"), "");
    EXPECT_EQ(qv::DfmqcuValueFromReply("DFMQCU"), "");
    EXPECT_EQ(qv::DfmqcuValueFromReply("xxxxxxxxxxxxxxxxxxxxDFMQCUab"), "ab");
}

TEST(ConfigReplies, RefusedNamesComeFromEveryCommandNotAcknowledged) {
    EXPECT_EQ(qv::RefusedCommandNames(kReplyHead + "AAAAAA1\x06;BBBBBB2\x15;CCCCCC3\x06;\x03"),
              (std::vector<std::string>{"BBBBBB"}));
    // Scanned from the end: the last refused command first; ENQ is a refusal too.
    EXPECT_EQ(qv::RefusedCommandNames(kReplyHead + "AAAAAA1\x15;BBBBBB2\x06;CCCCCC3\x05;\x03"),
              (std::vector<std::string>{"CCCCCC", "AAAAAA"}));
    EXPECT_TRUE(qv::RefusedCommandNames(kReplyHead + "AAAAAA1\x06;BBBBBB2\x06;\x03").empty());
    // A name is at most six characters and never runs past its status byte.
    EXPECT_EQ(qv::RefusedCommandNames(kReplyHead + "AB\x15;\x03"), (std::vector<std::string>{"AB"}));
}

TEST(ConfigReplies, RefusedNamesOfMalformedRepliesNeverReadOutside) {
    for (const std::string& r : {""s, ";"s, ";;"s, "@;"s, "x;"s, ";;;;"s, "\x15;"s, kReplyHead + ";\x03",
                                 "AAAAAA\x15;"s, "@@;;@;"s}) {
        for (const std::string& name : qv::RefusedCommandNames(r)) EXPECT_LE(name.size(), 6u);
    }
    EXPECT_EQ(qv::RefusedCommandNames("AAAAAA\x15;"), std::vector<std::string>{});  // no ';' or '@' before it
}

// ------------------------------------------------------------ calibration

TEST(CalibrationText, TakesTheValueAfterEachColon) {
    EXPECT_EQ(qv::CalibrationText("DFMADD", "P1:0012;P2:0034;P3:0056;"), "DFMCAL;DFMADD0012;0034;0056;");
    EXPECT_EQ(qv::CalibrationText("DFMADD", "A:1:2;B;C:3;"), "DFMCAL;DFMADD1;3;");
    // The piece after the last ';' is not sent.
    EXPECT_EQ(qv::CalibrationText("DFMADD", "P1:0012;P2:0034"), "DFMCAL;DFMADD0012;");
    EXPECT_EQ(qv::CalibrationText("DFMSET", "1"), "DFMCAL;DFMSET;");
    EXPECT_EQ(qv::CalibrationText("DFMADD", ""), "DFMCAL;DFMADD;");
}

// ------------------------------------------------------------ document walk

TEST(PlanConfigWrite, ADocumentWithoutCommandsSendsOnlyAnEmptyFinalFrame) {
    const qv::ConfigWritePlan p =
        Plan("<Prazmor DeviceType=\"X\"><Other CommandName=\"BEPVOL\" Value=\"1\"/></Prazmor>");
    EXPECT_TRUE(p.batches.empty());
    EXPECT_EQ(FinalFrame(p), "\x7E\x01\x30\x30\x30\x30\x40\x03"s);
    EXPECT_EQ(FinalFrame(Plan("<root/>")), "\x7E\x01" "0000@\x03"s);
}

TEST(PlanConfigWrite, ThirtyShortCommandsMakeAFullBatchAndARemainder) {
    std::string cmds;
    std::string first, second;
    for (int i = 0; i < 30; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "T%05d", i);
        cmds += Cmd(name, "12345");
        std::string& into = i < 26 ? first : second;
        if (!into.empty()) into += ';';
        into += std::string(name) + "12345";
    }
    const qv::ConfigWritePlan p = Plan(Doc(cmds));
    ASSERT_EQ(p.batches.size(), 2u);
    // 26 commands of 11 characters and 25 separators: the first text over 300.
    EXPECT_EQ(p.batches[0].text, first);
    EXPECT_EQ(p.batches[0].text.size(), 311u);
    EXPECT_EQ(p.batches[0].commands, 26u);
    EXPECT_TRUE(p.batches[0].full);
    EXPECT_EQ(p.batches[1].text, second);
    EXPECT_EQ(p.batches[1].commands, 4u);
    EXPECT_FALSE(p.batches[1].full);
    EXPECT_EQ(FinalFrame(p), Frame(""));
}

TEST(PlanConfigWrite, HeldBackSettingsAndTheCalibrationGoLastInTheirOrder) {
    const qv::ConfigWritePlan p = Plan(Doc(
        Cmd("INTERF", "1") + Cmd("232AFL", "1") + Cmd("BEPVOL", "2") + Cmd("DFMSIN", "7") + Cmd("SOPMOD", "3") +
        Cmd("KBWPOR", "4") + Cmd("IMGROI", "5") + Cmd("232PAR", "6") + Cmd("DFMADD", "P1:0012;P2:0034;") +
        Cmd("232DAT", "8") + Cmd("232STP", "9") + Cmd("232FLW", "1") + Cmd("232BAD", "115200") +
        Cmd("INTERF", "2") + Cmd("BEPTON", "1")));
    ASSERT_EQ(p.batches.size(), 1u);
    EXPECT_EQ(p.batches[0].text, "BEPVOL2;BEPTON1");
    EXPECT_EQ(FinalFrame(p), Frame("232BAD115200;232STP9;232DAT8;232PAR6;IMGROI5;KBWPOR4;SOPMOD3;"
                                   "DFMCAL;DFMADD0012;0034;INTERF2;"));
}

TEST(PlanConfigWrite, TheLaterCalibrationReplacesTheEarlier) {
    const qv::ConfigWritePlan p =
        Plan(Doc(Cmd("DFMADD", "P1:0012;") + Cmd("DFMSET", "Q:7;") + Cmd("INTERF", "0")));
    EXPECT_TRUE(p.batches.empty());
    EXPECT_EQ(FinalFrame(p), Frame("DFMCAL;DFMSET7;INTERF0;"));
}

TEST(PlanConfigWrite, NamesMatchOnlyWhenExactlyTheSame) {
    const qv::ConfigWritePlan p = Plan(Doc(Cmd("INTERFX", "1") + Cmd("interf", "2") + Cmd("DFMSI", "3") +
                                           Cmd("DFMSINN", "4") + Cmd("", "5")));
    ASSERT_EQ(p.batches.size(), 1u);
    EXPECT_EQ(p.batches[0].text, "INTERFX1;interf2;DFMSI3;DFMSINN4;5");
    EXPECT_EQ(FinalFrame(p), Frame(""));
}

TEST(PlanConfigWrite, CommandsAreTheSiblingsFromTheFirstCommandOnAndNeedBothAttributes) {
    const qv::ConfigWritePlan p = Plan(
        "<Prazmor><Info CommandName=\"EARLY1\" Value=\"1\"/>"
        "<Command CommandName=\"BEPVOL\" Value=\"2\"><Command CommandName=\"NESTED\" Value=\"1\"/></Command>"
        "<Note CommandName=\"AIMENA\" Value=\"1\"/>"
        "<Command CommandName=\"NOVALU\"/><Command Value=\"3\"/><Command/>"
        "<Command CommandName=\"BEPTON\" Value=\"\"/></Prazmor>"
        "<Second><Command CommandName=\"OTHERS\" Value=\"1\"/></Second>");
    ASSERT_EQ(p.batches.size(), 1u);
    EXPECT_EQ(p.batches[0].text, "BEPVOL2;AIMENA1;BEPTON");
    EXPECT_EQ(p.skipped, 3u);
}

TEST(PlanConfigWrite, AttributeValuesReachTheBatchByteForByte) {
    const qv::ConfigWritePlan p =
        Plan(Doc("<Command CommandName=\"PRESTR\" Value=\"a&quot;b'c&amp;&lt;;d\xC3\xA9\xE9\"/>\n"
                 "<Command CommandName='SUFSTR' Value='x\"y'/>\n"));
    ASSERT_EQ(p.batches.size(), 1u);
    EXPECT_EQ(p.batches[0].text, "PRESTRa\"b'c&<;d\xC3\xA9\xE9;SUFSTRx\"y");
}

TEST(PlanConfigWrite, TensOfThousandsOfElements) {
    std::string cmds;
    for (int i = 0; i < 40000; ++i) {
        cmds += Cmd(i % 4 == 0 ? "DFMSIN" : i % 4 == 1 ? "INTERF" : "BEPVOL", std::to_string(i));
    }
    const qv::ConfigWritePlan p = Plan(Doc(cmds));
    size_t commands = 0;
    for (const qv::ConfigBatch& b : p.batches) {
        commands += b.commands;
        EXPECT_EQ(b.full, b.text.size() > qv::kConfigBatchLimit);
        EXPECT_EQ(b.text.find("DFMSIN"), std::string::npos);
        EXPECT_EQ(b.text.find("INTERF"), std::string::npos);
    }
    EXPECT_EQ(commands, 20000u);
    EXPECT_EQ(FinalFrame(p), Frame("INTERF39997;"));
}

TEST(PlanConfigWrite, DeepNestingIsRefusedWhenTheDocumentLoads) {
    std::string xml;
    for (int i = 0; i < 5000; ++i) xml += "<a>";
    for (int i = 0; i < 5000; ++i) xml += "</a>";
    tinyxml2::XMLDocument doc;
    EXPECT_NE(doc.Parse(xml.c_str(), xml.size()), tinyxml2::XML_SUCCESS);
    EXPECT_EQ(FinalFrame(qv::PlanConfigWrite(doc)), Frame(""));
}

// ------------------------------------------------------------ the written document

TEST(SaveSettingsXml, WritesTheDocumentAsTinyXmlPrintsIt) {
    qvtest::TempDir dir;
    const auto file = dir.path() / "cfg.xml";
    const Records records{{"BEPVOL", "2"}, {"DFMADD", ""}, {"PRESTR", "a\"b<c>&d'e;f"}};
    ASSERT_TRUE(qv::SaveSettingsXml(file.c_str(), records, "QV 9", "P1:0012;"));
    EXPECT_EQ(ReadFile(file),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Prazmor DeviceType=\"QV 9\">\n"
              "    <Command CommandName=\"BEPVOL\" Value=\"2\"/>\n"
              "    <Command CommandName=\"DFMADD\" Value=\"P1:0012;\"/>\n"
              "    <Command CommandName=\"PRESTR\" Value=\"a&quot;b&lt;c&gt;&amp;d&apos;e;f\"/>\n"
              "</Prazmor>\n");

    // Read back by the document walk: every value as it was.
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
    const qv::ConfigWritePlan p = qv::PlanConfigWrite(doc);
    ASSERT_EQ(p.batches.size(), 1u);
    EXPECT_EQ(p.batches[0].text, "BEPVOL2;PRESTRa\"b<c>&d'e;f");
    EXPECT_EQ(FinalFrame(p), Frame("DFMCAL;DFMADD0012;"));
}

TEST(SaveSettingsXml, AFileThatCannotBeWrittenIsAFailure) {
    qvtest::TempDir dir;
    EXPECT_FALSE(qv::SaveSettingsXml((dir.path() / "missing" / "cfg.xml").c_str(), {}, "", ""));
    EXPECT_FALSE(qv::SaveSettingsXml(dir.path().c_str(), {}, "", ""));
}
