// An interface of the vendor USB driver on Linux, driven through libusb-1.0:
// the interface is claimed, bytes go out over its first bulk OUT endpoint and
// come in over its first bulk IN endpoint. Every wait is an asynchronous
// transfer completed by libusb's event handling, so a stop request (or a
// cancel) ends it by cancelling the transfer.
//
// One libusb context serves the whole process; it is made on first use and
// kept. Beside libusb's own descriptor, the usbfs node is opened once more to
// carry the advisory lock that stands for the sharing mode.
#include <fcntl.h>
#include <libusb.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "core/log.h"
#include "platform/linux/usb_linux.h"

namespace qv::platform::usblinux {
namespace {

libusb_context* Context() {
    static libusb_context* ctx = [] {
        libusb_context* c = nullptr;
        if (libusb_init(&c) != 0) {
            QV_LOG("%s %d libusb_init failed\n", "OpenUsbBulk", __LINE__);
            return static_cast<libusb_context*>(nullptr);
        }
        return c;
    }();
    return ctx;
}

// "/dev/bus/usb/BBB/DDD" -> bus number and device address.
bool UsbfsAddress(const std::string& devnode, unsigned* bus, unsigned* address) {
    char tail = 0;
    return std::sscanf(devnode.c_str(), "/dev/bus/usb/%3u/%3u%c", bus, address, &tail) == 2;
}

// The first bulk IN and OUT endpoints of alternate setting 0 of an interface.
bool FindBulkEndpoints(libusb_device* dev, uint8_t interfaceNumber, uint8_t* in, uint8_t* out) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0 || config == nullptr) return false;
    bool foundIn = false, foundOut = false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& intf = config->interface[i];
        if (intf.num_altsetting < 1 || intf.altsetting[0].bInterfaceNumber != interfaceNumber) continue;
        const libusb_interface_descriptor& alt = intf.altsetting[0];
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
                if (!foundIn) *in = ep.bEndpointAddress;
                foundIn = true;
            } else {
                if (!foundOut) *out = ep.bEndpointAddress;
                foundOut = true;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return foundIn && foundOut;
}

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
    __atomic_store_n(static_cast<int*>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

// One transfer slot: submitted by one thread, cancelled by any.
class TransferSlot {
public:
    TransferSlot() : transfer_(libusb_alloc_transfer(0)) {}
    ~TransferSlot() { libusb_free_transfer(transfer_); }
    TransferSlot(const TransferSlot&) = delete;
    TransferSlot& operator=(const TransferSlot&) = delete;

    bool valid() const { return transfer_ != nullptr; }

    // Submits a bulk transfer and waits for it to end. Returns its status;
    // *actual receives the bytes moved. A cancel before the submit (`blocked`
    // set) makes it end at once with LIBUSB_TRANSFER_CANCELLED.
    libusb_transfer_status Run(libusb_device_handle* handle, uint8_t endpoint, uint8_t* buf, uint32_t len,
                               unsigned timeoutMs, const std::atomic<bool>& blocked, int* actual) {
        *actual = 0;
        int done = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (blocked.load()) return LIBUSB_TRANSFER_CANCELLED;
            libusb_fill_bulk_transfer(transfer_, handle, endpoint, buf, static_cast<int>(len), TransferDone, &done,
                                      timeoutMs);
            if (libusb_submit_transfer(transfer_) != 0) return LIBUSB_TRANSFER_ERROR;
            inFlight_ = true;
        }
        while (!__atomic_load_n(&done, __ATOMIC_ACQUIRE)) {
            const int r = libusb_handle_events_completed(Context(), &done);
            if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT &&
                !__atomic_load_n(&done, __ATOMIC_ACQUIRE)) {
                Cancel();  // event handling itself failed: end the transfer
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight_ = false;
        *actual = transfer_->actual_length;
        return transfer_->status;
    }

    void Cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inFlight_) libusb_cancel_transfer(transfer_);
    }

private:
    std::mutex mutex_;
    libusb_transfer* transfer_;
    bool inFlight_ = false;
};

class UsbBulkDevice final : public PortDevice {
public:
    UsbBulkDevice(int lockFd, libusb_device_handle* handle, uint8_t interfaceNumber, uint8_t in, uint8_t out)
        : lockFd_(lockFd), handle_(handle), interfaceNumber_(interfaceNumber), in_(in), out_(out) {}

    ~UsbBulkDevice() override {
        libusb_release_interface(handle_, interfaceNumber_);
        libusb_close(handle_);
        flock(lockFd_, LOCK_UN);
        close(lockFd_);
    }

