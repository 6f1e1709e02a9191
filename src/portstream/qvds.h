// The port stream: one open device (a COM port, or a USB/HID interface), one
// reader thread that moves every received byte into a 4 MiB ring buffer, and
// synchronous writes. Plain functions on an opaque stream object; failures are
// told by a false result and a numeric status through an out parameter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/serial_port.h"
#include "platform/usb_devices.h"
#include "quorvia.h"

struct QvdsStream;  // opaque

// Port-stream status codes (stored by the transports in T_DevicesInfo::streamError).
enum QvdsStatus : uint32_t {
    QVDS_OK = 0,
    QVDS_FAILED = 1,            // other failure (including line-setting failures)
    QVDS_NOT_FOUND = 2,         // device not found
    QVDS_CLOSED = 3,            // the handle is closed (the port was lost)
    QVDS_ALREADY_OPEN = 4,      // stream already open
    QVDS_DENIED = 5,            // access denied, or in use by another stream or process
    QVDS_NO_READER = 6,         // reader thread not running
    QVDS_FEATURE_REJECTED = 7,  // HID feature report FE 01 rejected
    QVDS_INVALID = 8,           // invalid parameter
};

// Stream kinds: 0 closed, 10 COM port opened by number; otherwise the device
// kind of the USB descriptor (1 vendor driver, 2 HID, 3 HID interface 1).
enum QvdsKind : int32_t {
    QVDS_KIND_CLOSED = 0,
    QVDS_KIND_VENDOR = 1,
    QVDS_KIND_HID = 2,
    QVDS_KIND_HID_IF1 = 3,
    QVDS_KIND_COM = 10,
};

// Creates a stream and starts its reader thread. When the reader cannot be
// started every open fails with QVDS_NO_READER. Null only when out of memory.
// A destroyed stream's address is not handed out again for hundreds of
// thousands of streams; until then any access through it faults.
QvdsStream* qvds_create();

// Opens COM port `com` and applies the settings (bytes as stored in
// SerialSettings). Status 6 no reader, 4 already open, 8 COM number 0 or baud 0,
// else the open or setup status.
bool qvds_open_com(QvdsStream* s, uint16_t com, uint32_t baud, uint8_t dataBits, uint8_t stopBits,
                   uint8_t parity, uint8_t flow, uint32_t* status);

// Opens the stream over a device that is already open (a USB/HID interface, or
// a test double), as the path open does after its open succeeded: `kind` is the
// descriptor's device kind; kind 3 sends the HID feature report FE 01 first.
bool qvds_open_device(QvdsStream* s, std::unique_ptr<qv::platform::PortDevice> device, int32_t kind,
                      uint32_t* status);

// Opens the device path of a USB descriptor of kind 1, 2 or 3 (status 8 for
// another kind, a null descriptor or a path without its terminating zero
// within the field). The first attempt opens it exclusively; a HID device
// (kinds 2 and 3) that is in use is tried again shared for reading, then
// shared for reading and writing (three attempts in all). HID kinds read and
// write 64-byte reports; kind 3 sends the feature report FE 01 (status 7 when
// it is refused). A cancel (qvds_cancel) that comes while the open runs ends
// the attempts and reaches the device it opened.
bool qvds_open_path(QvdsStream* s, const UsbDeviceDescriptor* descriptor, uint32_t* status);

// The same with the device opened by `open` (given the path and the sharing
// mode of the attempt): the USB opens and tests use it to put something
// around the device.
using QvdsPathOpener = std::function<std::unique_ptr<qv::platform::PortDevice>(
    const std::string& path, qv::platform::UsbShare share, uint32_t* status)>;
bool qvds_open_path_with(QvdsStream* s, const UsbDeviceDescriptor* descriptor, const QvdsPathOpener& open,
                         uint32_t* status);

// The device path of a descriptor as UTF-8; false when the field holds no
// terminating zero or a malformed UTF-16 text.
bool qvds_descriptor_path(const UsbDeviceDescriptor& descriptor, std::string* path);

