// The port stream: one device, one reader thread that copies every received
// byte into a DataBuffer, synchronous writes.
//
// Locks and who waits for whom:
//   - the stream lock (recursive) guards the device, its kind and settings; a
//     writer holds it for a whole write, the reader only to close the device;
//     a caller may hold it around its writes (qvds_lock, the firmware update);
//   - the device lock guards the device pointer alone, so a stop request can
//     wake the reader, and a cancel a blocked writer, while a writer holds the
//     stream lock;
//   - the control lock guards the reader's requests and acknowledgements.
// Nobody waits for the reader while holding the stream lock: the reader needs
// that lock to close the device, so such a wait could never end. A stop asked
// for by a thread that holds the lock (a write that failed inside a caller's
// qvds_lock) gives every level of it up while it waits and takes them back
// afterwards. Every wait for the reader also ends when the reader thread is
// not (or no longer) running.
//
// A cancel (qvds_cancel, when the handle that owns the stream is being closed)
// takes only the device lock and the receive buffer's lock, both held briefly
// by everyone: it wakes every blocked read wait and a blocked device write,
// and keeps later reads and writes from waiting until the next open.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log.h"
#include "portstream/com_port_list.h"
#include "platform/address_space.h"
#include "platform/serial_port.h"
#include "portstream/data_buffer.h"
#include "portstream/qvds.h"
#include "portstream/settings_file.h"

using qv::platform::LineSettings;
using qv::platform::PortDevice;

namespace {

constexpr uint32_t kScratchSize = 64 * 1024;    // one plain read, one write chunk
constexpr uint32_t kHidReportSize = 64;         // HID input and output reports
constexpr uint32_t kHidOutPayload = 56;         // payload bytes of one output report
constexpr uint32_t kHidInPayloadMax = 62;       // payload bytes of one input report
constexpr uint8_t kHidInReportId = 0x02;
constexpr uint8_t kHidOutReportId = 0x04;
constexpr int32_t kDeviceWriteLimitMs = 1000;   // writes to USB/HID devices
constexpr int32_t kDefaultInterChunkMs = 20;
constexpr auto kFeatureSettle = std::chrono::milliseconds(50);
constexpr uint32_t kExchangeMaxPayload = 252;
constexpr uint32_t kExchangeMaxReply = 249;
// Streams are known by their address (a device record keeps it): a destroyed
// stream's address comes back only after this many other streams.
constexpr size_t kStreamSlots = size_t{1} << 18;

// Test hook: when set, qvds_create behaves as if the reader thread could not be
// started (the thread library refused it).
std::atomic<bool> g_failReaderStart{false};

}  // namespace

namespace qv::portstream_testing {
void SetReaderStartFailure(bool fail) { g_failReaderStart.store(fail); }
}  // namespace qv::portstream_testing

namespace {

// A recursive mutex that knows which thread holds it and how often, so that a
// holder can give it up whole while it waits for the reader.
class StreamMutex {
public:
    void lock() {
        const std::thread::id me = std::this_thread::get_id();
        if (owner_.load() == me) {
            ++depth_;
            return;
        }
        mutex_.lock();
        owner_.store(me);
        depth_ = 1;
    }
    void unlock() {
        if (--depth_ != 0) return;
        owner_.store(std::thread::id());
        mutex_.unlock();
    }
    bool HeldByMe() const { return owner_.load() == std::this_thread::get_id(); }
    // Gives up every level the calling thread holds; returns how many.
    int ReleaseAll() {
        const int depth = depth_;
        depth_ = 0;
        owner_.store(std::thread::id());
        mutex_.unlock();
        return depth;
    }
    void Reacquire(int depth) {
        mutex_.lock();
        owner_.store(std::this_thread::get_id());
        depth_ = depth;
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the holder only
};

}  // namespace

struct QvdsStream {
    // Stream lock: guards device, kind, settings and flags below for writers and
    // for the reader closing the device. Recursive: qvds_open_com applies its
    // settings through qvds_set_comm while holding it, and a caller of
    // qvds_lock writes through qvds_write.
    StreamMutex lock;
    // Guards only the `device` pointer's lifetime for RequestStop (see above).
    std::mutex deviceLock;
    std::unique_ptr<PortDevice> device;
    std::atomic<bool> handleOpen{false};  // mirrors device != nullptr for lock-free checks
    // Set by qvds_cancel, cleared by the next open: reads and writes fail at once.
    std::atomic<bool> cancelled{false};

    std::atomic<int32_t> kind{QVDS_KIND_CLOSED};
    std::atomic<uint32_t> portNumber{0};
    std::atomic<int32_t> interChunkWaitMs{kDefaultInterChunkMs};
    bool useCommEvent = false;
    bool hidFeatureSet = false;
    bool opened = false;
    LineSettings line;  // the port's current line settings, rewritten by every successful change
    UsbDeviceDescriptor descriptor{};  // what a path open opened

