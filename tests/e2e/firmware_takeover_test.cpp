// The update takes the port over: a running listener neither steals the
// loader's bytes nor runs during the update, and runs again afterwards;
// another thread's command waits for the update; two updates of one handle
// run one after the other; a close issued during an update waits for it,
// then closes. And a scanner on the vendor's virtual COM bus that comes back
// as another COM port for its loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "firmware_package_builder.h"
#include "firmware_test_support.h"
#include "hang_guard.h"
#include "quorvia.h"

using namespace std::chrono_literals;
using qvtest::Bounded;
using qvtest::PatternBytes;
using qvtest::SimDevices;
using qvtest::WaitFor;
using qvtest::fw::FirmwareFixture;
using qvtest::fw::RunUpdate;
using qvtest::fw::SimLoaderLog;

namespace {

// Barcode text the listener received, from every callback.
struct Heard {
    static inline std::mutex mutex;
    static inline std::string text;
    static inline std::atomic<int> calls{0};
    static void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        text.clear();
        calls = 0;
    }
    static void Callback(void*, const char* data, uint32_t length) {
        std::lock_guard<std::mutex> lock(mutex);
        text.append(data, length);
        ++calls;
    }
    static std::string Text() {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }
};

class TakeoverTest : public FirmwareFixture {
protected:
    void Open(int com) { OpenScanner(com); }
    std::string Nfp(size_t blockBytes = 4000) {
        qvtest::TablePackage p;
        p.main = {{"kern", PatternBytes(blockBytes, 21)}, {"appl", PatternBytes(blockBytes, 22)}};
        blocks_ = {{"kern", p.main[0].data}, {"appl", p.main[1].data}};
        return Package("fw.nfp", qvtest::BuildTablePackage(p));
    }
    // Upgrade mode: "@Exit" ends it, so the application answers right after.
    std::string Bin(size_t blockBytes) {
        qvtest::BinPackage p;
        p.blocks = {{"kern", PatternBytes(blockBytes, 23)}, {"appl", PatternBytes(blockBytes, 24)}};
        blocks_ = {{"kern", p.blocks[0].data}, {"appl", p.blocks[1].data}};
        return Package("fw.bin", qvtest::BuildBinPackage(p));
    }
    // The listener thread writes the state while the test reads it.
    int32_t ListenerState() const {
        return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(handle_)->isAsynRead).load();
    }

    std::vector<qvtest::fw::ExpectedBlock> blocks_;
};

TEST_F(TakeoverTest, ListenerStealsNothingAndRunsAgainAfterwards) {
    Open(71);
    Heard::Reset();
    qv_SetListener(handle_, Heard::Callback);
    ASSERT_EQ(sim_->sim().command("emit 71 3"), "OK");
    ASSERT_TRUE(WaitFor([] { return parse_sim_barcodes(Heard::Text()).size() == 3; })) << Heard::Text();

    const auto r = Update(handle_, Nfp());
    // Had the listener read any of the loader's '<', '*' or '^', the update
    // would have failed.
    EXPECT_TRUE(r.ok) << r.error;
    ExpectBlocks(sim_->sim(), 71, blocks_);
    // The listener heard nothing of the loader protocol.
    EXPECT_EQ(Heard::Text().find_first_of("<*^"), std::string::npos) << Heard::Text();

    EXPECT_EQ(ListenerState(), QV_LISTENER_RUNNING);
    ASSERT_TRUE(qvtest::fw::WaitForApplication(sim_->sim(), 71));
    ASSERT_EQ(sim_->sim().command("emit 71 2"), "OK");
    ASSERT_TRUE(WaitFor([] { return parse_sim_barcodes(Heard::Text()).size() == 5; })) << Heard::Text();
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(Heard::Text()), 71, 1, 5, &why)) << why;
    EXPECT_TRUE(qv_StopListener(handle_));
}

