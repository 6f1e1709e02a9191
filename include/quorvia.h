/*
 * Quorvia: a device hub for barcode scanners.
 *
 * One flat C interface of qv_ functions. Device lists and device handles are
 * owned by the library; callers pass their own buffers with in/out lengths.
 * Every export reports failure through its result plus the process-wide text
 * of qv_GetLastError(); a successful export empties that text.
 *
 * The header compiles as C (C11) and as C++.
 */
#ifndef QUORVIA_H
#define QUORVIA_H

/* Version of this interface (the build reads it from here). */
#define QUORVIA_VERSION_MAJOR 1
#define QUORVIA_VERSION_MINOR 0
#define QUORVIA_VERSION_PATCH 0
/* One number for comparisons: 0xMMmmpp. */
#define QUORVIA_VERSION \
    ((QUORVIA_VERSION_MAJOR << 16) | (QUORVIA_VERSION_MINOR << 8) | QUORVIA_VERSION_PATCH)

#include <stdint.h>
#ifdef __cplusplus
#include <cstddef>
#else
#include <stdbool.h>
#include <stddef.h>
#include <uchar.h>
#endif

#if defined(_WIN32)
#  if defined(QUORVIA_BUILD)
#    define QV_API __declspec(dllexport)
#  else
#    define QV_API __declspec(dllimport)
#  endif
#else
#  define QV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ records */

/* USB identity of a device (the head of every device record). */
typedef struct UsbDeviceDescriptor {
    char16_t path[501];        /* NUL-terminated device path (UTF-16) */
    uint16_t vid;              /* vendor ID */
    uint16_t pid;              /* product ID */
    uint16_t interfaceNumber;  /* interface number, 0 when the path names none */
    uint8_t  deviceKind;       /* 1 vendor driver, 2 HID, 3 HID interface 1, 7 virtual COM, 10 COM */
    uint8_t  deviceKindCopy;   /* same value */
    uint16_t spare;            /* zero */
} UsbDeviceDescriptor;

/* Line settings of a COM port; also one row of the COM-port detection table. */
typedef struct SerialSettings {
    uint16_t port_number;      /* COM number 1..65535 */
    uint8_t  port_kind;        /* 6 com0com, 7 USB virtual COM, 8 plain serial, 10 other */
    uint8_t  status;           /* detection: 0 none, 1 setup failed, 2 not found, 5 busy/denied */
    uint32_t baudrate;         /* 0 = no scanner answered */
    uint8_t  databits;         /* 8 */
    uint8_t  stopbits;         /* 0 one stop bit, 2 two stop bits */
    uint8_t  parity;           /* 0 none, 1 odd, 2 even */
    uint8_t  flowcontrol;      /* 0 none, 1 hardware, 2 XON/XOFF */
} SerialSettings;

/* Listener callback: barcode data of one read (at most 5120 bytes, followed by a
 * zero byte). The bytes are valid only during the call. */
typedef void (*QV_LISTENER_CALLBACK)(void* hDevice, const char* data, uint32_t length);

/* Device status callback: status 1 = the device is back and reopened, 0 = gone. */
typedef void (*QV_DEV_STATUS_CALLBACK)(void* hDevice, int32_t status);

/* TCP service client callback: accepted socket and the client's IPv4 address. */
typedef void (*QV_TCP_CLIENT_CALLBACK)(int32_t clientSocket, const char* clientIp);

/* The device record: a device-list entry, and the record behind an open handle.
 * Its layout is part of the binary interface (6720 bytes). */
typedef struct T_DevicesInfo {
    struct UsbDeviceDescriptor UsbDeviceDescriptor; /*    0 USB kind: path and identity */
    struct SerialSettings SerialSettings;           /* 1012 serial kind: line settings */
    uint32_t reserved1024;                          /* 1024 zero */
    int32_t  socket;                                /* 1028 network kind: socket, -1 when none */
    int32_t  tcpPort;                               /* 1032 */
    char     ipAddress[128];                        /* 1036 */
    char     serialNumber[1024];                    /* 1164 */
    char     macAddress[128];                       /* 2188 */
    char     subNetmask[128];                       /* 2316 */
    char     gatewayAddress[128];                   /* 2444 */
    int32_t  transportKind;                         /* 2572 0 USB, 1 serial, 2 network */
    void*    pOpenStream;                           /* 2576 open port stream, null when none */
    void*    pScan;                                 /* 2584 owning protocol engine */
    uint32_t streamError;                           /* 2592 last port-stream status */
    uint32_t reserved2596;                          /* 2596 zero */
    int32_t  deviceCount;                           /* 2600 entry 0 of a list: number of entries */
    int32_t  index;                                 /* 2604 position in the device list */
    int32_t  isAsynRead;                            /* 2608 listener: 1 idle, 2 running, 3 stopped, 4 read error */
    uint32_t reserved2612;                          /* 2612 */
    QV_LISTENER_CALLBACK listener;                  /* 2616 callback of the running listener */
    char     devInfo[4096];                         /* 2624 identity text */
} T_DevicesInfo;

/* Identity of one device. devType: 1 serial, 2 USB, 4 network, 0 unknown. */
typedef struct T_DevInfo {
    char    devInfo[4096];
    int32_t devType;
} T_DevInfo;

/* Per-handle operation status, see qv_GetDevStatus. */
typedef int32_t T_DeviceStatus;

/* Image parameter record of qv_GetPicDataByConfig. */
typedef struct ImgParam {
    int32_t t;  /* 2 asks for the barcode location */
    int32_t r;
    int32_t f;
    int32_t q;
    int32_t i;
    int32_t a;
    char    b[20]; /* region "xxxxyyyywwwwhhhh" or empty */
} ImgParam;

/* Region-of-interest parameter record of qv_GetRoiPicData. */
typedef struct RoiImgParam {
    int32_t P;
    int32_t U;
    int32_t I;
    int32_t T;
    int32_t R;
    int32_t F;
    int32_t Q;
} RoiImgParam;

/* Image size, and one barcode-location point. */
typedef struct STImgResolution {
    int32_t width;
    int32_t height;
} STImgResolution;