    qv::DataBuffer buffer;
    std::unique_ptr<uint8_t[]> scratch;  // the reader's read buffer

    // Reader control: requests and acknowledgements (manual-reset flags).
    std::mutex controlLock;
    std::condition_variable controlCv;
    bool startRequest = false;
    bool stopRequest = false;
    bool exitRequest = false;
    bool startedAck = false;
    bool idleAck = false;
    bool readerAlive = false;  // the thread is running its loop
    bool readerRunning = false;  // the thread was started
    std::thread reader;
};

namespace {

using StreamLock = std::lock_guard<StreamMutex>;

qv::platform::SlotPool& StreamSlots() {
    static qv::platform::SlotPool* pool = new qv::platform::SlotPool(sizeof(QvdsStream), kStreamSlots);
    return *pool;
}

std::mutex& LiveLock() {
    static std::mutex m;
    return m;
}

std::set<const void*>& LiveStreams() {
    static std::set<const void*> live;
    return live;
}

void SetStatus(uint32_t* status, uint32_t value) {
    if (status != nullptr) *status = value;
}

bool IsHidKind(int32_t kind) { return kind == QVDS_KIND_HID || kind == QVDS_KIND_HID_IF1; }

bool StopRequested(QvdsStream* s) {
    std::lock_guard<std::mutex> lock(s->controlLock);
    return s->stopRequest;
}

// Installs or removes the device. Caller holds the stream lock. A device
// installed after a cancel (one that came while its open ran) is cancelled too.
void SetDeviceLocked(QvdsStream* s, std::unique_ptr<PortDevice> device) {
    std::unique_ptr<PortDevice> old;
    {
        std::lock_guard<std::mutex> lock(s->deviceLock);
        old = std::move(s->device);
        s->device = std::move(device);
        s->handleOpen.store(s->device != nullptr);
        if (s->device && s->cancelled.load()) s->device->Cancel();
    }
    // `old` is destroyed here, outside the device lock.
}

// Closes the device: sends the HID feature report FE 00 first when FE 01 was
// sent at open. Caller holds the stream lock.
void CloseDeviceLocked(QvdsStream* s) {
    if (!s->device) return;
    if (s->hidFeatureSet) {
        static const uint8_t kFeatureOff[2] = {0xFE, 0x00};
        s->device->SetFeatureReport(kFeatureOff, sizeof kFeatureOff);
        s->hidFeatureSet = false;
        std::this_thread::sleep_for(kFeatureSettle);
    }
    SetDeviceLocked(s, nullptr);
}

// Asks the reader to start reading the freshly installed device and waits for
// its acknowledgement. False when the reader thread is not running. Must not be
// called with the stream lock held.
bool StartReaderSession(QvdsStream* s) {
    std::unique_lock<std::mutex> lock(s->controlLock);
    if (!s->readerAlive) return false;
    s->startedAck = false;
    s->startRequest = true;
    s->controlCv.notify_all();
    s->controlCv.wait(lock, [s] { return s->startedAck || !s->readerAlive; });
    return s->startedAck;
}

// Sets the stop request, wakes a blocked read and waits until the reader is
// idle again (it has closed the device by then). Returns at once when the
// reader thread is not running. A calling thread that holds the stream lock
// (qvds_lock) gives it up while it waits: the reader needs it to close the
// device.
void StopReader(QvdsStream* s) {
    {
        std::lock_guard<std::mutex> lock(s->controlLock);
        if (!s->readerAlive) return;
        s->stopRequest = true;
    }
    {
        // The flag is set before the device is woken; the reader checks the flag
        // before every blocking read, so the stop cannot slip between the two.
        std::lock_guard<std::mutex> lock(s->deviceLock);
        if (s->device) s->device->RequestStop();
    }
    const int held = s->lock.HeldByMe() ? s->lock.ReleaseAll() : 0;
    {
        std::unique_lock<std::mutex> lock(s->controlLock);
        s->controlCv.wait(lock, [s] { return s->idleAck || !s->readerAlive; });
    }
    if (held != 0) s->lock.Reacquire(held);
}

// Handles one result of a blocking read (not of a HID device). Returns false
// when the loop must end.
bool TakeChunk(QvdsStream* s, PortDevice* dev, int32_t n) {
    if (n == 0) {
        // A stop request woke the read. Without a pending request the wake-up
        // is stale: clear it and go on (the flag is checked before each read).
        if (StopRequested(s)) return false;
        dev->ClearStop();
        return true;
    }
    if (n < 0) {
        QV_LOG("%s %d read failed, device lost\n", "qvds_reader", __LINE__);
        return false;
    }
    s->buffer.Push(s->scratch.get(), static_cast<uint32_t>(n));
    return true;
}

// Appends the payload of one HID input report (0x02, payload length of at
// most 62, payload) to `out`; false for a malformed report.
bool TakeReport(const uint8_t* report, int32_t n, uint8_t* out, uint32_t* outLen) {
    if (n != static_cast<int32_t>(kHidReportSize) || report[0] != kHidInReportId || report[1] > kHidInPayloadMax) {
        QV_LOG("%s %d bad HID report: size %d id 0x%02X length %u\n", "qvds_reader", __LINE__, n, report[0],
               report[1]);
        return false;
    }
    std::memcpy(out + *outLen, report + 2, report[1]);
    *outLen += report[1];
    return true;
}

// HID reader: one report per read. The reports that are already waiting
// behind the first are gathered (without waiting) and pushed together, so a
// picture of thousands of reports costs one buffer lock per batch.
void HidReader(QvdsStream* s, PortDevice* dev) {
    constexpr uint32_t kBatchReports = (kScratchSize - kHidReportSize) / kHidInPayloadMax;
    uint8_t* batch = s->scratch.get() + kHidReportSize;  // the rest of the scratch buffer
    static_assert(kHidReportSize + kBatchReports * kHidInPayloadMax <= kScratchSize, "batch fits the scratch");
    uint8_t* report = s->scratch.get();
    for (;;) {
        if (StopRequested(s)) return;
        int32_t n = dev->ReadBlocking(report, kHidReportSize);
        if (n == 0) {
            if (StopRequested(s)) return;
            dev->ClearStop();
            continue;
        }
        uint32_t batchLen = 0;
        bool good = n > 0 && TakeReport(report, n, batch, &batchLen);
        for (uint32_t i = 1; good && i < kBatchReports; ++i) {
            n = dev->ReadTimed(report, kHidReportSize, 0);
            if (n == 0) break;
            good = n > 0 && TakeReport(report, n, batch, &batchLen);
        }
        // What came before a bad report or a failed read is kept.
        s->buffer.Push(batch, batchLen);
        if (!good) {
            if (n < 0) QV_LOG("%s %d read failed, device lost\n", "qvds_reader", __LINE__);
            return;
        }
    }
}

// Blocking reads until a stop request or a read error.
void PlainReader(QvdsStream* s, PortDevice* dev) {
    for (;;) {
        if (StopRequested(s)) return;
        if (!TakeChunk(s, dev, dev->ReadBlocking(s->scratch.get(), kScratchSize))) return;
    }
}

// COM reader for UseCommEvent: takes everything queued at once, then waits for
// the next character (or the stop request) and starts over.
void CommEventReader(QvdsStream* s, PortDevice* dev) {
    for (;;) {
        if (StopRequested(s)) return;
        const int32_t queued = dev->ReadTimed(s->scratch.get(), kScratchSize, 0);
        if (queued < 0) {
            QV_LOG("%s %d read failed, device lost\n", "qvds_reader", __LINE__);
            return;
        }
        if (queued > 0) {
            s->buffer.Push(s->scratch.get(), static_cast<uint32_t>(queued));
            continue;
        }
        if (!TakeChunk(s, dev, dev->ReadBlocking(s->scratch.get(), kScratchSize))) return;
    }
}

void ReaderLoop(QvdsStream* s) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s->controlLock);
            s->startedAck = false;
            s->idleAck = true;
            s->controlCv.notify_all();
            s->controlCv.wait(lock, [s] { return s->startRequest || s->exitRequest; });
            if (!s->startRequest) return;  // exit request
            s->startRequest = false;
            s->stopRequest = false;
            s->idleAck = false;
        }
        s->buffer.Clear();
        PortDevice* dev = nullptr;
        int32_t kind = QVDS_KIND_CLOSED;
        bool commEvent = false;
        {
            // The device is installed before the start request; only this
            // thread removes it while a session runs, so `dev` stays valid.
            StreamLock lock(s->lock);
            dev = s->device.get();
            kind = s->kind.load();
            commEvent = s->useCommEvent && kind == QVDS_KIND_COM;
        }
        if (dev != nullptr) dev->ClearStop();
        {
            std::lock_guard<std::mutex> lock(s->controlLock);
            s->startedAck = true;
            s->controlCv.notify_all();
        }
        if (dev != nullptr) {
            if (commEvent) {
                CommEventReader(s, dev);
            } else if (IsHidKind(kind)) {
                HidReader(s, dev);
            } else {
                PlainReader(s, dev);
            }
        }
        {
            // Whatever ended the session, the reader is what closes the device.
            StreamLock lock(s->lock);
            CloseDeviceLocked(s);
        }
        s->buffer.Signal();  // wake callers waiting in qvds_read
    }
}

