// A scanner's settings through the two configuration exports, against
// simulated scanners: read to an XML file (checked with XML readers this
// project does not contain), written back to another scanner, refusals,
// files that cannot be used, silent and cut replies, and a running listener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "hang_guard.h"
#include "quorvia.h"
#include "sim_settings_table.h"

using qvtest::SimDevices;
using qvtest::TempDir;
using qvtest::WaitFor;
using namespace std::string_literals;

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

const std::string kFrameHead = "\x7E\x01" "0000@"s;
constexpr auto kCallLimit = std::chrono::milliseconds(60000);  // far above any exchange's time-outs

// Output and exit status of a shell command.
int Run(const std::string& command, std::string* output = nullptr) {
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        if (output != nullptr) output->append(buf, n);
    }
    return ::pclose(p);
}

// A configuration document as Python's XML reader sees it.
struct XmlView {
    std::string root;
    std::string deviceType;
    Settings commands;  // (CommandName, Value) of every child, in order
    std::vector<std::string> tags;
    bool ok = false;
};

XmlView ReadWithPython(const std::filesystem::path& file) {
    const char* script =
        "import sys, xml.etree.ElementTree as ET\n"
        "r = ET.parse(sys.argv[1]).getroot()\n"
        "h = lambda s: s.encode('utf-8').hex() or '-'\n"
        "print(r.tag, h(r.get('DeviceType', '')))\n"
        "for c in r: print(c.tag, h(c.get('CommandName', '')), h(c.get('Value', '')))\n";
    const auto scriptFile = file.parent_path() / "read_config.py";
    std::ofstream(scriptFile) << script;
    std::string out;
    XmlView v;
    if (Run("python3 '" + scriptFile.string() + "' '" + file.string() + "'", &out) != 0) return v;
    std::istringstream lines(out);
    std::string tag, a, b;
    if (!(lines >> v.root >> a)) return v;
    auto unhex = [](const std::string& s) { return s == "-" ? std::string() : sim_unhex(s); };
    v.deviceType = unhex(a);
    while (lines >> tag >> a >> b) {
        v.tags.push_back(tag);
        v.commands.emplace_back(unhex(a), unhex(b));
    }
    v.ok = true;
    return v;
}

bool XmllintAccepts(const std::filesystem::path& file) {
    return Run("xmllint --noout '" + file.string() + "' 2>&1") == 0;
}

void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string Doc(const std::string& commands) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Prazmor DeviceType=\"Test\">\n" + commands + "</Prazmor>\n";
}

std::string Cmd(const std::string& name, const std::string& value) {
    return "    <Command CommandName=\"" + name + "\" Value=\"" + value + "\"/>\n";
}

// Names T00000, T00001, ...: commands no simulated scanner has, which it
// acknowledges (or refuses when told to) without storing them.
std::string TName(int i) {
    char name[8];
    std::snprintf(name, sizeof name, "T%05d", i);
    return name;
}

// The calibration values of a DFMQCU value "P1:v1;P2:v2;...;".
std::vector<std::string> CalibrationValues(const std::string& dfmqcu) {
    std::vector<std::string> values;
    size_t pos = 0;
    while (pos < dfmqcu.size()) {
        const size_t semi = dfmqcu.find(';', pos);
        const std::string piece = dfmqcu.substr(pos, semi - pos);
        values.push_back(piece.substr(piece.find(':') + 1));
        if (semi == std::string::npos) break;
        pos = semi + 1;
    }
    return values;
}

// The frames a scanner received, once the last one written is `last`: the
// write export returns when its final frame is written, before the scanner
// has necessarily read it.
std::vector<std::string> FramesEndingWith(SimProcess& sim, int com, const std::string& last) {
    std::vector<std::string> frames;
    WaitFor([&] {
        const std::vector<std::string> more = sim_frames(sim, com);
        frames.insert(frames.end(), more.begin(), more.end());
        return !frames.empty() && frames.back() == last;
    });
    return frames;
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (name == n) return true;
    }
    return false;
}

bool ReadCfg(void* h, const std::filesystem::path& file) {
    bool ok = false;
    qvtest::Bounded("qv_ReadDevCfgToXml", kCallLimit, [&] { ok = qv_ReadDevCfgToXml(h, file.c_str()); });
    return ok;
}

bool WriteCfg(void* h, const std::filesystem::path& file) {
    bool ok = false;
    qvtest::Bounded("qv_WriteCfgToDev", kCallLimit, [&] { ok = qv_WriteCfgToDev(h, file.c_str()); });
    return ok;
}

