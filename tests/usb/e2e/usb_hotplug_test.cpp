// Unplug and replug of an open USB (HID) scanner under umockdev: the poller
// sees the device go and come back by its path, the status callback tells
// the application, and the handle and its listener work again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "e2e_helpers.h"
#include "fake_usb.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::FakeUsbBed;
using qvtest::WaitFor;

namespace {

std::mutex g_mutex;
std::vector<std::pair<void*, int32_t>> g_status;
std::string g_heard;

void OnStatus(void* h, int32_t s) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status.emplace_back(h, s);
}
size_t StatusCount(void* h, int32_t s) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t n = 0;
    for (auto& e : g_status) n += e.first == h && e.second == s ? 1 : 0;
    return n;
}
void Heard(void*, const char* data, uint32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_heard.append(data, n);
}
size_t HeardCodes() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return parse_sim_barcodes(g_heard).size();
}

// One HID scanner at port 1-1, played by its own simulator. A device that
// comes back gets a new hidraw node (as it may on a real system: the number
// is the next free one), played by a new simulator.
struct PluggedScanner {
    std::string device;  // sysfs path of the USB device
    std::string hid;     // sysfs path of its hid interface
    std::unique_ptr<SimProcess> sim;

    void Plug(FakeUsbBed& bed, int address) {
        FakeUsbBed::UsbDevice d;
        d.port = "1-1";
        d.pid = 0x0010;
        d.serial = "SN-HOTPLUG";
        d.address = address;
        device = bed.AddUsbDevice(d);
        FakeUsbBed::HidInterface h;
        h.device = device;
        h.node = "hidraw" + std::to_string(address);
        hid = bed.AddHidInterface(h);
        const int fd = bed.HandOverNode("/dev/" + h.node);
        sim = std::make_unique<SimProcess>(
            std::vector<SimProcess::Port>{{.com = 1, .options = "hidfd=" + std::to_string(fd) + ",id=Hotplug"}});
        close(fd);
        bed.Uevent(device, "add");
    }
    void Unplug(FakeUsbBed& bed) {
        sim.reset();  // the node's other side closes: the host sees it go
        bed.Uevent(device, "remove");
        bed.Remove(device);
    }
};

}  // namespace

// A bound on each status change, far above its usual 0.5 s: it must hold
// under ThreadSanitizer with the whole suite running beside it.
constexpr int kStatusWaitMs = 30000;

TEST(UsbHotplug, UnplugAndReplugOfAnOpenHidScanner) {
    FakeUsbBed bed;
    PluggedScanner scanner;
    scanner.Plug(bed, 2);
    ASSERT_TRUE(scanner.sim->ok()) << scanner.sim->error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    qv_SetListener(h, Heard);
    qv_SetCbDevStatusChanged(h, OnStatus);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);

    scanner.Unplug(bed);
    ASSERT_TRUE(WaitFor([&] { return StatusCount(h, 0) == 1; }, kStatusWaitMs));
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
    scanner.Plug(bed, 3);
    ASSERT_TRUE(scanner.sim->ok()) << scanner.sim->error();
    ASSERT_TRUE(WaitFor([&] { return StatusCount(h, 1) == 1; }, kStatusWaitMs));
    EXPECT_TRUE(qv_DeviceIsOpenByHandle(h));
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);
    // The listener that the unplug ended runs again by itself.
    EXPECT_EQ(scanner.sim->command("emit 1 3"), "OK");
    ASSERT_TRUE(WaitFor([] { return HeardCodes() >= 3; }));

    // A close from another thread while the device is away returns.
    scanner.Unplug(bed);
    ASSERT_TRUE(WaitFor([&] { return StatusCount(h, 0) == 2; }, kStatusWaitMs));
    {
        qvtest::HangGuard guard("close of an unplugged, monitored USB scanner", 10s);
        EXPECT_TRUE(qv_CloseDevice(&h));
    }
    qv_ReleaseDevices(&list);
}

// The callback runs with no library lock held: closing its own handle from
// inside it (which stops and waits for monitors) returns.
TEST(UsbHotplug, ClosingFromInsideTheStatusCallbackReturns) {
    FakeUsbBed bed;
    PluggedScanner scanner;
    scanner.Plug(bed, 4);
    ASSERT_TRUE(scanner.sim->ok()) << scanner.sim->error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    static void* handle = nullptr;
    static std::atomic<bool> closed{false};
    handle = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(handle, nullptr) << qv_GetLastError();
    qv_SetCbDevStatusChanged(handle, [](void*, int32_t s) {
        if (s == 0) closed = qv_CloseDevice(&handle);
    });
    qvtest::HangGuard guard("close from the USB status callback", 15s);
    scanner.Unplug(bed);
    ASSERT_TRUE(WaitFor([] { return closed.load(); }));
    EXPECT_EQ(handle, nullptr);
    qv_ReleaseDevices(&list);
}
