// Firmware updates through qv_UpdateKernelDevice against quorvia-sim's boot
// loader over ptys: every package kind, the blocks the scanner received
// compared byte for byte with the package, frame sizes, the 256-byte
// fallback and both erase paths, the extra block group, and a scanner that is
// already in its loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "quorvia.h"

using qvtest::PatternBytes;
using qvtest::SimDevices;
using qvtest::fw::FirmwareFixture;
using qvtest::fw::SimLoaderLog;

namespace {

bool Contains(const std::vector<std::string>& log, const std::string& item) {
    return std::find(log.begin(), log.end(), item) != log.end();
}

size_t Count(const std::vector<std::string>& log, const std::string& item) {
    return static_cast<size_t>(std::count(log.begin(), log.end(), item));
}

class UpdateTest : public FirmwareFixture {
protected:
    void Open(int com, const std::string& options = "") { OpenScanner(com, options); }
    std::string BlockInfo(int index) {
        std::string info;
        qvtest::fw::SimBlock(sim_->sim(), com_, index, dir_.path(), &info);
        return info;
    }
    // The application answers again after the update.
    void ExpectApplicationAnswers() {
        EXPECT_TRUE(qvtest::fw::WaitForApplication(sim_->sim(), com_));
        char reply[256] = {};
        int32_t len = sizeof reply;
        EXPECT_TRUE(qv_GetCommandResponse(handle_, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
        EXPECT_NE(std::string(reply, static_cast<size_t>(std::max(len, 0))).find("QRYSYS"), std::string::npos);
    }

};

TEST_F(UpdateTest, NfpMainBlocksArriveByteForByteAndTheLastFrameIsPadded) {
    Open(31);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(3000, 1)}, {"appl", PatternBytes(1025, 2)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_STREQ(r.error.c_str(), "");
    EXPECT_EQ(qv_GetDevStatus(handle_), QV_STATUS_UPDATE_END);
    ExpectBlocks(sim_->sim(), 31, {{"kern", p.main[0].data}, {"appl", p.main[1].data}});
    // 1025 bytes in 512-byte frames: three frames, the last padded with 511
    // zeros (the loader refuses a frame whose padding is not zero).
    EXPECT_NE(BlockInfo(1).find("framesize=512 frames=3"), std::string::npos) << BlockInfo(1);
    const auto log = Log();
    EXPECT_EQ(log.front(), "~upDate~");
    EXPECT_EQ(Count(log, "#COMM:115200,8,0,1"), 2u);  // each main block at 115200
    EXPECT_FALSE(Contains(log, "@Exit"));              // outside upgrade mode
    EXPECT_FALSE(Contains(log, "@NextDown"));
    ExpectApplicationAnswers();
}

TEST_F(UpdateTest, UpperCaseEfpThatFitsTheScanner) {
    Open(32, "prn=QV-PRN-7,cpn=CPN-42");
    qvtest::TablePackage p;
    p.efp = true;
    p.prn = "QV-PRN-7";
    p.cpn = "CPN-42";
    p.main = {{"appl", PatternBytes(2048, 3)}};
    const auto r = Update(handle_, Package("FW.EFP", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    ExpectBlocks(sim_->sim(), 32, {{"appl", p.main[0].data}});
    // "efp" ends each group with "@Exit" (variant 0).
    EXPECT_TRUE(Contains(Log(), "@Exit"));
}

TEST_F(UpdateTest, PakSendsKernelAndFlashButNotBoot) {
    Open(33);
    qvtest::PakPackage p;
    p.boot = PatternBytes(700, 4);
    p.kernel = PatternBytes(1500, 5);
    p.flash = PatternBytes(600, 6);
    const auto r = Update(handle_, Package("fw.pak", qvtest::BuildPakPackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 33, {{"kern", *p.kernel}, {"flah", *p.flash}});
}

TEST_F(UpdateTest, Pk2WithKernelOnly) {
    Open(34);
    qvtest::PakPackage p;
    p.pk2 = true;
    p.kernel = PatternBytes(5000, 7);
    const auto r = Update(handle_, Package("fw.pk2", qvtest::BuildPakPackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 34, {{"kern", *p.kernel}});
}

TEST_F(UpdateTest, BinRunsTheUpgradeHandshakeAndSkipsAnUnknownTag) {
    Open(35);
    qvtest::BinPackage p;
    p.blocks = {{"kern", PatternBytes(1200, 8)}, {"xtra", PatternBytes(300, 9)}, {"flah", PatternBytes(900, 10), 4}};
    const auto r = Update(handle_, Package("fw.bin", qvtest::BuildBinPackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    // The unknown tag is left out; the next block takes its place.
    ExpectBlocks(sim_->sim(), 35, {{"kern", p.blocks[0].data}, {"flah:4", p.blocks[2].data}});
    const auto log = Log();
    EXPECT_EQ(log.front(), "~upGrade~");
    EXPECT_FALSE(Contains(log, "~upDate~"));  // the upgrade switch was acknowledged
    EXPECT_TRUE(Contains(log, "@NextDown"));
    EXPECT_EQ(log.back(), "<exit>");
    EXPECT_TRUE(Contains(log, "@Exit"));
    // The port was stopped after the acknowledged upgrade switch and opened
    // again afterwards.
    ExpectApplicationAnswers();
}

TEST_F(UpdateTest, ExtraBlocksGoThroughTheBlockSwitch) {
    Open(36);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(1000, 11)}};
    p.extra = {{"exfl", PatternBytes(1500, 12), 77}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    // The extra block's own tag goes with its extra value.
    ExpectBlocks(sim_->sim(), 36, {{"kern", p.main[0].data}, {"exfl:77", p.extra[0].data}});
    const auto log = Log();
    EXPECT_TRUE(Contains(log, "~upBlock~"));
    EXPECT_EQ(log.back(), "<exit>");  // "@Exit" ends the extra group
    ExpectApplicationAnswers();
}

TEST_F(UpdateTest, FrameSizeSettingIsKeptWithinItsLimits) {
    Open(37);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(10000, 13)}};
    const std::string file = Package("fw.nfp", qvtest::BuildTablePackage(p));
    Settings("FrameSize=10\n");
    auto r = Update(handle_, file);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_NE(BlockInfo(0).find("framesize=32 frames=313"), std::string::npos) << BlockInfo(0);
    // The scanner restarts its application on its own before the next update.
    ASSERT_TRUE(qvtest::fw::WaitForApplication(sim_->sim(), 37));
    Settings("FrameSize=5000\nFUSendInterval=1\n");
    r = Update(handle_, file);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_NE(BlockInfo(1).find("framesize=4091 frames=3"), std::string::npos) << BlockInfo(1);
    ExpectBlocks(sim_->sim(), 37, {{"kern", p.main[0].data}, {"kern", p.main[0].data}});
}

TEST_F(UpdateTest, StartAnsweredThreeFallsBackTo256AndErases) {
    Open(38);
    ASSERT_EQ(Loader("start 3"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(2000, 14)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 38, {{"kern", p.main[0].data}});
    EXPECT_NE(BlockInfo(0).find("framesize=256 frames=8"), std::string::npos) << BlockInfo(0);
    const auto log = Log();
    const auto start = std::find(log.begin(), log.end(), ">Start");
    ASSERT_NE(start, log.end());
    EXPECT_EQ(std::vector<std::string>(start + 1, std::min(log.end(), start + 4)),
              (std::vector<std::string>{"!FrameSize:256", "!Frames:8", ">Erase"}));
}

TEST_F(UpdateTest, StartAnsweredFourErasesWithProgressDots) {
    Open(39);
    ASSERT_EQ(Loader("start 4"), "OK");
    qvtest::TablePackage p;
    p.main = {{"appl", PatternBytes(700, 15)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 39, {{"appl", p.main[0].data}});
    EXPECT_NE(BlockInfo(0).find("framesize=256 frames=3"), std::string::npos) << BlockInfo(0);
    EXPECT_TRUE(Contains(Log(), ">Erase"));
}

TEST_F(UpdateTest, FrameSizeSetKeepsItsFramesWhenTheScannerErases) {
    Open(40);
    ASSERT_EQ(Loader("start 4"), "OK");
    Settings("FrameSize=1024\n");
    qvtest::TablePackage p;
    p.main = {{"appl", PatternBytes(3000, 16)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_NE(BlockInfo(0).find("framesize=1024 frames=3"), std::string::npos) << BlockInfo(0);
    EXPECT_FALSE(Contains(Log(), "!FrameSize:256"));
}

TEST_F(UpdateTest, ScannerAlreadyInItsLoaderGetsNoSwitchFrame) {
    Open(41);
    // An earlier update broke off: the loader runs, and the scanner
    // re-enumerates (drops off the line and comes back) when it leaves it.
    ASSERT_EQ(Loader("enter"), "OK");
    ASSERT_EQ(Loader("reenum 300"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(1500, 17)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 41, {{"kern", p.main[0].data}});
    for (const std::string& e : Log()) EXPECT_EQ(e.find("~up"), std::string::npos) << e;
    ExpectApplicationAnswers();
}

TEST_F(UpdateTest, LoaderThatIgnoresTheProbeIsFoundByFramesNine) {
    Open(42);
    ASSERT_EQ(Loader("enter"), "OK");
    ASSERT_EQ(Loader("silent probe"), "OK");
    ASSERT_EQ(Loader("reenum 300"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(800, 18)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], "!Frames:9");
    ExpectBlocks(sim_->sim(), 42, {{"kern", p.main[0].data}});
}

}  // namespace
