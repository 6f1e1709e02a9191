#include "firmware_test_support.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "hang_guard.h"
#include "quorvia.h"

namespace qvtest::fw {

UpdateRun RunUpdate(void* handle, const std::string& file, std::chrono::milliseconds limit) {
    UpdateRun run;
    run.ms = Bounded("qv_UpdateKernelDevice", limit, [&] {
        run.ok = qv_UpdateKernelDevice(handle, file.c_str(), 0, &run.result);
        run.error = qv_GetLastError();
    });
    return run;
}

std::string SimBlock(SimProcess& sim, int com, int index, const std::filesystem::path& dir, std::string* info) {
    const std::filesystem::path file = dir / ("received-" + std::to_string(com) + "-" + std::to_string(index));
    const std::string reply =
        sim.command("loader " + std::to_string(com) + " block " + std::to_string(index) + " " + file.string());
    if (info != nullptr) *info = reply;
    if (reply.rfind("OK", 0) != 0) return {};
    return ReadBytes(file);
}

bool WaitForApplication(SimProcess& sim, int com) {
    const std::string command = "loader " + std::to_string(com) + " state";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (sim.command(command).rfind("OK app", 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<std::string> SimLoaderLog(SimProcess& sim, int com) {
    std::string reply = sim.command("loader " + std::to_string(com) + " log");
    std::vector<std::string> out;
    if (reply.rfind("OK ", 0) != 0) return out;
    std::stringstream in(reply.substr(3));
    std::string item;
    while (std::getline(in, item, '|')) out.push_back(item);
    return out;
}

FirmwareFixture::FirmwareFixture() {
    Settings("");
}

void FirmwareFixture::TearDown() {
    if (handle_ != nullptr) qv_CloseDevice(&handle_);
    sim_.reset();
}

void FirmwareFixture::OpenScanner(int com, const std::string& options) {
    sim_ = std::make_unique<SimDevices>(std::initializer_list<SimProcess::Port>{{.com = com, .options = options}});
    com_ = com;
    ASSERT_EQ(sim_->count(), 1) << sim_->sim().error();
    handle_ = qv_OpenDevice(sim_->list(), 0, 0);
    ASSERT_NE(handle_, nullptr);
}

std::string FirmwareFixture::Loader(const std::string& rest) {
    return Sim().command("loader " + std::to_string(com_) + " " + rest);
}

std::string FirmwareFixture::Package(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir_.path() / name;
    EXPECT_TRUE(WriteBytes(path, bytes));
    return path.string();
}

void FirmwareFixture::Settings(const std::string& lines) {
    const std::filesystem::path path = dir_.path() / "settings.ini";
    std::ofstream(path, std::ios::trunc) << "[main]\n" << lines;
    if (!settingsEnv_) settingsEnv_ = std::make_unique<ScopedEnv>("QUORVIA_SETTINGS", path.string());
}

void FirmwareFixture::ExpectBlocks(SimProcess& sim, int com, const std::vector<ExpectedBlock>& expected) {
    EXPECT_EQ(sim.command("loader " + std::to_string(com) + " blocks"), "OK " + std::to_string(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        std::string info;
        const std::string got = SimBlock(sim, com, static_cast<int>(i), dir_.path(), &info);
        EXPECT_NE(info.find("type=" + expected[i].fileType + " "), std::string::npos) << "block " << i << ": " << info;
        EXPECT_EQ(got.size(), expected[i].data.size()) << "block " << i;
        EXPECT_TRUE(got == expected[i].data) << "block " << i << " differs from the package";
    }
}

}  // namespace qvtest::fw