/* The binary layout of the records, checked wherever this header is compiled. */
#ifdef __cplusplus
#define QV_LAYOUT_CHECK(cond, msg) static_assert(cond, msg)
#else
#define QV_LAYOUT_CHECK(cond, msg) _Static_assert(cond, msg)
#endif
QV_LAYOUT_CHECK(sizeof(void*) == 8, "Quorvia records are laid out for 64-bit targets");
QV_LAYOUT_CHECK(sizeof(UsbDeviceDescriptor) == 1012, "UsbDeviceDescriptor size");
QV_LAYOUT_CHECK(offsetof(UsbDeviceDescriptor, vid) == 1002, "vid offset");
QV_LAYOUT_CHECK(offsetof(UsbDeviceDescriptor, deviceKind) == 1008, "deviceKind offset");
QV_LAYOUT_CHECK(sizeof(SerialSettings) == 12, "SerialSettings size");
QV_LAYOUT_CHECK(offsetof(SerialSettings, baudrate) == 4, "baudrate offset");
QV_LAYOUT_CHECK(offsetof(SerialSettings, flowcontrol) == 11, "flowcontrol offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, UsbDeviceDescriptor) == 0, "UsbDeviceDescriptor offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, SerialSettings) == 1012, "SerialSettings offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, reserved1024) == 1024, "reserved1024 offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, socket) == 1028, "socket offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, tcpPort) == 1032, "tcpPort offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, ipAddress) == 1036, "ipAddress offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, serialNumber) == 1164, "serialNumber offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, macAddress) == 2188, "macAddress offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, subNetmask) == 2316, "subNetmask offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, gatewayAddress) == 2444, "gatewayAddress offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, transportKind) == 2572, "transportKind offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, pOpenStream) == 2576, "pOpenStream offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, pScan) == 2584, "pScan offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, streamError) == 2592, "streamError offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, reserved2596) == 2596, "reserved2596 offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, deviceCount) == 2600, "deviceCount offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, index) == 2604, "index offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, isAsynRead) == 2608, "isAsynRead offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, reserved2612) == 2612, "reserved2612 offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, listener) == 2616, "listener offset");
QV_LAYOUT_CHECK(offsetof(T_DevicesInfo, devInfo) == 2624, "devInfo offset");
QV_LAYOUT_CHECK(sizeof(T_DevicesInfo) == 6720, "T_DevicesInfo size");
QV_LAYOUT_CHECK(sizeof(T_DevInfo) == 4100, "T_DevInfo size");
QV_LAYOUT_CHECK(sizeof(ImgParam) == 44, "ImgParam size");
QV_LAYOUT_CHECK(sizeof(RoiImgParam) == 28, "RoiImgParam size");
QV_LAYOUT_CHECK(sizeof(STImgResolution) == 8, "STImgResolution size");
#undef QV_LAYOUT_CHECK

/* ------------------------------------------------------------ named values */

/* Enumeration flags of qv_EnumDevices (combine with |; 1..15 are valid). */
#define QV_ENUM_COM      1u  /* scanners on COM ports */
#define QV_ENUM_USB_VCOM 2u  /* scanners on USB virtual COM ports */
#define QV_ENUM_USB      4u  /* USB and HID scanners */
#define QV_ENUM_NETWORK  8u  /* network scanners (UDP broadcast discovery) */

/* T_DevicesInfo::transportKind. */
enum {
    QV_TRANSPORT_USB = 0,
    QV_TRANSPORT_SERIAL = 1,   /* COM port, also a USB virtual COM port */
    QV_TRANSPORT_NETWORK = 2
};

/* T_DevInfo::devType. */
enum {
    QV_DEVTYPE_UNKNOWN = 0,
    QV_DEVTYPE_SERIAL = 1,
    QV_DEVTYPE_USB = 2,
    QV_DEVTYPE_NETWORK = 4
};

/* T_DevicesInfo::isAsynRead: the state of a handle's listener. */
enum {
    QV_LISTENER_IDLE = 1,        /* no listener has run since the open */
    QV_LISTENER_RUNNING = 2,
    QV_LISTENER_STOPPED = 3,     /* stopped by qv_StopListener or a close */
    QV_LISTENER_READ_ERROR = 4   /* ended because a read failed (device lost) */
};

/* Command status: the result of qv_SendCommand and qv_SendCommandAsHex. */
enum {
    QV_CMD_NOT_WRITTEN = 0,  /* nothing was written (or the arguments were refused), or the
                                device was lost or its handle closed before the reply came */
    QV_CMD_ACCEPTED = 1,     /* every command acknowledged (ACK), or no reply within 2 s */
    QV_CMD_ENQ = 2,          /* the reply carried ENQ; also an image command refused */
    QV_CMD_NAK = 3,          /* the reply carried NAK */
    QV_CMD_OTHER = 4         /* any other byte before ';', or out of memory */
};

/* Device operation status (T_DeviceStatus), kept per handle: see qv_GetDevStatus. */
enum {
    QV_STATUS_OPENED = 0,          /* recorded under the new handle */
    QV_STATUS_OPEN_FAILED = 1,     /* recorded under the null handle */
    QV_STATUS_CLOSED = 2,          /* closed, or the close found nothing open */
    QV_STATUS_CLOSE_FAILED = 3,
    QV_STATUS_UPDATE_BEGIN = 4,    /* firmware update started / finished */
    QV_STATUS_UPDATE_END = 5,
    QV_STATUS_WRITE_BEGIN = 6,     /* write or command exchange started / finished */
    QV_STATUS_WRITE_END = 7,
    QV_STATUS_READ_BEGIN = 8,      /* read started / finished */
    QV_STATUS_READ_END = 9,
    QV_STATUS_IMAGE_BEGIN = 10,    /* picture transfer started / finished */
    QV_STATUS_IMAGE_END = 11,
    QV_STATUS_COLOR_BEGIN = 12,    /* colour-type query started / finished */
    QV_STATUS_COLOR_END = 13,
    QV_STATUS_CONVERT_BEGIN = 14,  /* colour conversion started / finished */
    QV_STATUS_CONVERT_END = 15,
    QV_STATUS_UNKNOWN = 16         /* a non-null handle with no recorded status */
};

