// The device-ID table, the kinds each interface class admits, the identity
// part of device paths and the path comparison with product-ID toggle.
#include <gtest/gtest.h>

#include <string>

#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/usb_device_table.h"
#include "quorvia.h"

using namespace qv;

namespace {

uint8_t KindOf(const std::string& path, UsbInterfaceClass cls) {
    const auto ids = ParseUsbPath(path, cls);
    return ids ? MatchDeviceKind(*ids, cls) : 0;
}

}  // namespace

TEST(DeviceIdTable, RowsAndGroupsAsSpecified) {
    ASSERT_EQ(std::size(kDeviceIdGroups), 5u);
    const size_t counts[5] = {6, 14, 28, 1, 4};
    for (size_t g = 0; g < 5; ++g) EXPECT_EQ(kDeviceIdGroups[g].count, counts[g]) << "group " << g + 1;
    // Groups 1 to 4 admit kinds 1, 2 and 3; group 5 only kind 1.
    for (size_t g = 0; g < 4; ++g) EXPECT_EQ(kDeviceIdGroups[g].kindMask, 0x0Eu);
    EXPECT_EQ(kDeviceIdGroups[4].kindMask, 0x02u);
    EXPECT_EQ(UsbClassKindMask(kUsbClassVendor), (1u << 1) | (1u << 6));
    EXPECT_EQ(UsbClassKindMask(kUsbClassHid), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5));
    for (const DeviceIdGroup& group : kDeviceIdGroups) {
        for (size_t i = 0; i < group.count; ++i) {
            EXPECT_EQ(group.rows[i].pidHigh, 0) << "every row matches exactly on the masked PID";
            EXPECT_EQ(group.rows[i].hasInterface != 0, group.rows[i].kind == 3);
        }
    }
}

TEST(DeviceIdTable, KindThreeNeedsInterfaceOne) {
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_0022&mi_01#1-1:1.1", kUsbClassHid), 3);
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_0022#1-1:1.0", kUsbClassHid), 0) << "without the interface part no row matches";
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_0022&mi_00#1-1:1.0", kUsbClassHid), 0) << "interface 0 is not interface 1";
    EXPECT_EQ(KindOf("hid#vid_2dd6&pid_25a1&mi_01#3-2:1.1", kUsbClassHid), 3);
    EXPECT_EQ(KindOf("hid#vid_324f&pid_00f1&mi_01#3-2:1.1", kUsbClassHid), 3);
}

TEST(DeviceIdTable, MaskOfGroupOne) {
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_5a10#1-1:1.0", kUsbClassHid), 2) << "5A10 & 00FF = 0010";
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_5a22&mi_01#1-1:1.1", kUsbClassHid), 3);
    EXPECT_EQ(KindOf("usb#vid_5ec7&pid_ff01#1-1:1.0", kUsbClassVendor), 1);
    EXPECT_EQ(KindOf("hid#vid_03f0&pid_5a39#1-1:1.0", kUsbClassHid), 0) << "group 2 matches on the whole PID";
    EXPECT_EQ(KindOf("hid#vid_03f0&pid_5539#1-1:1.0", kUsbClassHid), 2);
}

TEST(DeviceIdTable, ClassesAdmitTheirKindsOnly) {
    EXPECT_EQ(KindOf("usb#vid_6666&pid_0010#1-1:1.0", kUsbClassVendor), 1);
    EXPECT_EQ(KindOf("hid#vid_6666&pid_0010#1-1:1.0", kUsbClassHid), 0) << "kind 1 on the HID class";
    EXPECT_EQ(KindOf("usb#vid_5ec7&pid_0010#1-1:1.0", kUsbClassVendor), 0) << "kind 2 on the vendor class";
    // Kinds 5, 6 and 7 are in the table but admitted by no class and group.
    EXPECT_EQ(KindOf("usb#vid_5ec7&pid_0002#1-1:1.0", kUsbClassVendor), 0) << "kind 6: not admitted by group 1";
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_0003#1-1:1.0", kUsbClassHid), 0) << "kind 5: not admitted by group 1";
    EXPECT_EQ(KindOf("usb#vid_6666&pid_0007#1-1:1.0", kUsbClassVendor), 0) << "kind 6: not admitted by group 5";
    EXPECT_EQ(KindOf("hid#vid_5ec7&pid_0006#1-1:1.0", kUsbClassHid), 0) << "kind 7: serial transport only";
    EXPECT_EQ(KindOf("usb#vid_6666&pid_0006#1-1:1.0", kUsbClassVendor), 1);
    EXPECT_EQ(KindOf("usb#vid_6666&pid_0009#1-1:1.0", kUsbClassVendor), 1);
    EXPECT_EQ(KindOf("usb#vid_03f0&pid_2b39#1-1:1.0", kUsbClassVendor), 1);
}

