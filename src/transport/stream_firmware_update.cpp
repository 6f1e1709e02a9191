#include "transport/stream_firmware_update.h"

#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "core/log.h"
#include "firmware/firmware_link.h"
#include "firmware/firmware_update.h"
#include "portstream/com_arrival.h"
#include "portstream/com_port_list.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/settings_file.h"
#include "portstream/usb_arrival.h"

namespace qv {
namespace {

using firmware::LinkLine;
using Clock = std::chrono::steady_clock;

constexpr auto kReopenRetry = std::chrono::milliseconds(200);

LinkLine FromPlatform(const platform::LineSettings& l) { return {l.baud, l.dataBits, l.stopBits, l.parity, l.flow}; }

// The update's view of a port stream. COM streams have a line and follow a
// scanner that drops off the line with the COM arrival monitor; streams on
// USB device paths follow it with the USB arrival monitor, to where it comes
// back: its path under the same or the update-mode product ID, or a port of
// the vendor's virtual COM bus (the stream then has a line from there on).
class StreamFirmwareLink final : public firmware::FirmwareLink {
public:
    explicit StreamFirmwareLink(QvdsStream* stream) : stream_(stream), com_(qvds_port_number(stream)) {
        UsbDeviceDescriptor descriptor;
        if (com_ != 0) {
            described_ = qvds_com_port_descriptor(com_, &descriptor, &virtualBus_);
        } else {
            usbDescribed_ = qvds_path_descriptor(stream, &usbDescriptor_);
        }
    }

    bool Write(const uint8_t* data, uint32_t len) override {
        // Under the stream lock: nothing else written to the port can land
        // between the bytes of a frame.
        qvds_lock(stream_);
        const bool ok = qvds_write(stream_, data, len);
        qvds_unlock(stream_);
        return ok;
    }

    uint32_t Read(uint8_t* buf, uint32_t len, int32_t firstWaitMs, int32_t interChunkMs, const uint8_t* terminator,
                  uint32_t terminatorLen) override {
        return qvds_read(stream_, buf, len, firstWaitMs, interChunkMs, terminator, terminatorLen, nullptr);
    }

    void Purge(int32_t drainMs) override { qvds_purge(stream_, drainMs); }

    bool Exchange(int32_t firstWaitMs, const std::string& text, uint8_t* result) override {
        return qvds_exchange(stream_, firstWaitMs, result, "%s", text.c_str());
    }

    bool HasLine() override { return qvds_port_number(stream_) != 0; }
    bool GetLine(LinkLine* line) override {
        platform::LineSettings l;
        if (!qvds_get_comm(stream_, &l)) return false;
        *line = FromPlatform(l);
        return true;
    }
    bool SetLine(const LinkLine& l) override {
        return qvds_set_comm(stream_, l.baud, l.dataBits, l.stopBits, l.parity, l.flow);
    }
    bool SetBaud(uint32_t baud) override { return qvds_set_baudrate(stream_, baud); }
    bool SetBaud8N1(uint32_t baud) override { return qvds_set_baudrate_8n1(stream_, baud); }

    bool IsOpen() override { return qvds_is_open(stream_); }
    bool Cancelled() override { return qvds_cancelled(stream_); }
    void Stop() override { qvds_stop(stream_); }
    bool LeavesOnSwitch() override { return virtualBus_; }

    bool StartWatch() override {
        if (usbDescribed_) return usbMonitor_.Start(usbDescriptor_);
        if (!described_) return false;  // the port is not in the list: no monitor
        return monitor_.Start(com_, virtualBus_);
    }
    void StopWatch() override {
        monitor_.Stop();
        usbMonitor_.Stop();
    }
    bool Watching() override { return monitor_.Running() || usbMonitor_.Running(); }
    void ResetArrival() override {
        monitor_.ResetArrival();
        usbMonitor_.ResetArrival();
    }

