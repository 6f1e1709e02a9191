// Firmware updates of network scanners through qv_UpdateKernelDevice against
// quorvia-sim's boot loader over TCP, in this test program's own network
// namespace: the package kinds with their blocks compared byte for byte, the
// differences of the network update (no line, no commands between blocks), a
// scanner that drops the connection when it takes the update switch and
// returns, one that never returns after its loader, and the result codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "net_helpers.h"
#include "quorvia.h"

using qvtest::PatternBytes;
using qvtest::fw::FirmwareFixture;

namespace {

bool Contains(const std::vector<std::string>& log, const std::string& item) {
    return std::find(log.begin(), log.end(), item) != log.end();
}

class NetUpdateTest : public FirmwareFixture {
protected:
    // The scanner's record as discovery lists it, opened without a discovery
    // (which would add its 2.3 s to every test).
    void OpenNet(int number, const std::string& options = "") {
        const std::vector<SimProcess::NetScanner> scanners{{.number = number, .options = options}};
        net_ = std::make_unique<SimProcess>(std::vector<SimProcess::Port>{}, scanners);
        com_ = number;
        ASSERT_TRUE(net_->ok()) << net_->error();
        record_ = T_DevicesInfo{};
        record_.socket = -1;
        record_.transportKind = QV_TRANSPORT_NETWORK;
        std::snprintf(record_.ipAddress, sizeof record_.ipAddress, "127.0.0.1");
        record_.tcpPort = net_->tcp_port(number);
        handle_ = qv_OpenDeviceForNati(&record_, static_cast<uint32_t>(number), 0);
        ASSERT_NE(handle_, nullptr) << qv_GetLastError();
    }
    void TearDown() override {
        if (handle_ != nullptr) qv_CloseDeviceForNati(&handle_);
        net_.reset();
    }
    SimProcess& NetSim() { return *net_; }
    std::string NetLoader(const std::string& rest) {
        return NetSim().command("loader " + std::to_string(com_) + " " + rest);
    }
    std::vector<std::string> NetLog() { return qvtest::fw::SimLoaderLog(NetSim(), com_); }
    uint64_t Connections() {
        SimProcess::Stats st;
        return NetSim().stats(com_, st) ? st.connections : 0;
    }
    // The scanner's application answers on the handle again.
    void ExpectApplicationAnswers() {
        EXPECT_TRUE(qvtest::fw::WaitForApplication(NetSim(), com_));
        EXPECT_TRUE(qvtest::WaitFor(
            [&] {
                char reply[256] = {};
                int32_t len = sizeof reply;
                return qv_GetCommandResponse(handle_, "QRYSYS", 6, reply, &len, 2000, true, false) &&
                       std::string(reply, static_cast<size_t>(std::max(len, 0))).find("QRYSYS") != std::string::npos;
            },
            10000))
            << qv_GetLastError();
    }
    std::unique_ptr<SimProcess> net_;
    T_DevicesInfo record_{};
};

}  // namespace

TEST_F(NetUpdateTest, NfpBlocksArriveByteForByteAndTheResultIsWrittenOnSuccess) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(70);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(3000, 1)}, {"flah", PatternBytes(1025, 2), 9990}, {"appl", PatternBytes(700, 3)}};
    const uint64_t before = Connections();
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);  // written on success too (the run starts it at -99)
    EXPECT_STREQ(r.error.c_str(), "");
    EXPECT_EQ(qv_GetDevStatus(handle_), QV_STATUS_UPDATE_END);
    ExpectBlocks(NetSim(), 70, {{"kern", p.main[0].data}, {"flah", p.main[1].data}, {"appl", p.main[2].data}});
    const auto log = NetLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "~upDate~");
    // No line to switch, and nothing between the blocks: each later block
    // begins with the probe alone.
    EXPECT_FALSE(Contains(log, "#COMM:115200,8,0,1"));
    EXPECT_FALSE(Contains(log, "@NextDown"));
    EXPECT_FALSE(Contains(log, "@NextBlock"));
    // Connected afresh after the update.
    EXPECT_GT(Connections(), before);
    ExpectApplicationAnswers();
}

