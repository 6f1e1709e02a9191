// The port stream over a HID interface's real device node (umockdev's
// pty-backed hidraw node; the test plays the device on the other side):
// the path open and its three attempts on a busy device, 64-byte reports
// both ways, the feature reports FE 01 / FE 00 of kind 3 (on a node with a
// handler), malformed reports and a node that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb.h"
#include "hang_guard.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/share_memory.h"

using namespace std::chrono_literals;
using qvtest::FakeUsbBed;

namespace {

// The device's side of a pty-backed node: whole 64-byte reports, as hidraw
// hands them out, so a host read never sees part of one.
class DeviceSide {
public:
    explicit DeviceSide(int fd) : fd_(fd) {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 64;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &t);
    }
    // Reads what the host wrote: up to `reports` reports within `ms`.
    std::vector<std::string> Reports(size_t reports, int ms = 3000) {
        std::string bytes;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (bytes.size() < reports * 64 && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) bytes.append(buf, static_cast<size_t>(n));
        }
        std::vector<std::string> out;
        for (size_t i = 0; i + 64 <= bytes.size(); i += 64) out.push_back(bytes.substr(i, 64));
        return out;
    }
    void Send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    static std::string InputReport(const std::string& payload) {
        std::string r(64, '\0');
        r[0] = 0x02;
        r[1] = static_cast<char>(payload.size());
        r.replace(2, payload.size(), payload);
        return r;
    }

private:
    int fd_;
};

UsbDeviceDescriptor Descriptor(const std::string& path, uint8_t kind) {
    UsbDeviceDescriptor d{};
    EXPECT_TRUE(qvds_set_descriptor_path(&d, path));
    d.deviceKind = kind;
    d.deviceKindCopy = kind;
    return d;
}

std::string Read(QvdsStream* s, uint32_t len, int firstWaitMs, uint32_t* status) {
    std::string buf(len, '\0');
    const uint32_t n = qvds_read(s, buf.data(), len, firstWaitMs, -2, nullptr, 0, status);
    buf.resize(n);
    return buf;
}

struct StreamDeleter {
    void operator()(QvdsStream* s) const {
        qvds_close(s);
        qvds_destory(s);
    }
};
using Stream = std::unique_ptr<QvdsStream, StreamDeleter>;

}  // namespace

