// Operating-system service: one open serial-like device (a COM port / tty, a HID
// interface, or a test double) with blocking reads that a stop request can wake.
//
// Portable code sees only this interface; the implementations live in
// platform/posix (termios) and, later, platform/win32 (overlapped file I/O).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qv::platform {

// Line settings as the device records store them: stop bits 0 = one,
// 1 = one and a half, 2 = two; parity 0 none, 1 odd, 2 even, 3 mark, 4 space;
// flow control 0 none, 1 hardware (RTS/CTS), 2 XON/XOFF.
struct LineSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    uint8_t flow = 0;
};

// Status of an open attempt, numbered like the port-stream status codes.
enum OpenStatus : uint32_t {
    kOpenOk = 0,
    kOpenFailed = 1,    // any other failure
    kOpenNotFound = 2,  // no such device
    kOpenDenied = 5,    // in use by another stream or process, or not allowed
};

class PortDevice {
public:
    virtual ~PortDevice() = default;

    // Blocks until at least one byte arrives, a stop is requested, or the device
    // fails. Returns the byte count (> 0), 0 when a stop request woke the call,
    // or -1 when the device is gone or failed.
    virtual int32_t ReadBlocking(uint8_t* buf, uint32_t cap) = 0;

    // Waits at most timeoutMs for input, then reads what is queued without
    // waiting further. Returns the byte count (>= 0) or -1 when the device failed.
    virtual int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) = 0;

    // Bytes waiting in the driver's input queue.
    virtual uint32_t QueuedInput() = 0;

    // Drops everything in the driver's input queue.
    virtual void DiscardInput() = 0;

    // Drops everything written but not yet sent.
    virtual void DiscardOutput() = 0;

    // Wakes a blocked ReadBlocking; stays in force until ClearStop.
    virtual void RequestStop() = 0;
    virtual void ClearStop() = 0;

    // Writes all bytes. timeoutMs < 0 waits without limit. False when not every
    // byte was written, or when the device was cancelled.
    virtual bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) = 0;

    // Makes a blocked Write, and every later one, fail at once; for good (the
    // device is about to be closed). Output still pending when a cancelled
    // device is destroyed is dropped, so the close does not wait for it to
    // drain. Safe to call from any thread while another one writes.
    virtual void Cancel() = 0;

    // Applies line settings (serial devices only; others return false).
    virtual bool SetLine(const LineSettings& settings) = 0;

    // True when the driver saw a parity or framing error since the last call.
    virtual bool TakeLineErrors() = 0;

    // Sends a HID feature report (HID devices only; others return false).
    virtual bool SetFeatureReport(const uint8_t* report, uint32_t len) = 0;
};

// Opens a tty device by path for exclusive use: no other stream or process can
// open it while this object lives. Protected ttys (the system console, virtual
// consoles, any tty that is some process's controlling terminal) are refused
// without being opened. The status tells why an open failed.
std::unique_ptr<PortDevice> OpenTtyPath(const std::string& path, uint32_t* status);

// True when the path names a tty this library must never open, configure or
// write: the system console (and the ttys behind it), /dev/tty, virtual
// consoles, or a tty that is some process's controlling terminal. Decided from
// stat() and /proc only; the tty itself is never opened.
bool TtyIsProtected(const std::string& path);
// The same, with the system console's ttys read from the sysfs tree at sysRoot.
bool TtyIsProtected(const std::string& path, const std::string& sysRoot);

}  // namespace qv::platform