/* Firmware update result: the code qv_UpdateKernelDevice writes through its
 * last argument. The numbers are fixed; every update path uses the same ones. */
enum {
    QV_FW_NOT_RUN = -1,        /* the update did not begin: the device's transport has none */
    QV_FW_OK = 0,              /* every block was sent and written */
    QV_FW_PORT_CLOSED = 3,     /* the port is closed and could not be opened again */
    QV_FW_BAD_ARGUMENTS = 8,   /* TWO meanings: the export refused its arguments (null handle or
                                  result pointer, null or empty file name, handle not open), OR
                                  the package holds more than four blocks to send */
    QV_FW_BAD_PACKAGE = 9,     /* structure or CRC check failed, or the file has 0 bytes or more
                                  than 100 MiB (104857600 bytes) */
    QV_FW_BAD_EXTENSION = 10,  /* no extension, or not one of pak, pk2, bin, nfp, efp (any case) */
    QV_FW_PROTOCOL = 11,       /* the scanner did not answer as the loader protocol expects: a
                                  time-out, a refused step, a failed write; "@Exit" was sent */
    QV_FW_NO_MEMORY = 12,      /* the file bytes could not be read into memory */
    QV_FW_WRITE_FAILED = 13,   /* the scanner reported that it could not write a block */
    QV_FW_NO_BLOCK = 14,       /* the package has no block to send */
    QV_FW_CANNOT_OPEN = 15,    /* the file cannot be opened (missing, not a regular file), or its
                                  name is not valid UTF-8 */
    QV_FW_DOES_NOT_FIT = 17    /* an "efp" package made for another scanner: its PRN or CPN text
                                  differs from the scanner's answer to PRNQRY / CPNQRY */
};

/* Picture colour type: the result of qv_GetDeviceImageColorType. */
enum {
    QV_IMAGE_COLOR_UNKNOWN = 0,  /* no complete reply, an unknown value, or refused arguments */
    QV_IMAGE_COLOR_GREY = 1,     /* 8-bit grey pictures, width x height bytes */
    QV_IMAGE_COLOR_YUV420 = 2    /* YUV 4:2:0 frames one and a half pictures high (see
                                    qv_ConvertImageColorSpace) */
};

/* The `flag` of qv_SavePicDataToFile: the bit count of a ".bmp" file, or the
 * kind and quality of a ".jpg" / "jpeg" file. */
enum {
    QV_SAVE_BMP_8 = 8,            /* grey, with a grey-ramp palette */
    QV_SAVE_BMP_24 = 24,          /* B, G, R */
    QV_SAVE_JPEG_GREY_Q30 = 10,   /* grey JPEG, quality 30 / 50 / 80 / 100 */
    QV_SAVE_JPEG_GREY_Q50 = 11,
    QV_SAVE_JPEG_GREY_Q80 = 12,
    QV_SAVE_JPEG_GREY_Q100 = 13,
    QV_SAVE_JPEG_COLOR_Q30 = 20,  /* colour JPEG, quality 30 / 50 / 80 / 100 */
    QV_SAVE_JPEG_COLOR_Q50 = 21,
    QV_SAVE_JPEG_COLOR_Q80 = 22,
    QV_SAVE_JPEG_COLOR_Q100 = 23
};

/* ------------------------------------------------------------------ exports */

/*
 * Conventions shared by every export:
 *  - Any export may be called from any thread. None throws; failures are told
 *    by the result plus qv_GetLastError(). A successful export empties the
 *    last-error text unless its description says otherwise.
 *  - A handle is valid from its open until its close (or the release of the
 *    list it came from). A closed, released or never-opened handle is refused;
 *    it is never taken for another device.
 *  - A close (qv_CloseDevice, qv_CloseDeviceForNati, qv_ReleaseDevices, and a
 *    qv_EnumDevices that releases the previous list) first cancels what still
 *    runs on the handle: every export blocked on that device returns at once
 *    with its failure value and a text saying the device was closed or lost
 *    ("Read from com error, com push out", "Write to com error"). It then waits
 *    for the handle's listener and for those exports to return and closes the
 *    device. A close always ends. A second close of a handle whose close is in
 *    progress returns true at once and leaves its variable alone.
 *  - Callbacks run on library threads with no library lock held; they may call
 *    any export (see qv_SetListener).
 */

/* Text of the last failure of any export in the process ("" after a success).
 * Never null. The pointer stays valid for the life of the process and always
 * points to one whole text; a later failure in any thread makes the next call
 * return a different pointer, never a half-written text. Does not block. */
QV_API const char* qv_GetLastError(void);

/* ---- enumeration and identity */

/* Lists the scanners selected by `flags` (QV_ENUM_*, 1..15) and writes their
 * number to *deviceCount. First releases the previous list as
 * qv_ReleaseDevices does (its handles are closed). Probes every COM port and
 * asks every serial and USB scanner for its identity (QRYSYS, up to 2 s each);
 * network discovery listens for 2.3 s: the call blocks for seconds. The list
 * is ordered USB, COM, USB virtual COM, network; it belongs to the library
 * and stays valid until the next qv_EnumDevices or qv_ReleaseDevices.
 * Returns entry 0, or null when nothing was found (*deviceCount 0, empty
 * error text) or on bad arguments ("Invalid input parameters", *deviceCount
 * unchanged). May be called from a callback. */
QV_API T_DevicesInfo* qv_EnumDevices(int32_t* deviceCount, uint32_t flags);

/* Releases the current list when *list is it: closes every open handle (as a
 * close does, see above), frees the list and sets *list to null. Any other
 * pointer changes nothing. Always empties the last-error text. Blocks while
 * handles close. May be called from a callback. */
QV_API void qv_ReleaseDevices(T_DevicesInfo** list);

