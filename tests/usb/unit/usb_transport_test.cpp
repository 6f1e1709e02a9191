// The USB transport on fake HID nodes: its registries, the read time-out, and
// a close that never frees a record the hot-plug poller still reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/errors.h"
#include "fake_usb.h"
#include "hang_guard.h"
#include "portstream/qvds.h"
#include "transport/usb_communication.h"

using namespace std::chrono_literals;
using qvtest::FakeUsbBed;

namespace {

// A transport whose enumeration found the bed's one HID scanner.
struct OneScanner {
    OneScanner(FakeUsbBed& bed, uint16_t pid, int interfaces, int interfaceNumber) {
        bed.AddHidScanner("1-1", 0x5EC7, pid, interfaces, interfaceNumber, "hidraw0", "");
        list = t.EnumDevices(&count);
    }
    qv::CUsbCommunication t;
    int32_t count = 0;
    T_DevicesInfo* list = nullptr;
};

}  // namespace

TEST(UsbTransport, OpenRegistersAndCloseFreesTheRecord) {
    FakeUsbBed bed;
    OneScanner one(bed, 0x0010, 1, 0);
    ASSERT_EQ(one.count, 1);
    qv::CUsbCommunication& t = one.t;
    T_DevicesInfo* list = one.list;
    EXPECT_EQ(list[0].transportKind, QV_TRANSPORT_USB);
    const size_t before = qv::OpenUsbRecordCount();
    T_DevicesInfo* rec = t.OpenDevice(list, 0);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(list[0].pOpenStream, rec->pOpenStream) << "the entry learns the new stream";
    EXPECT_EQ(std::memcmp(&rec->UsbDeviceDescriptor, &list[0].UsbDeviceDescriptor, sizeof(UsbDeviceDescriptor)), 0);
    EXPECT_EQ(qv::OpenUsbRecordCount(), before + 1);

    EXPECT_FALSE(t.Write(rec, "x", 0)) << "length 0";
    EXPECT_STREQ(qv::LastErrorText(), qv::ErrorText(qv::kErrInvalidParam));
    // A silent device: a read with time-out 0 gives up after a little more than 2 s.
    char buf[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(t.Read(rec, buf, sizeof buf, 0), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2000ms);
    EXPECT_LT(took, 10s);

    ASSERT_TRUE(t.CloseDevice(&rec));
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(qv::OpenUsbRecordCount(), before);
    T_DevicesInfo* none = nullptr;
    EXPECT_TRUE(t.CloseDevice(&none));
    EXPECT_TRUE(t.CloseDevice(nullptr));
}

TEST(UsbTransport, AFailedOpenIsOpenUsbDeviceFailed) {
    FakeUsbBed bed;
    OneScanner one(bed, 0x0022, 2, 1);  // kind 3 on a pty node: FE 01 refused
    ASSERT_EQ(one.count, 1);
    T_DevicesInfo* list = one.list;
    EXPECT_EQ(one.t.OpenDevice(list, 0), nullptr);
    EXPECT_STREQ(qv::LastErrorText(), "Open usb device failed");
    EXPECT_EQ(list[0].pOpenStream, nullptr);
}

// The hot-plug poller reads the record of the device it watches (its path)
// in every cycle. A close must stop it, and wait for it, before the record is
// freed: a freed record's address faults.
TEST(UsbTransport, CloseWaitsForThePollerBeforeFreeingTheRecord) {
    FakeUsbBed bed;
    OneScanner one(bed, 0x0010, 1, 0);
    ASSERT_EQ(one.count, 1);
    qv::CUsbCommunication& t = one.t;
    T_DevicesInfo* rec = t.OpenDevice(one.list, 0);
    ASSERT_NE(rec, nullptr);
    ASSERT_TRUE(qv::UsbPollerBegin(rec));
    std::atomic<bool> inCycle{false};
    std::atomic<int> cycles{0};
    std::thread poller([&] {
        while (qv::UsbPollerWanted(rec)) {
            inCycle = true;
            std::this_thread::sleep_for(300ms);  // a cycle's enumeration
            // Compare the present devices with the record's path.
            volatile char16_t first = rec->UsbDeviceDescriptor.path[0];
            (void)first;
            ++cycles;
        }
        qv::UsbPollerEnd(rec);
    });
    while (!inCycle) std::this_thread::sleep_for(1ms);
    {
        qvtest::HangGuard guard("close of a polled record", 20s);
        EXPECT_TRUE(t.CloseDevice(&rec));
    }
    poller.join();
    EXPECT_GE(cycles.load(), 1);
}

TEST(UsbTransport, StoppingAnUnwatchedRecordReturnsAtOnce) {
    qv::CUsbCommunication t;
    T_DevicesInfo record{};
    const auto start = std::chrono::steady_clock::now();
    t.StopCbDevStatusChanged(&record);
    t.StopCbDevStatusChanged(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(qv::UsbPollerBegin(&record)) << "only open USB records are polled";
}