    bool Reopen(int32_t waitMs, const LinkLine* line) override {
        if (usbDescribed_) return ReopenUsb(waitMs, line);
        if (com_ == 0) return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        uint32_t target = com_;
        if (monitor_.Running()) {
            const uint32_t arrived = monitor_.WaitArrival(waitMs);
            if (arrived != 0) target = arrived;
        }
        const LinkLine use = line != nullptr ? *line : LinkLine{9600, 8, 0, 0, 0};
        // A port that has just come back may refuse the first open for a
        // moment; a scanner that was never watched is tried until the wait
        // is over.
        for (;;) {
            if (qvds_cancelled(stream_)) return false;
            if (qvds_is_open(stream_)) qvds_stop(stream_);
            uint32_t status = 0;
            if (qvds_open_com(stream_, static_cast<uint16_t>(target), use.baud, use.dataBits, use.stopBits,
                              use.parity, use.flow, &status)) {
                QV_LOG("%s %d reopened on COM%u at %u baud\n", "qvds_update_firmware_file", __LINE__, target,
                       use.baud);
                return true;
            }
            if (Clock::now() + kReopenRetry > deadline) {
                QV_LOG("%s %d COM%u not reopened, status %u\n", "qvds_update_firmware_file", __LINE__, target,
                       status);
                return false;
            }
            std::this_thread::sleep_for(kReopenRetry);
        }
    }

private:
    // A scanner that was opened by its USB path: reopened where the monitor
    // saw it come back (a virtual COM port with `line`, or 9600 8N1 when none
    // is given; a path of its own), or, when nothing arrived, on its own path.
    bool ReopenUsb(int32_t waitMs, const LinkLine* line) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        UsbArrivalMonitor::Arrival arrival;
        if (usbMonitor_.Running()) usbMonitor_.WaitArrival(waitMs, &arrival);
        UsbDeviceDescriptor target = usbDescriptor_;
        if (!arrival.path.empty() && !qvds_set_descriptor_path(&target, arrival.path)) arrival.path.clear();
        const LinkLine use = line != nullptr ? *line : LinkLine{9600, 8, 0, 0, 0};
        for (;;) {
            if (qvds_cancelled(stream_)) return false;
            if (qvds_is_open(stream_)) qvds_stop(stream_);
            uint32_t status = 0;
            const bool ok = arrival.com != 0
                                ? qvds_open_com(stream_, static_cast<uint16_t>(arrival.com), use.baud, use.dataBits,
                                                use.stopBits, use.parity, use.flow, &status)
                                : qvds_open_path(stream_, &target, &status);
            if (ok) {
                QV_LOG("%s %d reopened on %s\n", "qvds_update_firmware_file", __LINE__,
                       arrival.com != 0 ? ("COM" + std::to_string(arrival.com)).c_str()
                                        : (arrival.path.empty() ? "its own path" : arrival.path.c_str()));
                return true;
            }
            if (Clock::now() + kReopenRetry > deadline) {
                QV_LOG("%s %d not reopened, status %u\n", "qvds_update_firmware_file", __LINE__, status);
                return false;
            }
            std::this_thread::sleep_for(kReopenRetry);
        }
    }

    QvdsStream* stream_;
    const uint32_t com_;
    bool described_ = false;
    bool virtualBus_ = false;
    ComArrivalMonitor monitor_;
    bool usbDescribed_ = false;
    UsbDeviceDescriptor usbDescriptor_{};
    UsbArrivalMonitor usbMonitor_;
};

}  // namespace
}  // namespace qv

int32_t qvds_update_firmware_file(QvdsStream* stream, const char16_t* fileName,
                                  qv::firmware::T_FirmwareProgress* progress) {
    if (stream == nullptr) return qv::firmware::kFwPortClosed;
    try {
        qv::firmware::FirmwareSettings settings;
        settings.sendIntervalMs = qv::ReadSettingInt("main", "FUSendInterval", -1);
        settings.extraFlashSeconds = qv::ReadSettingInt("main", "ExtraFlashSeconds", 0);
        settings.frameSize = qv::ReadSettingInt("main", "FrameSize", 0);
        qv::StreamFirmwareLink link(stream);
        return qv::firmware::UpdateFirmwareOverLink(link, fileName, settings, progress);
    } catch (const std::bad_alloc&) {
        QV_LOG("%s %d out of memory\n", "qvds_update_firmware_file", __LINE__);
        return qv::firmware::kFwNoMemory;
    }
}
