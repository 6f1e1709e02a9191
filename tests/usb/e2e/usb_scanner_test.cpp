// USB scanners through the exports of the built library: HID scanners behind
// fake hidraw nodes (umockdev), played by quorvia-sim over 64-byte reports,
// found by qv_EnumDevices, opened, asked, listened to and unplugged; and two
// processes sharing the ShareMemory table.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "e2e_helpers.h"
#include "fake_usb.h"
#include "feature_ioctl_fake.h"
#include "usb_transfer_fake.h"
#include "quorvia.h"
#include "sim_pictures.h"

using namespace std::chrono_literals;
using qvtest::FakeUsbBed;
using qvtest::WaitFor;

namespace {

struct HidScanner {
    std::string port;
    uint16_t pid;
    int interfaces;
    int interfaceNumber;
    std::string node;
    std::string serial;
    int com;  // the simulator's name for it
    std::string id;
};

// Fake HID scanners, each played by a port of one simulator over its node,
// plus simulated COM-port scanners on ptys.
class UsbSim {
public:
    UsbSim(FakeUsbBed& bed, const std::vector<HidScanner>& scanners,
           const std::vector<SimProcess::Port>& serialPorts = {}) {
        std::vector<SimProcess::Port> ports = serialPorts;
        std::vector<int> handed;
        for (const HidScanner& s : scanners) {
            bed.AddHidScanner(s.port, 0x5EC7, s.pid, s.interfaces, s.interfaceNumber, s.node, s.serial);
            const int fd = bed.HandOverNode("/dev/" + s.node);
            handed.push_back(fd);
            ports.push_back({.com = s.com, .options = "hidfd=" + std::to_string(fd) + ",id=" + s.id});
        }
        sim_ = std::make_unique<SimProcess>(ports);
        for (int fd : handed) close(fd);  // the simulator has them now
        env_ = std::make_unique<qvtest::ScopedEnv>("QUORVIA_COM_PORTS", sim_->declaration());
    }
    SimProcess& sim() { return *sim_; }

private:
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<qvtest::ScopedEnv> env_;
};

std::string PathOf(const T_DevicesInfo& e) {
    std::string s;
    const char16_t* path = e.UsbDeviceDescriptor.path;
    for (size_t i = 0; i < 501 && path[i] != 0; ++i) s += static_cast<char>(path[i]);
    return s;
}

int32_t State(void* h) { return std::atomic_ref<int32_t>(static_cast<T_DevicesInfo*>(h)->isAsynRead).load(); }

std::mutex g_mutex;
std::string g_heard;
void Heard(void*, const char* data, uint32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_heard.append(data, n);
}
std::string HeardSoFar() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_heard;
}

const std::string kLongId = "Long Identity Scanner," + std::string(150, 'L') + ",FW:9.99";

}  // namespace

TEST(UsbScanners, ListedFirstWithTheirIdentity) {
    FakeUsbBed bed;
    UsbSim sims(bed,
                {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-K2", 1, "HID Kind Two,SN:K2"},
                 {"1-2", 0x0022, 2, 1, "hidraw1", "SN-K3", 2, kLongId}},
                {{.com = 31}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 15);
    ASSERT_EQ(count, 3);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].deviceCount, 3);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].transportKind, QV_TRANSPORT_USB) << i;
        EXPECT_EQ(list[i].index, i);
        EXPECT_EQ(list[i].pOpenStream, nullptr);
    }
    EXPECT_EQ(PathOf(list[0]), "hid#vid_5ec7&pid_0010#1-1:1.0");
    EXPECT_EQ(list[0].UsbDeviceDescriptor.deviceKind, 2);
    EXPECT_STREQ(list[0].devInfo, "HID Kind Two,SN:K2");
    EXPECT_EQ(PathOf(list[1]), "hid#vid_5ec7&pid_0022&mi_01#1-2:1.1");
    EXPECT_EQ(list[1].UsbDeviceDescriptor.deviceKind, 3);
    EXPECT_EQ(list[1].UsbDeviceDescriptor.interfaceNumber, 1);
    EXPECT_EQ(std::string(list[1].devInfo), kLongId) << "a reply over several reports";
    EXPECT_EQ(list[2].transportKind, QV_TRANSPORT_SERIAL);
    T_DevInfo info;
    ASSERT_TRUE(qv_GetDeviceInfo(list, 0, &info));
    EXPECT_EQ(info.devType, QV_DEVTYPE_USB);

    list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 2) << "flag 4: USB scanners only";
    EXPECT_EQ(list[0].UsbDeviceDescriptor.deviceKind, 2);
    qv_ReleaseDevices(&list);
}

