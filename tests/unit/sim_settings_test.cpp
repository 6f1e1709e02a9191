// The simulated scanner's settings table, driven from the host side over its
// pty: what it reports for "@*", DFMQCU and QRYSYS, and how it takes settings
// batches, refusals, the calibration and the empty final frame.
#include <gtest/gtest.h>

#include <string>

#include "pty_peer.h"
#include "sim_process.h"
#include "sim_settings_table.h"

using namespace std::string_literals;

namespace {

std::string Reply(const std::string& content) { return "\x02\x01" "0000@"s + content + "\x03"; }

// Sends a frame and reads the whole reply (up to ';' 03, or the end byte of an empty one).
std::string Exchange(PtyPeer& peer, const std::string& body) {
    if (!peer.write_all(sim_command_frame(body))) return "write failed";
    return peer.read_until([](const std::string& got) { return got.size() >= 8 && got.back() == '\x03'; });
}

}  // namespace

TEST(SimSettings, ReportsItsTableWithBothFormsOfGroups) {
    SimProcess sim({{.com = 3, .options = "product=QV Sim 1,id=Sim Three"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("cfgfill 3 3 7"), "OK 21");
    PtyPeer peer(sim.path(3));
    ASSERT_TRUE(peer.ok()) << peer.error();

    const std::string text =
        "232BAD700,PAR701,STP702,DAT703\x06;232AFL704\x06,FLW705\x06;INTERF706\x06;IMGROI707\x06;"
        "KBWPOR708\x06;SOPMOD709\x06;DFMSIN710\x06;DFMADD\x06;NOVALU\x06;BEPENA711\x06,VOL712\x06,TON713\x06;"
        "AIMENA714,MOD715\x06;SAA000716\x06;SAA001717\x06;SAA002718\x06;"s;
    EXPECT_EQ(sim_hex(Exchange(peer, "*")), sim_hex(Reply(text)));
    EXPECT_EQ(Exchange(peer, "DFMQCU"), Reply("DFMQCUP1:0071;P2:0072;P3:0073;\x06;"));
    EXPECT_EQ(Exchange(peer, "QRYSYS"), Reply("QRYSYSProduct Name: QV Sim 1\r\nSim Three\x06;"));

    const SimSettings s = sim_settings(sim, 3);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.settings.size(), 21u);
    EXPECT_EQ(s.value("BEPVOL"), "712");
    EXPECT_EQ(s.calibration, "P1:0071;P2:0072;P3:0073;");
}

TEST(SimSettings, TakesBatchesAnswersEachCommandAndRefusesWhatItIsTold) {
    SimProcess sim({{.com = 4}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("status 4 AIMENA nak"), "OK");
    PtyPeer peer(sim.path(4));
    ASSERT_TRUE(peer.ok()) << peer.error();
    const std::string aimena = sim_settings(sim, 4).value("AIMENA");

    EXPECT_EQ(Exchange(peer, "BEPVOL9;AIMENA8;XYZXYZ1"), Reply("BEPVOL9\x06;AIMENA8\x15;XYZXYZ1\x06;"));
    SimSettings s = sim_settings(sim, 4);
    EXPECT_EQ(s.value("BEPVOL"), "9");
    EXPECT_EQ(s.value("AIMENA"), aimena);
    bool found = true;
    s.value("XYZXYZ", &found);
    EXPECT_FALSE(found);

    // A final frame: line settings, the calibration, the interface.
    const std::string final = "232BAD1;DFMCAL;DFMADD0012;0034;INTERF5;";
    EXPECT_EQ(Exchange(peer, final),
              Reply("232BAD1\x06;DFMCAL\x06;DFMADD0012\x06;0034\x06;INTERF5\x06;"));
    s = sim_settings(sim, 4);
    EXPECT_EQ(s.value("232BAD"), "1");
    EXPECT_EQ(s.value("INTERF"), "5");
    EXPECT_EQ(s.value("DFMADD"), "");
    EXPECT_EQ(s.calibration, "P1:0012;P2:0034;");

    // An empty frame is taken and answered by nothing; every frame is recorded.
    ASSERT_TRUE(peer.write_all("\x7E\x01" "0000@\x03"s));
    EXPECT_EQ(peer.read_quiet(300), "");
    const std::vector<std::string> frames = sim_frames(sim, 4);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], sim_command_frame(final));
    EXPECT_EQ(frames[2], "\x7E\x01" "0000@\x03"s);
    EXPECT_TRUE(sim_frames(sim, 4).empty());

    // Commands it does not know as settings are answered as before.
    EXPECT_EQ(Exchange(peer, "BEEPON"), Reply("BEEPON\x06;"));
    // A command scripted silent: the whole frame goes unanswered and changes nothing.
    ASSERT_EQ(sim.command("status 4 BEPTON silent"), "OK");
    ASSERT_TRUE(peer.write_all(sim_command_frame("BEPVOL1;BEPTON1")));
    EXPECT_EQ(peer.read_quiet(300), "");
    EXPECT_EQ(sim_settings(sim, 4).value("BEPVOL"), "9");
}

TEST(SimSettings, ControlChannelSetsAndRefills) {
    SimProcess sim({{.com = 5}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("cfgset 5 NEWSET 414243"), "OK");
    ASSERT_EQ(sim.command("cfgset 5 BEPVOL"), "OK");
    SimSettings s = sim_settings(sim, 5);
    EXPECT_EQ(s.value("NEWSET"), "ABC");
    EXPECT_EQ(s.value("BEPVOL"), "");
    EXPECT_EQ(s.settings.back().first, "NEWSET");
    EXPECT_EQ(sim.command("cfgset 5 X 4"), "ERR bad hex value");
    ASSERT_EQ(sim.command("cfgfill 5 500 2 6"), "OK 518");
    s = sim_settings(sim, 5);
    EXPECT_EQ(s.value("SAA499").size(), 6u);
    EXPECT_EQ(sim.command("cfgfill 5 x 1"), "ERR bad count 'x'");
}