// Line settings of an open COM stream; -1 keeps a value. Recomputes the
// inter-chunk wait (154000 / baud + 20 ms) when a baud rate is given.
bool qvds_set_comm(QvdsStream* s, int64_t baud, int32_t dataBits, int32_t stopBits, int32_t parity,
                   int32_t flow);
bool qvds_set_baudrate(QvdsStream* s, uint32_t baud);
bool qvds_set_baudrate_8n1(QvdsStream* s, uint32_t baud);
uint32_t qvds_port_number(QvdsStream* s);
// The descriptor of the stream's last open by path (qvds_open_path); false
// when it was never opened by path.
bool qvds_path_descriptor(QvdsStream* s, UsbDeviceDescriptor* descriptor);

// Synchronous write (64-byte output reports for HID kinds). A failed write
// stops the reader, which closes the handle. A cancelled stream's write fails
// at once (and a write blocked when the cancel comes ends at once) without
// stopping the reader.
bool qvds_write(QvdsStream* s, const void* data, uint32_t len);

// Reads from the receive buffer: first what is buffered, then, when firstWaitMs
// is not 0, waits for more (first wait, then the inter-chunk wait; -2 = the
// stream's own) until the buffer is full, nothing more comes, or the bytes read
// end with the terminator. Status 3 when the handle is closed at the end, or
// when the stream is cancelled (a cancelled stream reads nothing at all).
uint32_t qvds_read(QvdsStream* s, void* buf, uint32_t len, int32_t firstWaitMs, int32_t interChunkWaitMs,
                   const void* terminator, uint32_t terminatorLen, uint32_t* status);

// Empties the receive buffer, then with drainMs != 0 keeps reading and
// discarding while full 4096-byte reads come. Returns the bytes discarded.
uint32_t qvds_purge(QvdsStream* s, int32_t drainMs);

// Framed exchange with CRC-32 (firmware loader). `result` receives the first
// payload byte of the reply; true when it is '0'.
bool qvds_exchange(QvdsStream* s, int32_t firstWaitMs, uint8_t* result, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Cancels what runs on the stream, for a close that must not wait for it: every
// blocked read wait wakes and returns with status 3, a blocked device write
// fails at once, and so does every later read and write until the stream is
// opened again. Takes no lock that a blocked reader or writer holds; safe
// from any thread. The stream stays open until qvds_close.
void qvds_cancel(QvdsStream* s);

// True while the stream is cancelled.
bool qvds_cancelled(QvdsStream* s);

// Stops the reader, which closes the handle; the stream can be opened again.
void qvds_close(QvdsStream* s);

// Stops the reader and waits until it has closed the handle, as qvds_close
// does, but leaves the process-wide serial-number table alone: the firmware
// update stops a stream whose scanner re-enumerates and opens it again.
void qvds_stop(QvdsStream* s);

// The stream lock, for a caller whose raw writes no other writer may
// interleave (the firmware update). Recursive: qvds_write and qvds_exchange
// take it again inside. While the caller holds it, a write that fails still
// stops the reader: the lock is given up while the reader closes the handle
// and taken back before the write returns, so the caller finds the stream
// closed (a holder never waits for a reader that needs the lock).
void qvds_lock(QvdsStream* s);
void qvds_unlock(QvdsStream* s);

// The current line settings of an open COM stream.
bool qvds_get_comm(QvdsStream* s, qv::platform::LineSettings* line);

// Stops and ends the reader thread and frees the stream.
void qvds_destory(QvdsStream* s);

// True while the stream's device handle is open.
bool qvds_is_open(QvdsStream* s);

// True when `p` is a stream created by qvds_create and not yet destroyed.
bool qvds_is_live(const void* p);

// The stream's current wait between received chunks, in ms.
int32_t qvds_inter_chunk_wait(QvdsStream* s);

// The stream's kind (QvdsKind).
int32_t qvds_kind(QvdsStream* s);

// IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320, initial all ones, final complement).
uint32_t qvds_crc32(const uint8_t* data, uint32_t len, uint32_t crc = 0);