TEST(DeviceIdTable, FirstMatchingRowWins) {
    // Two rows of one group match the same device: the earlier one decides,
    // and a row the class does not admit is passed over.
    const DeviceIdEntry rows[] = {
        {0x1234, 0x00FF, 0x0042, 6, 0, 0, 0, 0},  // vendor class only, and not admitted by the group
        {0x1234, 0x00FF, 0x0042, 3, 0, 0, 0, 0},
        {0x1234, 0xFFFF, 0x0042, 2, 0, 0, 0, 0},
    };
    const DeviceIdGroup group[] = {{(1u << 1) | (1u << 2) | (1u << 3), rows, 3}};
    UsbPathIds ids;
    ids.vid = 0x1234;
    ids.pid = 0x0042;
    EXPECT_EQ(MatchDeviceKindIn(group, 1, ids, kUsbClassHid), 3);
    ids.pid = 0x7742;  // only the masked rows match now
    EXPECT_EQ(MatchDeviceKindIn(group, 1, ids, kUsbClassHid), 3);
    // A range row (PID high above PID low) matches within the range.
    const DeviceIdEntry range[] = {{0x1234, 0xFFFF, 0x0100, 2, 0, 0x0200, 0, 0}};
    const DeviceIdGroup rangeGroup[] = {{1u << 2, range, 1}};
    ids.pid = 0x0180;
    EXPECT_EQ(MatchDeviceKindIn(rangeGroup, 1, ids, kUsbClassHid), 2);
    ids.pid = 0x0201;
    EXPECT_EQ(MatchDeviceKindIn(rangeGroup, 1, ids, kUsbClassHid), 0);
}

TEST(UsbPath, IdentityPartIsParsedStrictly) {
    auto ids = ParseUsbPath("HID#VID_5EC7&PID_0022&MI_01#x", kUsbClassHid);
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vid, 0x5EC7);
    EXPECT_EQ(ids->pid, 0x0022);
    EXPECT_TRUE(ids->hasInterface);
    EXPECT_EQ(ids->interfaceNumber, 1);
    ids = ParseUsbPath("usb#vid_6666&pid_0010&rest", kUsbClassVendor);
    ASSERT_TRUE(ids);
    EXPECT_FALSE(ids->hasInterface);
    for (const char* bad : {
             "hid#vid_5ec7&pid_0022",          // nothing after the identity
             "hid#vid_5ec&pid_0022#x",         // three digits
             "hid#vid_5ec7a&pid_0022#x",       // five digits
             "hid#vid_5eg7&pid_0022#x",        // not hex
             "hid#vid_5ec7&pid_0022&mi_1#x",   // one interface digit
             "hid#vid_5ec7&pid_0022&mi_011#x", // three interface digits
             "hid#vid_5ec7&pid_0022!x",        // wrong separator
             "hid#pid_0022&vid_5ec7#x",        // wrong order
             "usb#vid_5ec7&pid_0022#x",        // the other class
             "",
             "hid#",
         }) {
        EXPECT_FALSE(ParseUsbPath(bad, kUsbClassHid)) << bad;
    }
}

