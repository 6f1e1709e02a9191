// The library when memory runs out or a thread cannot be started: the exports
// return their failure value with "Memory allocation failed", a listener whose
// thread could not start leaves nothing behind, and the device works again
// once the shortage is over.
//
// This program replaces the global allocation functions: while a thread has
// run out of memory (OutOfMemory below), every allocation it makes fails, as
// it would when the heap is exhausted. Other threads are not affected.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "api/thread_start.h"
#include "core/log.h"
#include "e2e_helpers.h"
#include "fake_port_device.h"
#include "firmware/firmware_package.h"
#include "firmware_package_builder.h"
#include "portstream/qvds.h"
#include "quorvia.h"
#include "transport/stream_firmware_update.h"

namespace {
thread_local bool t_outOfMemory = false;
}  // namespace

// The replacements pair malloc with free; the compiler cannot tell that they
// replace the standard pair, and would warn about the mix.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    if (t_outOfMemory) throw std::bad_alloc();
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (t_outOfMemory) return nullptr;
    return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return ::operator new(n, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

#pragma GCC diagnostic pop


namespace {

using qvtest::SimDevices;
using qvtest::WaitFor;

constexpr const char* kNoMemory = "Memory allocation failed";

// Every allocation of this thread fails while the object lives.
class OutOfMemory {
public:
    OutOfMemory() { t_outOfMemory = true; }
    ~OutOfMemory() { t_outOfMemory = false; }
    OutOfMemory(const OutOfMemory&) = delete;
    OutOfMemory& operator=(const OutOfMemory&) = delete;
};

// Runs `fn` and ends the process when it has not returned within `limit`: a
// hung stop cannot be recovered. Only detects hangs.
void ExpectFinishes(const char* what, std::chrono::seconds limit, std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread worker([fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    if (finished.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " still blocked after " << limit.count() << " s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    worker.join();
}

std::mutex receivedMutex;
std::string received;

void Collect(void*, const char* data, uint32_t n) {
    std::lock_guard<std::mutex> lock(receivedMutex);
    received.append(data, n);
}

size_t CodesReceived(int com) {
    std::lock_guard<std::mutex> lock(receivedMutex);
    size_t n = 0;
    for (const SimBarcode& b : parse_sim_barcodes(received)) n += b.com == com ? 1 : 0;
    return n;
}

int32_t ListenerState(void* h) {
    return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(h)->isAsynRead).load();
}

uint64_t FramesSeen(SimProcess& sim, int com) {
    SimProcess::Stats st;
    return sim.stats(com, st) ? st.frames : ~0ull;
}

// Leaves a known failure text behind, so that a later check sees what the
// call under test wrote.
void KnownErrorText(void* h) {
    EXPECT_FALSE(qv_WriteAsHex(h, "7", false));
    ASSERT_STREQ(qv_GetLastError(), "Not hex characters");
}

// A listener started now delivers the next barcodes, and stops.
void ListenerWorks(SimDevices& d, void* h, int com) {
    const size_t before = CodesReceived(com);
    qv_SetListener(h, Collect);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(ListenerState(h), 2);
    ASSERT_EQ(d.sim().command("emit " + std::to_string(com) + " 2"), "OK");
    EXPECT_TRUE(WaitFor([&] { return CodesReceived(com) >= before + 2; })) << CodesReceived(com);
    ExpectFinishes("stopping the listener", std::chrono::seconds(10), [h] { qv_StopListener(h); });
    EXPECT_EQ(ListenerState(h), 3);
}

}  // namespace

TEST(OutOfMemory, LoggingDropsTheLineInsteadOfThrowing) {
    // A log line is written from cleanup paths too (catch handlers): it must
    // never throw, or the cleanup after it would be skipped.
    bool threw = false;
    {
        OutOfMemory oom;
        try {
            qv::WriteLog(qv::kLogFile, "%s %d a line that cannot be composed\n", "LoggingTest", 1);
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
}

TEST(OutOfMemory, ExportsFailWithTheMemoryErrorAndTheDeviceKeepsWorking) {
    SimDevices d({{.com = 71}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    const uint64_t framesBefore = FramesSeen(d.sim(), 71);

    // The command frame cannot be built: nothing is written.
    KnownErrorText(h);
    bool written = true;
    {
        OutOfMemory oom;
        written = qv_Write(h, "QRYSYS", 6, true);
    }
    EXPECT_FALSE(written);
    EXPECT_STREQ(qv_GetLastError(), kNoMemory);

    // The hex command cannot be decoded.
    KnownErrorText(h);
    char buf[256];
    int32_t len = sizeof buf;
    bool answered = true;
    {
        OutOfMemory oom;
        answered = qv_GetCommandResponse(h, "51 52 59 53 59 53", 17, buf, &len, 2000, true, true);
    }
    EXPECT_FALSE(answered);
    EXPECT_STREQ(qv_GetLastError(), kNoMemory);

    // The listener's book-keeping cannot be made: no listener, no thread.
    KnownErrorText(h);
    {
        OutOfMemory oom;
        qv_SetListener(h, Collect);
    }
    EXPECT_STREQ(qv_GetLastError(), kNoMemory);
    EXPECT_EQ(ListenerState(h), 1);

    // A command without memory is status 4 ("out of memory"), not "not written".
    int32_t status = -1;
    {
        OutOfMemory oom;
        status = qv_SendCommand(h, "BEEPON", 6);
    }
    EXPECT_EQ(status, QV_CMD_OTHER);
    {
        OutOfMemory oom;
        status = qv_SendCommandAsHex(h, "42 45 45 50 4f 4e", 17);
    }
    EXPECT_EQ(status, QV_CMD_OTHER);

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(FramesSeen(d.sim(), 71), framesBefore) << "nothing may reach the scanner";

    // Memory is back: the same handle works.
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    len = sizeof buf;
    EXPECT_TRUE(qv_GetCommandResponse(h, "51 52 59 53 59 53", 17, buf, &len, 2000, true, true));
    ListenerWorks(d, h, 71);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(OutOfMemory, AnOpenWithoutMemoryFailsWithTheMemoryError) {
    SimDevices d({{.com = 72}});
    ASSERT_EQ(d.count(), 1);
    EXPECT_FALSE(qv_Write(nullptr, "x", 1, false));
    ASSERT_STREQ(qv_GetLastError(), "Device is not open");
    void* h = nullptr;
    {
        OutOfMemory oom;
        h = qv_OpenDevice(d.list(), 0, 0);
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_STREQ(qv_GetLastError(), kNoMemory);
    EXPECT_EQ(qv_GetDevStatus(nullptr), QV_STATUS_OPEN_FAILED);
    // Memory is back: the entry opens.
    h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

namespace {

// How the start of the listener thread fails.
void RefuseThread() {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread not started");
}
void ExhaustMemory() { t_outOfMemory = true; }

}  // namespace

TEST(ListenerStart, ThreadThatCannotStartLeavesNoListenerBehind) {
    SimDevices d({{.com = 72}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);

    struct Way {
        const char* name;
        void (*hook)();
    };
    int emitted = 0;
    for (const Way& way : {Way{"the thread library refuses", RefuseThread},
                           Way{"memory runs out", ExhaustMemory}}) {
        SCOPED_TRACE(way.name);
        KnownErrorText(h);
        qv::thread_testing::SetBeforeThreadStart(way.hook);
        qv_SetListener(h, Collect);
        t_outOfMemory = false;
        qv::thread_testing::SetBeforeThreadStart(nullptr);
        EXPECT_STREQ(qv_GetLastError(), kNoMemory);
        EXPECT_EQ(ListenerState(h), 1) << "no listener runs";

        // Nothing listens: an unframed exchange gets its reply itself (with a
        // listener registered it would only be written).
        char reply[64];
        int32_t replyLen = sizeof reply;
        EXPECT_TRUE(qv_GetCommandResponse(h, "?", 1, reply, &replyLen, 2000, false, false));
        EXPECT_EQ(std::string(reply, static_cast<size_t>(std::max(replyLen, 0))), "!");

        // No listener took the barcodes: a poll gets them.
        ASSERT_EQ(d.sim().command("emit 72 1"), "OK");
        ++emitted;
        std::vector<char> code(0x100000);
        std::string polled;
        EXPECT_TRUE(WaitFor([&] {
            int32_t n = 0;
            if (!qv_GetCodeData(h, code.data(), &n, 300)) return false;
            polled.append(code.data(), static_cast<size_t>(n));
            return !parse_sim_barcodes(polled).empty();
        }));
        EXPECT_EQ(polled, sim_barcode_text(72, static_cast<uint64_t>(emitted)) + "\r\n");

        // Stopping finds nothing to wait for, and a listener can start again.
        ExpectFinishes("stopping a listener that never started", std::chrono::seconds(10),
                       [h] { qv_StopListener(h); });
        EXPECT_STREQ(qv_GetLastError(), "");
        ListenerWorks(d, h, 72);
        emitted += 2;
    }
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(EnumerationStart, ScansWhoseThreadCannotStartRunOnTheCallingThread) {
    SimProcess sim({{.com = 73}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", sim.declaration());
    int32_t count = -1;
    qv::thread_testing::SetBeforeThreadStart(RefuseThread);
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    qv::thread_testing::SetBeforeThreadStart(nullptr);
    ASSERT_EQ(count, 1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].SerialSettings.port_number, 73);
    EXPECT_NE(std::string(list[0].devInfo), "") << "the identity query ran too";
    qv_ReleaseDevices(&list);
}

TEST(OutOfMemory, FirmwarePackageThatCannotBeReadIntoMemoryGivesTwelve) {
    qvtest::TempDir dir("qv_fw_oom");
    qvtest::TablePackage p;
    p.main = {{"kern", qvtest::PatternBytes(5000, 1)}};
    const auto path = dir.path() / "fw.nfp";
    ASSERT_TRUE(qvtest::WriteBytes(path, qvtest::BuildTablePackage(p)));
    const std::u16string name = path.u16string();
    qv::firmware::PackageInfo info;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    int32_t rc = -1;
    {
        OutOfMemory oom;
        rc = qv::firmware::LoadFirmwarePackage(name.c_str(), &info, &bytes, &size);
    }
    EXPECT_EQ(rc, QV_FW_NO_MEMORY);
    EXPECT_FALSE(bytes);
    // The whole update over a port stream ends the same way, and works once
    // there is memory again.
    auto [dev, ctl] = qvtest::MakeFakePort();
    QvdsStream* stream = qvds_create();
    ASSERT_TRUE(qvds_open_device(stream, std::move(dev), QVDS_KIND_VENDOR, nullptr));
    {
        OutOfMemory oom;
        rc = qvds_update_firmware_file(stream, name.c_str(), nullptr);
    }
    EXPECT_EQ(rc, QV_FW_NO_MEMORY);
    EXPECT_TRUE(ctl->Writes().empty());
    qvds_destory(stream);
    EXPECT_EQ(qv::firmware::LoadFirmwarePackage(name.c_str(), &info, &bytes, &size), QV_FW_OK);
    EXPECT_EQ(size, qvtest::BuildTablePackage(p).size());
}