void ReaderMain(QvdsStream* s) {
    try {
        ReaderLoop(s);
    } catch (...) {
        QV_LOG("%s %d reader thread ended by an exception\n", "qvds_reader", __LINE__);
    }
    std::lock_guard<std::mutex> lock(s->controlLock);
    s->readerAlive = false;
    s->controlCv.notify_all();
}

void StartReaderThread(QvdsStream* s) {
    if (g_failReaderStart.load()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "reader thread start refused");
    }
    std::lock_guard<std::mutex> lock(s->controlLock);
    // The thread cannot look at the flags before this lock is released.
    s->reader = std::thread(ReaderMain, s);
    s->readerAlive = true;
    s->readerRunning = true;
}

bool ReaderRunning(QvdsStream* s) {
    std::lock_guard<std::mutex> lock(s->controlLock);
    return s->readerRunning && s->readerAlive;
}

// Writes with the device's framing. Caller holds the stream lock and has
// checked that the device is open.
bool WriteLocked(QvdsStream* s, const uint8_t* data, uint32_t len) {
    PortDevice* dev = s->device.get();
    const int32_t kind = s->kind.load();
    if (IsHidKind(kind)) {
        // 64-byte output reports: 0x04, length, payload (zero-padded to 56
        // bytes), five zero bytes, and a "more reports follow" flag.
        uint8_t report[kHidReportSize] = {kHidOutReportId};
        uint32_t done = 0;
        while (done < len) {
            const uint32_t n = std::min(len - done, kHidOutPayload);
            report[1] = static_cast<uint8_t>(n);
            std::memcpy(report + 2, data + done, n);
            if (n < kHidOutPayload) std::memset(report + 2 + n, 0, kHidOutPayload - n);  // only the last one
            done += n;
            report[63] = done < len ? 1 : 0;
            if (!dev->Write(report, sizeof report, kDeviceWriteLimitMs)) return false;
        }
        return true;
    }
    const int32_t limit = kind == QVDS_KIND_COM ? -1 : kDeviceWriteLimitMs;
    uint32_t done = 0;
    while (done < len) {
        const uint32_t n = std::min(len - done, kScratchSize);
        if (!dev->Write(data + done, n, limit)) return false;
        done += n;
    }
    return true;
}