/* Identity of list entry `index`: the QRYSYS reply text (serial, USB) or the
 * discovery reply (network), and the device type (QV_DEVTYPE_*). An entry
 * without identity text is opened (unless it is open already), queried (up to
 * 2 s) and closed again (unless another caller got the same handle from an
 * open meanwhile: it stays open for that caller). False with "Invalid input parameters" for a list that
 * is not the current one or an index outside it, with the open's error when
 * the device cannot be opened, "Device type error" for an unknown kind, and
 * false when no identity came back. */
QV_API bool qv_GetDeviceInfo(T_DevicesInfo* list, uint32_t index, T_DevInfo* info);

/* Sends BASQSY to list entry `index` (opening and closing it when it is not
 * open, as qv_GetDeviceInfo does) and copies the reply text, at most *length - 1 bytes and a zero byte,
 * into `buffer`. *length is the capacity on entry and the reply length minus
 * 29 on return (0 when no reply came). Blocks up to 2 s. Bad arguments:
 * "Invalid input parameters", *length unchanged. */
QV_API void qv_GetBaseInfo(T_DevicesInfo* list, uint32_t index, char* buffer, int32_t* length);

/* Identity of an open device, as qv_GetDeviceInfo. A serial or USB device
 * without identity text is queried (up to 2 s); a reply shorter than 29 bytes
 * gives false. Refused handle or null info: "Invalid input parameters". */
QV_API bool qv_GetDeviceInfoByHandle(void* hDevice, T_DevInfo* info);

/* ---- open, close and status */

/* Opens entry `index` of the current list; pass 0 as `reserved`. Returns the
 * handle, or the handle already open for that index. Null with "Invalid input
 * parameters" for a null list or an index outside the current list, null with
 * an empty text for a list that is not the current one, null with "Open com
 * device failed" / "Open usb device failed" / a network text when the device
 * cannot be opened (status QV_STATUS_OPEN_FAILED under the null handle).
 * When the index's handle is being closed, waits for that close to end and
 * opens the device afresh; called from that handle's own listener callback
 * (which the close waits for) it fails at once with "Device is not open". */
QV_API void* qv_OpenDevice(T_DevicesInfo* list, uint32_t index, int32_t reserved);

/* Opens a caller-held record (for example a copy of a list entry) under the
 * caller's key `index`; the record need not belong to the current list. The
 * new stream is written back to record->pOpenStream. Returns the handle
 * already open under `index` when there is one. Failures as qv_OpenDevice. */
QV_API void* qv_OpenDeviceForNati(T_DevicesInfo* record, uint32_t index, int32_t reserved);

/* Closes the handle in *hDevice (see the conventions above: running exports
 * are cancelled, a listener is stopped) and sets *hDevice to null; the list
 * entry forgets its stream. True also when the handle was not open (nothing is
 * closed). False when *hDevice is null, or when the transport failed to close
 * (status QV_STATUS_CLOSE_FAILED). Writes the log line "CloseDevice" on the
 * console and in the log file, also when the handle was not open. Waits for a firmware update running on the
 * device. May be called from any callback, on its own handle too. */
QV_API bool qv_CloseDevice(void** hDevice);

/* As qv_CloseDevice, for handles from qv_OpenDeviceForNati: leaves the device
 * list alone. */
QV_API bool qv_CloseDeviceForNati(void** hDevice);

/* True while the handle is open. Null: false with "Invalid input parameters". */
QV_API bool qv_DeviceIsOpenByHandle(void* hDevice);

/* True while list entry `index` is open. Bad arguments: false with "Invalid
 * input parameters". */
QV_API bool qv_DeviceIsOpenByList(T_DevicesInfo* list, uint32_t index);

/* The last operation status recorded for the handle (QV_STATUS_*), also after
 * its close. QV_STATUS_UNKNOWN for a non-null handle with no status; for the
 * null handle QV_STATUS_OPEN_FAILED after a failed open, else
 * QV_STATUS_CLOSED. Sets no error text. */
QV_API T_DeviceStatus qv_GetDevStatus(void* hDevice);

/* Asks to be told when the open device goes away (status 0) and comes back
 * and has been reopened (status 1); the callback runs on a library thread.
 * Refused handle or null callback: "Invalid input parameters". */
QV_API void qv_SetCbDevStatusChanged(void* hDevice, QV_DEV_STATUS_CALLBACK callback);

/* ---- commands, reads and the listener */

/* Writes `length` bytes (1..100000000); with `framed` the zero-terminated text
 * is wrapped in a command frame first. Data beginning with IMGGET or IMGTGT
 * not followed by '&', '*' or '^' is refused ("IMGGET and IMGTGT is not
 * support"). Refused handle: "Device is not open". Write failure: "Write to
 * com error" / "Write to usb error". Blocks until the bytes are written or the
 * handle is closed. */
QV_API bool qv_Write(void* hDevice, const char* data, uint32_t length, bool framed);

/* As qv_Write for hex text such as "7e 01 30 30" (spaces allowed, an even
 * number of digits, any length). Invalid text: "Not hex characters"; refused
 * handle: "Invalid input parameters". */
QV_API bool qv_WriteAsHex(void* hDevice, const char* hexText, bool framed);

/* Sends a configuration command (framed) and waits up to 2 s for its reply;
 * returns a command status (QV_CMD_*). Always empties the last-error text,
 * except for refused arguments (QV_CMD_NOT_WRITTEN, "Invalid input
 * parameters") and an image command without '*', '&' or '^' (QV_CMD_ENQ,
 * "IMGGET and IMGTGT is not support"). */
QV_API int32_t qv_SendCommand(void* hDevice, const char* command, int32_t length);

/* As qv_SendCommand for a command given as hex text. Invalid text:
 * QV_CMD_NOT_WRITTEN with "Not hex characters". */
QV_API int32_t qv_SendCommandAsHex(void* hDevice, const char* hexText, int32_t length);

