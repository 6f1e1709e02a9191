// The listener: barcode data reaches the callback exactly once and in order,
// commands interleave with it, and it stops cleanly in every way it can.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "quorvia.h"

using qvtest::SimDevices;
using qvtest::WaitFor;

namespace {

// What the callbacks received, per handle.
struct Received {
    std::mutex mutex;
    std::map<void*, std::string> data;
    std::map<void*, int> calls;
    std::atomic<int> maxChunk{0};
    std::atomic<bool> zeroFollows{true};

    void Add(void* h, const char* p, uint32_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        data[h].append(p, n);
        calls[h]++;
        if (static_cast<int>(n) > maxChunk) maxChunk = static_cast<int>(n);
        if (p[n] != '\0') zeroFollows = false;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        data.clear();
        calls.clear();
        maxChunk = 0;
        zeroFollows = true;
    }
    std::string Of(void* h) {
        std::lock_guard<std::mutex> lock(mutex);
        return data[h];
    }
    size_t CodesOf(void* h) { return parse_sim_barcodes(Of(h)).size(); }
};

Received received;

void Collect(void* h, const char* p, uint32_t n) { received.Add(h, p, n); }

int32_t State(void* h) { return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(h)->isAsynRead).load(); }

// Handles are addresses: a test must not see what an earlier one received.
class Listener : public ::testing::Test {
protected:
    void SetUp() override { received.Reset(); }
};

}  // namespace