// Two simulated scanners, A and B, each opened.
class ConfigPair {
public:
    ConfigPair(int comA, int comB, const std::string& optionsA = "")
        : comA_(comA), comB_(comB), d_({{.com = comA, .options = optionsA}, {.com = comB}}) {
        if (d_.count() != 2) return;
        a = qv_OpenDevice(d_.list(), static_cast<uint32_t>(d_.IndexOf(comA)), 0);
        b = qv_OpenDevice(d_.list(), static_cast<uint32_t>(d_.IndexOf(comB)), 0);
    }
    ~ConfigPair() {
        if (a != nullptr) qv_CloseDevice(&a);
        if (b != nullptr) qv_CloseDevice(&b);
    }
    SimProcess& sim() { return d_.sim(); }
    bool ok() const { return a != nullptr && b != nullptr; }

    void* a = nullptr;
    void* b = nullptr;

private:
    int comA_, comB_;
    SimDevices d_;
};

}  // namespace

TEST(ConfigXml, RoundTripCarriesEverySettingExceptTheOnesLeftOut) {
    ConfigPair p(141, 142, "product=QuorviaSim A-100");
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    // B starts with other values for every setting and another calibration.
    ASSERT_EQ(p.sim().command("cfgfill 142 40 9"), "OK 58");
    ASSERT_EQ(p.sim().command("cfgfill 141 40 4"), "OK 58");
    const SimSettings a0 = sim_settings(p.sim(), 141);
    const SimSettings b0 = sim_settings(p.sim(), 142);
    ASSERT_TRUE(a0.ok && b0.ok);
    ASSERT_NE(a0.calibration, b0.calibration);

    TempDir dir;
    const auto file = dir.path() / "a.xml";
    ASSERT_TRUE(ReadCfg(p.a, file)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");

    // The file as readers that are not TinyXML see it.
    EXPECT_TRUE(XmllintAccepts(file));
    const XmlView view = ReadWithPython(file);
    ASSERT_TRUE(view.ok);
    EXPECT_EQ(view.root, "Prazmor");
    EXPECT_EQ(view.deviceType, "QuorviaSim A-100");
    Settings expected;
    for (const auto& [name, value] : a0.settings) {
        if (name == "DFMADD") expected.emplace_back(name, a0.calibration);
        else if (!value.empty()) expected.emplace_back(name, value);
    }
    EXPECT_EQ(view.commands, expected);
    EXPECT_EQ(view.tags, std::vector<std::string>(expected.size(), "Command"));

    sim_frames(p.sim(), 142);  // forget the frames of the enumeration
    ASSERT_TRUE(WriteCfg(p.b, file)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");

    // The final frame: the held-back settings in their order, the calibration
    // between SOPMOD and INTERF.
    std::string final = kFrameHead;
    for (const char* name : {"232BAD", "232STP", "232DAT", "232PAR", "IMGROI", "KBWPOR", "SOPMOD"}) {
        final += name + a0.value(name) + ";";
    }
    final += "DFMCAL;DFMADD";
    for (const std::string& v : CalibrationValues(a0.calibration)) {
        if (!v.empty()) final += v + ";";
    }
    final += "INTERF" + a0.value("INTERF") + ";\x03";
    const std::vector<std::string> frames = FramesEndingWith(p.sim(), 142, final);

    // B holds A's settings, except: DFMSIN (never sent), 232AFL and 232FLW
    // (held back and never sent), settings without a value (not in the file),
    // and DFMADD, whose data arrives as the calibration.
    const SimSettings b1 = sim_settings(p.sim(), 142);
    Settings want;
    for (const auto& [name, value] : b0.settings) {
        const std::string av = a0.value(name);
        const bool leftOut = IsOneOf(name, {"DFMSIN", "232AFL", "232FLW", "DFMADD"}) || av.empty();
        want.emplace_back(name, leftOut ? value : av);
    }
    EXPECT_EQ(b1.settings, want);
    EXPECT_EQ(b1.calibration, a0.calibration);
    EXPECT_NE(b1.value("DFMSIN"), a0.value("DFMSIN"));
    EXPECT_NE(b1.value("232AFL"), a0.value("232AFL"));

    // What went over the line: batches of the plain settings in file order,
    // each closed once over 300 characters, then the final frame.
    ASSERT_GE(frames.size(), 2u);
    std::string batched;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        const std::string& f = frames[i];
        ASSERT_EQ(f.substr(0, 7), kFrameHead);
        ASSERT_EQ(f.substr(f.size() - 2), ";\x03"s);
        const std::string body = f.substr(7, f.size() - 9);
        EXPECT_EQ(body.size() > 300, i + 2 < frames.size()) << i;
        if (!batched.empty()) batched += ';';
        batched += body;
    }
    std::string plain;
    for (const auto& [name, value] : expected) {
        if (IsOneOf(name, {"DFMSIN", "DFMADD", "232AFL", "232FLW", "232BAD", "232STP", "232DAT", "232PAR", "IMGROI",
                           "KBWPOR", "SOPMOD", "INTERF"}))
            continue;
        if (!plain.empty()) plain += ';';
        plain += name + value;
    }
    EXPECT_EQ(batched, plain);
    EXPECT_EQ(sim_hex(frames.back()), sim_hex(final));
    for (const std::string& f : frames) {
        EXPECT_EQ(f.find("DFMSIN"), std::string::npos);
        EXPECT_EQ(f.find("232AFL"), std::string::npos);
        EXPECT_EQ(f.find("232FLW"), std::string::npos);
        if (&f != &frames.back()) {
            EXPECT_EQ(f.find("INTERF"), std::string::npos);
        }
    }
}

TEST(ConfigXml, ThirtyShortCommandsArriveInAFullBatchAndARemainder) {
    ConfigPair p(143, 144);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    std::string cmds, first, second;
    for (int i = 0; i < 30; ++i) {
        cmds += Cmd(TName(i), "12345");
        std::string& into = i < 26 ? first : second;
        into += (into.empty() ? "" : ";") + TName(i) + "12345";
    }
    TempDir dir;
    WriteText(dir.path() / "t.xml", Doc(cmds));
    sim_frames(p.sim(), 144);
    ASSERT_TRUE(WriteCfg(p.b, dir.path() / "t.xml")) << qv_GetLastError();
    const std::string empty = "\x7E\x01\x30\x30\x30\x30\x40\x03"s;  // holds no command
    const std::vector<std::string> frames = FramesEndingWith(p.sim(), 144, empty);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], kFrameHead + first + ";\x03");
    EXPECT_EQ(frames[1], kFrameHead + second + ";\x03");
    EXPECT_EQ(frames[2], empty);

    // A document whose first element has no Command child: the empty final frame only.
    WriteText(dir.path() / "none.xml", "<Prazmor><Other CommandName=\"BEPVOL\" Value=\"1\"/></Prazmor>");
    ASSERT_TRUE(WriteCfg(p.b, dir.path() / "none.xml")) << qv_GetLastError();
    EXPECT_EQ(FramesEndingWith(p.sim(), 144, empty), std::vector<std::string>{empty});
}

