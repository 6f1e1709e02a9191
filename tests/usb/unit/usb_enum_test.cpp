// Which USB interfaces qvds_enum_usb_devices lists, against fake sysfs trees
// read through libudev: the device-ID table's cases, the class of each
// interface, the limit of 255, interfaces held by another open, and
// malformed attributes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "platform/usb_devices.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/share_memory.h"

using qvtest::FakeUsbBed;

namespace {

struct Listed {
    std::string path;
    UsbDeviceDescriptor d;
};

std::vector<Listed> Enumerate() {
    std::unique_ptr<UsbDeviceDescriptor[]> table(new UsbDeviceDescriptor[QVDS_MAX_USB_DEVICES]());
    const int n = qvds_enum_usb_devices(table.get());
    std::vector<Listed> out;
    for (int i = 0; i < n; ++i) {
        Listed l;
        l.d = table[i];
        EXPECT_TRUE(qvds_descriptor_path(l.d, &l.path));
        out.push_back(l);
    }
    return out;
}

}  // namespace

TEST(UsbEnum, DeviceIdTableCases) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0022, 2, 1, "hidraw0", "");   // composite, interface 1: kind 3
    bed.AddHidScanner("1-2", 0x5EC7, 0x0022, 1, 0, "hidraw1", "");   // no interface part: no row
    bed.AddHidScanner("1-3", 0x5EC7, 0x5A10, 1, 0, "hidraw2", "");   // through the mask: kind 2
    bed.AddHidScanner("1-4", 0x6666, 0x0010, 1, 0, "hidraw3", "");   // kind 1 row on the HID class: nothing
    bed.AddHidScanner("1-5", 0x046D, 0xC31C, 1, 0, "hidraw4", "");   // a keyboard
    FakeUsbBed::UsbDevice vendor;
    vendor.port = "2-1";
    vendor.vid = 0x6666;
    vendor.pid = 0x0010;
    vendor.bus = 2;
    vendor.address = 5;
    bed.AddVendorInterface(bed.AddUsbDevice(vendor), 0);
    FakeUsbBed::UsbDevice vendorHidIds = vendor;
    vendorHidIds.port = "2-2";
    vendorHidIds.pid = 0x0022;  // a HID row's IDs on the vendor class: nothing
    vendorHidIds.vid = 0x5EC7;
    vendorHidIds.address = 6;
    vendorHidIds.interfaces = 2;
    bed.AddVendorInterface(bed.AddUsbDevice(vendorHidIds), 1);

    const std::vector<Listed> listed = Enumerate();
    ASSERT_EQ(listed.size(), 3u);
    // The vendor class is searched first.
    EXPECT_EQ(listed[0].path, "usb#vid_6666&pid_0010#2-1:1.0");
    EXPECT_EQ(listed[0].d.deviceKind, 1);
    EXPECT_EQ(listed[0].d.vid, 0x6666);
    EXPECT_EQ(listed[0].d.pid, 0x0010);
    EXPECT_EQ(listed[0].d.interfaceNumber, 0);
    EXPECT_EQ(listed[1].path, "hid#vid_5ec7&pid_0022&mi_01#1-1:1.1");
    EXPECT_EQ(listed[1].d.deviceKind, 3);
    EXPECT_EQ(listed[1].d.deviceKindCopy, 3);
    EXPECT_EQ(listed[1].d.interfaceNumber, 1);
    EXPECT_EQ(listed[1].d.spare, 0);
    EXPECT_EQ(listed[2].path, "hid#vid_5ec7&pid_5a10#1-3:1.0");
    EXPECT_EQ(listed[2].d.deviceKind, 2);
    EXPECT_EQ(listed[2].d.pid, 0x5A10);
    EXPECT_EQ(listed[2].d.path[listed[2].path.size()], 0) << "zero-terminated in the 501-unit field";
}

TEST(UsbEnum, AtMost255) {
    FakeUsbBed bed;
    for (int i = 0; i < 260; ++i) {
        bed.AddHidScanner("3-" + std::to_string(i + 1), 0x5EC7, 0x0010, 1, 0, "hidraw" + std::to_string(i), "");
    }
    EXPECT_EQ(Enumerate().size(), 255u);
    EXPECT_EQ(qvds_enum_usb_devices(nullptr), 0);
}

