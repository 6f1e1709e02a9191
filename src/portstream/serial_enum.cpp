// COM-port enumeration: every COM port of the platform list becomes a row with
// its COM number and a port kind read from the driver's device name.
#include <cctype>
#include <cstring>
#include <exception>

#include "core/log.h"
#include "portstream/com_port_list.h"
#include "portstream/serial_detect.h"
#include "portstream/serial_detect_internal.h"

namespace qv::serialdetect {
namespace {

constexpr char kDevicePrefix[] = "\\device\\";

// Driver words of USB virtual COM ports (listed in every mode but -2 as kind 7).
constexpr const char* kUsbVirtualComWords[] = {
    "usbser", "qvs_vcom_fdo_", "qvscom", "qvs_vcom_", "oem_cdc_acmserial",
};

std::string Lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

bool MatchesDriverWord(const std::string& rest, const char* word) {
    const size_t len = std::strlen(word);
    if (rest.size() <= len || rest.compare(0, len, word) != 0) return false;
    for (size_t i = len; i < rest.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(rest[i]))) return false;
    }
    return true;
}

PortClass ClassifyPortName(const std::string& deviceName, int32_t mode) {
    PortClass out;
    const std::string name = Lower(deviceName);
    const size_t prefixLen = sizeof kDevicePrefix - 1;
    if (name.compare(0, prefixLen, kDevicePrefix) != 0) return out;
    out.rest = name.substr(prefixLen);
    if (mode == QVDS_ENUM_ALL) {
        if (MatchesDriverWord(out.rest, "serial")) {
            out.kind = QVDS_PORT_SERIAL;
        } else if (MatchesDriverWord(out.rest, "silabser")) {
            out.kind = QVDS_PORT_SERIAL;
            out.log = NameLog::kSilabser;
        } else {
            out.kind = QVDS_PORT_OTHER;
            out.log = NameLog::kOther;
        }
        return out;
    }
    if (MatchesDriverWord(out.rest, "com0com")) {
        out.kind = QVDS_PORT_COM0COM;
        return out;
    }
    for (const char* word : kUsbVirtualComWords) {
        if (MatchesDriverWord(out.rest, word)) {
            out.kind = QVDS_PORT_USB_VCOM;
            return out;
        }
    }
    return out;
}

int FillPortRows(const std::vector<platform::ComPortInfo>& ports, int32_t mode,
                 SerialPortEntry* table) {
    if (table == nullptr) return 0;
    int filled = 0;
    for (const platform::ComPortInfo& info : ports) {
        if (info.number < 1 || info.number > 65535) continue;
        if (filled >= QVDS_MAX_PORTS) break;
        const PortClass cls = ClassifyPortName(info.deviceName, mode);
        if (cls.log == NameLog::kSilabser) {
            QV_LOG("222 qvds_enum_serial_ports2 ptr=%s", cls.rest.c_str());
        } else if (cls.log == NameLog::kOther) {
            QV_LOG("333 qvds_enum_serial_ports2 ptr=%s", cls.rest.c_str());
        }
        if (cls.kind == 0) continue;
        SerialPortEntry row{};
        row.port_number = static_cast<uint16_t>(info.number);
        row.port_kind = cls.kind;
        table[filled++] = row;
    }
    return filled;
}

}  // namespace qv::serialdetect

int qvds_enum_serial_ports(SerialPortEntry* table, int32_t mode) {
    if (table == nullptr) return 0;
    try {
        return qv::serialdetect::FillPortRows(qv::ListComPorts(), mode, table);
    } catch (const std::exception& e) {
        // The list could not be read: no rows, as when the system list is missing.
        QV_LOG("%s %d exception %s", "qvds_enum_serial_ports2", __LINE__, e.what());
        return 0;
    }
}
