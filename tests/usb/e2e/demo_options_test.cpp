// QuorviaDemo's options run as a user runs them, against simulated scanners
// on ptys, on 127.0.0.1 and behind fake USB nodes, for what the other demo
// tests leave out: the output lines and files of each run, the bytes the
// scanner received, and runs that find no scanner at all.
//
// The demo is a child process of this program: it inherits umockdev's preload
// and test bed (so it sees the fake USB scanners) and this program's private
// network namespace (so its discovery datagrams stay here).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_usb.h"
#include "net_helpers.h"
#include "sim_process.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

// The demo enumerates with flags 15, network discovery included: this program
// moves into a network namespace of its own before its first test, so that
// no other test program's simulated network scanners answer, and no test runs
// anywhere else.
class OwnPrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override {
        std::string why;
        if (!qvtest::EnterPrivateNetwork(&why)) std::fprintf(stderr, "note: %s\n", why.c_str());
        ASSERT_TRUE(qvtest::PrivateNetwork());
    }
};
::testing::Environment* const kOwnPrivateNetwork = ::testing::AddGlobalTestEnvironment(new OwnPrivateNetwork);

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

size_t Count(const std::string& out, const std::string& text) {
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) ++n;
    return n;
}

struct DemoRun {
    std::string output;
    int status = -1;
};

#if defined(__SANITIZE_THREAD__)
// The demo runs under umockdev's preload as this program does, and under
// ThreadSanitizer it needs the same libraries silenced (see usb_test_main.cpp):
// their locking, and the descriptors the preload looks at, are invisible to it.
// libudev too: the preload opens sysfs files and directories for it past the
// sanitizer, which then takes a descriptor number that one thread closed and
// libudev got again for a new file for one descriptor used by both threads.
std::string DemoThreadSanitizerOptions() {
    static const qvtest::TempDir dir("qv_demo_tsan");
    static const std::string options = [] {
        const fs::path file = dir.path() / "suppressions";
        std::ofstream(file) << "race:libglib-2.0.so\nrace:libgio-2.0.so\nrace:libumockdev-preload.so\n"
                               "race:libudev.so\n";
        const char* old = std::getenv("TSAN_OPTIONS");
        const std::string before = old != nullptr && old[0] != '\0' ? std::string(old) + ":" : "";
        return "TSAN_OPTIONS=" + before + "suppressions=" + file.string();
    }();
    return options;
}
#endif

std::vector<std::string> DemoEnv(const SimProcess& sim) {
    std::vector<std::string> env{"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0"};
#if defined(__SANITIZE_THREAD__)
    env.push_back(DemoThreadSanitizerOptions());
#endif
    return env;
}

DemoRun RunDemo(const SimProcess& sim, const std::string& option, const fs::path& dir) {
    std::vector<std::string> argv{QV_DEMO_PATH};
    if (!option.empty()) argv.push_back(option);
    ChildProcess demo(argv, DemoEnv(sim), dir.string());
    DemoRun run;
    run.output = demo.ReadAll(60000);
    run.status = demo.Wait(5000);
    return run;
}

// The reply frame of a scanner to one command it accepts.
std::string AcceptedReply(const std::string& command) {
    return std::string("\x02\x01" "0000@") + command + "\x06;\x03";
}

}  // namespace