TEST(HidStream, ReportsBothWaysOverTheNode) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    DeviceSide dev(bed.NodeFd("/dev/hidraw0"));
    Stream s(qvds_create());
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    uint32_t status = 99;
    ASSERT_TRUE(qvds_open_path(s.get(), &d, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(qvds_kind(s.get()), QVDS_KIND_HID);
    EXPECT_EQ(qvds_inter_chunk_wait(s.get()), 20);

    // 57 bytes: two output reports, 56 bytes with "more" set, then 1.
    std::string out(57, '\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>('A' + i % 26);
    ASSERT_TRUE(qvds_write(s.get(), out.data(), static_cast<uint32_t>(out.size())));
    const std::vector<std::string> reports = dev.Reports(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0][0], 0x04);
    EXPECT_EQ(reports[0][1], 56);
    EXPECT_EQ(reports[0].substr(2, 56), out.substr(0, 56));
    EXPECT_EQ(reports[0].substr(58, 5), std::string(5, '\0'));
    EXPECT_EQ(reports[0][63], 1);
    EXPECT_EQ(reports[1][1], 1);
    EXPECT_EQ(reports[1][2], out[56]);
    EXPECT_EQ(reports[1].substr(3, 61), std::string(61, '\0'));

    // Input reports: the payload of each, whatever the padding holds.
    std::string r1 = DeviceSide::InputReport(std::string(62, 'x'));
    std::string r2 = DeviceSide::InputReport("tail");
    r2[40] = 'G';  // padding is ignored
    dev.Send(r1 + r2);
    const std::string got = Read(s.get(), 100, 2000, &status);
    EXPECT_EQ(got, std::string(62, 'x') + "tail");
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(qvds_is_open(s.get()));
}

TEST(HidStream, BusyDeviceIsTriedThreeTimes) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    bed.AddHidScanner("1-2", 0x6666, 0x0010, 1, 0, "hidraw1", "");
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    // Held shared (as an enumeration's probe holds it): the exclusive open and
    // the open shared for reading fail, the third, shared for both, succeeds.
    const int shared = open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(shared, LOCK_SH | LOCK_NB), 0);
    std::vector<qv::platform::UsbShare> tried;
    auto recording = [&](const std::string& path, qv::platform::UsbShare share, uint32_t* st) {
        tried.push_back(share);
        return qv::platform::OpenUsbPath(path, share, st);
    };
    Stream s(qvds_create());
    uint32_t status = 99;
    ASSERT_TRUE(qvds_open_path_with(s.get(), &d, recording, &status));
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_EQ(tried[2], qv::platform::UsbShare::kReadWrite);
    // A second stream on the same device: only the shared attempt could work,
    // and it does (both opens share).
    Stream s2(qvds_create());
    EXPECT_TRUE(qvds_open_path(s2.get(), &d, &status));
    qvds_close(s.get());
    qvds_close(s2.get());

    // Held exclusively: all three attempts fail, status 5; the stream stays usable.
    ASSERT_EQ(flock(shared, LOCK_EX | LOCK_NB), 0);
    tried.clear();
    EXPECT_FALSE(qvds_open_path_with(s.get(), &d, recording, &status));
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(tried.size(), 3u);
    EXPECT_FALSE(qvds_is_open(s.get()));
    close(shared);
    EXPECT_TRUE(qvds_open_path(s.get(), &d, &status));
    EXPECT_FALSE(qvds_open_path(s.get(), &d, &status)) << "already open";
    EXPECT_EQ(status, 4u);

    // A vendor-driver device (kind 1) is tried once.
    tried.clear();
    Stream s3(qvds_create());
    const UsbDeviceDescriptor v = Descriptor("usb#vid_6666&pid_0010#9-9:1.0", 1);
    EXPECT_FALSE(qvds_open_path_with(s3.get(), &v, recording, &status));
    EXPECT_EQ(tried.size(), 1u);
    EXPECT_EQ(status, 2u) << "no such interface";
}

TEST(HidStream, MalformedDescriptorsAndPaths) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    Stream s(qvds_create());
    uint32_t status = 0;
    EXPECT_FALSE(qvds_open_path(s.get(), nullptr, &status));
    EXPECT_EQ(status, 8u);
    EXPECT_FALSE(qvds_open_usb(s.get(), nullptr, &status));
    EXPECT_EQ(status, 8u);
    UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 7);
    EXPECT_FALSE(qvds_open_path(s.get(), &d, &status)) << "kind 7 is no path kind";
    EXPECT_EQ(status, 8u);
    for (auto& u : d.path) u = u'h';
    d.deviceKind = 2;
    EXPECT_FALSE(qvds_open_path(s.get(), &d, &status)) << "no zero within the field";
    EXPECT_EQ(status, 8u);
    for (const char* path : {"", "hid#", "hid#vid_5ec7&pid_0010", "hid#vid_5ec7&pid_0010#",
                             "hid#vid_5ec7&pid_0011#1-1:1.0",
                             "hid#vid_5ec7&pid_0010#1-2:1.0", "hid#vid_5ec7&pid_0010#../../x", "/dev/hidraw0",
                             "usb#vid_5ec7&pid_0010#1-1:1.0"}) {
        d = Descriptor(path, 2);
        EXPECT_FALSE(qvds_open_path(s.get(), &d, &status)) << path;
        EXPECT_EQ(status, 2u) << path;
    }
    d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    EXPECT_TRUE(qvds_open_path(s.get(), &d, &status)) << "the stream is still usable";
}