    bool valid() const { return reads_.valid() && writes_.valid(); }

    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override {
        for (;;) {
            int actual = 0;
            const libusb_transfer_status st = reads_.Run(handle_, in_, buf, cap, 0, stop_, &actual);
            switch (st) {
                case LIBUSB_TRANSFER_COMPLETED:
                    if (actual > 0) return actual;
                    continue;  // a zero-length packet
                case LIBUSB_TRANSFER_CANCELLED:
                    if (actual > 0) return actual;
                    return 0;
                default: return -1;  // gone, stalled, overflowed or failed
            }
        }
    }

    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        int actual = 0;
        const std::atomic<bool> never{false};
        const unsigned limit = timeoutMs <= 0 ? 1 : static_cast<unsigned>(timeoutMs);
        const libusb_transfer_status st = reads_.Run(handle_, in_, buf, cap, limit, never, &actual);
        if (st == LIBUSB_TRANSFER_COMPLETED || st == LIBUSB_TRANSFER_TIMED_OUT || st == LIBUSB_TRANSFER_CANCELLED) {
            return actual;
        }
        return -1;
    }

    // The device keeps what it has not sent yet: nothing is queued on this side.
    uint32_t QueuedInput() override { return 0; }
    void DiscardInput() override {}
    void DiscardOutput() override {}

    void RequestStop() override {
        stop_.store(true);
        reads_.Cancel();
    }

    void ClearStop() override { stop_.store(false); }

    void Cancel() override {
        cancelled_.store(true);
        writes_.Cancel();
    }

    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) override {
        int actual = 0;
        const unsigned limit = timeoutMs < 0 ? 0 : (timeoutMs == 0 ? 1 : static_cast<unsigned>(timeoutMs));
        const libusb_transfer_status st =
            writes_.Run(handle_, out_, const_cast<uint8_t*>(data), len, limit, cancelled_, &actual);
        return st == LIBUSB_TRANSFER_COMPLETED && static_cast<uint32_t>(actual) == len;
    }

    bool SetLine(const LineSettings&) override { return false; }
    bool TakeLineErrors() override { return false; }
    bool SetFeatureReport(const uint8_t*, uint32_t) override { return false; }

private:
    int lockFd_;
    libusb_device_handle* handle_;
    uint8_t interfaceNumber_;
    uint8_t in_;
    uint8_t out_;
    TransferSlot reads_;
    TransferSlot writes_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cancelled_{false};
};

// Opens the libusb device at a bus number and address.
libusb_device_handle* OpenByAddress(unsigned bus, unsigned address, uint32_t* status) {
    libusb_context* ctx = Context();
    if (ctx == nullptr) {
        *status = kOpenFailed;
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    *status = kOpenNotFound;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) != bus || libusb_get_device_address(list[i]) != address) continue;
        const int r = libusb_open(list[i], &handle);
        if (r != 0) {
            handle = nullptr;
            *status = r == LIBUSB_ERROR_ACCESS      ? kOpenDenied
                      : r == LIBUSB_ERROR_NO_DEVICE ? kOpenNotFound
                                                    : kOpenFailed;
        }
        break;
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return handle;
}

}  // namespace

std::unique_ptr<PortDevice> OpenUsbBulk(const std::string& devnode, uint8_t interfaceNumber, UsbShare share,
                                        uint32_t* status) {
    unsigned bus = 0, address = 0;
    if (!UsbfsAddress(devnode, &bus, &address)) {
        *status = kOpenNotFound;
        return nullptr;
    }
    const int lockFd = open(devnode.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (lockFd < 0) {
        *status = OpenErrnoStatus(errno);
        return nullptr;
    }
    if (!LockForShare(lockFd, share, status)) {
        close(lockFd);
        return nullptr;
    }
    libusb_device_handle* handle = OpenByAddress(bus, address, status);
    if (handle == nullptr) {
        close(lockFd);
        return nullptr;
    }
    uint8_t in = 0, out = 0;
    if (!FindBulkEndpoints(libusb_get_device(handle), interfaceNumber, &in, &out)) {
        QV_LOG("%s %d %s interface %u has no bulk IN and OUT endpoints\n", "OpenUsbBulk", __LINE__, devnode.c_str(),
               interfaceNumber);
        libusb_close(handle);
        close(lockFd);
        *status = kOpenFailed;
        return nullptr;
    }
    const int claimed = libusb_claim_interface(handle, interfaceNumber);
    if (claimed != 0) {
        libusb_close(handle);
        close(lockFd);
        *status = claimed == LIBUSB_ERROR_BUSY || claimed == LIBUSB_ERROR_ACCESS ? kOpenDenied
                  : claimed == LIBUSB_ERROR_NO_DEVICE                          ? kOpenNotFound
                                                                               : kOpenFailed;
        return nullptr;
    }
    auto device = std::make_unique<UsbBulkDevice>(lockFd, handle, interfaceNumber, in, out);
    if (!device->valid()) {
        *status = kOpenFailed;
        return nullptr;
    }
    *status = kOpenOk;
    return device;
}

}  // namespace qv::platform::usblinux
