// A listener callback may enumerate: while another thread enumerates (and so
// closes the callback's own handle and waits for its listener), and when two
// listeners' callbacks enumerate at the same time. Through the built library
// against simulated scanners, every wait under a hang guard.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "e2e_helpers.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::Bounded;
using qvtest::SimDevices;
using qvtest::WaitFor;

namespace {

// What one callback's enumeration did.
struct CallbackEnum {
    std::atomic<bool> entered{false};
    std::atomic<bool> go{false};       // set by the test when the callback may enumerate
    std::atomic<bool> returned{false};
    std::atomic<int32_t> count{-1};
};

CallbackEnum single;
void EnumerateWhenTold(void*, const char*, uint32_t) {
    if (single.entered.exchange(true)) return;
    while (!single.go.load()) std::this_thread::sleep_for(5ms);
    // By now the other thread's enumeration is closing this handle and
    // waiting for this listener.
    std::this_thread::sleep_for(300ms);
    int32_t count = 0;
    qv_EnumDevices(&count, QV_ENUM_COM);
    single.count = count;
    single.returned = true;
}

CallbackEnum pair[2];
std::atomic<int> pairEntered{0};
void* pairHandles[2] = {nullptr, nullptr};
void EnumerateTogether(void* h, const char*, uint32_t) {
    const int me = h == pairHandles[0] ? 0 : 1;
    if (pair[me].entered.exchange(true)) return;
    pairEntered++;
    // Both callbacks run before either enumerates.
    WaitFor([] { return pairEntered.load() == 2; }, 10000);
    int32_t count = 0;
    qv_EnumDevices(&count, QV_ENUM_COM);
    pair[me].count = count;
    pair[me].returned = true;
}

}  // namespace

TEST(CallbackEnumeration, WhileAnotherThreadEnumerates) {
    SimDevices d({{.com = 141}, {.com = 142}});
    ASSERT_EQ(d.count(), 2);
    void* h = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(141)), 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, EnumerateWhenTold);
    ASSERT_EQ(d.sim().command("emit 141 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return single.entered.load(); }));

    single.go = true;
    Bounded("qv_EnumDevices while a listener callback enumerates", 120000ms, [&] { d.Reenumerate(); });
    ASSERT_TRUE(WaitFor([] { return single.returned.load(); }, 120000));
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_CLOSED);

    // Whichever list was published last is the current one, and it works.
    Bounded("a last enumeration", 120000ms, [&] { d.Reenumerate(); });
    ASSERT_EQ(d.count(), 2);
    void* again = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(141)), 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(qv_SendCommand(again, "BEEPON", 6), QV_CMD_ACCEPTED);
    EXPECT_TRUE(qv_CloseDevice(&again));
}

TEST(CallbackEnumeration, TwoListenersWhoseCallbacksBothEnumerate) {
    SimDevices d({{.com = 143}, {.com = 144}});
    ASSERT_EQ(d.count(), 2);
    pairHandles[0] = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(143)), 0);
    pairHandles[1] = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(144)), 0);
    ASSERT_NE(pairHandles[0], nullptr);
    ASSERT_NE(pairHandles[1], nullptr);
    qv_SetListener(pairHandles[0], EnumerateTogether);
    qv_SetListener(pairHandles[1], EnumerateTogether);
    ASSERT_EQ(d.sim().command("emit 143 1"), "OK");
    ASSERT_EQ(d.sim().command("emit 144 1"), "OK");

    {
        qvtest::HangGuard guard("two callbacks that both enumerate", 120000ms);
        ASSERT_TRUE(WaitFor([] { return pair[0].returned.load() && pair[1].returned.load(); }, 119000));
    }
    for (void* h : pairHandles) {
        EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
        EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_CLOSED);
    }

    Bounded("a last enumeration", 120000ms, [&] { d.Reenumerate(); });
    ASSERT_EQ(d.count(), 2);
    for (int com : {143, 144}) {
        void* h = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(com)), 0);
        ASSERT_NE(h, nullptr) << com;
        EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);
        EXPECT_TRUE(qv_CloseDevice(&h));
    }
}
