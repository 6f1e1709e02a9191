// The scanner simulator, driven from the host side over its ptys with plain
// POSIX calls: proves it speaks the device side of the serial protocol before
// anything else relies on it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "pty_peer.h"
#include "sim_process.h"

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Frames spelled out byte by byte.
const std::string kDetectQuery = "\x7E\x01\x30\x30\x30\x30\x40\x5F\x5F\x5F\x3F\x3B\x03"s;
const std::string kDetectAnswer = "\x02\x01\x30\x30\x30\x30\x40\x5F\x5F\x5F\x3F\x05\x3B\x03"s;
const std::string kOldQuery = "\x7E\x00\x00\x05\x33\x48\x30\x34\x30\xB5"s;

std::string reply_frame(char kind, const std::string& content) {
    return "\x02\x01" "0000"s + kind + content + "\x03";
}

// Waits until the simulator has taken in at least `n` bytes on `com`. Input
// and the answers to it are handled in one step inside the simulator, so once
// this returns every answer to those bytes is already on its way (any later
// answer can only come after it).
bool wait_rx(SimProcess& sim, int com, uint64_t n) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        SimProcess::Stats st;
        if (!sim.stats(com, st)) return false;
        if (st.rx >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::string readlink_str(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

}  // namespace

TEST(SimTest, StartupDeclaresPortsAndLinks) {
    std::string dir;
    {
        SimProcess sim({{.com = 3}, {.com = 7, .baud = 9600, .driver = "usb"}});
        ASSERT_TRUE(sim.ok()) << sim.error();
        dir = sim.dir();
        EXPECT_EQ(sim.declaration(), "COM3=" + dir + "/com3:serial;COM7=" + dir + "/com7:usb");
        EXPECT_EQ(sim.path(3), dir + "/com3");
        EXPECT_EQ(readlink_str(sim.path(3)).rfind("/dev/pts/", 0), 0u) << readlink_str(sim.path(3));
        EXPECT_EQ(readlink_str(sim.path(7)).rfind("/dev/pts/", 0), 0u) << readlink_str(sim.path(7));
        EXPECT_NE(readlink_str(sim.path(3)), readlink_str(sim.path(7)));
        EXPECT_EQ(sim.command("ping"), "OK");
    }
    struct stat st;
    EXPECT_NE(::lstat(dir.c_str(), &st), 0) << "directory left behind: " << dir;
}

TEST(SimTest, QuitRemovesLinksBeforeAnswering) {
    SimProcess sim({{.com = 5}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    struct stat st;
    ASSERT_EQ(::lstat(sim.path(5).c_str(), &st), 0);
    EXPECT_EQ(sim.command("quit"), "OK");
    EXPECT_NE(::lstat(sim.path(5).c_str(), &st), 0);
    // The process is gone now; the launcher must cope with that.
    EXPECT_EQ(sim.command("ping").rfind("ERR", 0), 0u);
}

TEST(SimTest, ProbeNeedsTheBaudRateAndFramesTheStopBitsToo) {
    SimProcess sim({{.com = 3, .baud = 9600, .stop = 2}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3), 115200, 1);
    ASSERT_TRUE(peer.ok()) << peer.error();
    EXPECT_EQ(sim.command("settings 3"), "OK baud=115200 stop=1");

    // Wrong baud rate: nothing is understood.
    ASSERT_TRUE(peer.write_all("?"));
    ASSERT_TRUE(wait_rx(sim, 3, 1));
    // Right baud rate, wrong stop bits: a frame sent back to back is not
    // understood, but a lone probe byte is.
    ASSERT_TRUE(peer.set_line(9600, 1)) << peer.error();
    EXPECT_EQ(sim.command("settings 3"), "OK baud=9600 stop=1");
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    ASSERT_TRUE(wait_rx(sim, 3, 1 + kDetectQuery.size()));
    ASSERT_TRUE(peer.write_all("?"));
    EXPECT_EQ(peer.read_exactly(1), "!");  // the first thing to come back
    // Both right: the framed query is answered.
    ASSERT_TRUE(peer.set_line(9600, 2)) << peer.error();
    EXPECT_EQ(sim.command("settings 3"), "OK baud=9600 stop=2");
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    EXPECT_EQ(sim_hex(peer.read_exactly(kDetectAnswer.size())), sim_hex(kDetectAnswer));

    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.probes, 1u);
    EXPECT_EQ(st.rx, 2u + 2u * kDetectQuery.size());
}

TEST(SimTest, DetectionQueryGetsFourteenByteAnswer) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    const std::string got = peer.read_exactly(14);
    EXPECT_EQ(sim_hex(got), "020130303030405F5F5F3F053B03");
    ASSERT_TRUE(peer.write_all("?"));
    EXPECT_EQ(peer.read_exactly(1), "!");  // nothing else came in between
}

TEST(SimTest, NoProbeAnswerWhenProbeDisabled) {
    SimProcess sim({{.com = 3, .options = "probe=0"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.write_all("?"));
    ASSERT_TRUE(wait_rx(sim, 3, 1));
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    EXPECT_EQ(sim_hex(peer.read_exactly(14)), sim_hex(kDetectAnswer));
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.probes, 0u);
}

TEST(SimTest, OldScannerAnswersBothQueriesItsWay) {
    SimProcess sim({{.com = 3, .options = "old=1"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();

    ASSERT_TRUE(peer.write_all(kDetectQuery));
    EXPECT_EQ(peer.read_exactly(1), "!");

    ASSERT_TRUE(peer.write_all(kOldQuery));
    const std::string head = peer.read_exactly(4);
    ASSERT_EQ(head.size(), 4u);
    EXPECT_EQ(head[0], '\x02');
    EXPECT_EQ(head[1], '\x00');
    const size_t v = (static_cast<unsigned char>(head[2]) << 8) | static_cast<unsigned char>(head[3]);
    const std::string payload = peer.read_exactly(v + 1);
    EXPECT_EQ(payload.size(), v + 1);
    EXPECT_EQ(payload.rfind("3H040", 0), 0u) << payload;

    // Current-protocol commands mean nothing to it; the probe answer comes next.
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS")));
    ASSERT_TRUE(peer.write_all("?"));
    EXPECT_EQ(peer.read_exactly(1), "!");
}

TEST(SimTest, CurrentScannerIgnoresOldQuery) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.write_all(kOldQuery));
    ASSERT_TRUE(wait_rx(sim, 3, kOldQuery.size()));
    ASSERT_TRUE(peer.write_all("?"));
    EXPECT_EQ(peer.read_exactly(1), "!");
}

TEST(SimTest, QrysysAndBasqsyReplies) {
    SimProcess sim({{.com = 3}, {.com = 4, .options = "id=ACME Scan,SN:42,FW:9.9,base=Cradle,HW:7"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer p3(sim.path(3));
    PtyPeer p4(sim.path(4));
    ASSERT_TRUE(p3.ok()) << p3.error();
    ASSERT_TRUE(p4.ok()) << p4.error();

    const std::string frame = "\x7E\x01\x30\x30\x30\x30\x40QRYSYS\x3B\x03"s;
    ASSERT_EQ(frame, sim_command_frame("QRYSYS"));

    ASSERT_TRUE(p3.write_all(frame));
    const std::string want3 = "\x02\x01\x30\x30\x30\x30\x40QRYSYSQuorviaSim Scanner,SN:SIM3,FW:1.00\x06\x3B\x03"s;
    EXPECT_EQ(sim_hex(p3.read_exactly(want3.size())), sim_hex(want3));

    ASSERT_TRUE(p4.write_all(frame));
    const std::string want4 = "\x02\x01\x30\x30\x30\x30\x40QRYSYSACME Scan,SN:42,FW:9.9\x06\x3B\x03"s;
    EXPECT_EQ(sim_hex(p4.read_exactly(want4.size())), sim_hex(want4));

    ASSERT_TRUE(p4.write_all(sim_command_frame("BASQSY")));
    const std::string want4b = reply_frame('@', "BASQSYCradle,HW:7\x06;");
    EXPECT_EQ(sim_hex(p4.read_exactly(want4b.size())), sim_hex(want4b));

    ASSERT_TRUE(p3.write_all(sim_command_frame("BASQSY")));
    const std::string want3b = reply_frame('@', "BASQSYBASE:SIM3,HW:2.0\x06;");
    EXPECT_EQ(sim_hex(p3.read_exactly(want3b.size())), sim_hex(want3b));
}

TEST(SimTest, BatchAnsweredInOneFrameWithItsKind) {
    SimProcess sim({{.com = 3, .options = "id=ID1,base=B1"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS;ABC1;BASQSY;DEF?", '#')));
    const std::string want = reply_frame('#', "QRYSYSID1\x06;ABC1\x06;BASQSYB1\x06;DEF?\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));
}

TEST(SimTest, ScriptedStatusBytesAndSilence) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("status 3 SETA nak"), "OK");
    ASSERT_EQ(sim.command("status 3 SETB enq"), "OK");
    ASSERT_EQ(sim.command("status 3 MUTE silent"), "OK");
    ASSERT_EQ(sim.command("status 3 SET nak"), "OK");
    ASSERT_EQ(sim.command("status 3 SETX ack"), "OK");  // the longer word wins

    ASSERT_TRUE(peer.write_all(sim_command_frame("SETA12")));
    std::string want = reply_frame('@', "SETA12\x15;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));

    ASSERT_TRUE(peer.write_all(sim_command_frame("SETB")));
    want = reply_frame('@', "SETB\x05;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));

    ASSERT_TRUE(peer.write_all(sim_command_frame("SETX1;SETQ;OTHER")));
    want = reply_frame('@', "SETX1\x06;SETQ\x15;OTHER\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));

    // A silent command silences its whole frame.
    ASSERT_TRUE(peer.write_all(sim_command_frame("MUTE1")));
    ASSERT_TRUE(peer.write_all(sim_command_frame("ABC;MUTE2")));
    ASSERT_TRUE(peer.write_all(sim_command_frame("XYZ")));
    want = reply_frame('@', "XYZ\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));

    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.frames, 6u);
}

TEST(SimTest, TriggerEmitsOneBarcodeInsteadOfAReply) {
    SimProcess sim({{.com = 3, .options = "id=X"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.write_all(sim_command_frame("SCNTRG1")));
    EXPECT_EQ(peer.read_exactly(14), "BC3-00000001\r\n");
    ASSERT_TRUE(peer.write_all(sim_command_frame("SCNTRG0")));
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS")));
    const std::string want = reply_frame('@', "QRYSYSX\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.emitted, 1u);
    EXPECT_EQ(st.frames, 3u);
}

TEST(SimTest, NumberedEmissionPerPortNeverReused) {
    SimProcess sim({{.com = 3}, {.com = 12}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer p3(sim.path(3));
    PtyPeer p12(sim.path(12));
    ASSERT_TRUE(p3.ok()) << p3.error();
    ASSERT_TRUE(p12.ok()) << p12.error();

    ASSERT_EQ(sim.command("emit 3 5"), "OK");
    ASSERT_EQ(sim.command("emit 12 2"), "OK");
    const std::string a = p3.read_exactly(5 * 14);
    EXPECT_EQ(a.substr(0, 14), "BC3-00000001\r\n");
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(a), 3, 1, 5, &why)) << why;
    const std::string b = p12.read_exactly(2 * 15);
    EXPECT_EQ(b, "BC12-00000001\r\nBC12-00000002\r\n");

    // In the background, one every 5 ms.
    ASSERT_EQ(sim.command("emit 3 20 5"), "OK");
    const std::string c = p3.read_exactly(20 * 14);
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(c), 3, 6, 20, &why)) << why;

    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    EXPECT_EQ(p3.read_exactly(14), "BC3-00000026\r\n");

    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.emitted, 26u);
    EXPECT_EQ(st.dropped, 0u);
}

TEST(SimTest, HostThatDoesNotReadCostsOneBoundedWait) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("writelimit 3 200"), "OK");
    // Far more than a pty holds; nobody reads while they are written.
    constexpr uint64_t kCount = 20000;
    ASSERT_EQ(sim.command("emit 3 " + std::to_string(kCount)), "OK");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_GT(st.emitted, 0u);
    EXPECT_LT(st.emitted, kCount);
    EXPECT_GT(st.dropped, 0u);
    const uint64_t total = kCount * 14;
    const uint64_t written = total - st.dropped;
    EXPECT_GE(written, st.emitted * 14);
    EXPECT_LT(written, st.emitted * 14 + 14);  // at most one barcode torn

    const std::string got = peer.read_exactly(written);
    ASSERT_EQ(got.size(), written);
    const auto codes = parse_sim_barcodes(got);
    std::string why;
    EXPECT_TRUE(check_sim_sequence(codes, 3, 1, codes.size(), &why)) << why;
    if (got.size() >= 2 && got.substr(got.size() - 2) == "\r\n") {
        EXPECT_EQ(codes.size(), st.emitted);
    } else {
        // A torn last barcode may still show all its digits.
        EXPECT_TRUE(codes.size() == st.emitted || codes.size() == st.emitted + 1) << codes.size();
    }

    // The host reads again: the next barcode goes through, numbering went on.
    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    EXPECT_EQ(peer.read_exactly(14), sim_barcode_text(3, kCount + 1) + "\r\n");
}

TEST(SimTest, ControlCommandsDoNotWaitForTheHostToRead) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    // More than the pty holds, as fast as possible; the host reads only after
    // the next control commands were answered. Were those commands held up
    // behind a write waiting for room, the write would give up and lose data.
    constexpr uint64_t kCount = 5000;
    ASSERT_EQ(sim.command("emit 3 " + std::to_string(kCount) + " 0"), "OK");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    ASSERT_EQ(sim.command("last 3"), "OK");
    const std::string got = peer.read_exactly(kCount * 14);
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(got), 3, 1, kCount, &why)) << why;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.emitted, kCount);
    EXPECT_EQ(st.dropped, 0u);
}

TEST(SimTest, BackgroundEmissionAnswersAtOnce) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    // 1000 barcodes 50 ms apart take 50 s: the answer must not wait for them.
    ASSERT_EQ(sim.command("emit 3 1000 50"), "OK");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_LT(st.emitted, 1000u);
    EXPECT_EQ(peer.read_exactly(28), "BC3-00000001\r\nBC3-00000002\r\n");
}

TEST(SimTest, EmissionAtWrongLineSettingsIsLost) {
    SimProcess sim({{.com = 3, .baud = 9600}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3), 115200, 1);
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.emitted, 0u);
    EXPECT_EQ(st.dropped, 14u);
    ASSERT_TRUE(peer.set_line(9600, 1)) << peer.error();
    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    EXPECT_EQ(peer.read_exactly(14), "BC3-00000002\r\n");
}

TEST(SimTest, EmitRawWritesTheGivenBytes) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("emitraw 3 02 0130 FFab"), "OK");
    EXPECT_EQ(sim_hex(peer.read_exactly(5)), "020130FFAB");
}

TEST(SimTest, CutReplyEndsAfterNBytes) {
    SimProcess sim({{.com = 3, .options = "id=IDENT"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("cut 3 5"), "OK");
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS")));
    ASSERT_TRUE(peer.write_all(sim_command_frame("ABC")));
    // Only the first five bytes of the first reply, then the whole second one.
    const std::string want = "\x02\x01" "000"s + reply_frame('@', "ABC\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));
}

TEST(SimTest, SplitReplyComesInTwoWrites) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    constexpr int kDelayMs = 300;
    ASSERT_EQ(sim.command("split 3 4 " + std::to_string(kDelayMs)), "OK");
    const std::string want = reply_frame('@', "HELLO\x06;");

    const auto t0 = Clock::now();
    ASSERT_TRUE(peer.write_all(sim_command_frame("HELLO")));
    const std::string first = peer.read_exactly(4);
    const auto t1 = Clock::now();
    const std::string rest = peer.read_exactly(want.size() - 4);
    const auto t2 = Clock::now();
    EXPECT_EQ(sim_hex(first + rest), sim_hex(want));
    // The second part cannot go out before the delay; had the reply been sent
    // whole, it would be complete well before.
    EXPECT_GE(t2 - t0, std::chrono::milliseconds(kDelayMs));
    // Before the delay only the first part can have arrived.
    if (t1 - t0 < std::chrono::milliseconds(kDelayMs)) {
        pollfd p{peer.fd(), POLLIN, 0};
        // Nothing of the rest may be there yet unless the delay has passed meanwhile.
        const bool more = ::poll(&p, 1, 0) == 1;
        if (more) {
            EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kDelayMs));
        }
    }
    // The split applied once: the next reply comes whole and at once.
    ASSERT_TRUE(peer.write_all(sim_command_frame("AGAIN")));
    const std::string again = reply_frame('@', "AGAIN\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(again.size())), sim_hex(again));
}

TEST(SimTest, SilentAndGarbageModes) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();

    ASSERT_EQ(sim.command("mode 3 silent"), "OK");
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS")));
    ASSERT_TRUE(peer.write_all("?"));
    ASSERT_TRUE(wait_rx(sim, 3, 12));
    ASSERT_EQ(sim.command("mode 3 garbage"), "OK");
    const uint64_t rx_before = 12;
    ASSERT_TRUE(peer.write_all(sim_command_frame("QRYSYS")));
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    ASSERT_TRUE(wait_rx(sim, 3, rx_before + 11 + kDetectQuery.size()));
    ASSERT_EQ(sim.command("mode 3 normal"), "OK");
    ASSERT_TRUE(peer.write_all("?"));
    const std::string got = peer.read_until([](const std::string& s) { return s.find('!') != std::string::npos; });
    ASSERT_FALSE(got.empty());
    ASSERT_EQ(got.back(), '!') << sim_hex(got);
    const std::string noise = got.substr(0, got.size() - 1);
    EXPECT_GE(noise.size(), 2u);  // one answer for each garbage-mode frame
    EXPECT_EQ(noise.find('\x02'), std::string::npos) << sim_hex(noise);
    EXPECT_EQ(noise.find('!'), std::string::npos) << sim_hex(noise);
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.frames, 3u);
    EXPECT_EQ(st.probes, 1u);
}

