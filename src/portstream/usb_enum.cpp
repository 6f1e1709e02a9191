// USB scanners at the port-stream level: the enumeration that decides which
// interfaces are scanners, the open that records a HID serial number in the
// ShareMemory table, and the path helpers.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/log.h"
#include "platform/serial_port.h"
#include "platform/usb_devices.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/share_memory.h"
#include "portstream/usb_device_table.h"

namespace qv {
namespace {

using platform::PortDevice;

constexpr size_t kPathUnits = sizeof(UsbDeviceDescriptor::path) / sizeof(char16_t);

// The HID serial number as the 100-byte serial-number read gives it: a longer
// one does not fit and reads as none.
std::string FittingSerial(const std::string& serial, const std::string& path) {
    if (serial.size() <= QVDS_MAX_USB_SERIAL) return serial;
    QV_LOG("%s %d %s: serial number of %zu bytes is too long, taken as none\n", "qvds_enum_usb_devices", __LINE__,
           path.c_str(), serial.size());
    return std::string();
}

// A device whose ShareMemory slot is freed when the device is closed.
class ShareSlotDevice final : public PortDevice {
public:
    ShareSlotDevice(std::unique_ptr<PortDevice> inner, int slot, std::string serial,
                    std::shared_ptr<std::atomic<bool>> released)
        : inner_(std::move(inner)), slot_(slot), serial_(std::move(serial)), released_(std::move(released)) {}
    ~ShareSlotDevice() override {
        inner_.reset();
        if (!released_->exchange(true)) ShareMemoryRelease(slot_, serial_);
    }
    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override { return inner_->ReadBlocking(buf, cap); }
    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        return inner_->ReadTimed(buf, cap, timeoutMs);
    }
    uint32_t QueuedInput() override { return inner_->QueuedInput(); }
    void DiscardInput() override { inner_->DiscardInput(); }
    void DiscardOutput() override { inner_->DiscardOutput(); }
    void RequestStop() override { inner_->RequestStop(); }
    void ClearStop() override { inner_->ClearStop(); }
    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) override {
        return inner_->Write(data, len, timeoutMs);
    }
    void Cancel() override { inner_->Cancel(); }
    bool SetLine(const platform::LineSettings& settings) override { return inner_->SetLine(settings); }
    bool TakeLineErrors() override { return inner_->TakeLineErrors(); }
    bool SetFeatureReport(const uint8_t* report, uint32_t len) override {
        return inner_->SetFeatureReport(report, len);
    }

private:
    std::unique_ptr<PortDevice> inner_;
    const int slot_;
    const std::string serial_;
    std::shared_ptr<std::atomic<bool>> released_;
};

}  // namespace
}  // namespace qv

using namespace qv;

