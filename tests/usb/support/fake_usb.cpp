#include "fake_usb.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace qvtest {
namespace {

std::string Hex4(uint16_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "%04x", v);
    return s;
}

std::string Upper4(uint16_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "%04X", v);
    return s;
}

// Binary attribute text for umockdev's "H:" lines.
std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

}  // namespace

struct FakeUsbBed::Impl {
    UMockdevTestbed* bed = nullptr;
    int hidCounter = 0;
    std::map<std::string, UsbDevice> devices;                 // by sysfs path
    std::map<std::string, std::vector<int>> vendorInterfaces;  // by device sysfs path

    // The handlers' main loop runs on its own thread.
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread loopThread;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> features;
    std::vector<UMockdevIoctlBase*> handlers;
    bool refuse = false;

    void Add(const std::string& text) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed, text.c_str(), &error)) {
            std::string why = error != nullptr ? error->message : "?";
            if (error != nullptr) g_error_free(error);
            throw std::runtime_error("umockdev: " + why + "\n" + text);
        }
    }

    std::vector<uint8_t> Descriptors(const UsbDevice& d, const std::vector<int>& vendor) const {
        std::vector<uint8_t> out = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                    static_cast<uint8_t>(d.vid), static_cast<uint8_t>(d.vid >> 8),
                                    static_cast<uint8_t>(d.pid), static_cast<uint8_t>(d.pid >> 8),
                                    0x00, 0x01, 0, 0, 0, 1};
        const uint16_t total = static_cast<uint16_t>(9 + vendor.size() * (9 + 7 + 7));
        const std::vector<uint8_t> config = {9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                                             static_cast<uint8_t>(d.interfaces), 1, 0, 0x80, 50};
        out.insert(out.end(), config.begin(), config.end());
        for (int n : vendor) {
            const std::vector<uint8_t> intf = {9, 4, static_cast<uint8_t>(n), 0, 2, 0xFF, 0, 0, 0};
            const std::vector<uint8_t> epIn = {7, 5, static_cast<uint8_t>(0x81 + n), 2, 64, 0, 0};
            const std::vector<uint8_t> epOut = {7, 5, static_cast<uint8_t>(0x01 + n), 2, 64, 0, 0};
            out.insert(out.end(), intf.begin(), intf.end());
            out.insert(out.end(), epIn.begin(), epIn.end());
            out.insert(out.end(), epOut.begin(), epOut.end());
        }
        return out;
    }
};

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* impl = static_cast<FakeUsbBed::Impl*>(data);
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0)) &&
        _IOC_DIR(request) == (_IOC_WRITE | _IOC_READ)) {
        const size_t len = _IOC_SIZE(request);
        GError* error = nullptr;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* report = umockdev_ioctl_data_resolve(arg, 0, len, &error);
        if (report == nullptr) {
            if (error != nullptr) g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        bool refuse = false;
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->features.emplace_back(report->data, report->data + len);
            refuse = impl->refuse;
        }
        umockdev_ioctl_data_unref(report);
        if (refuse) {
            umockdev_ioctl_client_complete(client, -1, EPIPE);
        } else {
            umockdev_ioctl_client_complete(client, static_cast<glong>(len), 0);
        }
        return TRUE;
    }
    if (request == USBDEVFS_GET_CAPABILITIES) {
        GError* error = nullptr;
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, 4, &error);
        if (caps == nullptr) {
            if (error != nullptr) g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        const guint32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(caps->data, &value, sizeof value);
        umockdev_ioctl_data_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

}  // namespace

FakeUsbBed::FakeUsbBed() : impl_(std::make_unique<Impl>()) {
    impl_->bed = umockdev_testbed_new();
    impl_->context = g_main_context_new();
    impl_->loop = g_main_loop_new(impl_->context, FALSE);
}

namespace {
void ForgetGoneNodes(UMockdevTestbed* bed);
}  // namespace

FakeUsbBed::~FakeUsbBed() {
    if (impl_->loopThread.joinable()) {
        g_main_loop_quit(impl_->loop);
        impl_->loopThread.join();
    }
    for (UMockdevIoctlBase* h : impl_->handlers) g_object_unref(h);
    g_object_unref(impl_->bed);
    g_main_loop_unref(impl_->loop);
    g_main_context_unref(impl_->context);
}