TEST_F(TakeoverTest, NoListenerBeforeMeansNoneAfter) {
    Open(72);
    const auto r = Update(handle_, Nfp(1000));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(ListenerState(), QV_LISTENER_IDLE);
}

TEST_F(TakeoverTest, AnotherThreadsCommandWaitsForTheUpdate) {
    Open(73);
    const std::string file = Bin(20000);
    std::atomic<bool> updateDone{false};
    std::thread updater([&] {
        const auto r = RunUpdate(handle_, file);
        EXPECT_TRUE(r.ok) << r.error;
        updateDone = true;
    });
    ASSERT_TRUE(WaitFor([&] { return qv_GetDevStatus(handle_) == QV_STATUS_UPDATE_BEGIN; }, 10000));
    char reply[256] = {};
    int32_t len = sizeof reply;
    bool ok = false;
    Bounded("a command during an update", 60000ms, [&] {
        ok = qv_GetCommandResponse(handle_, "QRYSYS", 6, reply, &len, 2000, true, false);
    });
    // It ran after the update, not inside it: the scanner had every block
    // by the time the command was answered.
    EXPECT_EQ(sim_->sim().command("loader 73 blocks"), "OK 2");
    updater.join();
    EXPECT_TRUE(ok) << qv_GetLastError();
    EXPECT_NE(std::string(reply).find("QRYSYS"), std::string::npos);
    EXPECT_TRUE(updateDone);
    ExpectBlocks(sim_->sim(), 73, blocks_);
}

TEST_F(TakeoverTest, TwoUpdatesOfOneHandleRunOneAfterTheOther) {
    Open(74);
    const std::string file = Bin(6000);
    qvtest::fw::UpdateRun a, b;
    std::thread first([&] { a = RunUpdate(handle_, file); });
    std::thread second([&] { b = RunUpdate(handle_, file); });
    first.join();
    second.join();
    EXPECT_TRUE(a.ok) << a.error;
    EXPECT_TRUE(b.ok) << b.error;
    // Two whole runs, one after the other: the loader saw each block twice,
    // each run beginning with its own switch.
    ExpectBlocks(sim_->sim(), 74, {blocks_[0], blocks_[1], blocks_[0], blocks_[1]});
    const auto log = SimLoaderLog(sim_->sim(), 74);
    EXPECT_EQ(std::count(log.begin(), log.end(), "~upGrade~"), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), "@Exit"), 2);
}

TEST_F(TakeoverTest, CloseDuringAnUpdateWaitsForItThenCloses) {
    Open(75);
    const std::string file = Nfp(30000);
    qvtest::fw::UpdateRun r;
    void* handle = handle_;
    std::thread updater([&] { r = RunUpdate(handle, file); });
    ASSERT_TRUE(WaitFor([&] { return qv_GetDevStatus(handle) == QV_STATUS_UPDATE_BEGIN; }, 10000));
    std::this_thread::sleep_for(100ms);
    bool closed = false;
    Bounded("a close during an update", 120000ms, [&] { closed = qv_CloseDevice(&handle_); });
    // When the close returns, the update has run to its end: the scanner has
    // every block.
    EXPECT_EQ(sim_->sim().command("loader 75 blocks"), "OK 2");
    updater.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(handle_, nullptr);
    // The update was not cut short.
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, QV_FW_OK);
    EXPECT_EQ(qv_GetDevStatus(handle), QV_STATUS_CLOSED);
    ExpectBlocks(sim_->sim(), 75, blocks_);
}