TEST(ConfigXml, RefusedCommandsAreNamedAfterEverythingWasSent) {
    ConfigPair p(145, 146);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    for (int i : {3, 10, 27}) ASSERT_EQ(p.sim().command("status 146 " + TName(i) + " nak"), "OK");
    ASSERT_EQ(p.sim().command("status 146 BEPVOL enq"), "OK");
    std::string cmds = Cmd("BEPVOL", "7") + Cmd("AIMENA", "5");
    for (int i = 0; i < 30; ++i) cmds += Cmd(TName(i), "12345");
    cmds += Cmd("INTERF", "3");
    TempDir dir;
    WriteText(dir.path() / "r.xml", Doc(cmds));
    const SimSettings before = sim_settings(p.sim(), 146);
    sim_frames(p.sim(), 146);
    EXPECT_FALSE(WriteCfg(p.b, dir.path() / "r.xml"));
    // Each batch's names from its last command back: [AIMENA...T00023] then [T00024...T00029].
    EXPECT_STREQ(qv_GetLastError(), "[T00010,T00003,BEPVOL,T00027] instructs write to device fail");
    const std::vector<std::string> frames = FramesEndingWith(p.sim(), 146, kFrameHead + "INTERF3;\x03");
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2], kFrameHead + "INTERF3;\x03");
    // What was accepted is set; what was refused is not.
    const SimSettings after = sim_settings(p.sim(), 146);
    EXPECT_EQ(after.value("AIMENA"), "5");
    EXPECT_EQ(after.value("BEPVOL"), before.value("BEPVOL"));
    EXPECT_EQ(after.value("INTERF"), "3");

    // So many refused names that the text is cut to 511 bytes.
    ASSERT_EQ(p.sim().command("status 146 T nak"), "OK");
    cmds.clear();
    std::string names;
    for (int i = 0; i < 100; ++i) cmds += Cmd(TName(i), "1");
    // Batches of 38 commands (7 characters and a ';' each: 303 characters);
    // every batch's names come last first.
    for (int start = 0; start < 100; start += 38) {
        for (int i = std::min(start + 37, 99); i >= start; --i) names += TName(i) + ",";
    }
    names.pop_back();
    const std::string composed = "[" + names + "] instructs write to device fail";
    ASSERT_GT(composed.size(), 511u);
    WriteText(dir.path() / "many.xml", Doc(cmds));
    EXPECT_FALSE(WriteCfg(p.b, dir.path() / "many.xml"));
    EXPECT_EQ(std::string(qv_GetLastError()), composed.substr(0, 511));
}

