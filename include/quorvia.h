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

/* Enumeration flags of qv_EnumDevices (combine with |). */
#define QV_ENUM_COM      1u
#define QV_ENUM_USB_VCOM 2u
#define QV_ENUM_USB      4u
#define QV_ENUM_NETWORK  8u

/* ------------------------------------------------------------------ exports */

/* Text of the last failure ("" after a success). The pointer stays valid. */
QV_API const char* qv_GetLastError(void);

/* Enumeration and identity. */
QV_API T_DevicesInfo* qv_EnumDevices(int32_t* deviceCount, uint32_t flags);
QV_API void qv_ReleaseDevices(T_DevicesInfo** list);
QV_API bool qv_GetDeviceInfo(T_DevicesInfo* list, uint32_t index, T_DevInfo* info);
QV_API void qv_GetBaseInfo(T_DevicesInfo* list, uint32_t index, char* buffer, int32_t* length);
QV_API bool qv_GetDeviceInfoByHandle(void* hDevice, T_DevInfo* info);

/* Open, close and status. */
QV_API void* qv_OpenDevice(T_DevicesInfo* list, uint32_t index, int32_t reserved);
QV_API void* qv_OpenDeviceForNati(T_DevicesInfo* record, uint32_t index, int32_t reserved);
QV_API bool qv_CloseDevice(void** hDevice);
QV_API bool qv_CloseDeviceForNati(void** hDevice);
QV_API bool qv_DeviceIsOpenByHandle(void* hDevice);
QV_API bool qv_DeviceIsOpenByList(T_DevicesInfo* list, uint32_t index);
QV_API T_DeviceStatus qv_GetDevStatus(void* hDevice);
QV_API void qv_SetCbDevStatusChanged(void* hDevice, QV_DEV_STATUS_CALLBACK callback);

/* Commands, reads and the listener. */
QV_API bool qv_Write(void* hDevice, const char* data, uint32_t length, bool framed);
QV_API bool qv_WriteAsHex(void* hDevice, const char* hexText, bool framed);
QV_API int32_t qv_SendCommand(void* hDevice, const char* command, int32_t length);
QV_API int32_t qv_SendCommandAsHex(void* hDevice, const char* hexText, int32_t length);
QV_API bool qv_GetCommandResponse(void* hDevice, const char* command, int32_t length,
                                  char* response, int32_t* responseLength,
                                  int32_t timeoutMs, bool framed, bool hex);
QV_API int32_t qv_Read(void* hDevice, char* buffer, uint32_t capacity, int32_t timeoutMs);
QV_API bool qv_GetCodeData(void* hDevice, char* buffer, int32_t* length, int32_t timeoutMs);
QV_API void qv_SetListener(void* hDevice, QV_LISTENER_CALLBACK callback);
QV_API bool qv_StopListener(void* hDevice);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORVIA_H */
