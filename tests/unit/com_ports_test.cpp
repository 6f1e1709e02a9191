// The COM-port list: system ports read from a sysfs tree built by the test,
// declared ports from text, how the sources combine, and opening by number.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "portstream/com_port_list.h"
#include "portstream/serial_detect_internal.h"
#include "portstream/settings_file.h"

namespace fs = std::filesystem;
using qv::platform::ComPortInfo;
using qv::ComPortSources;

namespace {

using qvtest::TempDir;
using EnvVar = qvtest::ScopedEnv;

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A sysfs tree: class/tty/<name>/device -> devices/<name>, whose driver link
// points at bus/drivers/<driver>.
class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : root_(root) {
        fs::create_directories(root_ / "class/tty");
    }

    // A tty with hardware behind it. An empty driver leaves the driver link out;
    // type is written when given (ttyS ports).
    void AddDeviceTty(const std::string& name, const std::string& driver,
                      const std::optional<std::string>& type = std::nullopt) {
        const fs::path dev = root_ / "devices" / ("dev_" + name);
        fs::create_directories(dev);
        if (!driver.empty()) {
            const fs::path drv = root_ / "bus/drivers" / driver;
            fs::create_directories(drv);
            fs::create_directory_symlink(drv, dev / "driver");
        }
        const fs::path tty = root_ / "class/tty" / name;
        fs::create_directories(tty);
        fs::create_directory_symlink(dev, tty / "device");
        if (type) WriteFile(tty / "type", *type + "\n");
    }

    // A tty without a device (virtual terminals, ptys, ...).
    void AddVirtualTty(const std::string& name) { fs::create_directories(root_ / "class/tty" / name); }

    void SetConsole(const std::string& active) { WriteFile(root_ / "class/tty/console/active", active + "\n"); }

    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

struct Expected {
    uint32_t number;
    std::string path;
    std::string deviceName;
};

void ExpectPorts(const std::vector<ComPortInfo>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(got[i].number, want[i].number);
        EXPECT_EQ(got[i].path, want[i].path);
        EXPECT_EQ(got[i].deviceName, want[i].deviceName);
    }
}

// The machine-like tree most tests use.
void BuildMachine(FakeSysfs& sys) {
    sys.AddDeviceTty("ttyS0", "port", "4");        // the console
    sys.AddDeviceTty("ttyS1", "port", "4");        // a real UART, recent kernel naming
    sys.AddDeviceTty("ttyS2", "port", "0");        // a ghost: no UART behind it
    sys.AddDeviceTty("ttyS3", "serial8250", "4");  // older kernel naming
    sys.AddDeviceTty("ttyUSB0", "cp210x");
    sys.AddDeviceTty("ttyUSB1", "ftdi_sio");
    sys.AddDeviceTty("ttyACM0", "cdc_acm");
    sys.AddDeviceTty("ttyAMA0", "uart-pl011");
    sys.AddDeviceTty("ttyAMA1", "amba-pl011");    // the PL011 under its other driver name
    sys.AddDeviceTty("ttyXR0", "");               // no driver link
    sys.AddDeviceTty("ttyGS", "g_serial");        // no number: cannot be numbered
    sys.AddVirtualTty("tty0");
    sys.AddVirtualTty("tty1");
    sys.AddVirtualTty("ptmx");
    sys.SetConsole("tty0 ttyS0");
}

TEST(ComPortsSystem, NumbersDriversAndSkippedTtys) {
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    BuildMachine(sys);
    const std::string dev = (tmp.path() / "dev").string();

    ExpectPorts(qv::platform::ListSystemPorts(sys.root(), dev),
                {
                    // In tty name order.
                    {2001, dev + "/ttyACM0", "\\Device\\USBSER0"},
                    {3001, dev + "/ttyAMA0", "\\Device\\Serial0"},
                    {3002, dev + "/ttyAMA1", "\\Device\\Serial1"},
                    {2, dev + "/ttyS1", "\\Device\\Serial1"},
                    {4, dev + "/ttyS3", "\\Device\\Serial3"},
                    {1001, dev + "/ttyUSB0", "\\Device\\Silabser0"},
                    {1002, dev + "/ttyUSB1", "\\Device\\ftdi_sio1"},
                    {4001, dev + "/ttyXR0", "\\Device\\Serial0"},
                });
}