TEST(SimTest, StrayBytesAndFramesSplitAcrossHostWrites) {
    SimProcess sim({{.com = 3, .options = "id=I"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    const std::string frame = sim_command_frame("QRYSYS");
    ASSERT_TRUE(peer.write_all("\x00\x41\x7E\x05\x7E\x01\x30\x31"s));  // noise and broken starts
    ASSERT_TRUE(peer.write_all(frame.substr(0, 5)));
    ASSERT_TRUE(wait_rx(sim, 3, 8 + 5));
    ASSERT_TRUE(peer.write_all(frame.substr(5)));
    const std::string want = reply_frame('@', "QRYSYSI\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));
    EXPECT_EQ(sim.command("last 3"), "OK " + sim_hex(frame));
}

TEST(SimTest, UnplugHangsUpAndReplugGivesAWorkingPortUnderTheSamePath) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    EXPECT_EQ(peer.read_exactly(14), "BC3-00000001\r\n");

    ASSERT_EQ(sim.command("unplug 3"), "OK");
    pollfd p{peer.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR)) << p.revents;
    char c;
    const ssize_t n = ::read(peer.fd(), &c, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
    peer.close();

    struct stat st;
    EXPECT_EQ(::lstat(sim.path(3).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(sim.command("settings 3").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.command("emit 3 1").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.command("unplug 3").rfind("ERR", 0), 0u);

    ASSERT_EQ(sim.command("replug 3"), "OK");
    EXPECT_EQ(readlink_str(sim.path(3)).rfind("/dev/pts/", 0), 0u);
    PtyPeer again(sim.path(3));
    ASSERT_TRUE(again.ok()) << again.error();
    ASSERT_TRUE(again.write_all("?"));
    EXPECT_EQ(again.read_exactly(1), "!");
    ASSERT_EQ(sim.command("emit 3 1"), "OK");
    EXPECT_EQ(again.read_exactly(14), "BC3-00000002\r\n");
}

TEST(SimTest, HoldMakesTheLockFail) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("hold 3"), "OK");
    const int fd = ::open(sim.path(3).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << errno;
    errno = 0;
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(sim.command("hold 3").rfind("ERR", 0), 0u);
    ASSERT_EQ(sim.command("release 3"), "OK");
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << errno;
    // Now this side holds it: the simulator cannot take it.
    EXPECT_EQ(sim.command("hold 3").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim.command("release 3").rfind("ERR", 0), 0u);
    ::close(fd);
}

TEST(SimTest, LastReportsTheExactFrameBytes) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_EQ(sim.command("last 3"), "OK");
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();
    const std::string frame = sim_command_frame("SETV1;SETW2", '#');
    ASSERT_TRUE(peer.write_all(frame));
    const std::string want = reply_frame('#', "SETV1\x06;SETW2\x06;");
    EXPECT_EQ(sim_hex(peer.read_exactly(want.size())), sim_hex(want));
    EXPECT_EQ(sim.command("last 3"), "OK 7E01303030302353455456313B53455457323B03"s);
    EXPECT_EQ(sim.command("last 3"), "OK " + sim_hex(frame));
    ASSERT_TRUE(peer.write_all(kDetectQuery));
    EXPECT_EQ(peer.read_exactly(14).size(), 14u);
    EXPECT_EQ(sim.command("last 3"), "OK 7E0130303030405F5F5F3F3B03");
    SimProcess::Stats st;
    ASSERT_TRUE(sim.stats(3, st));
    EXPECT_EQ(st.rx, frame.size() + kDetectQuery.size());
    EXPECT_EQ(st.frames, 2u);
}

TEST(SimTest, ControlChannelRejectsBadLines) {
    SimProcess sim({{.com = 3}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (const char* line : {"", "bogus", "emit", "emit 3", "emit 9 1", "emit 3 x", "emit 3 1 2 3",
                             "emitraw 3", "emitraw 3 ABC", "emitraw 3 ZZ", "status 3 WORD maybe",
                             "mode 3 loud", "writelimit 3 x", "cut 3", "split 3 4", "release 3", "settings com99",
                             "stats 0"}) {
        const std::string reply = sim.command(line);
        EXPECT_EQ(reply.rfind("ERR", 0), 0u) << "'" << line << "' -> " << reply;
    }
    EXPECT_EQ(sim.command("stats COM3"), "OK rx=0 frames=0 probes=0 emitted=0 dropped=0");
}

TEST(SimHelpersTest, LauncherReportsAFailedStart) {
    SimProcess missing(std::vector<SimProcess::Port>{{.com = 3}}, "/nonexistent/quorvia-sim");
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(missing.error().empty());
    EXPECT_EQ(missing.command("ping").rfind("ERR", 0), 0u);

    // The simulator refuses bad port settings and ends before READY.
    SimProcess refused({{.com = 3, .options = "mode=loud"}});
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.command("ping").rfind("ERR", 0), 0u);
    SimProcess twice({{.com = 3}, {.com = 3}});
    EXPECT_FALSE(twice.ok());
}

TEST(SimHelpersTest, BarcodeParsingAndSequenceCheck) {
    EXPECT_EQ(sim_barcode_text(3, 7), "BC3-00000007");
    const auto codes = parse_sim_barcodes("xxBC3-00000001\r\nBC4-00000001\r\nBC3-00000002\r\nBC3-12\r\n");
    ASSERT_EQ(codes.size(), 3u);
    EXPECT_EQ(codes[1], (SimBarcode{4, 1}));
    std::string why;
    EXPECT_TRUE(check_sim_sequence(codes, 3, 1, 2, &why)) << why;
    EXPECT_FALSE(check_sim_sequence(codes, 3, 1, 3, &why));
    EXPECT_FALSE(check_sim_sequence(codes, 3, 2, 1, &why));
    EXPECT_FALSE(check_sim_sequence(parse_sim_barcodes("BC3-00000002\r\nBC3-00000001\r\n"), 3, 1, 2, &why));
    EXPECT_FALSE(check_sim_sequence(parse_sim_barcodes("BC3-00000001\r\nBC3-00000001\r\n"), 3, 1, 2, &why));
}