TEST(UsbPath, ComparisonWithProductIdToggle) {
    const std::string ref = "usb#vid_5ec7&pid_1301";
    EXPECT_TRUE(UsbPathMatchesWithToggle(ref, "USB#VID_5EC7&PID_1301#2-1:1.0")) << "a prefix, any case";
    EXPECT_TRUE(UsbPathMatchesWithToggle(ref, "usb#vid_5ec7&pid_1a01#2-1:1.0")) << "3 toggles to A";
    EXPECT_TRUE(UsbPathMatchesWithToggle("usb#vid_5ec7&pid_1a01", "usb#vid_5ec7&pid_1301#x")) << "and A to 3";
    EXPECT_TRUE(UsbPathMatchesWithToggle("usb#vid_5ec7&pid_1A01", "usb#vid_5ec7&pid_1301#x"));
    EXPECT_FALSE(UsbPathMatchesWithToggle(ref, "usb#vid_5ec7&pid_1b01#x"));
    EXPECT_FALSE(UsbPathMatchesWithToggle("usb#vid_5ec7&pid_1501", "usb#vid_5ec7&pid_1a01#x"))
        << "only 3 and A toggle";
    EXPECT_FALSE(UsbPathMatchesWithToggle("usb#vid_5ec7&pid_2301", "usb#vid_5ec7&pid_2a01#x"))
        << "the tail must begin with PID_1";
    EXPECT_FALSE(UsbPathMatchesWithToggle("usb#vid_5ec7&pid_1301&mi_00", "usb#vid_5ec7&pid_1a01&mi_00#x"))
        << "the PID must be the last 8 characters";
    const std::string longRef = std::string(250, 'x') + "pid_1301";  // 258 characters: no toggle
    EXPECT_FALSE(UsbPathMatchesWithToggle(longRef, std::string(250, 'x') + "pid_1a01"));
    EXPECT_TRUE(UsbPathMatchesWithToggle(longRef, longRef + "#more"));
    EXPECT_FALSE(UsbPathMatchesWithToggle("pid_13", "pid_1a")) << "shorter than 8 characters";
}

TEST(UsbPath, DescriptorFieldHoldsAtMost500Units) {
    UsbDeviceDescriptor d{};
    EXPECT_TRUE(qvds_set_descriptor_path(&d, std::string(500, 'a')));
    std::string back;
    ASSERT_TRUE(qvds_descriptor_path(d, &back));
    EXPECT_EQ(back, std::string(500, 'a'));
    EXPECT_FALSE(qvds_set_descriptor_path(&d, std::string(501, 'b'))) << "no room for the zero";
    ASSERT_TRUE(qvds_descriptor_path(d, &back));
    EXPECT_EQ(back, std::string(500, 'a')) << "a path that does not fit leaves the field alone";
    // Non-ASCII text is carried as UTF-16 and back.
    EXPECT_TRUE(qvds_set_descriptor_path(&d, "hid#\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_EQ(d.path[4], u'\u00E9');
    EXPECT_EQ(d.path[5], 0xD83D);
    ASSERT_TRUE(qvds_descriptor_path(d, &back));
    EXPECT_EQ(back, "hid#\xC3\xA9\xF0\x9F\x98\x80");
    for (const char* bad : {"\xC3", "\xC3\x28", "\xED\xA0\x80", "\xC0\x80", "\xF8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(qvds_set_descriptor_path(&d, bad)) << "invalid UTF-8";
    }
    // A field without its zero, or with a broken surrogate pair, holds no path.
    for (auto& u : d.path) u = u'a';
    EXPECT_FALSE(qvds_descriptor_path(d, &back));
    d.path[0] = 0xDC00;
    d.path[1] = 0;
    EXPECT_FALSE(qvds_descriptor_path(d, &back));
    d.path[0] = 0xD800;
    d.path[1] = u'a';
    d.path[2] = 0;
    EXPECT_FALSE(qvds_descriptor_path(d, &back));
    d.path[500] = 0xD800;  // a high surrogate in the last unit
    for (int i = 0; i < 500; ++i) d.path[i] = u'a';
    EXPECT_FALSE(qvds_descriptor_path(d, &back));
}

TEST(UsbPath, CompareOnDescriptorTexts) {
    EXPECT_TRUE(qvds_usb_path_compare(u"usb#vid_5ec7&pid_1301", u"usb#vid_5ec7&pid_1A01#9-9:1.0"));
    EXPECT_FALSE(qvds_usb_path_compare(u"usb#vid_5ec7&pid_1301", u"usb#vid_5ec7&pid_1b01"));
    EXPECT_FALSE(qvds_usb_path_compare(nullptr, u"x"));
}
