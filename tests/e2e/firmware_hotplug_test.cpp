// Hot-plug monitoring around a firmware update: the update stops it (the
// monitor must not reopen the port under the update) and starts it again.
#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "quorvia.h"

using qvtest::PatternBytes;
using qvtest::WaitFor;
using qvtest::fw::FirmwareFixture;

namespace {

std::mutex g_mutex;
std::vector<std::pair<void*, int32_t>> g_status;

void OnStatus(void* h, int32_t s) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status.emplace_back(h, s);
}
std::vector<std::pair<void*, int32_t>> Status() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_status;
}

class FirmwareHotplug : public FirmwareFixture {};

}  // namespace

TEST_F(FirmwareHotplug, MonitoringThatRanBeforeAnUpdateRunsAgainAfterIt) {
    OpenScanner(68);
    qv_SetCbDevStatusChanged(handle_, OnStatus);
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(2000, 7)}};
    const auto r = Update(handle_, Package("fw.nfp", qvtest::BuildTablePackage(p)));
    ASSERT_TRUE(r.ok) << r.error;
    ExpectBlocks(Sim(), 68, {{"kern", p.main[0].data}});
    ASSERT_TRUE(qvtest::fw::WaitForApplication(Sim(), 68));
    EXPECT_TRUE(Status().empty());

    ASSERT_EQ(Sim().command("unplug 68 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return Status().size() == 1; }));
    ASSERT_EQ(Sim().command("replug 68"), "OK");
    ASSERT_TRUE(WaitFor([&] { return Status().size() == 2; }));
    const std::vector<std::pair<void*, int32_t>> expected = {{handle_, 0}, {handle_, 1}};
    EXPECT_EQ(Status(), expected);
    EXPECT_EQ(qv_SendCommand(handle_, "BEEPON", 6), QV_CMD_ACCEPTED);
}