TEST(UsbEnum, InterfacesOthersHoldAreLeftOut) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "SN-HELD");
    bed.AddHidScanner("1-2", 0x5EC7, 0x0010, 1, 0, "hidraw1", "SN-FREE");
    bed.AddHidScanner("1-3", 0x5EC7, 0x0010, 1, 0, "hidraw2", "SN-EXCL");
    ASSERT_EQ(Enumerate().size(), 3u);

    // Another open holds SN-HELD: its serial number stands in ShareMemory.
    const int slot = qv::ShareMemoryRegister("SN-HELD");
    ASSERT_GE(slot, 0);
    // Another open holds hidraw2 exclusively: it cannot be opened shared.
    const int fd = open("/dev/hidraw2", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);

    std::vector<Listed> listed = Enumerate();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, "hid#vid_5ec7&pid_0010#1-2:1.0");
    // Within one process too: the table is not cleared by an enumeration.
    EXPECT_EQ(Enumerate().size(), 1u);

    close(fd);
    qv::ShareMemoryRelease(slot, "SN-HELD");
    EXPECT_EQ(Enumerate().size(), 3u);
}

TEST(UsbEnum, SerialNumbersLongerThanTheReadTakesCountAsNone) {
    FakeUsbBed bed;
    const std::string longSerial(120, 'S');
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", longSerial);
    bed.AddHidScanner("1-2", 0x5EC7, 0x0010, 1, 0, "hidraw1", std::string(49, 'T'));
    // A table holding the long text (as another writer might) excludes nothing:
    // the long serial number reads as none.
    ASSERT_GE(qv::ShareMemoryRegister(longSerial), 0);
    ASSERT_GE(qv::ShareMemoryRegister(std::string(49, 'T')), 0);
    const std::vector<Listed> listed = Enumerate();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, "hid#vid_5ec7&pid_0010#1-1:1.0");
    qvds_clear_share_memory();
}

TEST(UsbEnum, MalformedAttributesLeaveTheInterfaceOut) {
    FakeUsbBed bed;
    const std::string good = bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    auto addBroken = [&](const std::string& port, const std::string& node, auto tweak) {
        FakeUsbBed::UsbDevice d;
        d.port = port;
        d.address = 10 + static_cast<int>(node.back() - '0');
        FakeUsbBed::HidInterface h;
        tweak(d, h);
        h.device = bed.AddUsbDevice(d);
        h.node = node;
        bed.AddHidInterface(h);
    };
    addBroken("1-2", "hidraw1", [](auto&, auto& h) { h.hidProperties["HID_ID"] = "0003:5EC7:0010"; });
    addBroken("1-3", "hidraw2", [](auto&, auto& h) { h.dropHidId = true; });
    addBroken("1-4", "hidraw3", [](auto&, auto& h) { h.hidProperties["HID_ID"] = "0003:00005EC7:0001FFFF"; });
    addBroken("1-5", "hidraw4", [](auto&, auto& h) { h.interfaceAttributes["bInterfaceNumber"] = "zz"; });
    addBroken("1-6", "hidraw5", [](auto& d, auto&) { d.attributes["bNumInterfaces"] = "x2"; });
    addBroken("1-7", "hidraw6", [](auto& d, auto&) { d.attributes["bNumInterfaces"] = " 0"; });
    addBroken("1-8", "hidraw7", [](auto&, auto& h) { h.hidProperties["HID_ID"] = "0005:00005EC7:00000010"; });
    addBroken("1-9", "hidraw8", [](auto& d, auto&) { d.port = "1-9#x"; });
    addBroken(std::string(70, '7'), "hidraw9", [](auto&, auto&) {});
    const std::vector<Listed> listed = Enumerate();
    ASSERT_EQ(listed.size(), 1u) << "only the sound interface";
    EXPECT_EQ(listed[0].path, "hid#vid_5ec7&pid_0010#1-1:1.0");
    (void)good;
}

TEST(UsbEnum, PresenceOfAnInterfaceWhoeverHoldsIt) {
    FakeUsbBed bed;
    const std::string raw = bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "SN1");
    std::vector<Listed> listed = Enumerate();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(qv::platform::UsbSerialNumber(listed[0].path), "SN1");
    ASSERT_GE(qv::ShareMemoryRegister("SN1"), 0);
    EXPECT_TRUE(qvds_usb_present(&listed[0].d)) << "held by an open, still present";
    EXPECT_TRUE(Enumerate().empty());
    bed.Remove(raw);
    EXPECT_FALSE(qvds_usb_present(&listed[0].d));
    EXPECT_FALSE(qvds_usb_present(nullptr));
    qvds_clear_share_memory();
}
