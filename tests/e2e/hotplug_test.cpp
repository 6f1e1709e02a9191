// Unplug and replug of open COM scanners: the status callback tells the
// application, the handle works again on the same value, a listener that the
// unplug ended runs again by itself, and closes never hang on the monitor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_helpers.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::SimDevices;
using qvtest::WaitFor;

namespace {

// Status callbacks as they arrived, and the barcodes of the listener.
struct Events {
    std::mutex mutex;
    std::vector<std::pair<void*, int32_t>> status;
    std::string codes;
    void (*onStatus)(void* h, int32_t s) = nullptr;

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        status.clear();
        codes.clear();
        onStatus = nullptr;
    }
    size_t Count(void* h, int32_t s) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (auto& e : status) n += e.first == h && e.second == s ? 1 : 0;
        return n;
    }
    size_t Total() {
        std::lock_guard<std::mutex> lock(mutex);
        return status.size();
    }
    size_t Codes() {
        std::lock_guard<std::mutex> lock(mutex);
        return parse_sim_barcodes(codes).size();
    }
};

Events events;

void OnStatus(void* h, int32_t s) {
    {
        std::lock_guard<std::mutex> lock(events.mutex);
        events.status.emplace_back(h, s);
    }
    if (events.onStatus != nullptr) events.onStatus(h, s);
}

void OnData(void*, const char* p, uint32_t n) {
    std::lock_guard<std::mutex> lock(events.mutex);
    events.codes.append(p, n);
}

size_t CountEntries(const char* dir) {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it) ++n;
    return n;
}
size_t Threads() { return CountEntries("/proc/self/task"); }
size_t Descriptors() { return CountEntries("/proc/self/fd"); }

class Hotplug : public ::testing::Test {
protected:
    void SetUp() override { events.Reset(); }
    void TearDown() override { events.Reset(); }
};

}  // namespace

TEST_F(Hotplug, UnplugAndReplugOfAnOpenComScannerWithItsListener) {
    SimDevices d({{.com = 61}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, OnData);
    qv_SetCbDevStatusChanged(h, OnStatus);
    EXPECT_STREQ(qv_GetLastError(), "");
    ASSERT_EQ(d.sim().command("emit 61 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return events.Codes() == 1; }));

    ASSERT_EQ(d.sim().command("unplug 61 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 0) == 1; }));
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
    ASSERT_TRUE(WaitFor([&] {
        return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(h)->isAsynRead).load() == QV_LISTENER_READ_ERROR;
    }));
    EXPECT_EQ(events.Count(h, 1), 0u);

    ASSERT_EQ(d.sim().command("replug 61"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 1) == 1; }));
    EXPECT_TRUE(qv_DeviceIsOpenByHandle(h));
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    // The listener ended by the unplug delivers again without qv_SetListener.
    ASSERT_EQ(d.sim().command("emit 61 2"), "OK");
    ASSERT_TRUE(WaitFor([] { return events.Codes() == 3; }));
    EXPECT_EQ(events.Total(), 2u);

    // A quick unplug and replug that the monitor may only see through the
    // lost port: still gone, then back.
    ASSERT_EQ(d.sim().command("replug 61"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 1) == 2; }));
    EXPECT_EQ(events.Count(h, 0), 2u);
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Hotplug, EachMonitoredDeviceGetsItsOwnCallbacks) {
    SimDevices d({{.com = 62}, {.com = 63}});
    ASSERT_EQ(d.count(), 2);
    void* a = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(62)), 0);
    void* b = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(63)), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    qv_SetCbDevStatusChanged(a, OnStatus);
    qv_SetCbDevStatusChanged(a, OnStatus);  // a second start changes nothing
    qv_SetCbDevStatusChanged(b, OnStatus);

    ASSERT_EQ(d.sim().command("unplug 62 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(a, 0) == 1; }));
    ASSERT_EQ(d.sim().command("unplug 63 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(b, 0) == 1; }));
    ASSERT_EQ(d.sim().command("replug 63"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(b, 1) == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events.Count(a, 0), 1u) << "one device, one callback per change";
    EXPECT_EQ(events.Count(a, 1), 0u);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(a));
    EXPECT_EQ(qv_SendCommand(b, "BEEPON", 6), 1);

    // An offline handle is closed fully: its index opens afresh.
    EXPECT_TRUE(qv_CloseDevice(&a));
    EXPECT_EQ(a, nullptr);
    ASSERT_EQ(d.sim().command("replug 62"), "OK");
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(d.sim().path(62)); }));
    void* again = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(62)), 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(qv_SendCommand(again, "BEEPON", 6), 1);
    EXPECT_TRUE(qv_CloseDevice(&again));
    EXPECT_TRUE(qv_CloseDevice(&b));
}

