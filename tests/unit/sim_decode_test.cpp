// The simulator's side of the decode upload, driven over its pty with plain
// POSIX calls: it checks the announce and the picture against the bitmap it
// was given, answers the queries, and takes picture bytes as data only.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "bmp_reference.h"
#include "pty_peer.h"
#include "sim_process.h"
#include "test_env.h"

using namespace std::string_literals;
using qvtest::MakePicture;
using qvtest::Picture;

namespace {

const std::string kAck = "\x06"s;
const std::string kNak = "\x15"s;
const std::string kReady = "\x1B\x99\x02"s;
const std::string kFetch = "\x06"s;
const std::string kTime = "\x1B\x99\x04"s;
const std::string kQrysys = "\x7E\x01" "0000@QRYSYS;\x03"s;

std::string Le(uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string Announce(uint32_t length, uint32_t width, uint32_t height) {
    return "\x1B\x99\x01"s + Le(length, 4) + Le(width, 2) + Le(height, 2);
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Field(const std::string& stats, const std::string& key) {
    const size_t at = stats.find(" " + key + "=");
    if (at == std::string::npos) return "?";
    const size_t start = at + key.size() + 2;
    return stats.substr(start, stats.find(' ', start) - start);
}

class SimDecode : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.error();
        peer = PtyPeer(sim.path(9));
        ASSERT_TRUE(peer.ok()) << peer.error();
    }
    // Writes, then reads exactly `n` bytes back.
    std::string Ask(const std::string& bytes, size_t n) {
        EXPECT_TRUE(peer.write_all(bytes));
        return peer.read_exactly(n, 5000);
    }
    std::string Stats() { return sim.command("decode 9 stats"); }

    SimProcess sim{{.com = 9}};
    PtyPeer peer;
    qvtest::TempDir dir{"qv_sim_decode"};
};

}  // namespace

TEST_F(SimDecode, ExpectedYuvPictureIsAcceptedAndAnswered) {
    const Picture rgb = MakePicture(30, 10, 3, 21);
    const std::string bmp = (dir.path() / "p.bmp").string();
    std::string why;
    ASSERT_TRUE(qvtest::WriteBmpWithPil(rgb, "rgb", false, bmp, &why)) << why;
    EXPECT_EQ(sim.command("decode 9 expect 2 " + bmp), "OK width=30 height=15 length=450");
    EXPECT_EQ(sim.command("decode 9 text 48 45 4C 4C 4F 20 31"), "OK");
    EXPECT_EQ(sim.command("decode 9 time 10000"), "OK");

    const std::string picture = Str(qvtest::ReferenceYuv420(rgb));
    ASSERT_EQ(picture.size(), 450u);
    EXPECT_EQ(Ask(Announce(450, 30, 15), 1), kAck);
    // Chunks of any size; the last one completes the picture.
    ASSERT_TRUE(peer.write_all(picture.substr(0, 100)));
    ASSERT_TRUE(peer.write_all(picture.substr(100, 300)));
    EXPECT_EQ(Ask(picture.substr(400), 1), kAck);
    EXPECT_EQ(Ask(kReady, 4), "\x01\x00\x00\x00"s);
    EXPECT_EQ(Ask(kFetch, 7), "HELLO 1");
    EXPECT_EQ(Ask(kTime, 4), "\x10\x27\x00\x00"s);
    const std::string st = Stats();
    EXPECT_EQ(Field(st, "check"), "match") << st;
    EXPECT_EQ(Field(st, "width"), "30") << st;
    EXPECT_EQ(Field(st, "height"), "15") << st;
    EXPECT_EQ(Field(st, "length"), "450") << st;
    EXPECT_EQ(Field(st, "received"), "450") << st;
    EXPECT_EQ(Field(st, "uploads"), "1") << st;

    const std::string dump = (dir.path() / "dump").string();
    EXPECT_EQ(sim.command("decode 9 dump " + dump), "OK");
    EXPECT_EQ(qvtest::ReadFile(dump), picture);
}

TEST_F(SimDecode, GreyExpectationsForBothBitDepths) {
    const Picture rgb = MakePicture(33, 4, 3, 2);
    const Picture grey = MakePicture(33, 4, 1, 3);
    const std::string a = (dir.path() / "rgb.bmp").string();
    const std::string b = (dir.path() / "grey.bmp").string();
    std::string why;
    ASSERT_TRUE(qvtest::WriteBmpWithPil(rgb, "rgb", true, a, &why)) << why;
    ASSERT_TRUE(qvtest::WriteBmpWithPil(grey, "grey", false, b, &why)) << why;
    struct Case {
        std::string command;
        std::string picture;
    };
    for (const Case& c : {Case{"decode 9 expect 1 " + a, Str(qvtest::ReferenceGray(rgb))},
                          Case{"decode 9 expect 1 " + b, Str(grey.pixels)},
                          Case{"decode 9 expect 2 " + b, Str(grey.pixels)}}) {
        EXPECT_EQ(sim.command(c.command), "OK width=33 height=4 length=132") << c.command;
        EXPECT_EQ(Ask(Announce(132, 33, 4), 1), kAck) << c.command;
        EXPECT_EQ(Ask(c.picture, 1), kAck) << c.command;
    }
    EXPECT_EQ(sim.command("decode 9 expect 2 " + a), "ERR odd width or height");
}