std::string FakeUsbBed::AddUsbDevice(const UsbDevice& d) {
    char bus[8], address[8];
    std::snprintf(bus, sizeof bus, "%03d", d.bus);
    std::snprintf(address, sizeof address, "%03d", d.address);
    const std::string syspath = "/devices/usb" + std::to_string(d.bus) + "/" + d.port;
    std::map<std::string, std::string> attrs = {
        {"idVendor", Hex4(d.vid)},
        {"idProduct", Hex4(d.pid)},
        {"bNumInterfaces", (d.interfaces < 10 ? " " : "") + std::to_string(d.interfaces)},
        {"busnum", std::to_string(d.bus)},
        {"devnum", std::to_string(d.address)},
        {"bConfigurationValue", "1"},
        {"speed", "480"},
        {"dev", "189:" + std::to_string((d.bus - 1) * 128 + d.address - 1)},
    };
    if (!d.serial.empty()) attrs["serial"] = d.serial;
    for (const auto& [k, v] : d.attributes) attrs[k] = v;
    std::string text = "P: " + syspath + "\nN: bus/usb/" + bus + "/" + address + "\nE: SUBSYSTEM=usb\n" +
                       "E: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/" + bus + "/" + address + "\nE: BUSNUM=" +
                       bus + "\nE: DEVNUM=" + address + "\n";
    for (const auto& [k, v] : attrs) {
        if (!v.empty() || d.attributes.count(k) == 0) text += "A: " + k + "=" + v + "\n";
    }
    text += "H: descriptors=" + HexBytes(impl_->Descriptors(d, {})) + "\n";
    impl_->Add(text);
    impl_->devices["/sys" + syspath] = d;
    return "/sys" + syspath;
}

std::string FakeUsbBed::AddHidInterface(const HidInterface& h) {
    ForgetGoneNodes(impl_->bed);
    const UsbDevice& d = impl_->devices.at(h.device);
    const std::string devpath = h.device.substr(4);  // without "/sys"
    const std::string intfName = d.port + ":1." + std::to_string(h.interfaceNumber);
    const std::string intfPath = devpath + "/" + intfName;
    char number[8];
    std::snprintf(number, sizeof number, "%02x", h.interfaceNumber);
    std::map<std::string, std::string> intfAttrs = {{"bInterfaceNumber", number}, {"bInterfaceClass", "03"}};
    for (const auto& [k, v] : h.interfaceAttributes) intfAttrs[k] = v;
    std::string text = "P: " + intfPath + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    for (const auto& [k, v] : intfAttrs) text += "A: " + k + "=" + v + "\n";
    impl_->Add(text);

    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%s:%s.%04X", Upper4(d.vid).c_str(), Upper4(d.pid).c_str(),
                  ++impl_->hidCounter);
    const std::string hidPath = intfPath + "/" + hidName;
    std::map<std::string, std::string> props = {
        {"HID_ID", "0003:0000" + Upper4(d.vid) + ":0000" + Upper4(d.pid)},
        {"HID_NAME", "Fake Scanner"},
    };
    if (!d.serial.empty()) props["HID_UNIQ"] = d.serial;
    if (h.dropHidId) props.erase("HID_ID");
    for (const auto& [k, v] : h.hidProperties) props[k] = v;
    text = "P: " + hidPath + "\nE: SUBSYSTEM=hid\n";
    for (const auto& [k, v] : props) text += "E: " + k + "=" + v + "\n";
    impl_->Add(text);

    const std::string rawPath = hidPath + "/hidraw/" + h.node;
    text = "P: " + rawPath + "\nN: " + h.node + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + h.node +
           "\nA: dev=240:" + std::to_string(impl_->hidCounter) + "\n";
    impl_->Add(text);
    return "/sys" + rawPath;
}

std::string FakeUsbBed::AddVendorInterface(const std::string& device, int interfaceNumber) {
    const UsbDevice& d = impl_->devices.at(device);
    const std::string intfPath = device.substr(4) + "/" + d.port + ":1." + std::to_string(interfaceNumber);
    char number[8];
    std::snprintf(number, sizeof number, "%02x", interfaceNumber);
    impl_->Add("P: " + intfPath + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=" + number +
               "\nA: bInterfaceClass=ff\nA: bNumEndpoints=02\n");
    std::vector<int>& vendor = impl_->vendorInterfaces[device];
    vendor.push_back(interfaceNumber);
    std::vector<uint8_t> desc = impl_->Descriptors(d, vendor);
    umockdev_testbed_set_attribute_binary(impl_->bed, device.c_str(), "descriptors", desc.data(),
                                          static_cast<gssize>(desc.size()));
    return "/sys" + intfPath;
}

std::string FakeUsbBed::AddHidScanner(const std::string& port, uint16_t vid, uint16_t pid, int interfaces,
                                      int interfaceNumber, const std::string& node, const std::string& serial) {
    UsbDevice d;
    d.port = port;
    d.vid = vid;
    d.pid = pid;
    d.interfaces = interfaces;
    d.serial = serial;
    d.address = 2 + static_cast<int>(impl_->devices.size());
    const std::string dev = AddUsbDevice(d);
    HidInterface h;
    h.device = dev;
    h.interfaceNumber = interfaceNumber;
    h.node = node;
    return AddHidInterface(h);
}

