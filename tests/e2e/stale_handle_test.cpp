// Handles and streams never alias: a closed handle stays refused while other
// devices are opened and closed, and a stale stream pointer left in a list
// entry never takes over a stream another open is creating. Through the built
// library against simulated scanners; the scanners' own counters prove that a
// stale handle never reached another device.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "quorvia.h"

using qvtest::SimDevices;

namespace {

const char* const kInvalid = "Invalid input parameters";

uint64_t Received(SimProcess& sim, int com) {
    SimProcess::Stats st;
    return sim.stats(com, st) ? st.rx : ~0ull;
}

uint64_t Frames(SimProcess& sim, int com) {
    SimProcess::Stats st;
    return sim.stats(com, st) ? st.frames : ~0ull;
}

// Every export that takes a handle, called with a stale one: each refuses it
// with its documented failure. Single-threaded, so the error texts are ours.
void ExpectRefused(void* stale) {
    char buf[64];
    int32_t len = sizeof buf;
    EXPECT_FALSE(qv_Write(stale, "STALE", 5, true));
    EXPECT_STREQ(qv_GetLastError(), "Device is not open");
    EXPECT_FALSE(qv_WriteAsHex(stale, "53 54", true));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_EQ(qv_SendCommand(stale, "STALE", 5), QV_CMD_NOT_WRITTEN);
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_EQ(qv_SendCommandAsHex(stale, "53 54", 5), QV_CMD_NOT_WRITTEN);
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_FALSE(qv_GetCommandResponse(stale, "QRYSYS", 6, buf, &len, 100, true, false));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_EQ(qv_Read(stale, buf, sizeof buf, 10), 0);
    len = sizeof buf;
    EXPECT_FALSE(qv_GetCodeData(stale, buf, &len, 10));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    T_DevInfo info;
    EXPECT_FALSE(qv_GetDeviceInfoByHandle(stale, &info));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    qv_SetListener(stale, [](void*, const char*, uint32_t) {});
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_TRUE(qv_StopListener(stale));
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    qv_SetCbDevStatusChanged(stale, [](void*, int32_t) {});
    EXPECT_STREQ(qv_GetLastError(), kInvalid);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(stale));
    EXPECT_EQ(qv_GetDevStatus(stale), QV_STATUS_CLOSED);
    // Closing it again closes nothing.
    void* copy = stale;
    EXPECT_TRUE(qv_CloseDevice(&copy));
    copy = stale;
    EXPECT_TRUE(qv_CloseDeviceForNati(&copy));
}

}  // namespace

TEST(StaleHandles, AreRefusedAndNeverReachTheDeviceOpenedAfterThem) {
    SimDevices d({{.com = 131}, {.com = 132}});
    ASSERT_EQ(d.count(), 2);
    SimProcess& sim = d.sim();
    const uint32_t idx[2] = {static_cast<uint32_t>(d.IndexOf(131)), static_cast<uint32_t>(d.IndexOf(132))};
    const int com[2] = {131, 132};
    std::vector<void*> stale;
    for (int round = 0; round < 40; ++round) {
        const int a = round % 2;
        const int b = 1 - a;
        // Open a device, close it, and open the other one right after: the
        // freed record is what an allocator likes to hand out next.
        void* h = qv_OpenDevice(d.list(), idx[a], 0);
        ASSERT_NE(h, nullptr);
        stale.push_back(h);
        ASSERT_TRUE(qv_CloseDevice(&h));
        void* live = qv_OpenDevice(d.list(), idx[b], 0);
        ASSERT_NE(live, nullptr);

        const uint64_t before = Received(sim, com[b]);
        SCOPED_TRACE("round " + std::to_string(round));
        for (void* s : stale) {
            ASSERT_NE(s, live) << "a closed handle's address was handed out again in round " << round;
            ExpectRefused(s);
        }
        EXPECT_EQ(Received(sim, com[b]), before) << "a stale handle reached COM" << com[b];
        // The live handle is untouched by all that.
        EXPECT_TRUE(qv_DeviceIsOpenByHandle(live));
        EXPECT_EQ(qv_SendCommand(live, "BEEPON", 6), QV_CMD_ACCEPTED);
        stale.push_back(live);
        ASSERT_TRUE(qv_CloseDevice(&live));
        if (HasFailure()) break;
    }
}