TEST_F(Hotplug, FiveFailedReopensLeaveItOfflineAndALaterArrivalBringsItBack) {
    SimDevices d({{.com = 64}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetCbDevStatusChanged(h, OnStatus);
    ASSERT_EQ(d.sim().command("unplug 64 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 0) == 1; }));

    // Something that is a device but no serial port appears under the path:
    // every reopen fails.
    const std::string path = d.sim().path(64);
    ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0);
    std::this_thread::sleep_for(6500ms);
    EXPECT_EQ(events.Count(h, 1), 0u);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(h));
    ASSERT_EQ(::unlink(path.c_str()), 0);

    ASSERT_EQ(d.sim().command("replug 64"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 1) == 1; }));
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);

    // A close during the retries returns at once.
    ASSERT_EQ(d.sim().command("unplug 64 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 0) == 2; }));
    ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0);
    std::this_thread::sleep_for(1500ms);
    const auto start = std::chrono::steady_clock::now();
    {
        qvtest::HangGuard guard("close during reopen retries", 10s);
        EXPECT_TRUE(qv_CloseDevice(&h));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    ::unlink(path.c_str());
}

TEST_F(Hotplug, ClosingFromInsideTheStatusCallbackReturns) {
    SimDevices d({{.com = 65}});
    ASSERT_EQ(d.count(), 1);
    static void* handle = nullptr;
    static std::atomic<bool> closed{false};
    handle = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(handle, nullptr);
    closed = false;
    events.onStatus = [](void*, int32_t s) {
        if (s == 0) closed = qv_CloseDevice(&handle);
    };
    qv_SetCbDevStatusChanged(handle, OnStatus);
    qvtest::HangGuard guard("close from the status callback", 15s);
    ASSERT_EQ(d.sim().command("unplug 65 gone"), "OK");
    ASSERT_TRUE(WaitFor([] { return closed.load(); }));
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(d.sim().command("replug 65"), "OK");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events.Total(), 1u) << "a closed handle is not reopened";
}

TEST_F(Hotplug, FiftyPlugCyclesLeaveNoThreadOrDescriptorBehind) {
    SimDevices d({{.com = 66}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    const size_t threadsBefore = Threads();
    const size_t fdsBefore = Descriptors();
    qv_SetCbDevStatusChanged(h, OnStatus);
    ASSERT_TRUE(WaitFor([&] { return Threads() == threadsBefore + 1; }));
    const size_t fdsMonitored = Descriptors();
    for (size_t i = 1; i <= 50; ++i) {
        ASSERT_EQ(d.sim().command("unplug 66 gone"), "OK");
        ASSERT_TRUE(WaitFor([&] { return events.Count(h, 0) == i; })) << i;
        ASSERT_EQ(d.sim().command("replug 66"), "OK");
        ASSERT_TRUE(WaitFor([&] { return events.Count(h, 1) == i; })) << i;
    }
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    EXPECT_EQ(Threads(), threadsBefore + 1);
    EXPECT_EQ(Descriptors(), fdsMonitored);
    // A close during an unplug ends the monitor as well.
    ASSERT_EQ(d.sim().command("unplug 66 gone"), "OK");
    EXPECT_TRUE(qv_CloseDevice(&h));
    ASSERT_TRUE(WaitFor([&] { return Threads() <= threadsBefore - 1; })) << Threads() << " " << threadsBefore;
    EXPECT_LT(Descriptors(), fdsBefore);
}

TEST_F(Hotplug, ReleasingTheListClosesAnOfflineHandleFully) {
    SimDevices d({{.com = 69}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetCbDevStatusChanged(h, OnStatus);
    ASSERT_EQ(d.sim().command("unplug 69 gone"), "OK");
    ASSERT_TRUE(WaitFor([&] { return events.Count(h, 0) == 1; }));
    EXPECT_NE(qv_GetDevStatus(h), QV_STATUS_CLOSED);
    qv_ReleaseDevices(&d.listRef());
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_CLOSED);
    ASSERT_EQ(d.sim().command("replug 69"), "OK");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events.Total(), 1u) << "a closed handle is not reopened";
}