bool qvds_set_descriptor_path(UsbDeviceDescriptor* descriptor, const std::string& path) {
    if (descriptor == nullptr) return false;
    std::u16string units;
    for (size_t i = 0; i < path.size();) {
        const auto b = static_cast<uint8_t>(path[i]);
        uint32_t c = 0;
        size_t len = 0;
        if (b < 0x80) {
            c = b, len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, len = 4;
        } else {
            return false;
        }
        if (i + len > path.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cont = static_cast<uint8_t>(path[i + k]);
            if ((cont & 0xC0) != 0x80) return false;
            c = (c << 6) | (cont & 0x3F);
        }
        const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < minimum[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0) return false;
        if (c >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        i += len;
    }
    if (units.size() >= kPathUnits) return false;
    std::fill(std::begin(descriptor->path), std::end(descriptor->path), u'\0');
    std::copy(units.begin(), units.end(), descriptor->path);
    return true;
}

int qvds_enum_usb_devices(UsbDeviceDescriptor* table) {
    if (table == nullptr) return 0;
    int n = 0;
    for (const auto cls : {kUsbClassVendor, kUsbClassHid}) {
        const platform::UsbClass platformClass =
            cls == kUsbClassVendor ? platform::UsbClass::kVendor : platform::UsbClass::kHid;
        for (const platform::UsbInterface& iface : platform::ListUsbInterfaces(platformClass)) {
            if (n >= QVDS_MAX_USB_DEVICES) return n;
            UsbDeviceDescriptor d{};
            if (!qvds_set_descriptor_path(&d, iface.path)) {
                QV_LOG("%s %d path of %zu bytes does not fit the descriptor, skipped\n", "qvds_enum_usb_devices",
                       __LINE__, iface.path.size());
                continue;
            }
            const std::optional<UsbPathIds> ids = ParseUsbPath(iface.path, cls);
            if (!ids) {
                QV_LOG("%s %d %s: no identity in the path, skipped\n", "qvds_enum_usb_devices", __LINE__,
                       iface.path.c_str());
                continue;
            }
            // The table first: only scanners are opened.
            const uint8_t kind = MatchDeviceKind(*ids, cls);
            if (kind == 0) continue;
            if (!platform::ProbeUsbPath(iface.path)) {
                QV_LOG("%s %d %s cannot be opened, skipped\n", "qvds_enum_usb_devices", __LINE__, iface.path.c_str());
                continue;
            }
            const std::string serial = FittingSerial(iface.serialNumber, iface.path);
            if (ShareMemoryHolds(serial)) {
                QV_LOG("%s %d %s serial %s is held open elsewhere, skipped\n", "qvds_enum_usb_devices", __LINE__,
                       iface.path.c_str(), serial.c_str());
                continue;
            }
            d.vid = ids->vid;
            d.pid = ids->pid;
            d.interfaceNumber = ids->hasInterface ? ids->interfaceNumber : 0;
            d.deviceKind = kind;
            d.deviceKindCopy = kind;
            table[n++] = d;
        }
    }
    return n;
}

bool qvds_open_usb(QvdsStream* s, const UsbDeviceDescriptor* descriptor, uint32_t* status) {
    if (status != nullptr) *status = 0;
    if (descriptor == nullptr) {
        if (status != nullptr) *status = 8;
        return false;
    }
    std::string path;
    std::string serial;
    if (qvds_descriptor_path(*descriptor, &path)) serial = FittingSerial(platform::UsbSerialNumber(path), path);
    const int slot = serial.empty() ? -1 : ShareMemoryRegister(serial);
    if (slot < 0) return qvds_open_path(s, descriptor, status);
    auto released = std::make_shared<std::atomic<bool>>(false);
    const bool ok = qvds_open_path_with(
        s, descriptor,
        [&](const std::string& p, platform::UsbShare share, uint32_t* st) -> std::unique_ptr<PortDevice> {
            std::unique_ptr<PortDevice> dev = platform::OpenUsbPath(p, share, st);
            if (!dev) return nullptr;
            return std::make_unique<ShareSlotDevice>(std::move(dev), slot, serial, released);
        },
        status);
    if (!ok && !released->exchange(true)) ShareMemoryRelease(slot, serial);
    return ok;
}

bool qvds_usb_present(const UsbDeviceDescriptor* descriptor) {
    std::string path;
    return descriptor != nullptr && qvds_descriptor_path(*descriptor, &path) && platform::UsbInterfacePresent(path);
}

bool qvds_usb_path_compare(const char16_t* reference, const char16_t* candidate) {
    if (reference == nullptr || candidate == nullptr) return false;
    UsbDeviceDescriptor r{}, c{};
    for (size_t i = 0; i < kPathUnits; ++i) {
        r.path[i] = reference[i];
        if (reference[i] == 0) break;
    }
    for (size_t i = 0; i < kPathUnits; ++i) {
        c.path[i] = candidate[i];
        if (candidate[i] == 0) break;
    }
    std::string rp, cp;
    if (!qvds_descriptor_path(r, &rp) || !qvds_descriptor_path(c, &cp)) return false;
    return UsbPathMatchesWithToggle(rp, cp);
}