namespace {

// Device nodes of removed devices and umockdev's notes about them (the pty
// behind a node, the node's device number), once their pty is gone: a new
// device may get the same pty, or the same node name.
void ForgetGoneNodes(UMockdevTestbed* bed) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> gone;
    gchar* root = umockdev_testbed_get_root_dir(bed);  // the caller frees it
    const fs::path dev = fs::path(root) / "dev";
    g_free(root);
    for (auto it = fs::directory_iterator(dev, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->is_symlink(ec) && !fs::exists(it->path(), ec)) gone.push_back(it->path());
    }
    for (auto it = fs::directory_iterator(dev / ".ptymap", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::string pty = it->path().filename().string();
        for (char& c : pty) c = c == '_' ? '/' : c;
        if (!fs::exists(pty, ec)) gone.push_back(it->path());
    }
    for (const fs::path& p : gone) fs::remove(p, ec);
    gone.clear();
    for (auto it = fs::directory_iterator(dev / ".node", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string node = it->path().filename().string();
        for (char& c : node) c = c == '_' ? '/' : c;
        if (!fs::exists(dev / node, ec) && !fs::is_symlink(dev / node, ec)) gone.push_back(it->path());
    }
    for (const fs::path& p : gone) fs::remove(p, ec);
}

}  // namespace

void FakeUsbBed::Remove(const std::string& syspath) {
    umockdev_testbed_remove_device(impl_->bed, syspath.c_str());
    // umockdev leaves the device's links in /sys/bus/*/devices and
    // /sys/class/* behind; a device that comes back at the same place needs
    // them gone, as they are on a real system.
    namespace fs = std::filesystem;
    std::error_code ec;
    gchar* sysDir = umockdev_testbed_get_sys_dir(impl_->bed);  // the caller frees it
    const fs::path sys(sysDir);
    g_free(sysDir);
    std::vector<fs::path> dangling;
    for (const char* top : {"bus", "class", "dev"}) {
        for (auto it = fs::recursive_directory_iterator(sys / top, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (!it->is_symlink(ec)) continue;
            if (!fs::exists(it->path(), ec)) dangling.push_back(it->path());
            it.disable_recursion_pending();
        }
    }
    for (const fs::path& p : dangling) fs::remove(p, ec);
    ForgetGoneNodes(impl_->bed);
}

void FakeUsbBed::Uevent(const std::string& syspath, const std::string& action) {
    umockdev_testbed_uevent(impl_->bed, syspath.c_str(), action.c_str());
}

int FakeUsbBed::NodeFd(const std::string& devnode) { return umockdev_testbed_get_dev_fd(impl_->bed, devnode.c_str()); }

int FakeUsbBed::HandOverNode(const std::string& devnode) {
    const int fd = NodeFd(devnode);
    if (fd < 0) return -1;
    const int copy = dup(fd);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (copy < 0 || null < 0 || dup2(null, fd) < 0) throw std::runtime_error("cannot hand the node over");
    close(null);
    return copy;
}

void FakeUsbBed::AttachUsbfsHandler(const std::string& devnode) { AttachFeatureHandler(devnode, false); }

void FakeUsbBed::AttachFeatureHandler(const std::string& devnode, bool refuseFeatures) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->refuse = refuseFeatures;
    }
    // The handler answers on the thread-default context of the thread that
    // attaches it: attach on the loop's thread.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string failure;
    auto attach = [&] {
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), impl_.get());
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(impl_->bed, devnode.c_str(), handler, &error)) {
            failure = error != nullptr ? error->message : "attach failed";
            if (error != nullptr) g_error_free(error);
        }
        impl_->handlers.push_back(handler);
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    };
    if (!impl_->loopThread.joinable()) {
        impl_->loopThread = std::thread([this, attach] {
            g_main_context_push_thread_default(impl_->context);
            attach();
            g_main_loop_run(impl_->loop);
            g_main_context_pop_thread_default(impl_->context);
        });
    } else {
        g_main_context_invoke(
            impl_->context,
            [](gpointer p) -> gboolean {
                auto* fn = static_cast<std::function<void()>*>(p);
                (*fn)();
                delete fn;
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(attach));
    }
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
    if (!failure.empty()) throw std::runtime_error("umockdev: " + failure);
}

std::vector<std::vector<uint8_t>> FakeUsbBed::FeatureReports() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->features;
}

void EnsureUmockdevPreload(int argc, char** argv) {
    (void)argc;
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && preload[0] != '\0') value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    // A sanitizer runtime must come first in the library list; with the
    // preload in front of it, AddressSanitizer is told not to insist.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanValue = asan != nullptr ? asan : "";
    if (asanValue.find("verify_asan_link_order") == std::string::npos) {
        if (!asanValue.empty()) asanValue += ":";
        asanValue += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asanValue.c_str(), 1);
    }
    execv("/proc/self/exe", argv);
    std::perror("cannot restart under umockdev's preload");
    std::exit(1);
}

}  // namespace qvtest
