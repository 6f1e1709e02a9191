// Firmware update result codes from real runs through qv_UpdateKernelDevice:
// refused arguments, bad packages, a closed port, a scanner that refuses a
// step or fails to write, a package made for another scanner; "@Exit" after a
// failure; the last-error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::PatternBytes;
using qvtest::SimDevices;
using qvtest::WaitFor;
using qvtest::fw::FirmwareFixture;
using qvtest::fw::SimLoaderLog;

namespace {

const char* const kInvalid = "Invalid input parameters";
const char* const kUpdateFailed = "Update firmware file with com error";

class ResultTest : public FirmwareFixture {
protected:
    void Open(int com, const std::string& options = "") { OpenScanner(com, options); }
    std::string TwoBlockNfp() {
        qvtest::TablePackage p;
        p.main = {{"kern", PatternBytes(1000, 1)}, {"appl", PatternBytes(1000, 2)}};
        return Package("fw.nfp", qvtest::BuildTablePackage(p));
    }
    void ExpectFailure(const qvtest::fw::UpdateRun& r, int32_t code, const char* text) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.result, code);
        EXPECT_STREQ(r.error.c_str(), text);
    }

};

TEST_F(ResultTest, RefusedArgumentsGiveEight) {
    Open(51);
    const std::string file = TwoBlockNfp();
    int32_t result = -99;
    EXPECT_FALSE(qv_UpdateKernelDevice(handle_, "", 0, &result));
    EXPECT_EQ(result, QV_FW_BAD_ARGUMENTS);
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    result = -99;
    EXPECT_FALSE(qv_UpdateKernelDevice(handle_, nullptr, 0, &result));
    EXPECT_EQ(result, QV_FW_BAD_ARGUMENTS);
    result = -99;
    EXPECT_FALSE(qv_UpdateKernelDevice(nullptr, file.c_str(), 0, &result));
    EXPECT_EQ(result, QV_FW_BAD_ARGUMENTS);
    EXPECT_FALSE(qv_UpdateKernelDevice(handle_, file.c_str(), 0, nullptr));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    // A closed handle.
    void* stale = handle_;
    ASSERT_TRUE(qv_CloseDevice(&handle_));
    result = -99;
    EXPECT_FALSE(qv_UpdateKernelDevice(stale, file.c_str(), 0, &result));
    EXPECT_EQ(result, QV_FW_BAD_ARGUMENTS);
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_EQ(Log(), std::vector<std::string>{});  // nothing reached the scanner
}

TEST_F(ResultTest, MoreThanFourBlocksGiveEightToo) {
    Open(52);
    qvtest::TablePackage p;
    for (int i = 0; i < 5; ++i) p.main.push_back({"appl", PatternBytes(100, 3 + static_cast<uint32_t>(i))});
    const auto r = Update(handle_, Package("five.nfp", qvtest::BuildTablePackage(p)));
    ExpectFailure(r, QV_FW_BAD_ARGUMENTS, kUpdateFailed);
    EXPECT_EQ(Log(), std::vector<std::string>{});
}

TEST_F(ResultTest, PackageFaultsGiveTheirCodes) {
    Open(53);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(1000, 4)}};
    std::string bad = qvtest::BuildTablePackage(p);
    bad[1500] ^= 0x55;  // a data byte: the CRC no longer matches
    ExpectFailure(Update(handle_, Package("crc.nfp", bad)), QV_FW_BAD_PACKAGE, kUpdateFailed);
    ExpectFailure(Update(handle_, Package("fw.txt", qvtest::BuildTablePackage(p))), QV_FW_BAD_EXTENSION,
                  kUpdateFailed);
    ExpectFailure(Update(handle_, Package("noextension", qvtest::BuildTablePackage(p))), QV_FW_BAD_EXTENSION,
                  kUpdateFailed);
    ExpectFailure(Update(handle_, (dir_.path() / "missing.nfp").string()), QV_FW_CANNOT_OPEN, kUpdateFailed);
    // A name that is not valid UTF-8 is refused, never cut short to another name.
    Package("fw.nfp", qvtest::BuildTablePackage(p));
    const std::string invalid = (dir_.path() / "fw\xff.nfp").string();
    ExpectFailure(Update(handle_, invalid), QV_FW_CANNOT_OPEN, kUpdateFailed);
    // Only a boot block: nothing to send.
    qvtest::PakPackage boot;
    boot.boot = PatternBytes(500, 5);
    ExpectFailure(Update(handle_, Package("boot.pak", qvtest::BuildPakPackage(boot))), QV_FW_NO_BLOCK, kUpdateFailed);
    EXPECT_EQ(Log(), std::vector<std::string>{});
}