TEST(StaleHandles, OpenCloseCyclesFromSeveralThreadsWithStaleHandlesAndListEntries) {
    const int coms[4] = {133, 134, 135, 136};
    SimDevices d({{.com = 133, .options = "id=Scanner 133"},
                  {.com = 134, .options = "id=Scanner 134"},
                  {.com = 135, .options = "id=Scanner 135"},
                  {.com = 136, .options = "id=Scanner 136"}});
    ASSERT_EQ(d.count(), 4);
    SimProcess& sim = d.sim();
    uint64_t framesBefore[4];
    for (int i = 0; i < 4; ++i) framesBefore[i] = Frames(sim, coms[i]);

    std::mutex staleMutex;
    std::vector<void*> stale;
    std::atomic<int> failures{0};
    std::atomic<int> legit[4] = {0, 0, 0, 0};  // frames each thread sent to its own scanner
    constexpr int kRounds = 60;

    auto worker = [&](int me) {
        std::mt19937 rng(static_cast<unsigned>(me) * 7919u + 1u);
        const uint32_t index = static_cast<uint32_t>(d.IndexOf(coms[me]));
        const std::string expected = std::string("\x02\x01" "0000@QRYSYSScanner ") + std::to_string(coms[me]) + "\x06;\x03";
        for (int round = 0; round < kRounds; ++round) {
            void* h = qv_OpenDevice(d.list(), index, 0);
            if (h == nullptr) {
                failures++;
                continue;
            }
            // The handle talks to its own scanner and to no other.
            char buf[128];
            int32_t len = sizeof buf;
            legit[me]++;
            if (!qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false) ||
                std::string(buf, static_cast<size_t>(len)) != expected) {
                failures++;
            }
            // Stale handles of every thread are refused, whatever was opened since.
            std::vector<void*> sample;
            {
                std::lock_guard<std::mutex> lock(staleMutex);
                for (int k = 0; k < 4 && !stale.empty(); ++k) sample.push_back(stale[rng() % stale.size()]);
            }
            for (void* s : sample) {
                if (s == h) failures++;
                if (qv_Write(s, "STALE", 5, true)) failures++;
                if (qv_SendCommand(s, "STALE", 5) != QV_CMD_NOT_WRITTEN) failures++;
                if (qv_DeviceIsOpenByHandle(s)) failures++;
                void* copy = s;
                if (!qv_CloseDevice(&copy)) failures++;  // not open: nothing is closed
            }
            // Closed either way: qv_CloseDeviceForNati leaves the list entry's
            // stream pointer behind, stale, for the next open of the entry.
            void* copy = h;
            const bool closed = (round % 2 == 0) ? qv_CloseDevice(&h) : qv_CloseDeviceForNati(&h);
            if (!closed) failures++;
            std::lock_guard<std::mutex> lock(staleMutex);
            stale.push_back(copy);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(worker, i);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    // No stale write ever arrived anywhere: each scanner saw exactly its own
    // thread's queries.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Frames(sim, coms[i]), framesBefore[i] + legit[i].load()) << coms[i];
    for (void* s : stale) EXPECT_EQ(qv_GetDevStatus(s), QV_STATUS_CLOSED);
}

TEST(StaleHandles, OneListEntryOpenedThroughBothOpensFromTwoThreads) {
    // qv_OpenDevice opens the entry by index, qv_OpenDeviceForNati opens the
    // entry itself under another key: both read the entry and write its stream
    // pointer back, and qv_CloseDeviceForNati leaves that pointer behind,
    // stale. The port is one, so at most one of them has it at a time.
    SimDevices d({{.com = 137, .options = "id=Scanner 137"}});
    ASSERT_EQ(d.count(), 1);
    T_DevicesInfo* entry = &d.list()[0];
    const std::string expected = std::string("\x02\x01" "0000@QRYSYSScanner 137\x06;\x03");
    std::atomic<int> opened{0};
    std::atomic<int> failures{0};
    auto cycle = [&](bool byIndex) {
        for (int round = 0; round < 40; ++round) {
            void* h = byIndex ? qv_OpenDevice(d.list(), 0, 0) : qv_OpenDeviceForNati(entry, 900, 0);
            if (h == nullptr) continue;  // the other thread has the port
            opened++;
            char buf[128];
            int32_t len = sizeof buf;
            if (!qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false) ||
                std::string(buf, static_cast<size_t>(len)) != expected) {
                failures++;
            }
            if (!(byIndex ? qv_CloseDevice(&h) : qv_CloseDeviceForNati(&h))) failures++;
        }
    };
    std::thread a(cycle, true);
    std::thread b(cycle, false);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(opened.load(), 0);
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
    // The entry still opens, whatever stale pointer it was left with.
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);
    EXPECT_TRUE(qv_CloseDevice(&h));
}
