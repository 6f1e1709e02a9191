// QuorviaDemo --UpdateFirmware against a simulated scanner: the package at the
// demo's fixed path ./firmware/QuorviaFirmware.nfp, then a run without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "firmware_package_builder.h"
#include "sim_process.h"
#include "test_env.h"

namespace {

std::string RunDemoIn(const SimProcess& sim, const std::filesystem::path& dir) {
    ChildProcess demo({QV_DEMO_PATH, "--UpdateFirmware"},
                      {"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0",
                       "QUORVIA_SETTINGS=" + (dir / "settings.ini").string()},
                      dir.string());
    std::string out = demo.ReadAll(120000);
    EXPECT_EQ(demo.Wait(5000), 0) << out;
    return out;
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

TEST(DemoFirmware, UpdatesFromTheFixedPackagePath) {
    SimProcess sim({{.com = 91}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::TempDir dir("qv_demo_fw");
    std::filesystem::create_directory(dir.path() / "firmware");
    qvtest::TablePackage p;
    p.main = {{"appl", qvtest::PatternBytes(3000, 5)}};
    ASSERT_TRUE(qvtest::WriteBytes(dir.path() / "firmware" / "QuorviaFirmware.nfp", qvtest::BuildTablePackage(p)));

    std::string out = RunDemoIn(sim, dir.path());
    EXPECT_TRUE(Has(out, "status=0\nupdateError=0,succeed in updating the firmware\nThe firmware update is normal.\n"))
        << out;
    EXPECT_EQ(sim.command("loader 91 blocks"), "OK 1");

    // Without the package: the file cannot be opened.
    std::filesystem::remove_all(dir.path() / "firmware");
    out = RunDemoIn(sim, dir.path());
    EXPECT_TRUE(Has(out, "updateError=15,failed to update the firmware\n")) << out;
    EXPECT_FALSE(Has(out, "The firmware update is normal.")) << out;
}

}  // namespace
