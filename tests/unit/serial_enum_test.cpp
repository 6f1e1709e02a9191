// COM-port enumeration: the device-name classifier, rows from a port list,
// the row cap, the classifier's log lines, and enumeration of declared ptys.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pty_pair.h"
#include "test_env.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "portstream/com_port_list.h"
#include "portstream/serial_detect.h"
#include "portstream/serial_detect_internal.h"

namespace fs = std::filesystem;
using qv::platform::ComPortInfo;
using qv::serialdetect::ClassifyPortName;
using qv::serialdetect::FillPortRows;
using qv::serialdetect::MatchesDriverWord;
using qv::serialdetect::NameLog;

namespace {

using qvtest::TempDir;
using EnvVar = qvtest::ScopedEnv;

constexpr int32_t kAll = QVDS_ENUM_ALL;
constexpr int32_t kUsb = QVDS_ENUM_USB_VCOM;

TEST(PortClassifier, DriverWordNeedsHexDigitsAndNothingElse) {
    EXPECT_TRUE(MatchesDriverWord("serial0", "serial"));
    EXPECT_TRUE(MatchesDriverWord("serial1f", "serial"));
    EXPECT_TRUE(MatchesDriverWord("serialabcdef0123456789", "serial"));
    EXPECT_FALSE(MatchesDriverWord("serial", "serial")) << "no digits";
    EXPECT_FALSE(MatchesDriverWord("serial0g", "serial"));
    EXPECT_FALSE(MatchesDriverWord("serial 0", "serial"));
    EXPECT_FALSE(MatchesDriverWord("xserial0", "serial"));
    EXPECT_FALSE(MatchesDriverWord("seria", "serial"));
    EXPECT_FALSE(MatchesDriverWord("", "serial"));
}

struct ClassCase {
    const char* name;
    int32_t mode;
    uint8_t kind;
    NameLog log;
};

TEST(PortClassifier, KindsInBothModes) {
    const ClassCase cases[] = {
        {"\\Device\\Serial0", kAll, QVDS_PORT_SERIAL, NameLog::kNone},
        {"\\Device\\Serial0", kUsb, 0, NameLog::kNone},
        {"\\DEVICE\\SERIAL12", kAll, QVDS_PORT_SERIAL, NameLog::kNone},
        {"\\Device\\Serial", kAll, QVDS_PORT_OTHER, NameLog::kOther},
        {"\\Device\\Serial", kUsb, 0, NameLog::kNone},
        {"\\Device\\Silabser3", kAll, QVDS_PORT_SERIAL, NameLog::kSilabser},
        {"\\Device\\Silabser3", kUsb, 0, NameLog::kNone},
        {"\\Device\\USBSER000", kAll, QVDS_PORT_OTHER, NameLog::kOther},
        {"\\Device\\USBSER000", kUsb, QVDS_PORT_USB_VCOM, NameLog::kNone},
        {"\\Device\\com0com10", kAll, QVDS_PORT_OTHER, NameLog::kOther},
        {"\\Device\\com0com10", kUsb, QVDS_PORT_COM0COM, NameLog::kNone},
        {"\\Device\\QVS_VCOM_FDO_1A", kUsb, QVDS_PORT_USB_VCOM, NameLog::kNone},
        {"\\Device\\qvs_vcom_0", kUsb, QVDS_PORT_USB_VCOM, NameLog::kNone},
        {"\\Device\\qvscom5", kUsb, QVDS_PORT_USB_VCOM, NameLog::kNone},
        {"\\Device\\oem_cdc_acmSerial7", kUsb, QVDS_PORT_USB_VCOM, NameLog::kNone},
        {"\\Device\\usbser", kUsb, 0, NameLog::kNone},
        {"\\Device\\usbser0g", kUsb, 0, NameLog::kNone},
        {"\\Device\\xusbser1", kUsb, 0, NameLog::kNone},
        {"\\Device\\ftdi_sio1", kAll, QVDS_PORT_OTHER, NameLog::kOther},
        {"\\Device\\ftdi_sio1", kUsb, 0, NameLog::kNone},
        {"\\Device\\", kAll, QVDS_PORT_OTHER, NameLog::kOther},
        // Without the "\device\" prefix a port is never listed.
        {"Serial0", kAll, 0, NameLog::kNone},
        {"\\Driver\\Serial0", kAll, 0, NameLog::kNone},
        {"\\Device", kAll, 0, NameLog::kNone},
        {"", kAll, 0, NameLog::kNone},
    };
    for (const ClassCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(c.mode));
        const auto cls = ClassifyPortName(c.name, c.mode);
        EXPECT_EQ(cls.kind, c.kind);
        EXPECT_EQ(cls.log, c.log);
    }
}

