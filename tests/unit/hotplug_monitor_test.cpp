// The hot-plug monitor's runner over a device double: what it does on each
// change, in which order it calls the interface layer's hooks, and how it
// stops.
#include "transport/hotplug_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "hang_guard.h"
#include "test_env.h"
#include "transport/communication.h"

using namespace std::chrono_literals;
using qvtest::WaitFor;

namespace {

struct FakeDevice final : qv::HotplugDevice {
    std::string dir;
    std::atomic<bool> present{true};
    std::atomic<bool> lost{false};
    std::atomic<int> failReopens{0};
    std::atomic<int> reopens{0};
    std::atomic<int> drops{0};
    std::atomic<int>* liveCount = nullptr;
    std::atomic<int> asks{0};
    int presenceInterval = 0;

    ~FakeDevice() override {
        if (liveCount != nullptr) --*liveCount;
    }
    std::vector<std::string> WatchedPaths() override { return {dir + "/port"}; }
    bool Present() override {
        ++asks;
        return present;
    }
    bool Lost() override { return lost; }
    bool Reopen(int) override {
        ++reopens;
        if (failReopens > 0) {
            --failReopens;
            return false;
        }
        lost = false;
        return true;
    }
    void Drop() override { ++drops; }
    bool Cancelled() override { return false; }
    bool RetryOnNextLook() override { return false; }
    int PresenceIntervalMs() override { return presenceInterval; }
};

// What the hooks and the callback saw, in order.
std::mutex logMutex;
std::vector<std::string> calls;
std::atomic<bool> refuseEnter{false};
void Note(const std::string& what) {
    std::lock_guard<std::mutex> lock(logMutex);
    calls.push_back(what);
}
std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(logMutex);
    return calls;
}
size_t CountOf(const std::string& what) {
    size_t n = 0;
    for (auto& c : Calls()) n += c == what ? 1 : 0;
    return n;
}

bool HookEnter(T_DevicesInfo*) {
    Note("enter");
    return !refuseEnter;
}
void HookLeave(T_DevicesInfo*) { Note("leave"); }
void HookRestart(T_DevicesInfo*) { Note("listener"); }
void OnStatus(void*, int32_t s) { Note(s == 1 ? "back" : "gone"); }

class HotplugMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(logMutex);
            calls.clear();
        }
        refuseEnter = false;
        qv::HotplugHooks hooks;
        hooks.enterOpen = HookEnter;
        hooks.leaveOpen = HookLeave;
        hooks.restartListener = HookRestart;
        qv::SetHotplugHooks(hooks);
        qv::InitDeviceRecord(&record);
        auto d = std::make_unique<FakeDevice>();
        d->dir = tmp.path().string();
        device = d.get();
        monitor = std::make_unique<qv::HotplugMonitor>(&record, OnStatus, std::move(d), "test");
    }
    void TearDown() override {
        if (monitor) monitor->Stop();
        qv::SetHotplugHooks({});
    }
    // A change beside the watched path wakes the monitor at once.
    void Touch(const std::string& name) { std::ofstream(tmp.path() / name) << "x"; }

    qvtest::TempDir tmp{"qv_hotplug"};
    T_DevicesInfo record{};
    FakeDevice* device = nullptr;
    std::unique_ptr<qv::HotplugMonitor> monitor;
};

}  // namespace

TEST_F(HotplugMonitor, GoneThenBackWithTheHandleReenteredBeforeItsListenerRestarts) {
    record.isAsynRead = qv::kListenerReadError;
    monitor->Start();
    Touch("a");  // an event while online and present: nothing
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(Calls().empty());

    device->present = false;
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 1; }));
    EXPECT_FALSE(monitor->Online());
    Touch("b");  // a removal while offline: nothing
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(device->drops.load(), 1);

    device->present = true;
    ASSERT_TRUE(WaitFor([] { return CountOf("back") == 1; }));
    EXPECT_TRUE(monitor->Online());
    const std::vector<std::string> expected = {"leave", "gone", "enter", "listener", "back"};
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(device->reopens.load(), 1);

    // A port that lost its handle between two looks: gone, then back.
    device->lost = true;
    ASSERT_TRUE(WaitFor([] { return CountOf("back") == 2; }));
    EXPECT_EQ(CountOf("gone"), 2u);
}

TEST_F(HotplugMonitor, AfterSixFailedAttemptsOnlyALaterEventTriesAgain) {
    monitor->Start();
    device->failReopens = 100;
    device->present = false;
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 1; }));
    device->present = true;
    // The first attempt and five retries, one second apart.
    ASSERT_TRUE(WaitFor([&] { return device->reopens == 6; }, 8000));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(device->reopens.load(), 6);
    EXPECT_EQ(CountOf("back"), 0u);

    device->failReopens = 0;
    Touch("arrival");
    ASSERT_TRUE(WaitFor([] { return CountOf("back") == 1; }));
    EXPECT_EQ(device->reopens.load(), 7);
}

TEST_F(HotplugMonitor, StopsPromptlyDuringReopenRetries) {
    monitor->Start();
    device->failReopens = 100;
    device->present = false;
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 1; }));
    device->present = true;
    ASSERT_TRUE(WaitFor([&] { return device->reopens >= 1; }));
    auto start = std::chrono::steady_clock::now();
    {
        qvtest::HangGuard guard("stop during retries", 10s);
        monitor->Stop();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(monitor->Ended());
}

TEST_F(HotplugMonitor, AHandleThatIsBeingClosedIsNotReopenedForTheApplication) {
    monitor->Start();
    device->present = false;
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 1; }));
    refuseEnter = true;
    device->present = true;
    ASSERT_TRUE(WaitFor([&] { return monitor->Ended(); }));
    EXPECT_EQ(CountOf("back"), 0u);
    EXPECT_EQ(CountOf("listener"), 0u);
}

// A device whose presence is costly to ask is asked seldom while it is online
// and nothing happens, at once after a device event, and its lost stream is
// seen without asking.
TEST_F(HotplugMonitor, ACostlyPresenceIsAskedOnlyAfterEventsOrSeldom) {
    device->presenceInterval = 1000;
    monitor->Start();
    std::this_thread::sleep_for(600ms);
    EXPECT_LE(device->asks.load(), 1) << "about six looks, one question";
    device->present = false;
    Touch("removed");
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 1; }, 500));
    device->present = true;
    ASSERT_TRUE(WaitFor([] { return CountOf("back") == 1; }));
    device->lost = true;
    ASSERT_TRUE(WaitFor([] { return CountOf("gone") == 2; }, 500));
}