TEST(HidStream, MalformedReportsCloseTheDevice) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    const int fd = bed.NodeFd("/dev/hidraw0");
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    Stream s(qvds_create());
    uint32_t status = 0;
    struct Case {
        const char* what;
        int vmin;           // 1: the node hands out whatever came, like a device with other report sizes
        std::string bytes;  // after a good report carrying "ok"
    };
    const Case cases[] = {
        {"a short report", 1, std::string("\x02\x02hi", 4)},
        {"an over-long report", 1, DeviceSide::InputReport("no") + std::string(36, 'z')},
        {"a payload length above 62", 64, std::string("\x02\x3F", 2) + std::string(62, 'y')},
        {"another report number", 64, std::string("\x03\x02hi", 4) + std::string(60, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = static_cast<cc_t>(c.vmin);
        tcsetattr(fd, TCSANOW, &t);
        ASSERT_TRUE(qvds_open_path(s.get(), &d, &status));
        ASSERT_EQ(write(fd, DeviceSide::InputReport("ok").data(), 64), 64);
        EXPECT_EQ(Read(s.get(), 2, 2000, &status), "ok");
        ASSERT_EQ(write(fd, c.bytes.data(), c.bytes.size()), ssize_t(c.bytes.size()));
        // The reader stops at the bad report and closes the device: a clear end.
        const auto start = std::chrono::steady_clock::now();
        while (qvds_is_open(s.get()) && std::chrono::steady_clock::now() - start < 3s) std::this_thread::sleep_for(5ms);
        EXPECT_FALSE(qvds_is_open(s.get()));
        const std::string rest = Read(s.get(), 200, 100, &status);
        EXPECT_EQ(status, 3u) << "the handle is closed";
        EXPECT_TRUE(rest.empty() || rest == "no") << rest;
        tcflush(fd, TCIOFLUSH);
    }
}

TEST(HidStream, FeatureReportsOfKindThreeAtOpenAndClose) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0022, 2, 1, "hidraw0", "");
    bed.AddHidScanner("1-2", 0x5EC7, 0x0022, 2, 1, "hidraw1", "");
    bed.AddHidScanner("1-3", 0x5EC7, 0x0022, 2, 1, "hidraw2", "");
    bed.AttachFeatureHandler("/dev/hidraw0");
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0022&mi_01#1-1:1.1", 3);
    Stream s(qvds_create());
    uint32_t status = 99;
    {
        qvtest::HangGuard guard("open and close of a node with a handler", 20s);
        ASSERT_TRUE(qvds_open_path(s.get(), &d, &status));
        EXPECT_EQ(status, 0u);
        std::vector<std::vector<uint8_t>> f = bed.FeatureReports();
        ASSERT_EQ(f.size(), 1u) << "FE 01 at open";
        EXPECT_EQ(f[0], (std::vector<uint8_t>{0xFE, 0x01}));
        qvds_close(s.get());
        f = bed.FeatureReports();
        ASSERT_EQ(f.size(), 2u) << "FE 00 before the device is closed";
        EXPECT_EQ(f[1], (std::vector<uint8_t>{0xFE, 0x00}));
    }
    // Kind 2 on the same node sends none.
    UsbDeviceDescriptor d2 = d;
    d2.deviceKind = d2.deviceKindCopy = 2;
    ASSERT_TRUE(qvds_open_path(s.get(), &d2, &status));
    qvds_close(s.get());
    EXPECT_EQ(bed.FeatureReports().size(), 2u);

    // A device that refuses FE 01: status 7, nothing stays open. A plain pty
    // node knows no feature reports at all.
    bed.AttachFeatureHandler("/dev/hidraw2", true);
    const UsbDeviceDescriptor refusing = Descriptor("hid#vid_5ec7&pid_0022&mi_01#1-3:1.1", 3);
    EXPECT_FALSE(qvds_open_path(s.get(), &refusing, &status));
    EXPECT_EQ(status, 7u);
    EXPECT_FALSE(qvds_is_open(s.get()));
    const UsbDeviceDescriptor onPty = Descriptor("hid#vid_5ec7&pid_0022&mi_01#1-2:1.1", 3);
    EXPECT_FALSE(qvds_open_path(s.get(), &onPty, &status));
    EXPECT_EQ(status, 7u);
    const int shared = open("/dev/hidraw1", O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(shared, LOCK_EX | LOCK_NB), 0) << "the refused open let go of the device";
    close(shared);
}