TEST(PortClassifier, EveryModeButAllListsVirtualComPortsOnly) {
    for (int32_t mode : {-1, 0, 1, 5, -3}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(ClassifyPortName("\\Device\\USBSER1", mode).kind, QVDS_PORT_USB_VCOM);
        EXPECT_EQ(ClassifyPortName("\\Device\\com0com2", mode).kind, QVDS_PORT_COM0COM);
        EXPECT_EQ(ClassifyPortName("\\Device\\Serial1", mode).kind, 0);
    }
    // The rest of the name is kept lower-cased for the log lines.
    EXPECT_EQ(ClassifyPortName("\\Device\\SilabSER3", kAll).rest, "silabser3");
}

std::vector<ComPortInfo> Ports(std::initializer_list<std::pair<uint32_t, const char*>> list) {
    std::vector<ComPortInfo> out;
    for (const auto& [number, name] : list) out.push_back({number, "/tmp/qv-none", name});
    return out;
}

TEST(PortRows, RowsKeepListOrderAndDropUnlistedPorts) {
    const auto ports = Ports({{9, "\\Device\\Serial0"},
                              {3, "\\Device\\USBSER000"},
                              {0, "\\Device\\Serial1"},       // not a COM number
                              {70000, "\\Device\\Serial2"},   // not a COM number
                              {4, "Serial5"},                 // no device prefix
                              {5, "\\Device\\com0com7"},
                              {6, "\\Device\\Silabser1"}});
    SerialPortEntry table[QVDS_MAX_PORTS];
    std::memset(table, 0xAB, sizeof table);

    ASSERT_EQ(FillPortRows(ports, kAll, table), 4);
    const uint16_t numbers[] = {9, 3, 5, 6};
    const uint8_t kinds[] = {QVDS_PORT_SERIAL, QVDS_PORT_OTHER, QVDS_PORT_OTHER, QVDS_PORT_SERIAL};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(table[i].port_number, numbers[i]);
        EXPECT_EQ(table[i].port_kind, kinds[i]);
        // Everything else of a fresh row is zero.
        EXPECT_EQ(table[i].status, 0);
        EXPECT_EQ(table[i].baudrate, 0u);
        EXPECT_EQ(table[i].databits, 0);
        EXPECT_EQ(table[i].stopbits, 0);
        EXPECT_EQ(table[i].parity, 0);
        EXPECT_EQ(table[i].flowcontrol, 0);
    }
    EXPECT_EQ(table[4].port_number, 0xABAB) << "rows past the count are not written";

    ASSERT_EQ(FillPortRows(ports, kUsb, table), 2);
    EXPECT_EQ(table[0].port_number, 3);
    EXPECT_EQ(table[0].port_kind, QVDS_PORT_USB_VCOM);
    EXPECT_EQ(table[1].port_number, 5);
    EXPECT_EQ(table[1].port_kind, QVDS_PORT_COM0COM);

    EXPECT_EQ(FillPortRows(ports, kAll, nullptr), 0);
    EXPECT_EQ(FillPortRows({}, kAll, table), 0);
}