TEST(ComPortsSystem, OtherTtysNumberedFrom4001InNameOrder) {
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    sys.AddDeviceTty("ttyXRUSB1", "xr_serial");
    sys.AddDeviceTty("ttyMFD0", "mfd");
    sys.AddDeviceTty("ttyS5", "port", "4");
    const std::string dev = (tmp.path() / "dev").string();
    ExpectPorts(qv::platform::ListSystemPorts(sys.root(), dev),
                {
                    {4001, dev + "/ttyMFD0", "\\Device\\mfd0"},
                    {6, dev + "/ttyS5", "\\Device\\Serial5"},
                    {4002, dev + "/ttyXRUSB1", "\\Device\\xr_serial1"},
                });
}

TEST(ComPortsSystem, PlainSerialDriversClassifyAsPlainSerialPorts) {
    // The PL011 UART appears under both of its driver names; 8250 ports under
    // the generic "port" driver of recent kernels and "serial8250" of older ones.
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    sys.AddDeviceTty("ttyAMA0", "amba-pl011");
    sys.AddDeviceTty("ttyAMA1", "uart-pl011");
    sys.AddDeviceTty("ttyS0", "port", "4");
    sys.AddDeviceTty("ttyS1", "serial8250", "4");
    const auto ports = qv::platform::ListSystemPorts(sys.root(), (tmp.path() / "dev").string());
    ASSERT_EQ(ports.size(), 4u);
    for (const ComPortInfo& p : ports) {
        SCOPED_TRACE(p.path);
        EXPECT_EQ(qv::serialdetect::ClassifyPortName(p.deviceName, QVDS_ENUM_ALL).kind, QVDS_PORT_SERIAL);
        EXPECT_EQ(qv::serialdetect::ClassifyPortName(p.deviceName, QVDS_ENUM_USB_VCOM).kind, 0)
            << "a plain serial port is no USB virtual COM port";
    }
}

TEST(ComPortsSystem, NumbersNeverCollide) {
    // Every family has a range of 1000 numbers; a tty beyond its family's range,
    // or one whose number is not written the kernel's way, joins the other ttys
    // from 4001 on in name order.
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    for (const char* name : {"ttyS0", "ttyS100", "ttyS999", "ttyS1000", "ttyS1001"}) {
        sys.AddDeviceTty(name, "port", "4");
    }
    for (const char* name : {"ttyUSB0", "ttyUSB100", "ttyUSB999", "ttyUSB1000", "ttyUSB007"}) {
        sys.AddDeviceTty(name, "ftdi_sio");
    }
    for (const char* name : {"ttyACM0", "ttyACM100", "ttyACM999", "ttyACM1000"}) sys.AddDeviceTty(name, "cdc_acm");
    for (const char* name : {"ttyAMA0", "ttyAMA100", "ttyAMA999"}) sys.AddDeviceTty(name, "uart-pl011");
    sys.AddDeviceTty("ttyMFD0", "mfd");
    const std::string dev = (tmp.path() / "dev").string();

    std::map<std::string, uint32_t> numbers;
    std::set<uint32_t> seen;
    for (const ComPortInfo& p : qv::platform::ListSystemPorts(sys.root(), dev)) {
        const std::string name = fs::path(p.path).filename().string();
        numbers[name] = p.number;
        EXPECT_TRUE(seen.insert(p.number).second) << name << " got COM" << p.number << ", already taken";
        EXPECT_GE(p.number, 1u);
        EXPECT_LE(p.number, 65535u);
    }
    const std::map<std::string, uint32_t> expected = {
        {"ttyS0", 1},         {"ttyS100", 101},     {"ttyS999", 1000},
        {"ttyUSB0", 1001},    {"ttyUSB100", 1101},  {"ttyUSB999", 2000},
        {"ttyACM0", 2001},    {"ttyACM100", 2101},  {"ttyACM999", 3000},
        {"ttyAMA0", 3001},    {"ttyAMA100", 3101},  {"ttyAMA999", 4000},
        // Name order: ttyACM1000 < ttyMFD0 < ttyS1000 < ttyS1001 < ttyUSB007 < ttyUSB1000.
        {"ttyACM1000", 4001}, {"ttyMFD0", 4002},    {"ttyS1000", 4003},
        {"ttyS1001", 4004},   {"ttyUSB007", 4005},  {"ttyUSB1000", 4006},
    };
    EXPECT_EQ(numbers, expected);
}