TEST_F(ResultTest, ClosedPortThatCannotBeOpenedGivesThree) {
    Open(54);
    const std::string file = TwoBlockNfp();
    ASSERT_EQ(sim_->sim().command("unplug 54"), "OK");
    const auto r = Update(handle_, file);
    ExpectFailure(r, QV_FW_PORT_CLOSED, "Open com device failed");
}

TEST_F(ResultTest, RefusedStepGivesElevenAndExitIsSent) {
    Open(55);
    ASSERT_EQ(Loader("refuse !FileType 1"), "OK");
    const auto r = Update(handle_, TwoBlockNfp());
    ExpectFailure(r, QV_FW_PROTOCOL, kUpdateFailed);
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "!FileType:kern"), 1);
    const auto exit = std::find(log.begin(), log.end(), "@Exit");
    ASSERT_NE(exit, log.end()) << "no @Exit after the failure";
    EXPECT_GT(exit, std::find(log.begin(), log.end(), "!FileType:kern"));
}

TEST_F(ResultTest, DataLensIsAskedOnceMoreAfterTheLineChange) {
    Open(56);
    ASSERT_EQ(Loader("refuse !DataLens 1 1"), "OK");  // refused the first time only
    const auto r = Update(handle_, TwoBlockNfp());
    EXPECT_TRUE(r.ok) << r.error;
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "!DataLens:1000"), 3);  // twice for the first block
}

TEST_F(ResultTest, SilentScannerGivesEleven) {
    Open(57);
    ASSERT_EQ(Loader("silent >Start"), "OK");
    const auto r = Update(handle_, TwoBlockNfp());
    ExpectFailure(r, QV_FW_PROTOCOL, kUpdateFailed);
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "@Exit"), log.end());
}

TEST_F(ResultTest, ScannerThatDropsOffTheLineMidBlockGivesElevenAtOnce) {
    Open(58);
    ASSERT_EQ(Loader("dropat frame"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(20000, 6)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    ExpectFailure(r, QV_FW_PROTOCOL, kUpdateFailed);
    // Not a time-out: the write to the gone port failed (the '*' wait alone is 4 s).
    EXPECT_LT(r.ms, 4000);
}

TEST_F(ResultTest, FailedWriteReportedByTheScannerGivesThirteen) {
    Open(59);
    ASSERT_EQ(Loader("written X"), "OK");
    const auto r = Update(handle_, TwoBlockNfp());
    ExpectFailure(r, QV_FW_WRITE_FAILED, kUpdateFailed);
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "@Exit"), log.end());
}

TEST_F(ResultTest, EfpForAnotherScannerGivesSeventeen) {
    Open(60, "prn=QV-PRN-7,cpn=CPN-42");
    qvtest::TablePackage p;
    p.efp = true;
    p.prn = "QV-PRN-8";
    p.cpn = "CPN-42";
    p.main = {{"appl", PatternBytes(500, 7)}};
    ExpectFailure(Update(handle_, Package("other.efp", qvtest::BuildTablePackage(p))), QV_FW_DOES_NOT_FIT,
                  kUpdateFailed);
    p.prn = "QV-PRN-7";
    p.cpn = "";
    ExpectFailure(Update(handle_, Package("nocpn.efp", qvtest::BuildTablePackage(p))), QV_FW_DOES_NOT_FIT,
                  kUpdateFailed);
    EXPECT_EQ(Log(), std::vector<std::string>{});
}

}  // namespace