// Checks shared by both opens: the reader must be running...
bool ReaderReadyForOpen(QvdsStream* s, uint32_t* status) {
    if (ReaderRunning(s)) return true;
    SetStatus(status, QVDS_NO_READER);
    return false;
}

// ... and no device may be open yet. Caller holds the stream lock.
bool AlreadyOpenLocked(QvdsStream* s, uint32_t* status) {
    if (!s->device) return false;
    SetStatus(status, QVDS_ALREADY_OPEN);
    return true;
}

// An open begins: an earlier cancel no longer applies. Caller holds the stream
// lock; a cancel that comes after this reaches the device being opened.
void ClearCancelLocked(QvdsStream* s) {
    s->cancelled.store(false);
    s->buffer.Resume();
}

// Starts the reader on the freshly installed device; when the reader is gone,
// the device is closed again and the open fails with status 6.
bool StartSessionOrClose(QvdsStream* s, uint32_t* status) {
    if (StartReaderSession(s)) return true;
    StreamLock lock(s->lock);
    CloseDeviceLocked(s);
    s->kind.store(QVDS_KIND_CLOSED);
    SetStatus(status, QVDS_NO_READER);
    return false;
}

enum class WriteResult { kOk, kClosed, kFailed, kCancelled };

WriteResult WriteFrame(QvdsStream* s, const uint8_t* data, uint32_t len) {
    if (s->cancelled.load()) return WriteResult::kCancelled;
    StreamLock lock(s->lock);
    if (!s->device) return WriteResult::kClosed;
    if (len == 0) return WriteResult::kOk;
    if (WriteLocked(s, data, len)) return WriteResult::kOk;
    // A write the cancel broke off: the stream is being closed anyway.
    return s->cancelled.load() ? WriteResult::kCancelled : WriteResult::kFailed;
}

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

QvdsStream* qvds_create() {
    void* slot = StreamSlots().Allocate();
    if (slot == nullptr) return nullptr;
    QvdsStream* s = nullptr;
    try {
        s = new (slot) QvdsStream;
    } catch (const std::exception&) {
        StreamSlots().Release(slot);
        return nullptr;
    }
    s->scratch.reset(new (std::nothrow) uint8_t[kScratchSize]);
    if (s->buffer.Capacity() != 0 && s->scratch) {
        try {
            StartReaderThread(s);
        } catch (const std::exception& e) {
            QV_LOG("%s %d reader thread not started: %s\n", "qvds_create", __LINE__, e.what());
        }
    } else {
        QV_LOG("%s %d no memory for the receive buffer\n", "qvds_create", __LINE__);
    }
    {
        std::lock_guard<std::mutex> lock(LiveLock());
        LiveStreams().insert(s);
    }
    return s;
}

