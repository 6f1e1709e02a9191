// A firmware update of a USB (HID) scanner that drops off the bus when it
// takes the update switch, comes back as a port of the vendor's virtual COM
// bus while its loader runs, and comes back as itself when it is done: the
// update follows it both ways under umockdev and the blocks arrive byte for
// byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "fake_usb.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::FakeUsbBed;
using qvtest::WaitFor;

namespace {

// A HID scanner at port 1-1 (product ID 1310: its update-mode ID would be
// 1A10), played by a simulator of its own.
struct HidScanner {
    std::string device;
    std::unique_ptr<SimProcess> sim;

    void Plug(FakeUsbBed& bed, int address, uint16_t pid = 0x1310, const std::string& loader = "") {
        FakeUsbBed::UsbDevice d;
        d.port = "1-1";
        d.pid = pid;
        d.serial = "SN-FW";
        d.address = address;
        device = bed.AddUsbDevice(d);
        FakeUsbBed::HidInterface h;
        h.device = device;
        h.node = "hidraw" + std::to_string(address);
        bed.AddHidInterface(h);
        const int fd = bed.HandOverNode("/dev/" + h.node);
        sim = std::make_unique<SimProcess>(
            std::vector<SimProcess::Port>{{.com = 1, .options = "hidfd=" + std::to_string(fd) + ",id=Updated"}});
        close(fd);
        // A scanner that comes back for its loader runs it from the start.
        if (!loader.empty()) {
            for (const char* command : {"loader 1 enter", "loader 1 reenum 300"}) sim->command(command);
        }
        bed.Uevent(device, "add");
    }
    bool Off() { return sim->command("loader 1 state").find(" off") != std::string::npos; }
};

}  // namespace

TEST(UsbFirmware, AScannerThatComesBackAsAVirtualComPortAndBackIsUpdated) {
    FakeUsbBed bed;
    qvtest::TempDir dir("qv_usbfw");
    qvtest::ScopedEnv settings("QUORVIA_SETTINGS", (dir.path() / "settings.ini").string());
    HidScanner first;
    first.Plug(bed, 2);
    ASSERT_TRUE(first.sim->ok()) << first.sim->error();
    const std::string comeback = first.sim->dir() + "/com5";
    // The port it comes back as belongs to the vendor's virtual COM bus.
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", first.sim->declaration() + ";COM5=" + comeback + ":qvs_vcom_");
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_EQ(first.sim->command("loader 1 reenum 300 5"), "OK");

    qvtest::TablePackage p;
    p.main = {{"kern", qvtest::PatternBytes(3000, 11)}, {"appl", qvtest::PatternBytes(1500, 12)}};
    const std::string file = (dir.path() / "fw.nfp").string();
    ASSERT_TRUE(qvtest::WriteBytes(file, qvtest::BuildTablePackage(p)));

    // The bus as the scanner changes: its HID interface goes when the virtual
    // COM port has come, and comes back (a new node, played afresh) when the
    // COM port has gone again.
    HidScanner back;
    std::atomic<bool> followed{false};
    std::thread bus([&] {
        if (!WaitFor([&] { return std::filesystem::exists(comeback); }, 30000)) return;
        bed.Uevent(first.device, "remove");
        bed.Remove(first.device);
        if (!WaitFor([&] { return !std::filesystem::exists(comeback); }, 60000)) return;
        back.Plug(bed, 3);
        followed = true;
    });
    int32_t result = -99;
    bool ok = false;
    {
        qvtest::HangGuard guard("update of a re-enumerating USB scanner", 120s);
        ok = qv_UpdateKernelDevice(h, file.c_str(), 0, &result);
    }
    bus.join();
    EXPECT_TRUE(ok) << qv_GetLastError();
    EXPECT_EQ(result, QV_FW_OK);
    ASSERT_TRUE(followed.load());
    std::string info;
    EXPECT_EQ(qvtest::fw::SimBlock(*first.sim, 1, 0, dir.path(), &info), p.main[0].data) << info;
    EXPECT_EQ(qvtest::fw::SimBlock(*first.sim, 1, 1, dir.path(), &info), p.main[1].data) << info;
    // The handle works on with the scanner back on its own path.
    ASSERT_TRUE(back.sim->ok());
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED) << qv_GetLastError();
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
}

// The same scanner coming back under its update-mode product ID (1A10) for
// its loader, and under its own (1310) afterwards.
TEST(UsbFirmware, AScannerThatComesBackUnderItsUpdateModeProductIdAndBackIsUpdated) {
    FakeUsbBed bed;
    qvtest::TempDir dir("qv_usbfw");
    qvtest::ScopedEnv settings("QUORVIA_SETTINGS", (dir.path() / "settings.ini").string());
    HidScanner first;
    first.Plug(bed, 2);
    ASSERT_TRUE(first.sim->ok()) << first.sim->error();
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", first.sim->declaration());
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    ASSERT_EQ(first.sim->command("loader 1 reenum 300"), "OK");

    qvtest::TablePackage p;
    p.main = {{"kern", qvtest::PatternBytes(2500, 21)}};
    const std::string file = (dir.path() / "fw.nfp").string();
    ASSERT_TRUE(qvtest::WriteBytes(file, qvtest::BuildTablePackage(p)));

    HidScanner loader, back;
    std::atomic<bool> followed{false};
    std::thread bus([&] {
        if (!WaitFor([&] { return first.Off(); }, 30000)) return;
        bed.Uevent(first.device, "remove");
        bed.Remove(first.device);
        loader.Plug(bed, 3, 0x1A10, "loader");
        if (!WaitFor([&] { return loader.Off(); }, 60000)) return;
        bed.Uevent(loader.device, "remove");
        bed.Remove(loader.device);
        back.Plug(bed, 4);
        followed = true;
    });
    int32_t result = -99;
    bool ok = false;
    {
        qvtest::HangGuard guard("update of a USB scanner under its update-mode product ID", 120s);
        ok = qv_UpdateKernelDevice(h, file.c_str(), 0, &result);
    }
    bus.join();
    EXPECT_TRUE(ok) << qv_GetLastError();
    EXPECT_EQ(result, QV_FW_OK);
    ASSERT_TRUE(followed.load());
    std::string info;
    EXPECT_EQ(qvtest::fw::SimBlock(*loader.sim, 1, 0, dir.path(), &info), p.main[0].data) << info;
    ASSERT_TRUE(back.sim->ok());
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED) << qv_GetLastError();
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
}