/* Writes a command and collects its reply into `response` (at most
 * *responseLength - 1 bytes and a zero byte). *responseLength is the capacity
 * on entry and the reply length on return (left at the capacity when the reply
 * is longer). Each read waits up to `timeoutMs` (0: no time-out, the exchange
 * waits until a reply comes or the handle is closed). Framed commands, and
 * complete command frames given unframed, are answered by a response frame;
 * anything else (and SCNTRG scan triggers) by raw bytes, collected until 51 ms
 * of silence; while a listener runs, such a reply goes to the listener and
 * nothing is collected here. With `hex`, the command is hex text. False with
 * the transport's error text when the write or a read failed or timed out;
 * raw bytes that came before the device was lost or the handle closed are
 * returned with true. */
QV_API bool qv_GetCommandResponse(void* hDevice, const char* command, int32_t length,
                                  char* response, int32_t* responseLength,
                                  int32_t timeoutMs, bool framed, bool hex);

/* One raw read from the device, bypassing the split into replies and barcode
 * data: up to `capacity` (1..100000000) bytes within `timeoutMs` (0: the
 * transport's default of 2 s). Returns the byte count, 0 when nothing came
 * (also for refused arguments, which set no error text), or a negative value
 * when the device was lost or closed ("Read from com error, com push out"). */
QV_API int32_t qv_Read(void* hDevice, char* buffer, uint32_t capacity, int32_t timeoutMs);

/* Collects barcode data until 51 ms have passed and a 20 ms read brings
 * nothing, or `timeoutMs` passes with nothing (a negative time-out waits
 * about 49 days, until the handle is closed). *length on entry may give the
 * buffer's capacity (1..1048576); any other value means the buffer holds
 * 1048576 bytes. On return *length is the byte count (0 when nothing came);
 * bytes that did not fit stay queued. Data collected before the device was
 * lost is returned with true; a lost device with nothing collected gives
 * false with the transport's error text. */
QV_API bool qv_GetCodeData(void* hDevice, char* buffer, int32_t* length, int32_t timeoutMs);

/* Starts a listener thread that hands barcode data to `callback` (at most 5120
 * bytes per call, followed by a zero byte, valid during the call). A running
 * listener of the handle is stopped first. The callback runs with no library
 * lock held and may call any export, qv_StopListener and qv_CloseDevice on
 * its own handle and qv_EnumDevices included; it must not wait for a thread
 * that itself waits for this listener to stop. A failed read (device lost)
 * ends the listener with QV_LISTENER_READ_ERROR. Refused handle or null
 * callback: "Invalid input parameters"; no thread could be started: "Memory
 * allocation failed". */
QV_API void qv_SetListener(void* hDevice, QV_LISTENER_CALLBACK callback);

/* Stops the handle's listener and waits for its thread to finish the current
 * read (about 100 ms) and callback; from inside that callback it does not
 * wait. Always returns true; a refused handle sets "Invalid input
 * parameters". */
QV_API bool qv_StopListener(void* hDevice);

/* ---- decode upload */

/* Modes of qv_SendBmpDecode. */
enum {
    QV_DECODE_GRAY = 1,   /* 8-bit grey rows */
    QV_DECODE_YUV420 = 2  /* a 24-bit file as YUV 4:2:0 (Y plane, then Cb/Cr pairs); an 8-bit file as grey */
};

/* Sends the bitmap file `bmpFileName` to the scanner's decoder and fetches
 * the decoded text and the decoding time. The file must be an uncompressed
 * 8-bit or 24-bit BMP, bottom-up or top-down. An 8-bit file's pixel values are
 * sent as stored (its palette is not applied); a 24-bit file is converted to
 * grey (QV_DECODE_GRAY) or to YUV 4:2:0 (QV_DECODE_YUV420, width and height
 * must be even). Width and height (for YUV 4:2:0: height / 2 x 3) must not
 * exceed 65535. Anything else (1-, 4-, 16- or 32-bit files, a file shorter
 * than its pixel rows, ...) returns false before anything is sent.
 * `decodeText` must hold 4096 bytes: it receives up to 4095 bytes of the reply
 * and a zero byte, *decodeTextLength their count; *decodeTimeMs receives the
 * decoding time the scanner reports. Each reply is waited for up to
 * `timeoutMs` (0 or less: 2000 ms); the picture goes out in 8192-byte chunks
 * with a 10 ms pause after each, so the call blocks for about
 * 10 ms x bytes / 8192 plus the scanner's answers. A listener running on the
 * handle is stopped for the exchange (this waits for its current read) and
 * started again with its callback on every way out, unless the handle was
 * closed meanwhile. The device status is QV_STATUS_WRITE_BEGIN/END around the
 * picture data and QV_STATUS_READ_BEGIN/END around the read of its
 * acknowledgement (READ_END also when none came). In mode QV_DECODE_YUV420 a
 * 24-bit file is described on standard error as it is read (or why it cannot
 * be); the steps are logged on standard output and in the log file.
 * Refused handle, null pointer or a mode other than 1 or 2: false with
 * "Invalid input parameters". Other failures return false with the error
 * text unchanged, except that a failed write or a lost device sets the
 * transport's text ("Write to com error", "Read from com error, com push
 * out"). Success empties the text. */
QV_API bool qv_SendBmpDecode(void* hDevice, int32_t mode, const char* bmpFileName, char* decodeText,
                             int32_t* decodeTextLength, uint32_t* decodeTimeMs, int32_t timeoutMs);
/* ---- the scanner's settings as an XML file */

/* Reads every setting of the device ("@*", up to 2 s per read, a reply of at
 * most 819200 bytes), its product name (QRYSYS) and its calibration data
 * (DFMQCU), and writes them to `fileName` as a configuration document:
 *   <?xml version="1.0" encoding="utf-8"?>
 *   <Prazmor DeviceType="<product name>">
 *       <Command CommandName="<6-character name>" Value="<value>" />  one per setting
 *   </Prazmor>
 * Settings without a value are left out; a "DFMADD" element carries the
 * calibration data. Values are written byte for byte as the device sent them,
 * with the five XML entities escaped (control characters and bytes that are
 * not UTF-8 stay as they are: qv_WriteCfgToDev reads them back, strict XML
 * readers may not). A reply cut short gives the settings that came whole.
 * False with "Invalid input parameters" for a refused handle or a null or
 * empty file name, "Read device configuration error" when the device sent
 * nothing, "Open xml file error" when the file cannot be written. Blocks for
 * the three exchanges (seconds for a silent device); each holds the device
 * for its own duration only, so a running listener reads in between. Runs no
 * callback. */