bool qvds_set_comm(QvdsStream* s, int64_t baud, int32_t dataBits, int32_t stopBits, int32_t parity,
                   int32_t flow) {
    if (s == nullptr) return false;
    StreamLock lock(s->lock);
    if (s->kind.load() != QVDS_KIND_COM || !s->device) return false;
    if (baud == 0 || baud < -1 || baud > UINT32_MAX) return false;
    if (dataBits != -1 && (dataBits < 4 || dataBits > 8)) return false;
    if (stopBits != -1 && (stopBits < 0 || stopBits > 2)) return false;
    if (parity != -1 && (parity < 0 || parity > 4)) return false;
    if (flow != -1 && (flow < 0 || flow > 2)) return false;
    LineSettings line = s->line;
    if (baud != -1) line.baud = static_cast<uint32_t>(baud);
    if (dataBits != -1) line.dataBits = static_cast<uint8_t>(dataBits);
    if (stopBits != -1) line.stopBits = static_cast<uint8_t>(stopBits);
    if (parity != -1) line.parity = static_cast<uint8_t>(parity);
    if (flow != -1) line.flow = static_cast<uint8_t>(flow);
    if (!s->device->SetLine(line)) return false;
    s->line = line;
    if (baud != -1) s->interChunkWaitMs.store(static_cast<int32_t>(154000u / line.baud + 20u));
    return true;
}

bool qvds_set_baudrate(QvdsStream* s, uint32_t baud) {
    if (s == nullptr || baud == 0) return false;
    StreamLock lock(s->lock);
    if (s->kind.load() != QVDS_KIND_COM || !s->device || s->line.baud == baud) return false;
    LineSettings line = s->line;
    line.baud = baud;
    if (!s->device->SetLine(line)) return false;
    s->line = line;
    return true;
}

bool qvds_set_baudrate_8n1(QvdsStream* s, uint32_t baud) {
    if (s == nullptr || baud == 0) return false;
    StreamLock lock(s->lock);
    if (s->kind.load() != QVDS_KIND_COM || !s->device) return false;
    LineSettings line = s->line;
    if (line.baud == baud && line.dataBits == 8 && line.parity == 0 && line.stopBits == 0) return true;
    line.baud = baud;
    line.dataBits = 8;
    line.parity = 0;
    line.stopBits = 0;
    if (!s->device->SetLine(line)) return false;
    s->line = line;
    return true;
}

bool qvds_open_com(QvdsStream* s, uint16_t com, uint32_t baud, uint8_t dataBits, uint8_t stopBits,
                   uint8_t parity, uint8_t flow, uint32_t* status) {
    SetStatus(status, QVDS_OK);
    if (s == nullptr) {
        SetStatus(status, QVDS_INVALID);
        return false;
    }
    if (!ReaderReadyForOpen(s, status)) return false;
    {
        StreamLock lock(s->lock);
        if (AlreadyOpenLocked(s, status)) return false;
        if (com == 0 || baud == 0) {
            SetStatus(status, QVDS_INVALID);
            return false;
        }
        ClearCancelLocked(s);
        uint32_t openStatus = qv::platform::kOpenFailed;
        std::unique_ptr<PortDevice> dev = qv::OpenComPort(com, &openStatus);
        if (!dev) {
            QV_LOG("%s %d COM%u open failed, status %u\n", "qvds_open_com", __LINE__, com, openStatus);
            SetStatus(status, openStatus == QVDS_OK ? QVDS_FAILED : openStatus);
            return false;
        }
        SetDeviceLocked(s, std::move(dev));
        s->kind.store(QVDS_KIND_COM);
        s->portNumber.store(com);
        s->hidFeatureSet = false;
        s->line = LineSettings{};
        if (!qvds_set_comm(s, baud, dataBits, stopBits, parity, flow)) {
            QV_LOG("%s %d COM%u line settings %u %u %u %u %u refused\n", "qvds_open_com", __LINE__, com, baud,
                   dataBits, stopBits, parity, flow);
            CloseDeviceLocked(s);
            s->kind.store(QVDS_KIND_CLOSED);
            SetStatus(status, QVDS_FAILED);
            return false;
        }
        s->useCommEvent = qv::ReadSettingInt("main", "UseCommEvent", 0) != 0;
        // Both directions start empty, as a purge of both queues leaves them.
        s->device->DiscardInput();
        s->device->DiscardOutput();
    }
    if (!StartSessionOrClose(s, status)) return false;
    QV_LOG("%s %d COM%u open, baud %u\n", "qvds_open_com", __LINE__, com, baud);
    return true;
}