// No scanner answers: the two enumeration lines, then the program ends as
// after a run over every device.
TEST(DemoOptions, NoScannerFound) {
    qvtest::FakeUsbBed bed;
    SimProcess sim({{.com = 41, .options = "mode=silent"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::TempDir dir("qv_demo_options");
    const DemoRun run = RunDemo(sim, "", dir.path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices begin\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices end deviceCounts=0\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "\nall over\n")) << run.output;
    EXPECT_FALSE(Has(run.output, "hDevice=")) << run.output;
    EXPECT_FALSE(Has(run.output, "system info")) << run.output;
}

// The hex text is written with framing on: the scanner gets it inside a
// command frame of its own, and the demo prints the reply to that.
TEST(DemoOptions, WriteAsHexSendsTheHexTextFramed) {
    qvtest::FakeUsbBed bed;
    SimProcess sim({{.com = 42, .options = "id=Hex Scanner"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::TempDir dir("qv_demo_options");
    const DemoRun run = RunDemo(sim, "--WriteAsHex", dir.path());
    EXPECT_EQ(run.status, 0) << run.output;
    // The decoded bytes 7E 01 "0000@QRYSYS;" 03 as the frame's text: the
    // scanner's frame ends at the first ";" 03, so it sees the command
    // 7E 01 "0000@QRYSYS".
    const std::string inner = std::string("\x7E\x01" "0000@QRYSYS");
    EXPECT_EQ(sim.command("last 42"), "OK " + sim_hex(sim_command_frame(inner)));
    const std::string reply = AcceptedReply(inner);
    EXPECT_TRUE(Has(run.output, "status=0\nnRet=" + std::to_string(reply.size()) + ", receivedData=" + reply + "\n"))
        << run.output;
}

// --SendBmpDecode opens, reads the status and closes: no upload starts.
TEST(DemoOptions, SendBmpDecodeOnlyOpensAndCloses) {
    qvtest::FakeUsbBed bed;
    SimProcess sim({{.com = 43}, {.com = 44}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::TempDir dir("qv_demo_options");
    const DemoRun run = RunDemo(sim, "--SendBmpDecode", dir.path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Count(run.output, ", succeed in opening the device\nstatus=0\n"), 2u) << run.output;
    EXPECT_EQ(Count(run.output, "hDevice=(nil),succeed in closing the device\nT_DeviceStatus t=2\n"), 2u)
        << run.output;
    for (int com : {43, 44}) {
        const std::string stats = sim.command("decode " + std::to_string(com) + " stats");
        EXPECT_TRUE(Has(stats, "announces=0 ")) << stats;
        EXPECT_TRUE(Has(stats, "uploads=0 ")) << stats;
    }
    EXPECT_TRUE(Has(run.output, "all over\n")) << run.output;
}

// Each scanner's picture goes to a file named after its index; nothing but
// the size lines is printed.
TEST(DemoOptions, GetPictureSavesOneFilePerScanner) {
    qvtest::FakeUsbBed bed;
    SimProcess sim({{.com = 45}, {.com = 46}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.command("picture 46 size=320x240"), "OK");
    qvtest::TempDir dir("qv_demo_options");
    const DemoRun run = RunDemo(sim, "--GetPicture", dir.path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "status=0\nqv_GetPicSize isGetPicSizeOK=1\nimgWidth=640,imgHeight=480\n"))
        << run.output;
    EXPECT_TRUE(Has(run.output, "status=0\nqv_GetPicSize isGetPicSizeOK=1\nimgWidth=320,imgHeight=240\n"))
        << run.output;
    EXPECT_FALSE(Has(run.output, "isOK")) << run.output;
    // 8-bit BMP: 54-byte header, 1024-byte palette, rows of width bytes.
    EXPECT_EQ(fs::file_size(dir.path() / "10.bmp"), 1078u + 640u * 480u);
    EXPECT_EQ(fs::file_size(dir.path() / "11.bmp"), 1078u + 320u * 240u);
}

// The listener on a network scanner prints its barcodes as they come and
// stops cleanly on SIGTERM.
TEST(DemoOptions, SetListenerOnANetworkScanner) {
    qvtest::FakeUsbBed bed;
    SimProcess sim({}, {{.number = 47, .options = "id=Net Listener"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    qvtest::TempDir dir("qv_demo_options");
    ChildProcess demo({QV_DEMO_PATH, "--SetListener"}, DemoEnv(sim), dir.path().string(),
                      ChildProcess::Input::kNull);
    std::string seen;
    ASSERT_TRUE(demo.WaitForLine("status=0", 60000, &seen)) << seen;
    // The demo's connection may still wait in the simulator's accept queue (a
    // scanner with no host attached drops what it would send): emit once the
    // simulator has taken it.
    ASSERT_TRUE(qvtest::WaitFor([&] { return Has(sim.command("stats net47"), "connected=1"); }))
        << sim.command("stats net47");
    ASSERT_EQ(sim.command("emit net47 2"), "OK");
    ASSERT_TRUE(demo.WaitForLine(sim_barcode_text(47, 2), 10000, &seen)) << seen;
    EXPECT_TRUE(Has(seen, "-----------ReadCallback len=")) << seen;
    EXPECT_TRUE(Has(seen, "buf=" + sim_barcode_text(47, 1))) << seen;
    ASSERT_TRUE(demo.Signal(SIGTERM));
    std::string rest = demo.ReadAll(20000);
    EXPECT_TRUE(Has(rest, "hDevice=(nil),succeed in closing the device\nT_DeviceStatus t=2\n")) << rest;
    EXPECT_TRUE(Has(rest, "all over\n")) << rest;
    EXPECT_EQ(demo.Wait(5000), 0) << rest;
}

namespace {

// A HID scanner (64-byte reports) behind a fake hidraw node, played by the
// simulator, next to a simulated scanner on a pty. USB scanners are listed
// first.
class UsbAndSerial : public ::testing::Test {
protected:
    void SetUp() override {
        bed_.AddHidScanner("1-1", 0x5EC7, 0x0010, 1, 0, "hidraw0", "SN-DEMO");
        const int fd = bed_.HandOverNode("/dev/hidraw0");
        sim_ = std::make_unique<SimProcess>(std::vector<SimProcess::Port>{
            {.com = 1, .options = "hidfd=" + std::to_string(fd) + ",id=Usb Demo,base=Usb Base"},
            {.com = 48, .options = "id=Serial Demo,base=Serial Base"}});
        close(fd);  // the simulator has it now
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    DemoRun Run(const std::string& option) { return RunDemo(*sim_, option, dir_.path()); }

    qvtest::FakeUsbBed bed_;
    std::unique_ptr<SimProcess> sim_;
    qvtest::TempDir dir_{"qv_demo_options"};
};

}  // namespace

TEST_F(UsbAndSerial, DefaultRunAndIdentity) {
    DemoRun run = Run("");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices end deviceCounts=2\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "system info: \n" + AcceptedReply("QRYSYSUsb Demo") + "\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "system info: \n" + AcceptedReply("QRYSYSSerial Demo") + "\n")) << run.output;
    EXPECT_LT(run.output.find("Usb Demo"), run.output.find("Serial Demo")) << run.output;

    run = Run("--GetDeviceInfo");
    EXPECT_TRUE(Has(run.output, "GetDeviceInfo -------- info\n Usb Demo\ntype=2\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "GetDeviceInfo -------- info\n Serial Demo\ntype=1\n")) << run.output;
}

TEST_F(UsbAndSerial, BaseInfoOfTheFirstScannerOnly) {
    const DemoRun run = Run("--BaseInfo");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices end deviceCounts=2\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "begin query base info\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "base info:Usb Base\n")) << run.output;
    EXPECT_FALSE(Has(run.output, "Serial Base")) << run.output;
    EXPECT_FALSE(Has(run.output, "hDevice=")) << run.output;
    EXPECT_FALSE(Has(run.output, "all over")) << run.output;
}

TEST_F(UsbAndSerial, CommandsOverReports) {
    DemoRun run = Run("--SendCommand");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Count(run.output, "status=0\nresult=1\n"), 2u) << run.output;
    EXPECT_EQ(sim_->command("last 1"), "OK " + sim_hex(sim_command_frame("QRYSYS")));

    run = Run("--GetCommandResponse");
    EXPECT_EQ(Count(run.output, "result=1,recvLen=1\nrecvData=!\n"), 2u) << run.output;
}