TEST(ComPortsSystem, TtysBeyondTheLastComNumberAreLeftOut) {
    // 4001..65535 hold 61535 other ttys; the family ranges stay theirs.
    std::vector<std::string> names;
    for (int i = 0; i < 61540; ++i) names.push_back("ttyX" + std::to_string(i));
    names.push_back("ttyUSB3");
    names.push_back("ttyS9");
    names.push_back("ttyGS");  // no number at all
    const std::vector<uint32_t> numbers = qv::platform::ComNumbersForTtys(names);
    ASSERT_EQ(numbers.size(), names.size());
    std::set<uint32_t> taken;
    size_t leftOut = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (numbers[i] == 0) {
            ++leftOut;
            continue;
        }
        EXPECT_TRUE(taken.insert(numbers[i]).second) << names[i];
        EXPECT_LE(numbers[i], 65535u) << names[i];
    }
    EXPECT_EQ(leftOut, 5u + 1u) << "five ttyX beyond COM65535, and ttyGS";
    EXPECT_EQ(numbers[names.size() - 3], 1004u);
    EXPECT_EQ(numbers[names.size() - 2], 10u);
    EXPECT_EQ(numbers[names.size() - 1], 0u);
    EXPECT_EQ(taken.count(4001), 1u);
    EXPECT_EQ(taken.count(65535), 1u);
}

TEST(ComPortsSystem, MissingTreeGivesNoPorts) {
    TempDir tmp("qv_com_ports");
    EXPECT_TRUE(qv::platform::ListSystemPorts((tmp.path() / "nothing").string(), "/dev").empty());
}

TEST(ComPortsDeclared, ValidEntries) {
    ExpectPorts(qv::ParseDeclaredPorts(
                    "COM3=/tmp/qv/p1; com12 = /tmp/qv/p2:usbser ;COM65535=/tmp/qv/p3:qvs_vcom_fdo_;"
                    "COM7=/tmp/qv/p4 : silabser;Com008=/tmp/qv/p5"),
                {
                    {3, "/tmp/qv/p1", "\\Device\\serial3"},
                    {12, "/tmp/qv/p2", "\\Device\\usbser12"},
                    {65535, "/tmp/qv/p3", "\\Device\\qvs_vcom_fdo_65535"},
                    {7, "/tmp/qv/p4", "\\Device\\silabser7"},
                    {8, "/tmp/qv/p5", "\\Device\\serial8"},
                });
}

TEST(ComPortsDeclared, MalformedEntriesAreSkipped) {
    ExpectPorts(qv::ParseDeclaredPorts(
                    "COM0=/tmp/a;COM70000=/tmp/b;COM65536=/tmp/c;COM=/tmp/d;COMX=/tmp/e;COM1x=/tmp/f;"
                    "PORT4=/tmp/g;COM5;COM6=;=/tmp/h;COM7=  ;;  ;COM9=/tmp/ok"),
                {{9, "/tmp/ok", "\\Device\\serial9"}});
    EXPECT_TRUE(qv::ParseDeclaredPorts("").empty());
    EXPECT_TRUE(qv::ParseDeclaredPorts(";;;").empty());
}

TEST(ComPortsDeclared, PathsContainingColons) {
    ExpectPorts(qv::ParseDeclaredPorts(
                    "COM1=/tmp/a:b/pty;COM2=/tmp/a:b/pty:com0com;COM3=/tmp/x:us-b;COM4=:usbser"),
                {
                    // Only a plain word after the last colon is a driver word.
                    {1, "/tmp/a:b/pty", "\\Device\\serial1"},
                    {2, "/tmp/a:b/pty", "\\Device\\com0com2"},
                    {3, "/tmp/x:us-b", "\\Device\\serial3"},
                    // A colon at the start cannot separate a path from a word.
                    {4, ":usbser", "\\Device\\serial4"},
                });
}