namespace {

// Installs a freshly opened USB/HID device as the stream's device, sends the
// feature report FE 01 for kind 3 and starts the reader. Caller holds the
// stream lock through `lock`, which this releases before the reader starts.
bool InstallDevice(QvdsStream* s, std::unique_lock<StreamMutex>& lock, std::unique_ptr<PortDevice> device,
                   int32_t kind, uint32_t* status) {
    SetDeviceLocked(s, std::move(device));
    s->kind.store(kind);
    if (kind == QVDS_KIND_HID_IF1) {
        static const uint8_t kFeatureOn[2] = {0xFE, 0x01};
        if (!s->device->SetFeatureReport(kFeatureOn, sizeof kFeatureOn)) {
            QV_LOG("%s %d feature report FE 01 rejected\n", "qvds_open_path", __LINE__);
            CloseDeviceLocked(s);
            s->kind.store(QVDS_KIND_CLOSED);
            SetStatus(status, QVDS_FEATURE_REJECTED);
            return false;
        }
        s->hidFeatureSet = true;
        std::this_thread::sleep_for(kFeatureSettle);
    }
    lock.unlock();
    if (!StartSessionOrClose(s, status)) return false;
    StreamLock relock(s->lock);
    s->interChunkWaitMs.store(kDefaultInterChunkMs);
    s->opened = true;
    return true;
}

// Begins an open of a USB/HID device: the reader must run and no device may
// be open (status 6 / 4); then what a path open sets is reset and an earlier
// cancel no longer applies. On true the stream lock is held through `lock`.
bool BeginDeviceOpen(QvdsStream* s, std::unique_lock<StreamMutex>& lock, uint32_t* status) {
    if (!ReaderReadyForOpen(s, status)) return false;
    lock = std::unique_lock<StreamMutex>(s->lock);
    if (AlreadyOpenLocked(s, status)) return false;
    s->opened = false;
    s->portNumber.store(0);
    s->kind.store(QVDS_KIND_CLOSED);
    s->hidFeatureSet = false;
    ClearCancelLocked(s);
    return true;
}

bool IsPathKind(int32_t kind) { return kind == QVDS_KIND_VENDOR || IsHidKind(kind); }

}  // namespace

bool qvds_open_device(QvdsStream* s, std::unique_ptr<PortDevice> device, int32_t kind, uint32_t* status) {
    SetStatus(status, QVDS_OK);
    if (s == nullptr || !device || kind <= QVDS_KIND_CLOSED || kind == QVDS_KIND_COM) {
        SetStatus(status, QVDS_INVALID);
        return false;
    }
    std::unique_lock<StreamMutex> lock;
    if (!BeginDeviceOpen(s, lock, status)) return false;
    return InstallDevice(s, lock, std::move(device), kind, status);
}