TEST_F(Listener, EveryBarcodeOnceInOrderWhileCommandsRunFromAnotherThread) {
    SimDevices d({{.com = 41}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, Collect);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(static_cast<T_DevicesInfo*>(h)->listener, &Collect);

    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0}, other{0};
    std::thread commander([&] {
        while (!stop) {
            int32_t r = qv_SendCommand(h, "BEEPON", 6);
            (r == 1 ? accepted : other)++;
        }
    });
    ASSERT_EQ(d.sim().command("emit 41 200 2"), "OK");
    ASSERT_TRUE(WaitFor([&] { return received.CodesOf(h) >= 200; }, 30000)) << received.CodesOf(h);
    stop = true;
    commander.join();

    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(received.Of(h)), 41, 1, 200, &why)) << why;
    EXPECT_GT(accepted.load(), 0);
    EXPECT_EQ(other.load(), 0);
    // No command reply leaked into the barcode data.
    EXPECT_EQ(received.Of(h).find('\x02'), std::string::npos);
    EXPECT_TRUE(received.zeroFollows);

    // Once the stop returns the loop is over: nothing more reaches the
    // callback, and what arrives later waits for the next reader.
    const size_t delivered = received.Of(h).size();
    qv_StopListener(h);
    EXPECT_EQ(State(h), 3);
    ASSERT_EQ(d.sim().command("emit 41 1"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(received.Of(h).size(), delivered) << "the callback was called after the stop";
    std::vector<char> code(0x100000);
    int32_t len = 0;
    ASSERT_TRUE(qv_GetCodeData(h, code.data(), &len, 1000));
    EXPECT_EQ(std::string(code.data(), static_cast<size_t>(len)), sim_barcode_text(41, 201) + "\r\n");
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Listener, StopCloseAndSecondStartEndTheLoop) {
    SimDevices d({{.com = 42}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);

    // Stopping without a listener is fine: nothing to wait for, and the
    // last error is emptied.
    EXPECT_FALSE(qv_WriteAsHex(h, "7", false));
    ASSERT_STREQ(qv_GetLastError(), "Not hex characters");
    qv_StopListener(h);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(State(h), 1);

    qv_SetListener(h, Collect);
    EXPECT_EQ(State(h), 2);
    qv_SetListener(h, Collect);  // the first loop ends before the second starts
    ASSERT_EQ(d.sim().command("emit 42 20"), "OK");
    ASSERT_TRUE(WaitFor([&] { return received.CodesOf(h) >= 20; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(received.Of(h)), 42, 1, 20, &why)) << why;

    // A close with a running listener stops it first.
    void* copy = h;
    EXPECT_TRUE(qv_CloseDevice(&h));
    EXPECT_EQ(qv_GetDevStatus(copy), 2);
}

TEST_F(Listener, CommandResponseWhileListeningOnlyWrites) {
    SimDevices d({{.com = 43}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, Collect);
    char buf[64];
    int32_t len = sizeof buf;
    // The unframed reply goes to the listener, and no length comes back here.
    ASSERT_TRUE(qv_GetCommandResponse(h, "?", 1, buf, &len, 1000, false, false));
    EXPECT_EQ(len, 0);
    ASSERT_TRUE(WaitFor([&] { return received.Of(h).find('!') != std::string::npos; }));
    // Framed exchanges still get their replies while the listener runs.
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false));
    EXPECT_GT(len, 16);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Listener, RefusalReadByTheListenerDoesNotAnswerTheNextCommand) {
    SimDevices d({{.com = 54}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, Collect);
    // A refused reply nobody waits for, then a barcode: once the barcode has
    // reached the callback, the listener has read (and set aside) the reply.
    const char frame[] = "\x02\x01" "0000@BEEPON\x15;\x03";
    const std::string nak(frame, sizeof frame - 1);
    ASSERT_EQ(d.sim().command("emitraw 54 " + sim_hex(nak + "MARK\r\n")), "OK");
    ASSERT_TRUE(WaitFor([&] { return received.Of(h).find("MARK") != std::string::npos; })) << sim_hex(received.Of(h));
    EXPECT_EQ(received.Of(h), "MARK\r\n") << "the reply is no barcode data";
    qv_StopListener(h);
    EXPECT_EQ(State(h), 3);
    // The scanner accepts the command: its own reply decides, not the old one.
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Listener, LargeBurstArrivesInChunksOfAtMost5120) {
    SimDevices d({{.com = 44}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += "0123456789ABCDEF";  // 16000 bytes at once
    qv_SetListener(h, Collect);
    ASSERT_EQ(d.sim().command("emitraw 44 " + sim_hex(burst)), "OK");
    ASSERT_TRUE(WaitFor([&] { return received.Of(h).size() >= burst.size(); }));
    EXPECT_EQ(received.Of(h), burst);
    EXPECT_LE(received.maxChunk.load(), 5120);
    EXPECT_TRUE(received.zeroFollows);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Listener, LoneZeroByteIsDropped) {
    SimDevices d({{.com = 45}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, Collect);
    ASSERT_EQ(d.sim().command("emitraw 45 00"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(d.sim().command("emit 45 1"), "OK");
    ASSERT_TRUE(WaitFor([&] { return received.CodesOf(h) == 1; }));
    EXPECT_EQ(received.Of(h), sim_barcode_text(45, 1) + "\r\n");
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST_F(Listener, UnplugEndsTheLoopWithTheReadErrorState) {
    SimDevices d({{.com = 46}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    qv_SetListener(h, Collect);
    ASSERT_EQ(d.sim().command("unplug 46"), "OK");
    ASSERT_TRUE(WaitFor([&] { return State(h) == 4; }));
    // The stop after a read error finds the loop already over.
    qv_StopListener(h);
    EXPECT_EQ(State(h), 4);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

namespace {

std::atomic<int> selfStopCalls{0};
void StopFromCallback(void* h, const char*, uint32_t) {
    selfStopCalls++;
    qv_StopListener(h);
}

std::atomic<int> selfCloseCalls{0};
std::atomic<bool> selfCloseResult{false};
std::atomic<bool> selfCloseDone{false};
void CloseFromCallback(void* h, const char*, uint32_t) {
    selfCloseCalls++;
    void* handle = h;
    selfCloseResult = qv_CloseDevice(&handle);
    selfCloseDone = true;
}

}  // namespace

TEST_F(Listener, CallbackMayStopOrCloseItsOwnDevice) {
    SimDevices d({{.com = 47}, {.com = 48}});
    ASSERT_EQ(d.count(), 2);
    void* a = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(47)), 0);
    void* b = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(48)), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    qv_SetListener(a, StopFromCallback);
    ASSERT_EQ(d.sim().command("emit 47 1"), "OK");
    ASSERT_TRUE(WaitFor([&] { return State(a) == 3; }));
    ASSERT_EQ(d.sim().command("emit 47 1"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(selfStopCalls.load(), 1);

    void* copy = b;
    qv_SetListener(b, CloseFromCallback);
    ASSERT_EQ(d.sim().command("emit 48 1"), "OK");
    ASSERT_TRUE(WaitFor([&] { return selfCloseDone.load(); }));
    EXPECT_EQ(qv_GetDevStatus(copy), 2);
    EXPECT_TRUE(selfCloseResult.load());
    EXPECT_EQ(selfCloseCalls.load(), 1);
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(copy));
    EXPECT_TRUE(qv_CloseDevice(&a));
}

TEST_F(Listener, SeveralDevicesFromSeveralThreads) {
    SimDevices d({{.com = 51}, {.com = 52}, {.com = 53}});
    ASSERT_EQ(d.count(), 3);
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int com : {51, 52, 53}) {
        workers.emplace_back([&, com] {
            void* h = qv_OpenDevice(d.list(), static_cast<uint32_t>(d.IndexOf(com)), 0);
            if (h == nullptr) {
                failures++;
                return;
            }
            qv_SetListener(h, Collect);
            for (int i = 0; i < 5; ++i) {
                if (qv_SendCommand(h, "BEEPON", 6) != 1) failures++;
                char buf[128];
                int32_t len = sizeof buf;
                if (!qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false)) failures++;
                T_DevInfo info;
                if (!qv_GetDeviceInfoByHandle(h, &info)) failures++;
                (void)qv_GetDevStatus(h);
                (void)qv_DeviceIsOpenByHandle(h);
            }
            if (d.sim().command("emit " + std::to_string(com) + " 10") != "OK") failures++;
            if (!WaitFor([&] { return received.CodesOf(h) >= 10; })) failures++;
            if (!check_sim_sequence(parse_sim_barcodes(received.Of(h)), com, 1, 10)) failures++;
            if (!qv_CloseDevice(&h)) failures++;
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
}