TEST(ConfigXml, UnusableFilesAndArguments) {
    ConfigPair p(147, 148);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    TempDir dir;
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<Prazmor>";
    deep += Cmd("BEPVOL", "1");
    for (int i = 0; i < 300; ++i) deep += "</Prazmor>";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.xml", ""},
        {"cut.xml", "<?xml version=\"1.0\"?>\n<Prazmor>\n<Command CommandName=\"BEPVOL\" Value=\"1\"/>\n<Comm"},
        {"open.xml", "<Prazmor><Command CommandName=\"BEPVOL\" Value=\"1\"/>"},
        {"binary.xml", "\x7F" "ELF\x02\x01\x01\0\0\0"s},
        {"quote.xml", "<Prazmor><Command CommandName=\"BEPVOL\" Value=\"1\"\"/></Prazmor>"},
        {"deep.xml", deep},
    };
    sim_frames(p.sim(), 148);
    for (const auto& [name, text] : files) {
        WriteText(dir.path() / name, text);
        EXPECT_FALSE(WriteCfg(p.b, dir.path() / name)) << name;
        EXPECT_STREQ(qv_GetLastError(), "Open xml file error") << name;
    }
    EXPECT_FALSE(WriteCfg(p.b, dir.path() / "missing.xml"));
    EXPECT_STREQ(qv_GetLastError(), "Open xml file error");
    EXPECT_FALSE(WriteCfg(p.b, dir.path()));  // a directory
    EXPECT_STREQ(qv_GetLastError(), "Open xml file error");
    EXPECT_TRUE(sim_frames(p.sim(), 148).empty());  // nothing was sent

    // Bad arguments, and a file that cannot be written.
    EXPECT_FALSE(qv_WriteCfgToDev(p.b, ""));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_WriteCfgToDev(p.b, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_ReadDevCfgToXml(nullptr, "x.xml"));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_ReadDevCfgToXml(p.a, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(ReadCfg(p.a, dir.path() / "no" / "such" / "dir.xml"));
    EXPECT_STREQ(qv_GetLastError(), "Open xml file error");
    void* closed = p.a;
    void* copy = p.a;
    ASSERT_TRUE(qv_CloseDevice(&closed));
    p.a = nullptr;
    EXPECT_FALSE(qv_ReadDevCfgToXml(copy, (dir.path() / "c.xml").c_str()));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_WriteCfgToDev(copy, (dir.path() / "quote.xml").c_str()));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(ConfigXml, OddDocumentsAreWalkedAsTheyAre) {
    ConfigPair p(149, 150);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    // Tens of thousands of elements, most of them skipped or held back (no
    // pause); values with quotes, ';' and bytes beyond ASCII go out as they are.
    std::string cmds = "<Command CommandName=\"PRESTR\" Value=\"a&quot;b;c\xC3\xA9\xE9\"/>\n"
                       "<Command CommandName=\"BEPVOL\"/>\n";
    for (int i = 0; i < 30000; ++i) cmds += Cmd(i % 2 == 0 ? "DFMSIN" : "INTERF", std::to_string(i));
    cmds += Cmd("AIMENA", "4");
    TempDir dir;
    WriteText(dir.path() / "odd.xml", Doc(cmds));
    sim_frames(p.sim(), 150);
    EXPECT_TRUE(WriteCfg(p.b, dir.path() / "odd.xml")) << qv_GetLastError();
    const std::vector<std::string> frames = FramesEndingWith(p.sim(), 150, kFrameHead + "INTERF29999;\x03");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(sim_hex(frames[0]), sim_hex(kFrameHead + "PRESTRa\"b;c\xC3\xA9\xE9;AIMENA4;\x03"));
    EXPECT_EQ(frames[1], kFrameHead + "INTERF29999;\x03");
    EXPECT_EQ(sim_settings(p.sim(), 150).value("AIMENA"), "4");
}