TEST(PortRows, AtMost255RowsAndDroppedPortsDoNotCount) {
    std::vector<ComPortInfo> ports;
    for (uint32_t n = 1; n <= 600; ++n) {
        // Every other port is a plain serial port, which mode -1 drops.
        const std::string word = n % 2 == 0 ? "Serial" : "USBSER";
        ports.push_back({n, "/tmp/qv-none", "\\Device\\" + word + std::to_string(n)});
    }
    std::vector<SerialPortEntry> table(QVDS_MAX_PORTS + 10);
    EXPECT_EQ(FillPortRows(ports, kAll, table.data()), QVDS_MAX_PORTS);
    EXPECT_EQ(table[254].port_number, 255);
    EXPECT_EQ(table[255].port_number, 0) << "no row beyond the cap";

    std::fill(table.begin(), table.end(), SerialPortEntry{});
    EXPECT_EQ(FillPortRows(ports, kUsb, table.data()), QVDS_MAX_PORTS);
    EXPECT_EQ(table[0].port_number, 1);
    EXPECT_EQ(table[254].port_number, 509);
    EXPECT_EQ(table[255].port_number, 0);
}

// Declared ports of every kind of driver word, on ptys the test made.
class EnumerateDeclared : public ::testing::Test {
protected:
    void SetUp() override {
        settingsFile_ = (tmp_.path() / "q.ini").string();
        std::ofstream(settingsFile_) << "[main]\n";
        settings_.emplace("QUORVIA_SETTINGS", settingsFile_);
        std::ostringstream decl;
        decl << "COM12=" << ptys_[0].slave_path() << ":usbser;"
             << "COM4=" << ptys_[1].slave_path() << ";"
             << "COM7=" << ptys_[2].slave_path() << ":Silabser;"
             << "COM30=" << ptys_[3].slave_path() << ":com0com;"
             << "COM2=" << ptys_[4].slave_path() << ":ftdi_sio;"
             << "COM9=" << ptys_[5].slave_path() << ":qvs_vcom_fdo_";
        ports_.emplace("QUORVIA_COM_PORTS", decl.str());
    }

    TempDir tmp_{"qv_enum"};
    qvtest::PtyPair ptys_[6];  // the enumeration only lists their slaves
    std::string settingsFile_;
    std::optional<EnvVar> settings_;
    std::optional<EnvVar> ports_;
};

TEST_F(EnumerateDeclared, AllPortsInMinusTwoMode) {
    SerialPortEntry table[QVDS_MAX_PORTS] = {};
    ASSERT_EQ(qvds_enum_serial_ports(table, QVDS_ENUM_ALL), 6);
    // Ascending COM numbers, the order of the platform list.
    const uint16_t numbers[] = {2, 4, 7, 9, 12, 30};
    const uint8_t kinds[] = {QVDS_PORT_OTHER, QVDS_PORT_SERIAL, QVDS_PORT_SERIAL,
                             QVDS_PORT_OTHER, QVDS_PORT_OTHER, QVDS_PORT_OTHER};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(table[i].port_number, numbers[i]);
        EXPECT_EQ(table[i].port_kind, kinds[i]);
        EXPECT_EQ(table[i].baudrate, 0u);
        EXPECT_EQ(table[i].status, 0);
    }
}

TEST_F(EnumerateDeclared, VirtualComPortsInMinusOneMode) {
    SerialPortEntry table[QVDS_MAX_PORTS] = {};
    ASSERT_EQ(qvds_enum_serial_ports(table, QVDS_ENUM_USB_VCOM), 3);
    EXPECT_EQ(table[0].port_number, 9);
    EXPECT_EQ(table[0].port_kind, QVDS_PORT_USB_VCOM);
    EXPECT_EQ(table[1].port_number, 12);
    EXPECT_EQ(table[1].port_kind, QVDS_PORT_USB_VCOM);
    EXPECT_EQ(table[2].port_number, 30);
    EXPECT_EQ(table[2].port_kind, QVDS_PORT_COM0COM);
    EXPECT_EQ(qvds_enum_serial_ports(nullptr, QVDS_ENUM_ALL), 0);
}