TEST(UsbScanners, CommandsAndTheListenerOverReports) {
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-A", 1, kLongId}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();

    char reply[2048];
    int32_t len = sizeof reply;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false)) << qv_GetLastError();
    const std::string frame(reply, static_cast<size_t>(len));
    EXPECT_EQ(len, static_cast<int32_t>(16 + kLongId.size()));
    EXPECT_EQ(frame.substr(13, kLongId.size()), kLongId);
    EXPECT_EQ(qv_SendCommand(h, "BEPLVL2", 7), QV_CMD_ACCEPTED);
    EXPECT_EQ(sims.sim().command("status 1 BEPLVL nak"), "OK");
    EXPECT_EQ(qv_SendCommand(h, "BEPLVL3", 7), QV_CMD_NAK);
    // The last frame the scanner got came over output reports intact.
    EXPECT_EQ(sims.sim().command("last 1"), "OK " + sim_hex(sim_command_frame("BEPLVL3")));

    // Barcodes: a first batch read with qv_GetCodeData, then the listener.
    EXPECT_EQ(sims.sim().command("emit 1 3"), "OK");
    std::vector<char> codes(4096);
    int32_t codeLen = static_cast<int32_t>(codes.size());
    std::string got;
    WaitFor([&] {
        codeLen = static_cast<int32_t>(codes.size());
        if (qv_GetCodeData(h, codes.data(), &codeLen, 200)) got.append(codes.data(), static_cast<size_t>(codeLen));
        return parse_sim_barcodes(got).size() >= 3;
    });
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(got), 1, 1, 3));
    qv_SetListener(h, Heard);
    EXPECT_EQ(sims.sim().command("emit 1 200"), "OK");
    ASSERT_TRUE(WaitFor([] { return parse_sim_barcodes(HeardSoFar()).size() >= 200; }, 30000));
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(HeardSoFar()), 1, 4, 200, &why)) << why;
    // A command while the listener runs.
    len = sizeof reply;
    EXPECT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false));
    EXPECT_TRUE(qv_StopListener(h));
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
}

// Pictures travel in 62-byte pieces of input reports: a whole grey picture
// (its bytes include runs that look like frame ends), its colour type, and a
// picture fetched while the listener takes barcodes, none of whose bytes
// reach the listener.
TEST(UsbScanners, PicturesOverReports) {
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-P", 1, "HID Camera,SN:P"}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();

    int32_t w = 0, hgt = 0;
    ASSERT_TRUE(qv_GetPicSize(h, &w, &hgt)) << qv_GetLastError();
    EXPECT_EQ(w, 640);
    EXPECT_EQ(hgt, 480);
    const std::string want = qvsim::grey_picture(640, 480);
    std::vector<char> buf(want.size());
    ASSERT_TRUE(qv_GetPicData(h, buf.data(), static_cast<int32_t>(buf.size()))) << qv_GetLastError();
    EXPECT_TRUE(std::memcmp(buf.data(), want.data(), want.size()) == 0);
    STImgResolution size{};
    int32_t dataLength = 0;
    EXPECT_EQ(qv_GetDeviceImageColorType(h, &size, &dataLength), QV_IMAGE_COLOR_GREY) << qv_GetLastError();
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 480);
    EXPECT_EQ(dataLength, 640 * 480);

    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_heard.clear();
    }
    qv_SetListener(h, Heard);
    EXPECT_EQ(sims.sim().command("emit 1 100 5"), "OK");
    for (int i = 0; i < 3; ++i) {
        ImgParam p{};
        uint32_t len = static_cast<uint32_t>(buf.size());
        ASSERT_TRUE(qv_GetPicDataByConfig(h, p, buf.data(), &len, nullptr)) << i << " " << qv_GetLastError();
        ASSERT_EQ(len, want.size());
        EXPECT_TRUE(std::memcmp(buf.data(), want.data(), want.size()) == 0) << "picture " << i;
    }
    ASSERT_TRUE(WaitFor([] { return parse_sim_barcodes(HeardSoFar()).size() >= 100; }, 30000));
    EXPECT_TRUE(qv_StopListener(h));
    // Nothing but the barcode lines: the listener heard every one of them and
    // not one picture byte.
    const std::string heard = HeardSoFar();
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(heard), 1, 1, 100, &why)) << why;
    EXPECT_EQ(heard.size(), 100 * (sim_barcode_text(1, 1).size() + 2)) << "picture bytes reached the listener";
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
}

