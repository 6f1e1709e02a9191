// The identity exports and the handles they open: a too-short identity reply
// is no identity, and a temporary open for a query never closes a handle that
// another thread opened. Through the built library against simulated scanners.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::SimDevices;

TEST(IdentityByHandle, AReplyShorterThan29BytesIsNoIdentity) {
    // QRYSYS answers 02 01 "0000" '@' "QRYSYS" <id> 06 ';' 03: 16 bytes plus the id.
    SimDevices d({{.com = 121, .options = "id=ABCDEFGHIJKL"}, {.com = 122, .options = "id=ABCDEFGHIJKLM"}});
    ASSERT_EQ(d.count(), 2);
    for (int com : {121, 122}) {
        // A copy of the entry without its identity text, so the export asks the device.
        T_DevicesInfo record = d.list()[d.IndexOf(com)];
        std::memset(record.devInfo, 0, sizeof record.devInfo);
        void* h = qv_OpenDeviceForNati(&record, static_cast<uint32_t>(com), 0);
        ASSERT_NE(h, nullptr);
        T_DevInfo info;
        std::memset(&info, 0x55, sizeof info);
        const bool ok = qv_GetDeviceInfoByHandle(h, &info);
        if (com == 121) {
            EXPECT_FALSE(ok) << "a 28-byte reply was taken for an identity";
            EXPECT_STREQ(info.devInfo, "");
        } else {
            EXPECT_TRUE(ok) << "a 29-byte reply is an identity";
            EXPECT_STREQ(info.devInfo, "ABCDEFGHIJKLM");
            EXPECT_STREQ(qv_GetLastError(), "");
        }
        EXPECT_EQ(info.devType, QV_DEVTYPE_SERIAL);
        EXPECT_TRUE(qv_CloseDeviceForNati(&h));
    }
}

TEST(IdentityOpen, ATemporaryOpenNeverClosesAHandleAnotherThreadOpened) {
    SimDevices d({{.com = 123, .options = "base=Base Info Text"}});
    ASSERT_EQ(d.count(), 1);
    std::atomic<bool> stop{false};
    std::atomic<int> queries{0};
    // qv_GetBaseInfo opens the entry when it is not open, asks, and closes it
    // again; qv_GetDeviceInfo does the same for an entry without identity.
    std::thread asker([&] {
        std::vector<char> buf(256);
        while (!stop) {
            int32_t len = static_cast<int32_t>(buf.size());
            qv_GetBaseInfo(d.list(), 0, buf.data(), &len);
            queries++;
        }
    });
    // Meanwhile the application opens the same entry, uses it and closes it:
    // its handle must stay open until its own close.
    int lost = 0;
    int rounds = 0;
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end || rounds < 30) {
        void* h = qv_OpenDevice(d.list(), 0, 0);
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < 3; ++i) {
            if (qv_SendCommand(h, "BEEPON", 6) != QV_CMD_ACCEPTED) ++lost;
        }
        if (!qv_DeviceIsOpenByHandle(h)) ++lost;
        EXPECT_TRUE(qv_CloseDevice(&h));
        ++rounds;
    }
    stop = true;
    asker.join();
    EXPECT_EQ(lost, 0) << "in " << rounds << " rounds against " << queries.load() << " queries";
    EXPECT_GT(queries.load(), 0);
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
}