TEST_F(EnumerateDeclared, SettingsFilePortsJoinTheList) {
    qvtest::PtyPair extra;
    std::ofstream(settingsFile_) << "[ports]\nCOM40=" << extra.slave_path() << ":usbser\n";
    SerialPortEntry table[QVDS_MAX_PORTS] = {};
    ASSERT_EQ(qvds_enum_serial_ports(table, QVDS_ENUM_USB_VCOM), 4);
    EXPECT_EQ(table[3].port_number, 40);
    EXPECT_EQ(table[3].port_kind, QVDS_PORT_USB_VCOM);
}

qv::LocalTime FixedTime() {
    qv::LocalTime t;
    t.year = 2031;
    t.month = 4;
    t.day = 5;
    t.hour = 6;
    return t;
}

// Lines of the log file that the classifier wrote, without their time stamps.
std::vector<std::string> ClassifierLines(const fs::path& logFile) {
    std::vector<std::string> lines;
    std::ifstream in(logFile);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("qvds_enum_serial_ports2") != std::string::npos) {
            lines.push_back(line.substr(line.find("  ") + 2));
        }
    }
    return lines;
}

TEST_F(EnumerateDeclared, ClassifierLogLines) {
    // The log goes to ./QuorviaLog: run in a directory of our own.
    const fs::path oldCwd = fs::current_path();
    const fs::path runDir = tmp_.path() / "run";
    fs::create_directories(runDir);
    fs::current_path(runDir);
    qv::SetLogClock(&FixedTime);
    const fs::path logFile = runDir / "QuorviaLog" / qv::LogFileName(FixedTime());

    SerialPortEntry table[QVDS_MAX_PORTS] = {};
    qvds_enum_serial_ports(table, QVDS_ENUM_USB_VCOM);
    const std::vector<std::string> usbModeLines = ClassifierLines(logFile);
    qvds_enum_serial_ports(table, QVDS_ENUM_ALL);
    const std::vector<std::string> allModeLines = ClassifierLines(logFile);

    qv::SetLogClock(nullptr);
    fs::current_path(oldCwd);

    EXPECT_TRUE(usbModeLines.empty()) << "mode -1 writes no classifier lines";
    const std::vector<std::string> want = {
        "333 qvds_enum_serial_ports2 ptr=ftdi_sio2",
        "222 qvds_enum_serial_ports2 ptr=silabser7",
        "333 qvds_enum_serial_ports2 ptr=qvs_vcom_fdo_9",
        "333 qvds_enum_serial_ports2 ptr=usbser12",
        "333 qvds_enum_serial_ports2 ptr=com0com30",
    };
    EXPECT_EQ(allModeLines, want);
}

TEST(EnumerateCap, ThreeHundredDeclaredPortsGive255Rows) {
    TempDir tmp("qv_enum");
    const std::string settingsFile = (tmp.path() / "q.ini").string();
    std::ofstream(settingsFile) << "[main]\n";
    EnvVar settings("QUORVIA_SETTINGS", settingsFile);
    // The list need not open the ports: a few paths serve all of them.
    std::ostringstream decl;
    for (int n = 1; n <= 300; ++n) {
        decl << "COM" << n << "=" << (tmp.path() / ("p" + std::to_string(n % 3))).string()
             << (n % 2 == 0 ? ":usbser" : ":qvscom") << ";";
    }
    EnvVar ports("QUORVIA_COM_PORTS", decl.str());
    std::vector<SerialPortEntry> table(300);
    ASSERT_EQ(qvds_enum_serial_ports(table.data(), QVDS_ENUM_USB_VCOM), QVDS_MAX_PORTS);
    for (int i = 0; i < QVDS_MAX_PORTS; ++i) {
        ASSERT_EQ(table[i].port_number, i + 1);
        ASSERT_EQ(table[i].port_kind, QVDS_PORT_USB_VCOM);
    }
    EXPECT_EQ(table[255].port_number, 0);
    std::fill(table.begin(), table.end(), SerialPortEntry{});
    EXPECT_EQ(qvds_enum_serial_ports(table.data(), QVDS_ENUM_ALL), QVDS_MAX_PORTS);
    EXPECT_EQ(table[254].port_number, 255);
    EXPECT_EQ(table[254].port_kind, QVDS_PORT_OTHER);
}

}  // namespace
