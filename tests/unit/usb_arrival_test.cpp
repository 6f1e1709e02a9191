// Which device paths count as the same USB scanner coming back during a
// firmware update.
#include "portstream/usb_arrival.h"

#include <gtest/gtest.h>

TEST(UsbArrival, TheReferenceEndsWithTheProductId) {
    EXPECT_EQ(qv::UsbArrivalReference("hid#vid_5ec7&pid_1310#1-1:1.0"), "hid#vid_5ec7&pid_1310");
    EXPECT_EQ(qv::UsbArrivalReference("hid#vid_5ec7&pid_0022&mi_01#1-2:1.1"), "hid#vid_5ec7&pid_0022");
    EXPECT_EQ(qv::UsbArrivalReference("\\\\?\\hid#vid_5ec7&pid_1310#7&1a2b&0&0000#{4d1e55b2}"),
              "\\\\?\\hid#vid_5ec7&pid_1310");
}

TEST(UsbArrival, SameDeviceAnywhereUnderItsOwnOrItsUpdateModeProductId) {
    const std::string ref = qv::UsbArrivalReference("hid#vid_5ec7&pid_1310#1-1:1.0");
    EXPECT_TRUE(qv::UsbArrivalMatches(ref, "hid#vid_5ec7&pid_1310#1-1:1.0"));
    EXPECT_TRUE(qv::UsbArrivalMatches(ref, "hid#vid_5ec7&pid_1310#3-2:1.0")) << "another USB port";
    EXPECT_TRUE(qv::UsbArrivalMatches(ref, "hid#vid_5ec7&pid_1a10#1-1:1.0")) << "update mode";
    EXPECT_TRUE(qv::UsbArrivalMatches(ref, "HID#VID_5EC7&PID_1A10#1-1:1.0")) << "letter case";
    EXPECT_FALSE(qv::UsbArrivalMatches(ref, "hid#vid_5ec7&pid_1b10#1-1:1.0"));
    EXPECT_FALSE(qv::UsbArrivalMatches(ref, "hid#vid_5ec8&pid_1310#1-1:1.0"));
    // Back from update mode: the toggle works both ways.
    const std::string update = qv::UsbArrivalReference("hid#vid_5ec7&pid_1a10#1-1:1.0");
    EXPECT_TRUE(qv::UsbArrivalMatches(update, "hid#vid_5ec7&pid_1310#1-1:1.0"));
    // Only a product ID whose first digit is 1 has an update-mode twin.
    const std::string plain = qv::UsbArrivalReference("hid#vid_5ec7&pid_0310#1-1:1.0");
    EXPECT_FALSE(qv::UsbArrivalMatches(plain, "hid#vid_5ec7&pid_0a10#1-1:1.0"));
}
