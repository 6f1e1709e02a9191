// The COM-port transport against simulated scanners on real ptys.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/errors.h"
#include "e2e_helpers.h"
#include "portstream/qvds.h"
#include "portstream/serial_detect.h"
#include "transport/serial_communication.h"

using qvtest::MsSince;
using qvtest::ScopedEnv;
using Clock = std::chrono::steady_clock;

namespace {

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        closedir(d);
    }
    return n;
}

T_DevicesInfo RecordFor(int com, uint32_t baud) {
    T_DevicesInfo r;
    qv::InitDeviceRecord(&r);
    r.transportKind = qv::kTransportSerial;
    r.SerialSettings.port_number = static_cast<uint16_t>(com);
    r.SerialSettings.baudrate = baud;
    r.SerialSettings.databits = 8;
    return r;
}

// Reads until the collected bytes end with ';' 03 or the limit passes.
std::string ReadReply(qv::CSerialCommunication& t, T_DevicesInfo* dev) {
    std::string got;
    char buf[512];
    const auto start = Clock::now();
    while (MsSince(start) < 3000) {
        int32_t n = t.Read(dev, buf, sizeof buf, 500);
        if (n < 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (got.size() >= 2 && got.compare(got.size() - 2, 2, ";\x03") == 0) break;
    }
    return got;
}

}  // namespace

TEST(SerialTransport, EnumeratesScannersAtTheirLineSettingsAndSkipsSilentPorts) {
    SimProcess sim({{.com = 71}, {.com = 72, .baud = 9600, .stop = 2}, {.com = 73, .options = "mode=silent"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    int32_t count = -2;
    T_DevicesInfo* list = t.EnumDevices(&count);
    ASSERT_EQ(count, 2);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].SerialSettings.port_number, 71);
    EXPECT_EQ(list[0].SerialSettings.baudrate, 115200u);
    EXPECT_EQ(list[1].SerialSettings.port_number, 72);
    EXPECT_EQ(list[1].SerialSettings.baudrate, 9600u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].transportKind, 1);
        EXPECT_EQ(list[i].SerialSettings.databits, 8);
        EXPECT_EQ(list[i].SerialSettings.stopbits, 0);
        EXPECT_EQ(list[i].SerialSettings.parity, 0);
        EXPECT_EQ(list[i].pOpenStream, nullptr);
    }

    // A record opened from the first list stays usable after a second scan.
    T_DevicesInfo* dev = t.OpenDevice(list, 0);
    ASSERT_NE(dev, nullptr);
    count = -1;  // USB virtual COM ports only: none here
    EXPECT_EQ(t.EnumDevices(&count), nullptr);
    EXPECT_EQ(count, 0);
    const std::string frame("\x7E\x01" "0000@QRYSYS;\x03");
    ASSERT_TRUE(t.Write(dev, frame.data(), static_cast<uint32_t>(frame.size())));
    EXPECT_NE(ReadReply(t, dev).find("QRYSYS"), std::string::npos);
    EXPECT_TRUE(t.CloseDevice(&dev));
    EXPECT_EQ(dev, nullptr);

    // A count that selects no scan leaves everything alone.
    count = 0;
    EXPECT_EQ(t.EnumDevices(&count), nullptr);
    EXPECT_EQ(count, 0);
    count = 5;
    EXPECT_EQ(t.EnumDevices(&count), nullptr);
    EXPECT_EQ(count, 5);
}