QV_API bool qv_ReadDevCfgToXml(void* hDevice, const char* fileName);

/* Writes the settings of a configuration document (as qv_ReadDevCfgToXml
 * writes one; the root's name and DeviceType are not read) to the device. The
 * commands are the first element's children from its first "Command" child on;
 * a child without a CommandName or a Value attribute is skipped. They are sent
 * in batches of just over 300 characters (name and value of each, 10 ms
 * between elements and after each batch; each batch and its reply, waited for
 * up to 3 s, hold the device as one exchange). "DFMSIN" is never sent;
 * "232BAD", "232STP", "232DAT", "232PAR", "IMGROI", "KBWPOR", "SOPMOD", the
 * calibration built from "DFMADD" / "DFMSET" and "INTERF" follow, in this
 * order, in one final frame whose reply is not read; "232AFL" and "232FLW" are
 * never sent. True when the device accepted every batch command. False with
 * "Invalid input parameters" for a refused handle or a null or empty file name;
 * "Open xml file error" when the file is missing or not well-formed XML;
 * "[NAME1,NAME2] instructs write to device fail" (cut to 511 bytes; the names
 * of each batch last first) when the device refused commands, after every
 * batch and the final frame were sent; "Instructs write to device error" when
 * a batch got no reply; "Input param len is not enough" when a batch reply is
 * longer than 20480 bytes; the transport's text when a write failed or the
 * device was lost. Blocks for the whole transfer (about 10 ms per setting).
 * Runs no callback. */
QV_API bool qv_WriteCfgToDev(void* hDevice, const char* fileName);
/* ---- network scanners
 *
 * Network scanners are found by qv_EnumDevices with QV_ENUM_NETWORK: a query
 * datagram goes to 255.255.255.255 port 36510 from every local IPv4 address
 * that is up (loopback included) every 500 ms, and the text replies that
 * scanners send to port 36511 (by broadcast or to this host) are collected for
 * 2.3 s. Each scanner is listed once, after the local devices, with
 * transportKind QV_TRANSPORT_NETWORK, its reply text in devInfo and the
 * fields of the reply in ipAddress, tcpPort, serialNumber, macAddress,
 * subNetmask and gatewayAddress (each cut to its field with a zero byte); a
 * reply that lacks one of these six items is left out. Opening an entry
 * connects to ipAddress:tcpPort over TCP (the handshake may take 2 s: "Connect
 * to server timeout"; refused or unreachable: "Connect to server error") with
 * keep-alive on, and the command, read and listener exports then work as for
 * a serial scanner. A connection the scanner reset is opened again by the
 * next write or read (up to 4 attempts 100 ms apart; a write whose connection
 * came back only on the fourth attempt still returns false). A scanner that
 * closed the connection in an orderly way makes reads return 0 after their
 * time-out. Reads and writes fail at once when the handle is closed.
 * qv_UpdateKernelDevice on a network scanner runs the update over the TCP
 * connection (see qv_UpdateKernelDevice) and connects afresh afterwards. */

/* Largest request text of qv_SetNetDeviceConfig, and the size of the reply
 * buffer it needs (the reply text with its terminating zero byte). */
#define QV_NET_CONFIG_REQUEST_MAX 4084
#define QV_NET_CONFIG_REPLY_SIZE 4096

/* Configures a network scanner: sends `request` (`length` bytes, passed on
 * unchanged) as a configuration datagram (type 0x40 when `mode` is 1, else
 * 0x10) to 255.255.255.255 port 36510 from each local IPv4 address in turn and
 * after each waits for a configuration reply for at most `timeoutMs`, never
 * more than 1000 ms (a time-out of 0 or less only takes a reply that is there
 * already). The request is written as items "Key=value;" that identify the
 * scanner and give its new settings, in this order: "Serial Number=",
 * "MAC Address=", "Device Use DHCP=" (1 or 0), "Device IP Address=",
 * "Device SubNetmask=", "Device Gateway Address=".
 * `reply` (may be null) must hold QV_NET_CONFIG_REPLY_SIZE bytes: it receives
 * the text of the last reply, at most 4095 bytes and a zero byte, or an empty
 * text when no reply came.
 * Returns 0 once the request went out from every local address, whether or not
 * a reply came (empty last-error text), else -1: "Invalid input parameters"
 * for a null request or a length below 1 or above QV_NET_CONFIG_REQUEST_MAX
 * (nothing is sent), "Send udp data error" when a send failed or no local
 * address could be used. Blocks up to 1 s per local address. Calls no
 * callback. One request or network enumeration runs at a time; others wait. */
QV_API int32_t qv_SetNetDeviceConfig(int32_t mode, const char* request, int32_t length, int32_t timeoutMs,
                                     char* reply);
/* ---- network scanners as plain TCP peers
 *
 * These exports work on raw socket numbers instead of device handles. They
 * accept only sockets the library made (a connection of qv_connectToService, a
 * client the service accepted) and not yet closed: any other number (-1, a
 * closed socket, one that was never valid) gives "Invalid socket" and is never
 * closed. All addresses are dotted IPv4 text. */

/* Size a buffer of qv_readFromSocket must have. */
#define QV_SOCKET_READ_SIZE 10240

/* Runs a TCP service on the calling thread, listening on `port` of the first
 * IPv4 address of the machine that is not a loopback one (127.0.0.1 when there
 * is none). Each client that connects is accepted and handed to `callback` on
 * this thread with its socket and address (the text is valid during the call
 * only); the callback owns the socket from then on (qv_readFromSocket,
 * qv_sendDataToSocket, qv_CloseClientSocket). The first 63 clients are also
 * kept in the service's set, which qv_ExitTcpService closes; later ones are
 * not. Blocks until qv_ExitTcpService is called from another thread (or a
 * callback), then returns -1 with an empty last-error text. Fails at once with
 * -1: "Invalid input parameters" (null callback, port outside 0..65535),
 * "Socket bind error" (the port is in use, or a service runs already in this
 * process: only one runs at a time), "Invalid socket" (no socket could be
 * made); a failed wait ends it with "Network select error". */
