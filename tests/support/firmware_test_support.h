// Shared by the firmware update tests: a fixture with a directory for
// packages and a settings file of its own, the update run under a hang guard,
// and the blocks quorvia-sim's loader received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "sim_process.h"
#include "test_env.h"

namespace qvtest::fw {

struct UpdateRun {
    bool ok = false;
    int32_t result = -99;
    std::string error;  // the last-error text right after the call
    long long ms = 0;
};

// Runs qv_UpdateKernelDevice; a call that does not end within `limit` ends
// the test program (a hang).
UpdateRun RunUpdate(void* handle, const std::string& file, std::chrono::milliseconds limit = std::chrono::minutes(3));

struct ExpectedBlock {
    std::string fileType;  // what "!FileType:" carried
    std::string data;
};

// The loader's received block `index` of port `com`, fetched through a file.
std::string SimBlock(SimProcess& sim, int com, int index, const std::filesystem::path& dir, std::string* info);

// Waits until the simulated scanner runs its application again (it leaves
// its loader by itself half a second after the last block); false after 10 s.
bool WaitForApplication(SimProcess& sim, int com);

// The loader's log of port `com`, split at '|'.
std::vector<std::string> SimLoaderLog(SimProcess& sim, int com);

class FirmwareFixture : public ::testing::Test {
protected:
    FirmwareFixture();
    // Closes the handle of OpenScanner and ends its simulator.
    void TearDown() override;
    // One simulated scanner on COM `com` (with extra port options),
    // enumerated and opened into handle_.
    void OpenScanner(int com, const std::string& options = "");
    SimProcess& Sim() { return sim_->sim(); }
    // `loader <com> <rest>` for the scanner of OpenScanner.
    std::string Loader(const std::string& rest);
    std::vector<std::string> Log() { return SimLoaderLog(Sim(), com_); }
    // Writes `bytes` as the package `name` in the test's directory; returns its path.
    std::string Package(const std::string& name, const std::string& bytes);
    // Lines of section [main] of the settings file the library reads.
    void Settings(const std::string& lines);
    UpdateRun Update(void* handle, const std::string& file) { return RunUpdate(handle, file); }
    // The blocks the loader received equal `expected`, in order and byte for byte.
    void ExpectBlocks(SimProcess& sim, int com, const std::vector<ExpectedBlock>& expected);

    TempDir dir_{"qv_fw"};
    std::unique_ptr<ScopedEnv> settingsEnv_;
    std::unique_ptr<SimDevices> sim_;
    int com_ = 0;
    void* handle_ = nullptr;
};

}  // namespace qvtest::fw