TEST_F(NetUpdateTest, EfpThatFitsPakPk2AndBin) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(71, "prn=QV-PRN-7,cpn=CPN-42");
    qvtest::TablePackage efp;
    efp.efp = true;
    efp.prn = "QV-PRN-7";
    efp.cpn = "CPN-42";
    efp.main = {{"appl", PatternBytes(2048, 4)}};
    auto r = Update(handle_, Package("fw.efp", qvtest::BuildTablePackage(efp)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_TRUE(Contains(NetLog(), "@Exit"));
    ExpectApplicationAnswers();

    qvtest::PakPackage pak;
    pak.boot = PatternBytes(700, 5);
    pak.kernel = PatternBytes(1500, 6);
    pak.flash = PatternBytes(600, 7);
    r = Update(handle_, Package("fw.pak", qvtest::BuildPakPackage(pak)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    ExpectApplicationAnswers();

    qvtest::PakPackage pk2;
    pk2.pk2 = true;
    pk2.kernel = PatternBytes(3000, 15);
    r = Update(handle_, Package("fw.pk2", qvtest::BuildPakPackage(pk2)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    ExpectApplicationAnswers();

    qvtest::BinPackage bin;
    bin.blocks = {{"kern", PatternBytes(1200, 8)}, {"flah", PatternBytes(900, 9), 4}};
    r = Update(handle_, Package("fw.bin", qvtest::BuildBinPackage(bin)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_FALSE(Contains(NetLog(), "@NextDown"));

    // Every block of the four packages, in order, the boot block left out.
    ExpectBlocks(NetSim(), 71,
                 {{"appl", efp.main[0].data},
                  {"kern", *pak.kernel},
                  {"flah", *pak.flash},
                  {"kern", *pk2.kernel},
                  {"kern", bin.blocks[0].data},
                  {"flah:4", bin.blocks[1].data}});
    ExpectApplicationAnswers();
}

TEST_F(NetUpdateTest, ExtraBlocksAreReachedWithTheUpdateSwitchNotTheBlockSwitch) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(75);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(1000, 13)}};
    p.extra = {{"exfl", PatternBytes(1500, 14), 77}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    ExpectBlocks(NetSim(), 75, {{"kern", p.main[0].data}, {"exfl:77", p.extra[0].data}});
    const auto log = NetLog();
    EXPECT_FALSE(Contains(log, "~upBlock~"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "~upDate~"), 2);
    EXPECT_TRUE(Contains(log, "@Exit"));  // "@Exit" ends the extra group
    ExpectApplicationAnswers();
}

TEST_F(NetUpdateTest, PackageThatDoesNotFitOrCannotBeReadKeepsTheConnection) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(72, "prn=QV-PRN-7,cpn=CPN-42");
    qvtest::TablePackage efp;
    efp.efp = true;
    efp.prn = "OTHER";
    efp.cpn = "CPN-42";
    efp.main = {{"appl", PatternBytes(512, 10)}};
    auto r = Update(handle_, Package("other.efp", qvtest::BuildTablePackage(efp)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.result, QV_FW_DOES_NOT_FIT);
    EXPECT_EQ(r.error, "Update firmware file with net erro");

    r = Update(handle_, (dir_.path() / "missing.nfp").string());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.result, QV_FW_CANNOT_OPEN);
    EXPECT_EQ(r.error, "Update firmware file with net erro");

    int32_t result = -99;
    EXPECT_FALSE(qv_UpdateKernelDevice(handle_, "", 0, &result));
    EXPECT_EQ(result, QV_FW_BAD_ARGUMENTS);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(NetSim().command("loader " + std::to_string(com_) + " blocks"), "OK 0");
    ExpectApplicationAnswers();
}

TEST_F(NetUpdateTest, ScannerDroppingTheConnectionAtTheSwitchIsWaitedForAndReconnected) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(73);
    // The scanner leaves the network when it takes the update switch and is
    // back 21 s later (as its loader): the update waits its 20 s, and one of
    // the connection attempts that follow (100 ms apart) finds it.
    ASSERT_EQ(NetLoader("reenum 21000"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(2500, 11)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_GE(r.ms, 21000);
    EXPECT_LT(r.ms, 30000);
    ExpectBlocks(NetSim(), 73, {{"kern", p.main[0].data}});
    // (Leaving its loader, this scanner is away for 21 s again: not waited for here.)
}

TEST_F(NetUpdateTest, ScannerNotBackAfterTheSwitchEndsTheUpdateAfterTheWaitAndTwentyAttempts) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(76);
    // Away for a minute: longer than the 20 s wait and 20 attempts 100 ms apart.
    ASSERT_EQ(NetLoader("reenum 60000"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(700, 16)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.result, QV_FW_PROTOCOL);
    EXPECT_EQ(r.error, "Update firmware file with net erro");
    EXPECT_GE(r.ms, 21500);  // the wait, then 19 pauses of 100 ms between the attempts
    EXPECT_LT(r.ms, 26000);
    EXPECT_EQ(NetSim().command("loader " + std::to_string(com_) + " blocks"), "OK 0");
}

TEST_F(NetUpdateTest, ScannerThatNeverReturnsAfterItsLoaderEndsTheUpdateWith11) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    OpenNet(74);
    // Already in its loader: at the group's end the update connects again.
    // This scanner drops off the network for good once it wrote the block.
    ASSERT_EQ(NetLoader("enter"), "OK");
    ASSERT_EQ(NetLoader("dropat written"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(1000, 12)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.result, QV_FW_PROTOCOL);
    EXPECT_EQ(r.error, "Update firmware file with net erro");
    EXPECT_GE(r.ms, 20000);
    EXPECT_LT(r.ms, 30000);
    ExpectBlocks(NetSim(), 74, {{"kern", p.main[0].data}});
    EXPECT_FALSE(Contains(NetLog(), "~upDate~"));  // no switch for a scanner already in its loader
}