QV_API int32_t qv_CreateTcpService(int32_t port, QV_TCP_CLIENT_CALLBACK callback);

/* Ends the running service: closes every client in its set and makes
 * qv_CreateTcpService close its listening socket and return promptly. Safe
 * when no service runs. Returns 0. */
QV_API int32_t qv_ExitTcpService(void);

/* Removes *socket from the service's set (when it is there), closes it and
 * sets *socket to -1. A socket of -1 is left alone; one the library did not
 * make, or closed already, is not closed ("Invalid socket"). Returns 0. */
QV_API int32_t qv_CloseClientSocket(int32_t* socket);

/* Connects to the TCP service at ip:port, waiting at most 5 s for the
 * handshake; 0 with the socket in *socket, else -1: "Invalid input
 * parameters" (null pointer), "Connect to server error" (refused, unreachable,
 * not an IPv4 address or port), "Connect to server timeout" (no handshake
 * within 5 s). */
QV_API int32_t qv_connectToService(const char* ip, int32_t port, int32_t* socket);

/* Sends `length` bytes on the socket; 0, or -1: "Invalid socket", "Invalid
 * input parameters" (null data, length <= 0), "Send tcp data error" (the
 * connection failed, or the peer took nothing for 5 s). */
QV_API int32_t qv_sendDataToSocket(int32_t socket, const char* data, int32_t length);

/* Receives what one read of the socket delivers, at most QV_SOCKET_READ_SIZE
 * bytes, into `buffer` (which must hold QV_SOCKET_READ_SIZE bytes), waiting up
 * to timeoutMs for it; *length gets the count. Returns 0; -1 for refused
 * arguments ("Invalid socket", "Invalid input parameters" for a null pointer
 * or a time-out <= 0) or when nothing came within the time-out ("Recv from net
 * timeout"); -2 when the connection failed or the peer closed it ("Recv tcp
 * data error"). */
QV_API int32_t qv_readFromSocket(int32_t socket, int32_t timeoutMs, char* buffer, int32_t* length);

/* Fetches a picture from the scanner connected on `socket`, as
 * qv_GetPicDataByConfig does with the parameters t, r, f, q (I and A 0, no
 * region). *length is the buffer's capacity on entry and the count of bytes
 * copied on return (a longer picture is cut to the capacity). *imageType gets
 * the colour type (QV_IMAGE_COLOR_*). With f != 0 (compressed) the bytes are
 * the scanner's, with the picture's width and height (two thirds of the raw
 * height for a colour device). With f == 0 the width and height are halved
 * for r == 1 and quartered for r == 2; a grey picture's bytes are handed over
 * as they came; a colour (YUV 4:2:0) frame is converted to R, G, B rows
 * (width x height x 2 / 3 x 3 bytes, height two thirds of the frame's); an
 * unknown colour type hands over nothing (*length 0). Returns 0, or -1:
 * "Invalid input parameters" (null pointer, zero length, socket -1), "Invalid
 * socket", and the errors of the picture exports. The socket stays open.
 * Blocks for the exchanges (up to 2 s per silent step). */
QV_API int32_t qv_getNetImgData(int32_t socket, int32_t t, int32_t r, int32_t f, int32_t q, char* buffer,
                                uint32_t* length, int32_t* imageType, int32_t* width, int32_t* height);
/* ---- firmware update */

/* Updates the scanner's firmware from the package file `fileName` (a path in
 * UTF-8; the package kind comes from its extension: pak, pk2, bin, nfp, efp).
 * `value` is handed to the transport; COM ports ignore it. *updateResult gets
 * a QV_FW_* code, QV_FW_OK (0) on success, and the result is true exactly then.
 *  - Refused arguments (null handle or result pointer, null or empty name, a
 *    handle that is not open or is being closed): false, *updateResult =
 *    QV_FW_BAD_ARGUMENTS (8, when the pointer is not null), "Invalid input
 *    parameters".
 *  - A failed update: false, its code, "Update firmware file with com error"
 *    (COM ports), "Update firmware file with net erro" (network scanners). A
 *    device whose transport has no update: QV_FW_NOT_RUN.
 *  - Network scanners: no line speeds and nothing sent between blocks. A
 *    scanner that drops the connection when it takes the update switch is
 *    waited for 20 s, then up to 20 connection attempts 100 ms apart are made;
 *    one that leaves its loader at the end of a group (when it was reached in
 *    its loader) is connected to again every 10 ms for up to 20 s, else the
 *    update ends with QV_FW_PROTOCOL. Afterwards, whatever the outcome, the
 *    connection is closed and opened again.
 * Blocks for the whole update: seconds to minutes (the waits for the loader
 * are up to 20 s each, a block's writing time grows with its size, see the
 * README). The update takes the device over: a running listener is stopped
 * before it begins and started again afterwards with the same callback;
 * other exports on the device wait until it has ended. Two updates of one
 * handle run one after the other. A close of the handle waits for a running
 * update to end, then closes. Records QV_STATUS_UPDATE_BEGIN / _END. Runs no
 * callback. */
QV_API bool qv_UpdateKernelDevice(void* hDevice, const char* fileName, int32_t value, int32_t* updateResult);
/* ---- pictures
 *
 * A picture fetch holds the device for the whole transfer: a running listener
 * waits meanwhile and gets the barcodes that arrived during the transfer
 * afterwards; no picture byte ever reaches it. Each fetch first writes its
 * command (dropping stale reply bytes, keeping barcodes, as every command
 * does). A device that stops sending for 2 s in the middle of a picture
 * ends the fetch with "Get image data error"; a close of the handle ends it
 * at once with "Read from com error, com push out". Every way out leaves the
 * device ready for the next command and the listener. Fetch exports record
 * QV_STATUS_IMAGE_BEGIN / QV_STATUS_IMAGE_END. None of them runs a callback.
 */