TEST(SerialTransport, VirtualComModeListsOnlyUsbVirtualComDrivers) {
    SimProcess sim({{.com = 74, .driver = "usbser"}, {.com = 75, .driver = "serial"}, {.com = 76, .driver = "silabser"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    int32_t count = -1;
    T_DevicesInfo* list = t.EnumDevices(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(list[0].SerialSettings.port_number, 74);
    EXPECT_EQ(list[0].SerialSettings.baudrate, 115200u);
}

TEST(SerialTransport, PortHeldByAnotherProcessIsMarkedBusy) {
    SimProcess sim({{.com = 77}, {.com = 78}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("hold 77"), "OK");
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    SerialPortEntry rows[QVDS_MAX_PORTS] = {};
    int n = qvds_enum_serial_ports(rows, QVDS_ENUM_ALL);
    ASSERT_EQ(n, 2);
    qvds_detect_serial_settings(rows, n);
    EXPECT_EQ(rows[0].port_number, 77);
    EXPECT_EQ(rows[0].status, 5);
    EXPECT_EQ(rows[0].baudrate, 0u);
    EXPECT_EQ(rows[1].status, 0);
    EXPECT_EQ(rows[1].baudrate, 115200u);

    // Opening the held port fails with the open error and the stream status.
    qv::CSerialCommunication t;
    T_DevicesInfo entry = RecordFor(77, 115200);
    EXPECT_EQ(t.OpenDeviceForNati(&entry), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Open com device failed");
    EXPECT_EQ(entry.pOpenStream, nullptr);
}

TEST(SerialTransport, ReadTimeOutsOnASilentPort) {
    SimProcess sim({{.com = 79, .options = "mode=silent"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    T_DevicesInfo entry = RecordFor(79, 115200);
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr);
    char buf[64];
    auto start = Clock::now();
    EXPECT_EQ(t.Read(dev, buf, sizeof buf, 0), 0);
    EXPECT_GE(MsSince(start), 2000);  // time-out 0 means the default 2 s
    start = Clock::now();
    EXPECT_EQ(t.Read(dev, buf, sizeof buf, 500), 0);
    EXPECT_GE(MsSince(start), 500);
    EXPECT_TRUE(t.CloseDevice(&dev));
}

TEST(SerialTransport, WriteDropsStaleInputAndUnplugFailsTheRead) {
    SimProcess sim({{.com = 80}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    T_DevicesInfo entry = RecordFor(80, 115200);
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(entry.pOpenStream, dev->pOpenStream);

    // Bytes nobody read before a write are dropped by it.
    ASSERT_EQ(sim.command("emit 80 2"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string frame("\x7E\x01" "0000@BEEPON;\x03");
    ASSERT_TRUE(t.Write(dev, frame.data(), static_cast<uint32_t>(frame.size())));
    const std::string reply = ReadReply(t, dev);
    EXPECT_EQ(reply, std::string("\x02\x01" "0000@BEEPON\x06;\x03"));

    ASSERT_EQ(sim.command("unplug 80"), "OK");
    char buf[64];
    int32_t n = 0;
    ASSERT_TRUE(qvtest::WaitFor([&] { return (n = t.Read(dev, buf, sizeof buf, 100)) < 0; }));
    EXPECT_EQ(n, -1);
    EXPECT_STREQ(qv_GetLastError(), "Read from com error, com push out");
    EXPECT_EQ(dev->streamError, static_cast<uint32_t>(QVDS_CLOSED));
    EXPECT_FALSE(t.Write(dev, frame.data(), static_cast<uint32_t>(frame.size())));
    EXPECT_STREQ(qv_GetLastError(), "Write to com error");
    EXPECT_TRUE(t.CloseDevice(&dev));

    // Replugged under the same path: the port opens and answers again.
    ASSERT_EQ(sim.command("replug 80"), "OK");
    entry.pOpenStream = nullptr;
    dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(t.Write(dev, frame.data(), static_cast<uint32_t>(frame.size())));
    EXPECT_EQ(ReadReply(t, dev), std::string("\x02\x01" "0000@BEEPON\x06;\x03"));
    EXPECT_TRUE(t.CloseDevice(&dev));
}

TEST(SerialTransport, ReopeningNeverDestroysAStreamAnotherRecordUses) {
    SimProcess sim({{.com = 81}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    T_DevicesInfo entry = RecordFor(81, 115200);
    T_DevicesInfo* first = t.OpenDeviceForNati(&entry);
    ASSERT_NE(first, nullptr);
    void* live = first->pOpenStream;
    ASSERT_EQ(entry.pOpenStream, live);
    // The entry still names the first record's stream: the second open must not
    // destroy it; it fails because the port is taken.
    EXPECT_EQ(t.OpenDeviceForNati(&entry), nullptr);
    EXPECT_TRUE(qvds_is_live(live));
    EXPECT_TRUE(qvds_is_open(static_cast<QvdsStream*>(live)));
    const std::string frame("\x7E\x01" "0000@BEEPON;\x03");
    EXPECT_TRUE(t.Write(first, frame.data(), static_cast<uint32_t>(frame.size())));
    EXPECT_TRUE(t.CloseDevice(&first));
    EXPECT_FALSE(qvds_is_live(live));
    // Now the entry's pointer is stale: ignored, and the open succeeds.
    T_DevicesInfo* second = t.OpenDeviceForNati(&entry);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(t.CloseDevice(&second));
    EXPECT_EQ(qv::OpenSerialRecordCount(), 0u);
}

TEST(SerialTransport, BadSettingsAndMissingPortsFailCleanly) {
    SimProcess sim({{.com = 82}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration() + ";COM83=/nonexistent/quorvia/tty:serial");
    qv::CSerialCommunication t;

    T_DevicesInfo zeroCom = RecordFor(0, 115200);
    EXPECT_EQ(t.OpenDeviceForNati(&zeroCom), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Open com device failed");
    T_DevicesInfo zeroBaud = RecordFor(82, 0);
    EXPECT_EQ(t.OpenDeviceForNati(&zeroBaud), nullptr);
    T_DevicesInfo missing = RecordFor(83, 115200);
    EXPECT_EQ(t.OpenDeviceForNati(&missing), nullptr);
    T_DevicesInfo undeclared = RecordFor(65535, 115200);
    EXPECT_EQ(t.OpenDeviceForNati(&undeclared), nullptr);

    char buf[8];
    EXPECT_FALSE(t.Write(nullptr, "A", 1));
    EXPECT_EQ(t.Read(nullptr, buf, sizeof buf, 10), 0);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(t.OpenDevice(nullptr, 0), nullptr);
    EXPECT_EQ(t.OpenDeviceForNati(nullptr), nullptr);
    EXPECT_EQ(t.EnumDevices(nullptr), nullptr);
    EXPECT_TRUE(t.CloseDevice(nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Memory allocation failed");
    int32_t result = 0;
    EXPECT_FALSE(t.UpdateKernelDevice(nullptr, "fw.bin", 0, &result));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(SerialTransport, OpenCloseCyclesLeakNoThreadOrDescriptor) {
    SimProcess sim({{.com = 84}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ScopedEnv env("QUORVIA_COM_PORTS", sim.declaration());
    qv::CSerialCommunication t;
    T_DevicesInfo entry = RecordFor(84, 115200);
    // One cycle first, so lazily created process-wide state is in place.
    T_DevicesInfo* dev = t.OpenDeviceForNati(&entry);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(t.CloseDevice(&dev));
    const int fds = CountEntries("/proc/self/fd");
    const int threads = CountEntries("/proc/self/task");
    const std::string frame("\x7E\x01" "0000@BEEPON;\x03");
    for (int i = 0; i < 20; ++i) {
        entry.pOpenStream = nullptr;
        dev = t.OpenDeviceForNati(&entry);
        ASSERT_NE(dev, nullptr);
        ASSERT_TRUE(t.Write(dev, frame.data(), static_cast<uint32_t>(frame.size())));
        ASSERT_TRUE(t.CloseDevice(&dev));
        // Failed opens leave nothing behind either.
        T_DevicesInfo bad = RecordFor(9999, 115200);
        EXPECT_EQ(t.OpenDeviceForNati(&bad), nullptr);
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}