TEST(ComPortsSources, DeclaredPortsWinOverSystemPortsAndEnvOverSettings) {
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    BuildMachine(sys);
    const std::string dev = (tmp.path() / "dev").string();

    ComPortSources src;
    src.sysRoot = sys.root();
    src.devRoot = dev;
    src.systemPorts = true;
    src.declaredEnv = "COM2=/tmp/qv/env2:usbser;COM50=/tmp/qv/env50;COM50=/tmp/qv/env50b";
    src.declaredSettings = {{"COM50", "/tmp/qv/ini50"},
                            {"COM4", "/tmp/qv/ini4:com0com"},
                            {"COM60", "/tmp/qv/ini60"},
                            {"bogus", "/tmp/qv/x"}};
    ExpectPorts(qv::ListComPorts(src),
                {
                    {2, "/tmp/qv/env2", "\\Device\\usbser2"},        // beats ttyS1
                    {4, "/tmp/qv/ini4", "\\Device\\com0com4"},       // beats ttyS3
                    {50, "/tmp/qv/env50", "\\Device\\serial50"},     // first declaration, env before ini
                    {60, "/tmp/qv/ini60", "\\Device\\serial60"},
                    {1001, dev + "/ttyUSB0", "\\Device\\Silabser0"},
                    {1002, dev + "/ttyUSB1", "\\Device\\ftdi_sio1"},
                    {2001, dev + "/ttyACM0", "\\Device\\USBSER0"},
                    {3001, dev + "/ttyAMA0", "\\Device\\Serial0"},
                    {3002, dev + "/ttyAMA1", "\\Device\\Serial1"},
                    {4001, dev + "/ttyXR0", "\\Device\\Serial0"},
                });

    src.systemPorts = false;
    ExpectPorts(qv::ListComPorts(src),
                {
                    {2, "/tmp/qv/env2", "\\Device\\usbser2"},
                    {4, "/tmp/qv/ini4", "\\Device\\com0com4"},
                    {50, "/tmp/qv/env50", "\\Device\\serial50"},
                    {60, "/tmp/qv/ini60", "\\Device\\serial60"},
                });
}

TEST(ComPortsSources, SystemPortDeclaredUnderAnotherNumberIsListedOnce) {
    // COM7 declared for /dev/ttyACM0 (here through a symlink) while system ports
    // are listed: the tty must not show up a second time as COM2001, or it would
    // be probed, detected and listed twice.
    TempDir tmp("qv_com_ports");
    FakeSysfs sys(tmp.path() / "sys");
    sys.AddDeviceTty("ttyACM0", "cdc_acm");
    sys.AddDeviceTty("ttyACM1", "cdc_acm");
    const fs::path dev = tmp.path() / "dev";
    WriteFile(dev / "ttyACM0", "");
    WriteFile(dev / "ttyACM1", "");
    fs::create_symlink(dev / "ttyACM0", tmp.path() / "scanner");

    ComPortSources src;
    src.sysRoot = sys.root();
    src.devRoot = dev.string();
    src.systemPorts = true;
    src.declaredEnv = "COM7=" + (tmp.path() / "scanner").string() + ":usbser";
    ExpectPorts(qv::ListComPorts(src),
                {
                    {7, (tmp.path() / "scanner").string(), "\\Device\\usbser7"},
                    {2002, (dev / "ttyACM1").string(), "\\Device\\USBSER1"},
                });
}

TEST(ComPortsSources, ConsoleDeclaredAsPortIsNeverListed) {
    // Only stat() and /proc are consulted; the console itself is not opened.
    std::string decl;
    for (const char* console : {"/dev/console", "/dev/tty"}) {
        std::error_code ec;
        if (fs::is_character_file(console, ec)) decl += std::string("COM1=") + console + ";";
    }
    if (decl.empty()) GTEST_SKIP() << "no console device on this machine";
    ComPortSources src;
    src.systemPorts = false;
    src.declaredEnv = decl + "COM3=/tmp/qv/not-a-tty";
    ExpectPorts(qv::ListComPorts(src), {{3, "/tmp/qv/not-a-tty", "\\Device\\serial3"}});
}