// Listener callbacks that act on their own handle while an update comes.
struct CallbackActs {
    static inline std::atomic<void*> handle{nullptr};
    static inline std::atomic<int> calls{0};
    static inline std::atomic<bool> entered{false};
    static inline std::atomic<bool> closed{false};
    static inline std::atomic<int32_t> updateResult{-99};
    static inline std::atomic<bool> updateOk{false};
    static inline std::string file;
    static void Reset(void* h) {
        handle = h;
        calls = 0;
        entered = false;
        closed = false;
        updateResult = -99;
        updateOk = false;
    }
    // Closes its own handle, late enough for an update to be waiting for this
    // very callback to end.
    static void CloseOwnHandle(void*, const char*, uint32_t) {
        if (entered.exchange(true)) return;
        std::this_thread::sleep_for(400ms);
        void* h = handle.load();
        closed = qv_CloseDevice(&h);
    }
    // Updates its own handle from inside the callback (first call only).
    static void UpdateOwnHandle(void* h, const char*, uint32_t) {
        if (calls++ != 0) return;
        int32_t result = -99;
        updateOk = qv_UpdateKernelDevice(h, file.c_str(), 0, &result);
        updateResult = result;
    }
};

TEST_F(TakeoverTest, ListenerCallbackThatClosesItsHandleWhileAnUpdateBeginsDoesNotDeadlock) {
    Open(78);
    const std::string file = Nfp(1000);
    CallbackActs::Reset(handle_);
    qv_SetListener(handle_, CallbackActs::CloseOwnHandle);
    ASSERT_EQ(sim_->sim().command("emit 78 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return CallbackActs::entered.load(); }));
    // The update stops the listener (waiting for the callback), the callback
    // closes the handle meanwhile: both must end.
    const auto r = RunUpdate(handle_, file, 30000ms);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.result, QV_FW_BAD_ARGUMENTS);  // the handle was gone by then
    EXPECT_TRUE(WaitFor([] { return CallbackActs::closed.load(); }));
    EXPECT_EQ(SimLoaderLog(sim_->sim(), 78), std::vector<std::string>{});
    handle_ = nullptr;  // closed by the callback
}

TEST_F(TakeoverTest, UpdateFromTheListenersOwnCallback) {
    Open(79);
    CallbackActs::file = Bin(2000);
    CallbackActs::Reset(handle_);
    qv_SetListener(handle_, CallbackActs::UpdateOwnHandle);
    ASSERT_EQ(sim_->sim().command("emit 79 1"), "OK");
    ASSERT_TRUE(WaitFor([] { return CallbackActs::updateResult.load() != -99; }, 60000));
    EXPECT_TRUE(CallbackActs::updateOk);
    EXPECT_EQ(CallbackActs::updateResult, QV_FW_OK);
    ExpectBlocks(sim_->sim(), 79, blocks_);
    // The listener runs on: the next barcode reaches the callback.
    ASSERT_TRUE(qvtest::fw::WaitForApplication(sim_->sim(), 79));
    ASSERT_EQ(sim_->sim().command("emit 79 1"), "OK");
    EXPECT_TRUE(WaitFor([] { return CallbackActs::calls.load() >= 2; }));
    EXPECT_EQ(ListenerState(), QV_LISTENER_RUNNING);
}

// A scanner on the vendor's virtual COM bus re-enumerates for its loader as
// another COM port and comes back as its own port afterwards.
TEST_F(TakeoverTest, VirtualComScannerComesBackAsAnotherPort) {
    SimProcess sim({{.com = 76, .driver = "qvs_vcom_"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string declaration = sim.declaration() + ";COM77=" + sim.dir() + "/com77:qvs_vcom_";
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", declaration);
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(sim.command("loader 76 reenum 300 77"), "OK");
    const std::string file = Nfp(3000);
    const auto r = RunUpdate(h, file);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(sim.command("loader 76 blocks"), "OK 2");
    const auto log = SimLoaderLog(sim, 76);
    EXPECT_NE(std::find(log.begin(), log.end(), "~upDate~"), log.end());
    // The handle works on, on the scanner's own port again.
    EXPECT_TRUE(WaitFor([&] { return sim.command("loader 76 state").find("app") != std::string::npos; }));
    char reply[256] = {};
    int32_t len = sizeof reply;
    EXPECT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
    EXPECT_NE(sim.command("loader 76 state").find("link=com76"), std::string::npos);
    qv_CloseDevice(&h);
    qv_ReleaseDevices(&list);
}

}  // namespace
