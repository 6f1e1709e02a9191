// The decode upload through the exports against quorvia-sim: bitmaps written
// by Pillow, announced and sent as the scanner expects (the simulator checks
// the picture against the bitmap it was given, the test against its own
// converter), answers that refuse, stay silent or come short, and bad files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bmp_reference.h"
#include "child_process.h"
#include "e2e_helpers.h"
#include "hang_guard.h"
#include "quorvia.h"

using qvtest::MakePicture;
using qvtest::Picture;
using qvtest::SimDevices;
using qvtest::WaitFor;

namespace {

std::string Field(const std::string& stats, const std::string& key) {
    const size_t at = stats.find(" " + key + "=");
    if (at == std::string::npos) return "?";
    const size_t start = at + key.size() + 2;
    return stats.substr(start, stats.find(' ', start) - start);
}

std::string Hex(const std::string& text) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// One simulated scanner on COM `com`, opened.
class Decode : public ::testing::Test {
protected:
    Decode() : devices_({{.com = 71}}) {}

    void SetUp() override {
        ASSERT_TRUE(devices_.sim().ok()) << devices_.sim().error();
        ASSERT_EQ(devices_.count(), 1);
        handle_ = qv_OpenDevice(devices_.list(), 0, 0);
        ASSERT_NE(handle_, nullptr) << qv_GetLastError();
    }
    void TearDown() override {
        if (handle_ != nullptr) qv_CloseDevice(&handle_);
    }

    std::string Sim(const std::string& line) { return devices_.sim().command(line); }
    std::string DecodeCmd(const std::string& rest) { return Sim("decode " + std::to_string(com_) + " " + rest); }
    std::string Stats() { return DecodeCmd("stats"); }
    uint64_t Received() {
        SimProcess::Stats st;
        EXPECT_TRUE(devices_.sim().stats(com_, st));
        return st.rx;
    }

    std::string Bitmap(const Picture& p, const std::string& kind, bool topDown, const std::string& name) {
        const std::string path = (dir_.path() / name).string();
        std::string why;
        EXPECT_TRUE(qvtest::WriteBmpWithPil(p, kind, topDown, path, &why)) << why;
        return path;
    }

    bool Send(const std::string& path, int32_t mode, int32_t timeoutMs = 2000) {
        std::memset(text_, 'x', sizeof text_);
        textLen_ = -1;
        time_ = 0;
        return qv_SendBmpDecode(handle_, mode, path.c_str(), text_, &textLen_, &time_, timeoutMs);
    }

    // Uploads `path` to a scanner that expects it and checks what the scanner
    // received against `expected`.
    void ExpectUpload(const std::string& path, int32_t mode, const std::string& expected, uint32_t width,
                      uint32_t height) {
        const std::string what = path + " mode " + std::to_string(mode);
        const std::string size = "width=" + std::to_string(width) + " height=" + std::to_string(height) +
                                 " length=" + std::to_string(expected.size());
        ASSERT_EQ(DecodeCmd("expect " + std::to_string(mode) + " " + path), "OK " + size) << what;
        ASSERT_TRUE(Send(path, mode)) << what << ": " << Stats();
        EXPECT_STREQ(qv_GetLastError(), "");
        const std::string st = Stats();
        EXPECT_EQ(Field(st, "check"), "match") << what << ": " << st;
        EXPECT_NE(st.find(size), std::string::npos) << what << ": " << st;
        const std::string dump = (dir_.path() / "received").string();
        ASSERT_EQ(DecodeCmd("dump " + dump), "OK");
        const std::string got = qvtest::ReadFile(dump);
        EXPECT_EQ(got.size(), expected.size()) << what;
        EXPECT_TRUE(got == expected) << what << ": the scanner received other bytes than the reference";
    }

    const int com_ = 71;
    SimDevices devices_;
    void* handle_ = nullptr;
    qvtest::TempDir dir_{"qv_decode_e2e"};
    char text_[4096];
    int32_t textLen_ = -1;
    uint32_t time_ = 0;
};

// Listener callbacks: what each handle received.
std::mutex g_mutex;
std::string g_heard;

void Heard(void*, const char* data, uint32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_heard.append(data, n);
}

std::string HeardSoFar() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_heard;
}

int32_t ListenerState(void* h) {
    return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(h)->isAsynRead).load();
}

}  // namespace

