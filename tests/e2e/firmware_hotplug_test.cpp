// Hot-plug monitoring around a firmware update: the update stops it (the
// monitor must not reopen the port under the update) and starts it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>
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

class FirmwareHotplug : public FirmwareFixture {
protected:
    FirmwareHotplug() {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_status.clear();
    }
};

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

// The update's own watch for a re-enumerating scanner and the hot-plug
// monitors are independent: a virtual-COM scanner that drops off the line
// for its loader is not reported, another monitored scanner unplugged
// meanwhile is.
TEST_F(FirmwareHotplug, AScannerLeavingForItsLoaderIsNotReportedWhileAnotherOneIs) {
    SimProcess sim({{.com = 76, .driver = "qvs_vcom_"}, {.com = 78}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", sim.declaration() + ";COM77=" + sim.dir() + "/com77:qvs_vcom_");
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    ASSERT_EQ(count, 2);
    const auto indexOf = [&](int com) {
        for (int32_t i = 0; i < count; ++i) {
            if (list[i].SerialSettings.port_number == com) return static_cast<uint32_t>(i);
        }
        return 0u;
    };
    void* updated = qv_OpenDevice(list, indexOf(76), 0);
    void* other = qv_OpenDevice(list, indexOf(78), 0);
    ASSERT_NE(updated, nullptr);
    ASSERT_NE(other, nullptr);
    qv_SetCbDevStatusChanged(updated, OnStatus);
    qv_SetCbDevStatusChanged(other, OnStatus);
    ASSERT_EQ(sim.command("loader 76 reenum 300 77"), "OK");
    qvtest::TablePackage p;
    p.main = {{"kern", PatternBytes(3000, 9)}};
    const std::string file = Package("fw.nfp", qvtest::BuildTablePackage(p));

    qvtest::fw::UpdateRun r;
    std::thread update([&] { r = Update(updated, file); });
    ASSERT_TRUE(WaitFor([&] { return sim.command("loader 76 state").find("link=com77") != std::string::npos; }));
    ASSERT_EQ(sim.command("unplug 78 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return Status().size() == 1; }));
    ASSERT_EQ(sim.command("replug 78"), "OK");
    ASSERT_TRUE(WaitFor([&] { return Status().size() == 2; }));
    update.join();
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(sim.command("loader 76 blocks"), "OK 1");
    std::vector<std::pair<void*, int32_t>> expected = {{other, 0}, {other, 1}};
    EXPECT_EQ(Status(), expected);

    // Monitoring of the updated scanner is on again.
    ASSERT_TRUE(WaitFor([&] { return sim.command("loader 76 state").find("app") != std::string::npos; }));
    ASSERT_EQ(sim.command("unplug 76 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return Status().size() == 3; }));
    expected.push_back({updated, 0});
    EXPECT_EQ(Status(), expected);
    EXPECT_TRUE(qv_CloseDevice(&updated));
    EXPECT_TRUE(qv_CloseDevice(&other));
    qv_ReleaseDevices(&list);
}