TEST(ConfigXml, SilentDeviceAndCutSettingsReply) {
    ConfigPair p(151, 152);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    TempDir dir;

    // A settings reply cut in the middle: the items that came whole.
    ASSERT_EQ(p.sim().command("cut 151 120"), "OK");
    ASSERT_TRUE(ReadCfg(p.a, dir.path() / "cut.xml")) << qv_GetLastError();
    const XmlView cut = ReadWithPython(dir.path() / "cut.xml");
    ASSERT_TRUE(cut.ok);
    Settings all;
    for (const auto& [name, value] : sim_settings(p.sim(), 151).settings) {
        if (!value.empty()) all.emplace_back(name, value);
    }
    ASSERT_GT(cut.commands.size(), 3u);
    ASSERT_LT(cut.commands.size(), all.size());
    EXPECT_EQ(cut.commands, Settings(all.begin(), all.begin() + static_cast<long>(cut.commands.size())));

    // Nothing at all: the read error, and no file.
    ASSERT_EQ(p.sim().command("mode 151 silent"), "OK");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadCfg(p.a, dir.path() / "silent.xml"));
    EXPECT_STREQ(qv_GetLastError(), "Read device configuration error");
    EXPECT_LT(qvtest::MsSince(t0), 10000);  // one 2 s read, not the three queries
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "silent.xml"));

    // A batch without a reply.
    ASSERT_EQ(p.sim().command("status 152 BEPVOL silent"), "OK");
    WriteText(dir.path() / "w.xml", Doc(Cmd("BEPVOL", "1") + Cmd("INTERF", "1")));
    sim_frames(p.sim(), 152);
    EXPECT_FALSE(WriteCfg(p.b, dir.path() / "w.xml"));
    EXPECT_STREQ(qv_GetLastError(), "Instructs write to device error");
    EXPECT_EQ(sim_frames(p.sim(), 152).size(), 1u);  // the batch; no final frame after a failure
}

namespace {

std::mutex g_codesMutex;
std::string g_codes;

void CollectCodes(void*, const char* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(g_codesMutex);
    g_codes.append(data, length);
}

std::string Codes() {
    std::lock_guard<std::mutex> lock(g_codesMutex);
    return g_codes;
}

}  // namespace

TEST(ConfigXml, WithAListenerBatchRepliesStayWithTheWriteAndNoBarcodeIsLost) {
    ConfigPair p(153, 154);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    ASSERT_EQ(p.sim().command("status 154 " + TName(58) + " nak"), "OK");
    ASSERT_EQ(p.sim().command("status 154 " + TName(5) + " nak"), "OK");
    std::string cmds;
    for (int i = 0; i < 60; ++i) cmds += Cmd(TName(i), "12345");
    TempDir dir;
    WriteText(dir.path() / "l.xml", Doc(cmds));

    qv_SetListener(p.b, CollectCodes);
    // A reply nobody waits for, taken in by the listener's reads.
    ASSERT_TRUE(qv_Write(p.b, "QRYSYS", 6, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(p.sim().command("emit 154 300 3"), "OK");
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(WriteCfg(p.b, dir.path() / "l.xml"));
        EXPECT_STREQ(qv_GetLastError(), "[T00005,T00058] instructs write to device fail");
    }
    ASSERT_TRUE(WaitFor([] { return parse_sim_barcodes(Codes()).size() >= 300; }, 30000))
        << parse_sim_barcodes(Codes()).size();
    qv_StopListener(p.b);
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(Codes()), 154, 1, 300, &why)) << why;
    EXPECT_EQ(Codes().find('\x02'), std::string::npos);  // no reply reached the callback
}

TEST(ConfigXml, CommandsFromAnotherThreadNeverTakeABatchReply) {
    ConfigPair p(155, 156);
    ASSERT_TRUE(p.ok()) << qv_GetLastError();
    std::string cmds;
    for (int i = 0; i < 80; ++i) cmds += Cmd(TName(i), "12345");
    TempDir dir;
    WriteText(dir.path() / "c.xml", Doc(cmds));

    std::atomic<bool> stop{false};
    std::atomic<int> own{0}, foreign{0};
    std::thread commander([&] {
        while (!stop) {
            char reply[512];
            int32_t len = sizeof reply;
            if (!qv_GetCommandResponse(p.b, "QRYSYS", 6, reply, &len, 2000, true, false)) continue;
            const std::string r(reply, static_cast<size_t>(len));
            (r.find("QRYSYS") != std::string::npos ? own : foreign)++;
        }
    });
    bool ok = true;
    for (int round = 0; round < 2 && ok; ++round) ok = WriteCfg(p.b, dir.path() / "c.xml");
    stop = true;
    commander.join();
    EXPECT_TRUE(ok);
    EXPECT_GT(own.load(), 0);
    EXPECT_EQ(foreign.load(), 0);
}