bool qvds_descriptor_path(const UsbDeviceDescriptor& descriptor, std::string* path) {
    constexpr size_t kUnits = sizeof descriptor.path / sizeof descriptor.path[0];
    std::string out;
    for (size_t i = 0; i < kUnits; ++i) {
        uint32_t c = descriptor.path[i];
        if (c == 0) {
            *path = std::move(out);
            return true;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) return false;  // a low surrogate without its high one
        if (c >= 0xD800 && c <= 0xDBFF) {
            const uint32_t low = i + 1 < kUnits ? descriptor.path[i + 1] : 0;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return false;  // no terminating zero within the field
}

bool qvds_open_path_with(QvdsStream* s, const UsbDeviceDescriptor* descriptor, const QvdsPathOpener& open,
                         uint32_t* status) {
    SetStatus(status, QVDS_OK);
    std::string path;
    if (s == nullptr || descriptor == nullptr || !open || !IsPathKind(descriptor->deviceKind) ||
        !qvds_descriptor_path(*descriptor, &path)) {
        SetStatus(status, QVDS_INVALID);
        return false;
    }
    const int32_t kind = descriptor->deviceKind;
    std::unique_lock<StreamMutex> lock;
    if (!BeginDeviceOpen(s, lock, status)) return false;
    // Exclusive first; a HID device in use is tried again shared for reading,
    // then for reading and writing. A cancel (the handle is being closed)
    // ends the attempts; one that comes during an attempt reaches the device
    // when it is installed.
    using qv::platform::UsbShare;
    const UsbShare attempts[3] = {UsbShare::kNone, UsbShare::kRead, UsbShare::kReadWrite};
    const int tries = IsHidKind(kind) ? 3 : 1;
    std::unique_ptr<PortDevice> dev;
    uint32_t openStatus = qv::platform::kOpenFailed;
    for (int i = 0; i < tries && !s->cancelled.load(); ++i) {
        openStatus = qv::platform::kOpenFailed;
        dev = open(path, attempts[i], &openStatus);
        if (dev || openStatus != QVDS_DENIED) break;
    }
    if (!dev) {
        if (s->cancelled.load()) openStatus = QVDS_CLOSED;
        QV_LOG("%s %d %s open failed, status %u\n", "qvds_open_path", __LINE__, path.c_str(), openStatus);
        SetStatus(status, openStatus == QVDS_OK ? QVDS_FAILED : openStatus);
        return false;
    }
    s->descriptor = *descriptor;
    if (!InstallDevice(s, lock, std::move(dev), kind, status)) return false;
    QV_LOG("%s %d %s open, kind %d\n", "qvds_open_path", __LINE__, path.c_str(), kind);
    return true;
}

bool qvds_open_path(QvdsStream* s, const UsbDeviceDescriptor* descriptor, uint32_t* status) {
    return qvds_open_path_with(s, descriptor, qv::platform::OpenUsbPath, status);
}

bool qvds_path_descriptor(QvdsStream* s, UsbDeviceDescriptor* descriptor) {
    if (s == nullptr || descriptor == nullptr) return false;
    StreamLock lock(s->lock);
    *descriptor = s->descriptor;
    return descriptor->path[0] != 0;
}

uint32_t qvds_port_number(QvdsStream* s) {
    if (s == nullptr || s->kind.load() != QVDS_KIND_COM) return 0;
    return s->portNumber.load();
}

bool qvds_write(QvdsStream* s, const void* data, uint32_t len) {
    if (s == nullptr || (data == nullptr && len != 0)) return false;
    const WriteResult r = WriteFrame(s, static_cast<const uint8_t*>(data), len);
    if (r == WriteResult::kCancelled) {
        QV_LOG("%s %d write of %u bytes cancelled\n", "qvds_write", __LINE__, len);
        return false;
    }
    if (r == WriteResult::kFailed) {
        // The stream lock is released: the reader can take it to close the device.
        QV_LOG("%s %d write of %u bytes failed, closing\n", "qvds_write", __LINE__, len);
        StopReader(s);
    }
    return r == WriteResult::kOk;
}

uint32_t qvds_read(QvdsStream* s, void* buf, uint32_t len, int32_t firstWaitMs, int32_t interChunkWaitMs,
                   const void* terminator, uint32_t terminatorLen, uint32_t* status) {
    SetStatus(status, QVDS_OK);
    if (s == nullptr || (buf == nullptr && len != 0)) {
        SetStatus(status, QVDS_INVALID);
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buf);
    const auto* term = static_cast<const uint8_t*>(terminator);
    if (term == nullptr) terminatorLen = 0;
    // A cancelled stream reads as closed at once, buffered bytes or not: its
    // handle is being closed, and a device that keeps sending must not keep a
    // reader busy.
    if (len == 0 || s->cancelled.load()) {
        if (!s->handleOpen.load() || s->cancelled.load()) SetStatus(status, QVDS_CLOSED);
        return 0;
    }
    uint32_t total = s->buffer.Pop(out, len);
    if (firstWaitMs != 0 && total < len) {
        // The first wait is the wait for the first byte: when bytes were
        // already buffered, only the wait between chunks applies.
        const int32_t between = interChunkWaitMs == -2 ? s->interChunkWaitMs.load() : interChunkWaitMs;
        int32_t wait = total == 0 ? firstWaitMs : between;
        while (total < len && s->handleOpen.load() && !s->cancelled.load()) {
            if (terminatorLen != 0 && total >= terminatorLen &&
                std::memcmp(out + total - terminatorLen, term, terminatorLen) == 0) {
                break;
            }
            s->buffer.WaitForData(wait);
            const uint32_t n = s->buffer.Pop(out + total, len - total);
            if (n == 0) break;
            total += n;
            wait = between;
        }
    }
    const bool cancelled = s->cancelled.load();
    if (!cancelled) total += s->buffer.Pop(out + total, len - total);
    if (!s->handleOpen.load() || cancelled) SetStatus(status, QVDS_CLOSED);
    return total;
}

uint32_t qvds_purge(QvdsStream* s, int32_t drainMs) {
    if (s == nullptr) return 0;
    uint32_t discarded = s->buffer.Clear();
    if (drainMs != 0) {
        uint8_t scratch[4096];
        for (;;) {
            const uint32_t n = qvds_read(s, scratch, sizeof scratch, drainMs, -2, nullptr, 0, nullptr);
            discarded += n;
            if (n != sizeof scratch) break;
        }
    }
    return discarded;
}

bool qvds_exchange(QvdsStream* s, int32_t firstWaitMs, uint8_t* result, const char* format, ...) {
    if (result != nullptr) *result = 0;
    if (s == nullptr || format == nullptr) return false;

    // 0x02 0x05, payload length (16-bit big-endian), payload, CRC-32 of all
    // that (32-bit big-endian).
    uint8_t frame[4 + kExchangeMaxPayload + 1 + 4];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(reinterpret_cast<char*>(frame + 4), kExchangeMaxPayload + 1, format, args);
    va_end(args);
    if (formatted <= 0) return false;
    const uint32_t payloadLen = std::min(static_cast<uint32_t>(formatted), kExchangeMaxPayload);
    frame[0] = 0x02;
    frame[1] = 0x05;
    frame[2] = static_cast<uint8_t>(payloadLen >> 8);
    frame[3] = static_cast<uint8_t>(payloadLen);
    const uint32_t crc = qvds_crc32(frame, 4 + payloadLen, 0);
    uint8_t* trailer = frame + 4 + payloadLen;
    trailer[0] = static_cast<uint8_t>(crc >> 24);
    trailer[1] = static_cast<uint8_t>(crc >> 16);
    trailer[2] = static_cast<uint8_t>(crc >> 8);
    trailer[3] = static_cast<uint8_t>(crc);

    const WriteResult written = WriteFrame(s, frame, 4 + payloadLen + 4);
    if (written != WriteResult::kOk) {
        if (written == WriteResult::kFailed) {
            QV_LOG("%s %d write failed, closing\n", "qvds_exchange", __LINE__);
            StopReader(s);  // the stream lock was released by WriteFrame
        }
        return false;
    }

    // Reply: 0x02 0x05, length (at most 249, at least 1), payload, CRC-32.
    uint8_t reply[4 + kExchangeMaxReply + 4];
    if (qvds_read(s, reply, 4, firstWaitMs, -2, nullptr, 0, nullptr) == 4 && reply[0] == 0x02 &&
        reply[1] == 0x05) {
        const uint32_t replyLen = (static_cast<uint32_t>(reply[2]) << 8) | reply[3];
        if (replyLen <= kExchangeMaxReply &&
            qvds_read(s, reply + 4, replyLen + 4, 500, 100, nullptr, 0, nullptr) == replyLen + 4 &&
            qvds_crc32(reply, 4 + replyLen, 0) == Be32(reply + 4 + replyLen) && replyLen >= 1) {
            if (result != nullptr) *result = reply[4];
            if (reply[4] == '0') return true;
        }
    }
    // Whatever is left of a bad or refused reply is dropped.
    qvds_purge(s, 20);
    return false;
}

void qvds_cancel(QvdsStream* s) {
    if (s == nullptr) return;
    s->cancelled.store(true);
    s->buffer.Cancel();
    std::lock_guard<std::mutex> lock(s->deviceLock);
    if (s->device) s->device->Cancel();
}

bool qvds_cancelled(QvdsStream* s) { return s != nullptr && s->cancelled.load(); }

void qvds_close(QvdsStream* s) {
    if (s == nullptr) return;
    QV_LOG("%s %d begin\n", "qvds_close", __LINE__);
    StopReader(s);
    QV_LOG("%s %d end\n", "qvds_close", __LINE__);
}

void qvds_stop(QvdsStream* s) {
    if (s == nullptr) return;
    QV_LOG("%s %d begin\n", "qvds_stop", __LINE__);
    StopReader(s);
    QV_LOG("%s %d end\n", "qvds_stop", __LINE__);
}

void qvds_lock(QvdsStream* s) {
    if (s != nullptr) s->lock.lock();
}

void qvds_unlock(QvdsStream* s) {
    if (s != nullptr) s->lock.unlock();
}

bool qvds_get_comm(QvdsStream* s, LineSettings* line) {
    if (s == nullptr || line == nullptr) return false;
    StreamLock lock(s->lock);
    if (s->kind.load() != QVDS_KIND_COM || !s->device) return false;
    *line = s->line;
    return true;
}

void qvds_destory(QvdsStream* s) {
    if (s == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(LiveLock());
        LiveStreams().erase(s);
    }
    QV_LOG("%s %d begin\n", "qvds_destory", __LINE__);
    StopReader(s);
    {
        std::lock_guard<std::mutex> lock(s->controlLock);
        s->exitRequest = true;
        s->controlCv.notify_all();
    }
    if (s->reader.joinable()) s->reader.join();
    {
        // Only when the reader ended without closing it (it died).
        StreamLock lock(s->lock);
        CloseDeviceLocked(s);
    }
    s->~QvdsStream();
    StreamSlots().Release(s);  // a stale pointer to it now faults instead of reaching another stream
    QV_LOG("%s %d end\n", "qvds_destory", __LINE__);
}

bool qvds_is_open(QvdsStream* s) { return s != nullptr && s->handleOpen.load(); }

bool qvds_is_live(const void* p) {
    if (p == nullptr) return false;
    std::lock_guard<std::mutex> lock(LiveLock());
    return LiveStreams().count(p) != 0;
}

int32_t qvds_inter_chunk_wait(QvdsStream* s) {
    return s == nullptr ? 0 : s->interChunkWaitMs.load();
}

int32_t qvds_kind(QvdsStream* s) { return s == nullptr ? QVDS_KIND_CLOSED : s->kind.load(); }