TEST_F(Decode, Rgb640x480InMode2IsYuvAndTheAnswersComeBackWhole) {
    const Picture rgb = MakePicture(640, 480, 3, 640);
    const std::string path = Bitmap(rgb, "rgb", false, "vga.bmp");
    // The text travels whole: long, with every printable character.
    std::string text;
    while (text.size() < 3000) text += static_cast<char>(' ' + text.size() % 95);
    ASSERT_EQ(DecodeCmd("text " + Hex(text)), "OK");
    ASSERT_EQ(DecodeCmd("time 10000"), "OK");

    // The status while the picture goes out.
    std::atomic<bool> done{false};
    std::set<int32_t> seen;
    std::thread watcher([&] {
        while (!done) {
            seen.insert(qv_GetDevStatus(handle_));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    ExpectUpload(path, QV_DECODE_YUV420, Str(qvtest::ReferenceYuv420(rgb)), 640, 720);
    done = true;
    watcher.join();
    EXPECT_EQ(Field(Stats(), "length"), "460800");
    EXPECT_EQ(textLen_, 3000);
    EXPECT_EQ(std::string(text_, 3000), text);
    EXPECT_EQ(text_[3000], '\0');
    EXPECT_EQ(time_, 10000u);  // 10 27 00 00
    EXPECT_EQ(seen.count(QV_STATUS_WRITE_BEGIN), 1u);
    EXPECT_EQ(qv_GetDevStatus(handle_), QV_STATUS_READ_END);

    // The same file in mode 1: grey, 640 × 480.
    ExpectUpload(path, QV_DECODE_GRAY, Str(qvtest::ReferenceGray(rgb)), 640, 480);
    EXPECT_EQ(Field(Stats(), "length"), "307200");
}

TEST_F(Decode, EightBitFilesInBothModesAsStored) {
    // 37 wide: every row carries 3 filler bytes; 16 colours: the rows start early.
    const Picture grey = MakePicture(37, 21, 1, 37);
    const Picture indices = MakePicture(64, 8, 1, 64);
    std::string palette16;
    for (uint8_t b : indices.pixels) palette16 += static_cast<char>(b & 15);
    for (bool topDown : {false, true}) {
        const std::string g = Bitmap(grey, "grey", topDown, topDown ? "g-td.bmp" : "g-bu.bmp");
        const std::string p = Bitmap(indices, "palette16", topDown, topDown ? "p-td.bmp" : "p-bu.bmp");
        for (int32_t mode : {QV_DECODE_GRAY, QV_DECODE_YUV420}) {
            ExpectUpload(g, mode, Str(grey.pixels), 37, 21);
            ExpectUpload(p, mode, palette16, 64, 8);
        }
    }
}

TEST_F(Decode, RowsWithFillerBytesInBothRowOrders) {
    // 3 × width not a multiple of 4: 30 (2 filler bytes) and 33 (1) wide.
    for (bool topDown : {false, true}) {
        const Picture even = MakePicture(30, 22, 3, 30);
        const Picture odd = MakePicture(33, 7, 3, 33);
        const std::string e = Bitmap(even, "rgb", topDown, topDown ? "e-td.bmp" : "e-bu.bmp");
        const std::string o = Bitmap(odd, "rgb", topDown, topDown ? "o-td.bmp" : "o-bu.bmp");
        ExpectUpload(e, QV_DECODE_YUV420, Str(qvtest::ReferenceYuv420(even)), 30, 33);
        ExpectUpload(e, QV_DECODE_GRAY, Str(qvtest::ReferenceGray(even)), 30, 22);
        ExpectUpload(o, QV_DECODE_GRAY, Str(qvtest::ReferenceGray(odd)), 33, 7);
    }
}

TEST_F(Decode, FilesThatCannotBeSentSendNothing) {
    struct Case {
        std::string what;
        std::string path;
        int32_t mode;
    };
    const Picture mono = MakePicture(32, 8, 1, 1);
    const Picture oddWide = MakePicture(31, 8, 3, 2);
    const Picture oddHigh = MakePicture(32, 7, 3, 3);
    const std::string full = Bitmap(MakePicture(32, 8, 3, 4), "rgb", false, "full.bmp");
    const std::string cut = (dir_.path() / "cut.bmp").string();
    ASSERT_TRUE(qvtest::WriteFile(cut, qvtest::ReadFile(full).substr(0, 54 + 96 * 8 - 1)));
    const std::string four = (dir_.path() / "four.bmp").string();
    ASSERT_TRUE(qvtest::WriteFile(four, qvtest::HandMadeBmp({32, 8, 4}, 16 * 8)));
    const std::string sixteen = (dir_.path() / "sixteen.bmp").string();
    ASSERT_TRUE(qvtest::WriteFile(sixteen, qvtest::HandMadeBmp({32, 8, 16}, 64 * 8)));
    const std::string huge = (dir_.path() / "huge.bmp").string();
    ASSERT_TRUE(qvtest::WriteFile(huge, qvtest::HandMadeBmp({0x7FFFFFFF, 0x7FFFFFFF, 24}, 64)));
    const std::vector<Case> cases = {
        {"1-bit", Bitmap(mono, "mono", false, "mono.bmp"), QV_DECODE_GRAY},
        {"1-bit", Bitmap(mono, "mono", false, "mono.bmp"), QV_DECODE_YUV420},
        {"4-bit", four, QV_DECODE_GRAY},
        {"4-bit", four, QV_DECODE_YUV420},
        {"16-bit", sixteen, QV_DECODE_GRAY},
        {"odd width", Bitmap(oddWide, "rgb", false, "ow.bmp"), QV_DECODE_YUV420},
        {"odd height", Bitmap(oddHigh, "rgb", true, "oh.bmp"), QV_DECODE_YUV420},
        {"shorter than its header says", cut, QV_DECODE_GRAY},
        {"shorter than its header says", cut, QV_DECODE_YUV420},
        {"huge sizes", huge, QV_DECODE_GRAY},
        {"no such file", (dir_.path() / "missing.bmp").string(), QV_DECODE_GRAY},
        {"a directory", dir_.path().string(), QV_DECODE_GRAY},
    };
    const uint64_t before = Received();
    for (const Case& c : cases) EXPECT_FALSE(Send(c.path, c.mode)) << c.what << " mode " << c.mode;
    EXPECT_EQ(Received(), before);
    EXPECT_EQ(Field(Stats(), "announces"), "0");
}

TEST_F(Decode, BadArguments) {
    const std::string path = Bitmap(MakePicture(8, 4, 3, 5), "rgb", false, "a.bmp");
    char text[4096];
    int32_t len = 0;
    uint32_t time = 0;
    EXPECT_FALSE(qv_SendBmpDecode(nullptr, 1, path.c_str(), text, &len, &time, 1000));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_SendBmpDecode(handle_, 1, nullptr, text, &len, &time, 1000));
    EXPECT_FALSE(qv_SendBmpDecode(handle_, 1, path.c_str(), nullptr, &len, &time, 1000));
    EXPECT_FALSE(qv_SendBmpDecode(handle_, 1, path.c_str(), text, nullptr, &time, 1000));
    EXPECT_FALSE(qv_SendBmpDecode(handle_, 1, path.c_str(), text, &len, nullptr, 1000));
    for (int32_t mode : {0, 3, -1}) {
        EXPECT_FALSE(qv_SendBmpDecode(handle_, mode, path.c_str(), text, &len, &time, 1000)) << mode;
        EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    }
    void* closed = handle_;
    ASSERT_TRUE(qv_CloseDevice(&handle_));
    EXPECT_FALSE(qv_SendBmpDecode(closed, 1, path.c_str(), text, &len, &time, 1000));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST_F(Decode, RefusedAnnounceRestartsTheListener) {
    const std::string path = Bitmap(MakePicture(16, 8, 3, 6), "rgb", false, "b.bmp");
    qv_SetListener(handle_, Heard);
    ASSERT_EQ(ListenerState(handle_), QV_LISTENER_RUNNING);
    ASSERT_EQ(DecodeCmd("reply announce nak"), "OK");
    EXPECT_FALSE(Send(path, QV_DECODE_YUV420));
    EXPECT_EQ(Field(Stats(), "announces"), "1");
    EXPECT_EQ(Field(Stats(), "accepted"), "0");
    // Running again, and delivering.
    EXPECT_EQ(ListenerState(handle_), QV_LISTENER_RUNNING);
    const size_t before = parse_sim_barcodes(HeardSoFar()).size();
    ASSERT_EQ(Sim("emit " + std::to_string(com_) + " 3"), "OK");
    EXPECT_TRUE(WaitFor([&] { return parse_sim_barcodes(HeardSoFar()).size() >= before + 3; }));
    qv_StopListener(handle_);
}

TEST_F(Decode, ListenerRunningMeanwhileTakesNoneOfTheAnswers) {
    const Picture rgb = MakePicture(64, 32, 3, 7);
    const std::string path = Bitmap(rgb, "rgb", true, "c.bmp");
    ASSERT_EQ(DecodeCmd("text 4C 49 53 54 45 4E"), "OK");  // "LISTEN"
    qv_SetListener(handle_, Heard);
    ExpectUpload(path, QV_DECODE_YUV420, Str(qvtest::ReferenceYuv420(rgb)), 64, 48);
    EXPECT_EQ(std::string(text_), "LISTEN");
    EXPECT_EQ(HeardSoFar().find("LISTEN"), std::string::npos);
    EXPECT_EQ(ListenerState(handle_), QV_LISTENER_RUNNING);
    const size_t before = parse_sim_barcodes(HeardSoFar()).size();
    ASSERT_EQ(Sim("emit " + std::to_string(com_) + " 2"), "OK");
    EXPECT_TRUE(WaitFor([&] { return parse_sim_barcodes(HeardSoFar()).size() >= before + 2; }));
    qv_StopListener(handle_);
}

TEST_F(Decode, SilentScannerWithNoTimeOutGivesUpAfterTheReadDefault) {
    const std::string path = Bitmap(MakePicture(16, 8, 3, 8), "rgb", false, "d.bmp");
    ASSERT_EQ(DecodeCmd("reply announce silent"), "OK");
    qvtest::HangGuard guard("qv_SendBmpDecode with time-out 0 against a silent scanner", std::chrono::seconds(60));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Send(path, QV_DECODE_GRAY, 0));
    EXPECT_LT(qvtest::MsSince(t0), 20000);
    EXPECT_EQ(Field(Stats(), "accepted"), "0");
}

TEST_F(Decode, AnswersThatRefuseStaySilentOrComeShort) {
    const Picture rgb = MakePicture(16, 8, 3, 9);
    const std::string path = Bitmap(rgb, "rgb", false, "e.bmp");
    ASSERT_EQ(DecodeCmd("expect 1 " + path), "OK width=16 height=8 length=128");
    struct Case {
        std::string step;
        std::string how;
    };
    for (const Case& c : {Case{"data", "nak"}, Case{"data", "silent"}, Case{"ready", "silent"},
                          Case{"ready", "short=0"}, Case{"result", "silent"}, Case{"time", "silent"},
                          Case{"time", "short=2"}, Case{"time", "short=3"}}) {
        ASSERT_EQ(DecodeCmd("reply " + c.step + " " + c.how), "OK");
        EXPECT_FALSE(Send(path, QV_DECODE_GRAY, 300)) << c.step << " " << c.how;
        ASSERT_EQ(DecodeCmd("reply " + c.step + " normal"), "OK");
    }
    // A short result-ready answer that still says "ready" is enough.
    ASSERT_EQ(DecodeCmd("reply ready short=1"), "OK");
    EXPECT_TRUE(Send(path, QV_DECODE_GRAY, 300));
    ASSERT_EQ(DecodeCmd("reply ready normal"), "OK");
    EXPECT_TRUE(Send(path, QV_DECODE_GRAY, 300));
    EXPECT_EQ(Field(Stats(), "check"), "match");
}

TEST_F(Decode, CloseDuringTheUploadEndsItAndLeavesNoListener) {
    const std::string path = Bitmap(MakePicture(640, 480, 3, 10), "rgb", false, "f.bmp");
    qv_SetListener(handle_, Heard);
    std::atomic<bool> result{true};
    qvtest::HangGuard guard("upload cut by a close", std::chrono::seconds(60));
    void* h = handle_;
    std::thread uploader([&] { result = Send(path, QV_DECODE_YUV420, 2000); });
    ASSERT_TRUE(WaitFor([&] { return qv_GetDevStatus(h) == QV_STATUS_WRITE_BEGIN; }));
    ASSERT_TRUE(qv_CloseDevice(&handle_));
    uploader.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
}

TEST(DecodeDemo, SendBmpDecodeOptionOnlyOpensAndCloses) {
    SimProcess sim({{.com = 79}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess demo({QV_DEMO_PATH, "--SendBmpDecode"},
                      {"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0"}, QV_TEST_RUN_DIR);
    const std::string out = demo.ReadAll(60000);
    EXPECT_EQ(demo.Wait(5000), 0) << out;
    EXPECT_NE(out.find("enum qv_EnumDevices end deviceCounts=1\n"), std::string::npos) << out;
    // Between the status and the close only the close's own log line.
    const size_t status = out.find(", succeed in opening the device\nstatus=0\n");
    ASSERT_NE(status, std::string::npos) << out;
    const size_t from = out.find('\n', out.find("status=0\n", status)) + 1;
    const size_t closed = out.find("hDevice=(nil),succeed in closing the device\nT_DeviceStatus t=2\n", from);
    ASSERT_NE(closed, std::string::npos) << out;
    const std::string between = out.substr(from, closed - from);
    EXPECT_EQ(std::count(between.begin(), between.end(), '\n'), 1) << between;
    EXPECT_TRUE(between.ends_with("  CloseDevice\n")) << between;
    EXPECT_NE(out.find("all over\n"), std::string::npos) << out;
    EXPECT_EQ(Field(sim.command("decode 79 stats"), "announces"), "0");
}