/* Asks the device for its picture size (IMGGWH) and writes it to *width and
 * *height (the raw frame height of a colour device; 0 and 0 when the query
 * failed). Pictures of up to 16384 x 16384 pixels are accepted. Refused
 * handle or null outputs: "Invalid input parameters"; no usable reply within
 * 2 s: "Get image size error". Blocks up to 2 s. */
QV_API bool qv_GetPicSize(void* hDevice, int32_t* width, int32_t* height);

/* Fetches a picture taken with the parameters in `param` into `buffer`.
 * *length is the buffer's capacity on entry and the picture's length on
 * return. The device is asked for its picture size and for the parameter
 * values it accepts first (IMGGWH, IMGGET^); a value it does not accept is
 * refused before any picture is requested: "Get image param T error" ...
 * "Get image param B error" (a region `b` must be 16 decimal digits inside
 * the device's bounds). With param.t == 2 the four barcode-location points
 * are written to imgR[0..3] (four entries; null gives "Image with barcode
 * location must need STImgResolution"). Failures: "No image data" (the device
 * has none), "Barcode location error", "Get image data len error" (the rest
 * of the reply is read and dropped), "Get image data error" (the device
 * stopped sending, or its capability reply was missing or malformed), "Get
 * image size error", "Image data real len greater then param len" when the
 * picture is longer than the capacity: nothing is copied and *length is the
 * picture's length, so the caller can retry with a buffer that large. Blocks
 * for the transfer: about 2 s per silent step at most. */
QV_API bool qv_GetPicDataByConfig(void* hDevice, ImgParam param, char* buffer, uint32_t* length,
                                  STImgResolution* imgR);

/* qv_GetPicDataByConfig with all parameters 0 (IMGGET0T0R0F when the device
 * accepts that) into a buffer of `capacity` bytes. A picture longer than the
 * capacity: false with "Image data real len greater then param len". The
 * picture's length is not returned: it is width x height of qv_GetPicSize for
 * a grey device. */
QV_API bool qv_GetPicData(void* hDevice, char* buffer, int32_t capacity);

/* Fetches a region of interest (SOPIMG<P>P<U>U<I>I<T>T<R>R<F>F<Q>Q) into
 * `buffer`; *length as for qv_GetPicDataByConfig. The values are the
 * device's: P >= 0, I <= 99, T <= 1, R <= 2, F <= 1, Q <= 3, none negative,
 * else "Invalid input parameters" before anything is sent (also for a handle
 * that is not open). The region's reply holds at most 10370000 bytes. Failures
 * as for qv_GetPicDataByConfig. */
QV_API bool qv_GetRoiPicData(void* hDevice, RoiImgParam param, char* buffer, uint32_t* length);

/* The colour type of the device's pictures (QV_IMAGE_COLOR_*, IMGFMT), and
 * the size and byte count of one picture: for a grey device (width, height)
 * of qv_GetPicSize and width x height bytes; for a YUV 4:2:0 device, whose
 * raw frame is one and a half pictures high, (width, raw height x 2 / 3) and
 * (width x raw height x 2 / 3) x 3 bytes, enough for the R, G, B picture
 * qv_ConvertImageColorSpace makes. A device that refuses the query (NAK) is
 * grey; one that gives no complete reply gives QV_IMAGE_COLOR_UNKNOWN, as
 * does an unknown value (the sizes are still written and the last-error text
 * emptied). Records QV_STATUS_COLOR_BEGIN / QV_STATUS_COLOR_END. Returns 0
 * with "Invalid input parameters" for refused arguments and with the size
 * query's error when that fails (QV_STATUS_COLOR_BEGIN stays recorded).
 * Blocks up to 4 s. */
QV_API int32_t qv_GetDeviceImageColorType(void* hDevice, STImgResolution* size, int32_t* dataLength);

/* Converts a YUV 4:2:0 frame into a 24-bit picture: `source` holds at least
 * size.width x size.height bytes, the size being the raw frame's (as
 * qv_GetPicSize reports it): size.height x 2 / 3 rows of luma, then one row
 * of interleaved V, U pairs per two luma rows. `destination` receives exactly
 * size.width x (size.height x 2 / 3) x 3 bytes: pixels R, G, B, bottom row
 * first, rows not padded. The 24-bit writers of qv_SavePicDataToFile take
 * B, G, R: swap the first and third byte of each pixel before saving. The
 * width must be even and the frame at least 2 rows high. Refused handle, null
 * pointers, a source shorter than the frame, or such a size: "Invalid input
 * parameters". Uses no device; records QV_STATUS_CONVERT_BEGIN / _END. */
QV_API bool qv_ConvertImageColorSpace(void* hDevice, const char* source, int32_t sourceLength,
                                      STImgResolution size, char* destination);

/* Saves pixels as a file, the writer chosen by the last four characters of
 * fileName (case-sensitive; the file is created or replaced):
 *  ".bmp"  flag QV_SAVE_BMP_8: `data` holds width x height grey bytes, top row
 *          first (rows are padded in the file); QV_SAVE_BMP_24: `data` holds
 *          the file's pixel rows, bottom row first, B, G, R, each row padded
 *          to a multiple of 4 bytes: height x ((3 x width + 3) / 4 x 4) bytes.
 *          Any other flag: "Color depth of a bitmap can only be 8 or 24".
 *  ".jpg", "jpeg"  flags 10..13: width x height grey bytes, top row first;
 *          20..23: bottom row first, B, G, R, 3 x width bytes per row. Any
 *          other flag: "Saving jpg flag only in(10,11,12,13,20,21,22,23)".
 * Any other ending writes nothing. A failure to write (also null data, a
 * size of 0 or less, a side above 65500 for JPEG) gives "Save picture to the
 * file error"; a null fileName "Invalid input parameters". Needs no device. */
QV_API bool qv_SavePicDataToFile(const char* fileName, const char* data, int32_t width, int32_t height,
                                 uint32_t flag);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORVIA_H */