TEST(HidStream, ANodeThatGoesAwayEndsReadsAndWrites) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    const int theirs = bed.HandOverNode("/dev/hidraw0");  // only `theirs` holds the device side now
    DeviceSide dev(theirs);
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    Stream s(qvds_create());
    uint32_t status = 0;
    ASSERT_TRUE(qvds_open_path(s.get(), &d, &status));
    dev.Send(DeviceSide::InputReport("before"));
    std::thread unplug([&] {
        std::this_thread::sleep_for(300ms);
        close(theirs);
    });
    // A read waiting for more when the device goes: it returns what came and
    // the closed status, long before its 30 s wait.
    const auto start = std::chrono::steady_clock::now();
    const std::string got = Read(s.get(), 100, 30000, &status);
    unplug.join();
    EXPECT_EQ(got, "before");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (qvds_is_open(s.get()) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(qvds_is_open(s.get()));
    EXPECT_EQ(Read(s.get(), 100, 500, &status), "");
    EXPECT_EQ(status, 3u);
    EXPECT_FALSE(qvds_write(s.get(), "x", 1));
}

TEST(HidStream, ACancelEndsTheOpenAttempts) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "");
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    Stream s(qvds_create());
    int attempts = 0;
    // The handle is closed while the first attempt runs: no further attempt,
    // and the device that attempt opened is cancelled with the stream.
    auto cancelling = [&](const std::string& path, qv::platform::UsbShare share, uint32_t* st) {
        ++attempts;
        qvds_cancel(s.get());
        *st = 5;
        if (attempts > 1) return qv::platform::OpenUsbPath(path, share, st);
        return std::unique_ptr<qv::platform::PortDevice>();
    };
    uint32_t status = 0;
    EXPECT_FALSE(qvds_open_path_with(s.get(), &d, cancelling, &status));
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(status, 3u);
    // A cancel during a successful attempt: the open succeeds (the close that
    // cancelled comes next), but reads and writes fail at once.
    auto cancelAfter = [&](const std::string& path, qv::platform::UsbShare share, uint32_t* st) {
        auto dev = qv::platform::OpenUsbPath(path, share, st);
        qvds_cancel(s.get());
        return dev;
    };
    ASSERT_TRUE(qvds_open_path_with(s.get(), &d, cancelAfter, &status));
    EXPECT_TRUE(qvds_cancelled(s.get()));
    EXPECT_FALSE(qvds_write(s.get(), "x", 1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(s.get(), 10, 30000, &status), "");
    EXPECT_EQ(status, 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // An open after the cancel clears it.
    qvds_close(s.get());
    EXPECT_TRUE(qvds_open_path(s.get(), &d, &status));
    EXPECT_FALSE(qvds_cancelled(s.get()));
}

TEST(HidStream, TheShareMemorySlotLivesAsLongAsTheDevice) {
    FakeUsbBed bed;
    bed.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "SN-OPEN");
    bed.AddHidScanner("1-2", 0x5EC7, 0x0022, 2, 1, "hidraw1", "SN-REFUSED");
    const UsbDeviceDescriptor d = Descriptor("hid#vid_5ec7&pid_0010#1-1:1.0", 2);
    Stream s(qvds_create());
    uint32_t status = 0;
    ASSERT_TRUE(qvds_open_usb(s.get(), &d, &status));
    EXPECT_TRUE(qv::ShareMemoryHolds("SN-OPEN"));
    qvds_close(s.get());
    EXPECT_FALSE(qv::ShareMemoryHolds("SN-OPEN")) << "the close frees the stream's own slot";
    // A failed open frees the slot it took (kind 3 on a pty node: FE 01 refused).
    Stream s2(qvds_create());
    const UsbDeviceDescriptor d2 = Descriptor("hid#vid_5ec7&pid_0022&mi_01#1-2:1.1", 3);
    EXPECT_FALSE(qvds_open_usb(s2.get(), &d2, &status));
    EXPECT_EQ(status, 7u);
    EXPECT_FALSE(qv::ShareMemoryHolds("SN-REFUSED"));
    // A full table does not prevent the open.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(qv::ShareMemoryRegister("OTHER" + std::to_string(i)), i);
    EXPECT_TRUE(qvds_open_usb(s.get(), &d, &status));
    EXPECT_FALSE(qv::ShareMemoryHolds("SN-OPEN"));
    qvds_clear_share_memory();
}