TEST_F(SimDecode, WrongPictureOrAnnounceIsRefused) {
    const Picture grey = MakePicture(8, 4, 1, 3);
    const std::string bmp = (dir.path() / "g.bmp").string();
    std::string why;
    ASSERT_TRUE(qvtest::WriteBmpWithPil(grey, "grey", false, bmp, &why)) << why;
    ASSERT_EQ(sim.command("decode 9 expect 1 " + bmp), "OK width=8 height=4 length=32");

    // Another size than the bitmap's, or a length that is not width × height.
    EXPECT_EQ(Ask(Announce(32, 4, 8), 1), kNak);
    EXPECT_EQ(Ask(Announce(33, 8, 4), 1), kNak);
    // Refused: what follows is no picture, a probe is answered as usual.
    EXPECT_EQ(Ask("?", 1), "!");

    std::string wrong = Str(grey.pixels);
    wrong[17] ^= 1;
    EXPECT_EQ(Ask(Announce(32, 8, 4), 1), kAck);
    EXPECT_EQ(Ask(wrong, 1), kNak);
    EXPECT_EQ(Field(Stats(), "check"), "differ");
    EXPECT_EQ(Ask(kReady, 4), std::string(4, '\0'));
}

TEST_F(SimDecode, PictureBytesAreNeverTakenForCommands) {
    // No expectation: any well-formed picture is taken. Its bytes are probes,
    // frame starts and whole command frames.
    std::string picture;
    while (picture.size() < 3000) picture += "?" + kQrysys + "\x1B\x99\x02\x06"s;
    picture.resize(3000);
    EXPECT_EQ(Ask(Announce(3000, 60, 50), 1), kAck);
    ASSERT_TRUE(peer.write_all(picture));
    EXPECT_EQ(peer.read_exactly(1, 5000), kAck);
    EXPECT_EQ(peer.read_quiet(200), "");  // nothing else: no probe answer, no frame reply
    EXPECT_EQ(Field(Stats(), "check"), "none");
    // Afterwards commands are understood again.
    EXPECT_EQ(Ask(kQrysys, 9), "\x02\x01" "0000@QR"s);
}

TEST_F(SimDecode, MessagesSplitAtAnyByteAndNoiseAround) {
    const std::string ann = Announce(4, 2, 2);
    for (char c : ann) ASSERT_TRUE(peer.write_all(std::string(1, c)));
    EXPECT_EQ(peer.read_exactly(1), kAck);
    EXPECT_EQ(Ask("ABCD", 1), kAck);
    ASSERT_TRUE(peer.write_all("\x1B"s));
    ASSERT_TRUE(peer.write_all("\x99"s));
    EXPECT_EQ(Ask("\x02"s, 4), "\x01\x00\x00\x00"s);
    // An escape that starts no decode message is noise; a probe right after it counts.
    EXPECT_EQ(Ask("\x1B?"s, 1), "!");
    EXPECT_EQ(Ask("\x1B\x99\x07?"s, 1), "!");
}

TEST_F(SimDecode, ScriptedAnswers) {
    EXPECT_EQ(sim.command("decode 9 reply announce nak"), "OK");
    EXPECT_EQ(Ask(Announce(4, 2, 2), 1), kNak);
    EXPECT_EQ(Ask("?", 1), "!");  // refused: no picture is taken

    EXPECT_EQ(sim.command("decode 9 reply announce silent"), "OK");
    ASSERT_TRUE(peer.write_all(Announce(4, 2, 2)));
    EXPECT_EQ(peer.read_quiet(200), "");
    EXPECT_EQ(Ask("?", 1), "!");

    EXPECT_EQ(sim.command("decode 9 reply announce normal"), "OK");
    EXPECT_EQ(sim.command("decode 9 reply time short=2"), "OK");
    EXPECT_EQ(sim.command("decode 9 reply result short=3"), "OK");
    EXPECT_EQ(sim.command("decode 9 reply data nak"), "OK");
    EXPECT_EQ(sim.command("decode 9 time 10000"), "OK");
    EXPECT_EQ(sim.command("decode 9 text 41 42 43 44"), "OK");
    EXPECT_EQ(Ask(Announce(4, 2, 2), 1), kAck);
    EXPECT_EQ(Ask("abcd", 1), kNak);
    EXPECT_EQ(sim.command("decode 9 reply data normal"), "OK");
    EXPECT_EQ(Ask(Announce(4, 2, 2), 1), kAck);
    EXPECT_EQ(Ask("abcd", 1), kAck);
    EXPECT_EQ(Ask(kFetch, 3), "ABC");
    EXPECT_EQ(Ask(kTime, 2), "\x10\x27"s);
    EXPECT_EQ(peer.read_quiet(200), "");

    EXPECT_EQ(sim.command("decode 9 reply ready sometimes").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.command("decode 9 reply later normal").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.command("decode 9 expect 1 /nonexistent.bmp").rfind("ERR", 0), 0u);
}

TEST_F(SimDecode, AbandonedUploadGivesTheLineBackToCommands) {
    EXPECT_EQ(Ask(Announce(100, 10, 10), 1), kAck);
    ASSERT_TRUE(peer.write_all("partial"));
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    EXPECT_EQ(Ask("?", 1), "!");
}
