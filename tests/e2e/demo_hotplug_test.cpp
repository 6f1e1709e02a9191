// QuorviaDemo --SetCbDevStatusChanged against a simulated scanner that is
// pulled out and put back in while the demo reads from it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "child_process.h"
#include "net_helpers.h"
#include "sim_process.h"

namespace {

// The demo enumerates with flags 15, network discovery included.
class PrivateNetworkOnly : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(qvtest::PrivateNetwork()); }
};
::testing::Environment* const kPrivateNetworkOnly = ::testing::AddGlobalTestEnvironment(new PrivateNetworkOnly);

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST(DemoHotplug, TellsWhenTheScannerIsPulledOutAndPutBackWhileReading) {
    SimProcess sim({{.com = 67}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess demo({QV_DEMO_PATH, "--SetCbDevStatusChanged"},
                      {"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0"}, QV_TEST_RUN_DIR,
                      ChildProcess::Input::kNull);
    std::string seen;
    ASSERT_TRUE(demo.WaitForLine("status=0", 60000, &seen)) << seen;
    ASSERT_EQ(sim.command("emit 67 1"), "OK");
    ASSERT_TRUE(demo.WaitForLine("receivedData=" + sim_barcode_text(67, 1), 10000, &seen)) << seen;
    EXPECT_TRUE(Has(seen, "nRet=15, receivedData=")) << seen;

    ASSERT_EQ(sim.command("unplug 67 gone"), "OK");
    ASSERT_TRUE(demo.WaitForLine(", device is pushed out", 10000, &seen)) << seen;
    ASSERT_EQ(sim.command("replug 67"), "OK");
    ASSERT_TRUE(demo.WaitForLine(", device is pushed in", 10000, &seen)) << seen;
    ASSERT_EQ(sim.command("emit 67 1"), "OK");
    ASSERT_TRUE(demo.WaitForLine("receivedData=" + sim_barcode_text(67, 2), 10000, &seen)) << seen;

    ASSERT_TRUE(demo.Signal(SIGTERM));
    std::string rest;
    ASSERT_TRUE(demo.WaitForLine("all over", 20000, &rest)) << rest;
    EXPECT_TRUE(Has(rest, "succeed in closing the device")) << rest;
    EXPECT_EQ(demo.Wait(5000), 0) << rest;
}
