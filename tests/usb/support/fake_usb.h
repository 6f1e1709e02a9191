// Fake USB devices for tests, through umockdev: a fake sysfs tree with udev
// properties that libudev reads, device nodes backed by ptys (the test holds
// the other side) or by a handler in this process, and the uevents of
// devices coming and going. Test programs that use it run under umockdev's
// preload: usb_test_main.cpp restarts the program under it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qvtest {

class FakeUsbBed {
public:
    FakeUsbBed();
    ~FakeUsbBed();
    FakeUsbBed(const FakeUsbBed&) = delete;
    FakeUsbBed& operator=(const FakeUsbBed&) = delete;

    // A USB device with `interfaces` interfaces at `port` (e.g. "1-1"), its
    // usbfs node /dev/bus/usb/<bus>/<address> (a pty), and nothing else yet.
    // Returns its sysfs path.
    struct UsbDevice {
        std::string port = "1-1";
        uint16_t vid = 0x5EC7;
        uint16_t pid = 0x0010;
        int interfaces = 1;
        int bus = 1;
        int address = 2;
        std::string serial;
        std::map<std::string, std::string> attributes;  // extra or replacing sysfs attributes
    };
    std::string AddUsbDevice(const UsbDevice& d);

    // A HID interface of that device with its hid device and hidraw node
    // /dev/<node> (a pty unless a handler is attached). The properties of the
    // hid device (HID_ID, HID_UNIQ) come from the USB device unless given.
    struct HidInterface {
        std::string device;      // sysfs path from AddUsbDevice
        int interfaceNumber = 0;
        std::string node = "hidraw0";
        std::map<std::string, std::string> hidProperties;        // replace HID_ID / HID_UNIQ ...
        std::map<std::string, std::string> interfaceAttributes;  // replace bInterfaceNumber ...
        bool dropHidId = false;
    };
    std::string AddHidInterface(const HidInterface& h);

    // A vendor-specific interface (class ff) of a device, with one bulk IN
    // and one bulk OUT endpoint in the device's descriptors.
    std::string AddVendorInterface(const std::string& device, int interfaceNumber);

    // One whole HID scanner: device at `port`, interface, hidraw node.
    std::string AddHidScanner(const std::string& port, uint16_t vid, uint16_t pid, int interfaces,
                              int interfaceNumber, const std::string& node, const std::string& serial);

    void Remove(const std::string& syspath);

    // Sends the uevent `action` ("add", "remove", ...) for a device, as the
    // kernel does when it comes or goes.
    void Uevent(const std::string& syspath, const std::string& action);

    // The test's side of a pty-backed node ("/dev/hidraw0"), owned by the bed.
    int NodeFd(const std::string& devnode);

    // Hands the test's side of a pty-backed node over to another process: a
    // descriptor for it (without close-on-exec), which the caller closes once
    // the other process has it. The bed's own descriptor is replaced by the
    // null device, so when the other process closes its copy the host side
    // sees the node go away, as with an unplugged device.
    int HandOverNode(const std::string& devnode);

    // Attaches a handler to a node (it then is no pty): every HID feature
    // report sent to it is recorded and accepted, or refused when
    // `refuseFeatures` is set (for every handler of the bed from then on).
    // Other requests fail with ENOTTY. A node takes one handler.
    void AttachFeatureHandler(const std::string& devnode, bool refuseFeatures = false);
    // Attaches a handler to a USB device's usbfs node that lets libusb open
    // the device and claim and release its interfaces.
    void AttachUsbfsHandler(const std::string& devnode);

    // The feature reports the handlers received so far, in order.
    std::vector<std::vector<uint8_t>> FeatureReports();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Restarts the running test program under umockdev's preload unless it runs
// under it already (see usb_test_main.cpp).
void EnsureUmockdevPreload(int argc, char** argv);

}  // namespace qvtest