TEST(ComPortsSources, CurrentSourcesFromEnvironmentAndSettingsFile) {
    TempDir tmp("qv_com_ports");
    const fs::path ini = tmp.path() / "q.ini";
    WriteFile(ini, "[main]\nSystemPorts=0\n[ports]\nCOM20=/tmp/qv/ini20:usbser\nCOM21=/tmp/qv/ini21\n");
    EnvVar settings("QUORVIA_SETTINGS", ini.c_str());
    EnvVar ports("QUORVIA_COM_PORTS", "COM21=/tmp/qv/env21;COM22=/tmp/qv/env22");

    {
        EnvVar system("QUORVIA_SYSTEM_PORTS", nullptr);
        const ComPortSources src = qv::CurrentComPortSources();
        EXPECT_FALSE(src.systemPorts) << "SystemPorts=0 in the settings file";
        EXPECT_EQ(src.declaredEnv, "COM21=/tmp/qv/env21;COM22=/tmp/qv/env22");
        ExpectPorts(qv::ListComPorts(),
                    {
                        {20, "/tmp/qv/ini20", "\\Device\\usbser20"},
                        {21, "/tmp/qv/env21", "\\Device\\serial21"},
                        {22, "/tmp/qv/env22", "\\Device\\serial22"},
                    });
    }
    {
        EnvVar system("QUORVIA_SYSTEM_PORTS", "1");
        EXPECT_TRUE(qv::CurrentComPortSources().systemPorts) << "the environment wins";
    }
    {
        EnvVar system("QUORVIA_SYSTEM_PORTS", "0");
        EXPECT_FALSE(qv::CurrentComPortSources().systemPorts);
    }
    WriteFile(ini, "[main]\nDetectOld=1\n");
    {
        EnvVar system("QUORVIA_SYSTEM_PORTS", nullptr);
        EXPECT_TRUE(qv::CurrentComPortSources().systemPorts) << "system ports by default";
    }
    {
        EnvVar system("QUORVIA_SYSTEM_PORTS", "0");
        EXPECT_FALSE(qv::CurrentComPortSources().systemPorts);
    }
}

TEST(ComPortsOpen, OpenByNumberReportsWhyItFailed) {
    TempDir tmp("qv_com_ports");
    const fs::path regular = tmp.path() / "plain-file";
    WriteFile(regular, "not a tty");
    const fs::path missing = tmp.path() / "missing";

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);

    const std::string decl = "COM31=" + slave + ";COM32=" + missing.string() + ";COM33=" + regular.string();
    EnvVar ports("QUORVIA_COM_PORTS", decl.c_str());
    EnvVar settings("QUORVIA_SETTINGS", (tmp.path() / "none.ini").c_str());

    uint32_t status = 99;
    EXPECT_EQ(qv::OpenComPort(30, &status), nullptr);
    EXPECT_EQ(status, qv::platform::kOpenNotFound) << "number not in the list";
    status = 99;
    EXPECT_EQ(qv::OpenComPort(32, &status), nullptr);
    EXPECT_EQ(status, qv::platform::kOpenNotFound) << "path does not exist";
    status = 99;
    EXPECT_EQ(qv::OpenComPort(33, &status), nullptr);
    EXPECT_EQ(status, qv::platform::kOpenFailed) << "not a terminal";

    status = 99;
    auto port = qv::OpenComPort(31, &status);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(status, qv::platform::kOpenOk);
    {
        // Exclusive: a second open of the same port is refused while the first lives.
        uint32_t second = 99;
        EXPECT_EQ(qv::OpenComPort(31, &second), nullptr);
        EXPECT_EQ(second, qv::platform::kOpenDenied);
    }
    port.reset();
    status = 99;
    EXPECT_NE(qv::OpenComPort(31, &status), nullptr) << "free again once closed";
    EXPECT_EQ(status, qv::platform::kOpenOk);
    close(master);
}

}  // namespace
