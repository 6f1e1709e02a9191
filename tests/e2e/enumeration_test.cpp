// Enumeration, the device list and the identity exports, through the built
// library against simulated scanners on ptys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e_helpers.h"
#include "net_helpers.h"
#include "quorvia.h"

using qvtest::SimDevices;

TEST(Enumeration, BadFlagsAreRefusedAndTheCountIsLeftAlone) {
    int32_t count = 1234;
    EXPECT_EQ(qv_EnumDevices(&count, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(count, 1234);
    EXPECT_EQ(qv_EnumDevices(&count, 16), nullptr);
    EXPECT_EQ(count, 1234);
    EXPECT_EQ(qv_EnumDevices(nullptr, 1), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(Enumeration, NothingFoundIsAnEmptyListAndNoError) {
    ASSERT_TRUE(qvtest::PrivateNetwork());  // flags 15 include network discovery
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", "");
    int32_t count = 99;
    EXPECT_EQ(qv_EnumDevices(&count, 15), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(qv_GetLastError(), "");
}

TEST(Enumeration, ComPortsAtTwoLineSettingsWithTheirIdentity) {
    SimDevices d({{.com = 3, .options = "id=Scanner Three"},
                  {.com = 4, .baud = 9600, .stop = 2, .options = "id=Scanner Four"}});
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 2);
    T_DevicesInfo* list = d.list();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].deviceCount, 2);
    EXPECT_EQ(list[1].deviceCount, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].index, i);
        EXPECT_EQ(list[i].transportKind, 1);
        EXPECT_EQ(list[i].pOpenStream, nullptr);
        EXPECT_EQ(list[i].SerialSettings.databits, 8);
        // Records open 8N1 whatever the detection found.
        EXPECT_EQ(list[i].SerialSettings.stopbits, 0);
        EXPECT_EQ(list[i].SerialSettings.parity, 0);
    }
    EXPECT_EQ(list[0].SerialSettings.port_number, 3);
    EXPECT_EQ(list[0].SerialSettings.baudrate, 115200u);
    EXPECT_STREQ(list[0].devInfo, "Scanner Three");
    EXPECT_EQ(list[1].SerialSettings.port_number, 4);
    EXPECT_EQ(list[1].SerialSettings.baudrate, 9600u);
    // Records open with one stop bit: a scanner that understands frames only
    // with two stop bits does not answer the identity query.
    EXPECT_STREQ(list[1].devInfo, "");
    EXPECT_STREQ(qv_GetLastError(), "");

    // Identity of a listed entry, and truncated base information.
    T_DevInfo info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_TRUE(qv_GetDeviceInfo(list, 0, &info));
    EXPECT_STREQ(info.devInfo, "Scanner Three");
    EXPECT_EQ(info.devType, 1);
    EXPECT_FALSE(qv_GetDeviceInfo(list, 2, &info));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(Enumeration, UsbVirtualComSeenTwiceIsListedOnceAfterThePlainComPorts) {
    SimDevices d({{.com = 5, .driver = "serial", .options = "id=Plain Five"},
                  {.com = 6, .driver = "usbser", .options = "id=Virtual Six"}},
                 QV_ENUM_COM | QV_ENUM_USB_VCOM);
    ASSERT_TRUE(d.sim().ok()) << d.sim().error();
    ASSERT_EQ(d.count(), 2);
    // Kept COM ports first, then the USB virtual COM ports.
    EXPECT_STREQ(d.list()[0].devInfo, "Plain Five");
    EXPECT_EQ(d.list()[0].SerialSettings.port_number, 5);
    EXPECT_STREQ(d.list()[1].devInfo, "Virtual Six");
    EXPECT_EQ(d.list()[1].SerialSettings.port_number, 6);
    EXPECT_EQ(d.list()[0].deviceCount, 2);
    EXPECT_EQ(d.list()[1].index, 1);

    // Flag 2 alone lists only the USB virtual COM port.
    d.Reenumerate(QV_ENUM_USB_VCOM);
    ASSERT_EQ(d.count(), 1);
    EXPECT_EQ(d.list()[0].SerialSettings.port_number, 6);
    EXPECT_EQ(d.list()[0].SerialSettings.baudrate, 115200u);
}

TEST(Enumeration, FailedIdentityQueriesCompareEqualInTheMerge) {
    SimProcess sim({{.com = 7, .driver = "serial"}, {.com = 8, .driver = "usbser"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("status 7 QRYSYS silent"), "OK");
    ASSERT_EQ(sim.command("status 8 QRYSYS silent"), "OK");
    qvtest::ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM | QV_ENUM_USB_VCOM);
    // Both COM-port entries have the same (empty) identity as the virtual COM
    // entry, so both are dropped.
    ASSERT_EQ(count, 1);
    EXPECT_EQ(list[0].SerialSettings.port_number, 8);
    EXPECT_STREQ(list[0].devInfo, "");

    // The identity is asked for when it is missing, and kept in the entry.
    ASSERT_EQ(sim.command("status 8 QRYSYS ack"), "OK");
    T_DevInfo info{};
    ASSERT_TRUE(qv_GetDeviceInfo(list, 0, &info));
    EXPECT_EQ(std::string(info.devInfo).rfind("QuorviaSim", 0), 0u) << info.devInfo;
    EXPECT_STREQ(list[0].devInfo, info.devInfo);
    EXPECT_FALSE(qv_DeviceIsOpenByList(list, 0));  // opened for the query, closed again
    qv_ReleaseDevices(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(Enumeration, BaseInfoIsCutToTheCapacityAndItsLengthReported) {
    SimDevices d({{.com = 9, .options = "base=BASE:0123456789ABCDEF"}});
    ASSERT_EQ(d.count(), 1);
    // The reply is 02 01 "0000" '@' "BASQSY" <value> 06 ';' 03.
    const std::string value = "BASE:0123456789ABCDEF";
    const int32_t replyLen = static_cast<int32_t>(13 + value.size() + 3);

    std::vector<char> buf(256, 'x');
    int32_t len = 256;
    qv_GetBaseInfo(d.list(), 0, buf.data(), &len);
    EXPECT_STREQ(buf.data(), value.c_str());
    EXPECT_EQ(len, replyLen - 29);

    std::vector<char> small(8, 'x');
    len = 8;
    qv_GetBaseInfo(d.list(), 0, small.data(), &len);
    EXPECT_EQ(std::string(small.data()), value.substr(0, 7));

    len = 0;
    qv_GetBaseInfo(d.list(), 0, buf.data(), &len);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    qv_GetBaseInfo(d.list(), 0, nullptr, &len);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(Enumeration, SecondEnumerationClosesTheFirstListsHandles) {
    SimDevices d({{.com = 10}});
    ASSERT_EQ(d.count(), 1);
    T_DevicesInfo* first = d.list();
    void* h = qv_OpenDevice(first, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(qv_DeviceIsOpenByHandle(h));
    EXPECT_EQ(first[0].pOpenStream, static_cast<T_DevicesInfo*>(h)->pOpenStream);

    d.Reenumerate();
    ASSERT_EQ(d.count(), 1);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
    EXPECT_EQ(qv_GetDevStatus(h), 2);
    // Handles and entries of the released list are refused, not used.
    char buf[16];
    EXPECT_FALSE(qv_Write(h, "QRYSYS", 6, true));
    EXPECT_STREQ(qv_GetLastError(), "Device is not open");
    EXPECT_EQ(qv_Read(h, buf, sizeof buf, 10), 0);
    T_DevInfo info{};
    EXPECT_FALSE(qv_GetDeviceInfoByHandle(h, &info));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");

    // The new list works.
    void* h2 = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h2, nullptr);
    ASSERT_TRUE(qv_GetDeviceInfoByHandle(h2, &info));
    EXPECT_EQ(info.devType, 1);
    EXPECT_TRUE(qv_CloseDevice(&h2));
}

TEST(Enumeration, ReleaseClosesEverythingAndForgetsTheList) {
    SimDevices d({{.com = 11}, {.com = 12}});
    ASSERT_EQ(d.count(), 2);
    T_DevicesInfo* list = d.list();
    void* a = qv_OpenDevice(list, 0, 0);
    void* b = qv_OpenDevice(list, 1, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    T_DevicesInfo* copy = list;
    qv_ReleaseDevices(&d.listRef());
    EXPECT_EQ(d.list(), nullptr);
    EXPECT_EQ(qv_GetDevStatus(a), 2);
    EXPECT_EQ(qv_GetDevStatus(b), 2);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(a));
    // The released list's pointer is no longer a list.
    EXPECT_EQ(qv_OpenDevice(copy, 0, 0), nullptr);
    T_DevInfo info{};
    EXPECT_FALSE(qv_GetDeviceInfo(copy, 0, &info));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    // Releasing again, or a null, changes nothing.
    qv_ReleaseDevices(&copy);
    qv_ReleaseDevices(nullptr);
    EXPECT_STREQ(qv_GetLastError(), "");
}

TEST(Enumeration, SilentPortIsNotListed) {
    SimDevices d({{.com = 13}, {.com = 14, .options = "mode=silent"}});
    ASSERT_TRUE(d.sim().ok());
    ASSERT_EQ(d.count(), 1);
    EXPECT_EQ(d.list()[0].SerialSettings.port_number, 13);
}