TEST(UsbScanners, FeatureReportAtOpenOfKindThree) {
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-2", 0x0022, 2, 1, "hidraw1", "SN-K3", 2, "Kind Three"}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    const size_t before = qvtest::FakeFeatureReports().size();
    auto since = [&] {
        const auto all = qvtest::FakeFeatureReports();
        return std::vector<std::vector<uint8_t>>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    };
    const std::vector<uint8_t> on = {0xFE, 0x01}, off = {0xFE, 0x00};
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0].devInfo, "Kind Three");
    // The enumeration's identity query opened and closed it once.
    EXPECT_EQ(since(), (std::vector<std::vector<uint8_t>>{on, off}));
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(since(), (std::vector<std::vector<uint8_t>>{on, off, on}));
    char reply[256];
    int32_t len = sizeof reply;
    EXPECT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &len, 2000, true, false));
    EXPECT_TRUE(qv_CloseDevice(&h));
    EXPECT_EQ(since(), (std::vector<std::vector<uint8_t>>{on, off, on, off}));
    qv_ReleaseDevices(&list);
}

TEST(UsbScanners, AnUnpluggedScannerEndsReadsAndTheListener) {
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-A", 1, "Scanner A"},
                      {"1-3", 0x0010, 1, 0, "hidraw2", "SN-B", 3, "Scanner B"}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 2);
    void* reader = qv_OpenDevice(list, 0, 0);
    void* listened = qv_OpenDevice(list, 1, 0);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(listened, nullptr);
    qv_SetListener(listened, Heard);
    ASSERT_TRUE(WaitFor([&] { return State(listened) == QV_LISTENER_RUNNING; }));
    std::atomic<int32_t> readResult{0};
    std::thread blocked([&] {
        char buf[64];
        readResult = qv_Read(reader, buf, sizeof buf, 20000);
    });
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sims.sim().command("unplug 1"), "OK");
    EXPECT_EQ(sims.sim().command("unplug 3"), "OK");
    blocked.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "not the 20 s time-out";
    EXPECT_EQ(readResult.load(), -1);
    char buf[64];
    EXPECT_EQ(qv_Read(reader, buf, sizeof buf, 500), -1);
    EXPECT_STREQ(qv_GetLastError(), "Read from usb error, com push out");
    EXPECT_TRUE(WaitFor([&] { return State(listened) == QV_LISTENER_READ_ERROR; })) << State(listened);
    EXPECT_FALSE(qv_Write(reader, "x", 1, false));
    EXPECT_STREQ(qv_GetLastError(), "Write to usb error");
    EXPECT_TRUE(qv_CloseDevice(&reader));
    EXPECT_TRUE(qv_CloseDevice(&listened));
    qv_ReleaseDevices(&list);
}

// A scanner of the vendor USB driver: found and opened through libusb on a
// fake USB device, its bulk endpoints played by quorvia-sim (see
// usb_transfer_fake.h for what answers its transfers).
TEST(UsbScanners, VendorDriverScannerOverBulkEndpoints) {
    FakeUsbBed bed;
    FakeUsbBed::UsbDevice vendor;
    vendor.port = "2-1";
    vendor.vid = 0x6666;
    vendor.pid = 0x0010;
    vendor.bus = 2;
    vendor.address = 5;
    bed.AddVendorInterface(bed.AddUsbDevice(vendor), 0);
    bed.AttachUsbfsHandler("/dev/bus/usb/002/005");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    const int deviceSide = dup(sv[1]);  // inherited by the simulator
    close(sv[1]);
    qvtest::SetFakeBulkPeer(sv[0]);
    SimProcess vendorSim({{.com = 7, .options = "rawfd=" + std::to_string(deviceSide) + ",id=Vendor Driver Scanner"}});
    close(deviceSide);
    ASSERT_TRUE(vendorSim.ok()) << vendorSim.error();
    UsbSim hid(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-H", 1, "HID Scanner"}});
    ASSERT_TRUE(hid.sim().ok()) << hid.sim().error();

    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 15);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(PathOf(list[0]), "usb#vid_6666&pid_0010#2-1:1.0") << "the vendor driver's interfaces come first";
    EXPECT_EQ(list[0].UsbDeviceDescriptor.deviceKind, 1);
    EXPECT_STREQ(list[0].devInfo, "Vendor Driver Scanner");
    EXPECT_EQ(list[1].UsbDeviceDescriptor.deviceKind, 2);
    EXPECT_STREQ(list[1].devInfo, "HID Scanner");

    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr) << qv_GetLastError();
    EXPECT_EQ(qv_SendCommand(h, "BEPLVL2", 7), QV_CMD_ACCEPTED);
    EXPECT_EQ(vendorSim.command("last 7"), "OK " + sim_hex(sim_command_frame("BEPLVL2")));
    qv_SetListener(h, Heard);
    const size_t before = parse_sim_barcodes(HeardSoFar()).size();
    EXPECT_EQ(vendorSim.command("emit 7 50"), "OK");
    ASSERT_TRUE(WaitFor([&] { return parse_sim_barcodes(HeardSoFar()).size() >= before + 50; }, 30000));
    std::vector<SimBarcode> codes = parse_sim_barcodes(HeardSoFar());
    codes.erase(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_TRUE(check_sim_sequence(codes, 7, 1, 50));
    // Unplugged: the listener ends with a read error, reads fail.
    EXPECT_EQ(vendorSim.command("unplug 7"), "OK");
    EXPECT_TRUE(WaitFor([&] { return State(h) == QV_LISTENER_READ_ERROR; })) << State(h);
    char buf[64];
    EXPECT_EQ(qv_Read(h, buf, sizeof buf, 500), -1);
    EXPECT_STREQ(qv_GetLastError(), "Read from usb error, com push out");
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
    qvtest::SetFakeBulkPeer(-1);
    close(sv[0]);
}

// Two processes with one ShareMemory table: each opens the scanner the other
// does not hold. The second process is this program again, in the role below.
TEST(UsbScanners, TwoProcessesEachOpenAnotherScanner) {
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-FIRST", 1, "First"},
                      {"1-2", 0x0010, 1, 0, "hidraw1", "SN-SECOND", 2, "Second"}});
    ASSERT_TRUE(sims.sim().ok()) << sims.sim().error();
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 2);
    void* first = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(first, nullptr);

    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    ChildProcess other({self, "--gtest_filter=UsbScannersOtherProcess.OpensWhatIsFree"},
                       {"QV_USB_OTHER_PROCESS=1"});
    std::string seen;
    ASSERT_TRUE(other.WaitForLine("OPENED", 60000, &seen)) << seen;
    EXPECT_NE(seen.find("OPENED Second"), std::string::npos) << seen;
    // This process still works with its own scanner meanwhile.
    char reply[256];
    int32_t len = sizeof reply;
    EXPECT_TRUE(qv_GetCommandResponse(first, "QRYSYS", 6, reply, &len, 2000, true, false));
    other.CloseInput();
    EXPECT_EQ(other.Wait(60000), 0) << other.ReadAll(1000);
    EXPECT_TRUE(qv_CloseDevice(&first));
    // Both closed: both are listed again.
    list = qv_EnumDevices(&count, 4);
    EXPECT_EQ(count, 2);
    qv_ReleaseDevices(&list);
}

TEST(UsbScannersOtherProcess, OpensWhatIsFree) {
    if (std::getenv("QV_USB_OTHER_PROCESS") == nullptr) GTEST_SKIP() << "run by TwoProcessesEachOpenAnotherScanner";
    FakeUsbBed bed;
    UsbSim sims(bed, {{"1-1", 0x0010, 1, 0, "hidraw0", "SN-FIRST", 1, "First"},
                      {"1-2", 0x0010, 1, 0, "hidraw1", "SN-SECOND", 2, "Second"}});
    ASSERT_TRUE(sims.sim().ok());
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 4);
    ASSERT_EQ(count, 1) << "the other process holds SN-FIRST";
    void* h = qv_OpenDevice(list, 0, 0);
    ASSERT_NE(h, nullptr);
    std::printf("OPENED %s\n", list[0].devInfo);
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
    EXPECT_TRUE(qv_CloseDevice(&h));
    qv_ReleaseDevices(&list);
}
