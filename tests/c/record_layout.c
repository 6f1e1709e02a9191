/* The public header compiled as C: the record layout is checked by the
 * header's own static assertions, and here once more field by field at run time
 * against the offsets applications rely on. */
#include <stdio.h>
#include <string.h>

#include "quorvia.h"

#define CHECK_OFFSET(field, expected)                                                   \
    do {                                                                               \
        if (offsetof(T_DevicesInfo, field) != (expected)) {                            \
            printf("offset of %s is %u, expected %u\n", #field,                       \
                   (unsigned)offsetof(T_DevicesInfo, field), (unsigned)(expected));   \
            failures++;                                                                \
        }                                                                              \
    } while (0)

int main(void) {
    int failures = 0;
    T_DevicesInfo list[3];
    CHECK_OFFSET(UsbDeviceDescriptor, 0);
    CHECK_OFFSET(SerialSettings, 1012);
    CHECK_OFFSET(socket, 1028);
    CHECK_OFFSET(tcpPort, 1032);
    CHECK_OFFSET(ipAddress, 1036);
    CHECK_OFFSET(serialNumber, 1164);
    CHECK_OFFSET(macAddress, 2188);
    CHECK_OFFSET(subNetmask, 2316);
    CHECK_OFFSET(gatewayAddress, 2444);
    CHECK_OFFSET(transportKind, 2572);
    CHECK_OFFSET(pOpenStream, 2576);
    CHECK_OFFSET(pScan, 2584);
    CHECK_OFFSET(streamError, 2592);
    CHECK_OFFSET(deviceCount, 2600);
    CHECK_OFFSET(index, 2604);
    CHECK_OFFSET(isAsynRead, 2608);
    CHECK_OFFSET(listener, 2616);
    CHECK_OFFSET(devInfo, 2624);
    if (sizeof(T_DevicesInfo) != 6720) {
        printf("sizeof(T_DevicesInfo) is %u\n", (unsigned)sizeof(T_DevicesInfo));
        failures++;
    }
    /* Entry i of a list starts 6720 * i bytes after entry 0. */
    if ((size_t)((char*)&list[2] - (char*)&list[0]) != 2 * 6720) {
        printf("array stride is wrong\n");
        failures++;
    }
    if (offsetof(SerialSettings, port_number) != 0 || offsetof(SerialSettings, port_kind) != 2 ||
        offsetof(SerialSettings, status) != 3 || offsetof(SerialSettings, baudrate) != 4 ||
        offsetof(SerialSettings, databits) != 8 || offsetof(SerialSettings, stopbits) != 9 ||
        offsetof(SerialSettings, parity) != 10 || offsetof(SerialSettings, flowcontrol) != 11) {
        printf("SerialSettings layout is wrong\n");
        failures++;
    }
    if (offsetof(UsbDeviceDescriptor, pid) != 1004 || offsetof(UsbDeviceDescriptor, interfaceNumber) != 1006 ||
        offsetof(UsbDeviceDescriptor, deviceKindCopy) != 1009 || offsetof(UsbDeviceDescriptor, spare) != 1010) {
        printf("UsbDeviceDescriptor layout is wrong\n");
        failures++;
    }
    if (offsetof(T_DevInfo, devType) != 4096) {
        printf("T_DevInfo layout is wrong\n");
        failures++;
    }
    /* The exported functions are reachable from C. */
    if (qv_GetLastError() == NULL || strcmp(qv_GetLastError(), "") != 0) {
        printf("qv_GetLastError before any call must be empty\n");
        failures++;
    }
    if (failures == 0) printf("record layout ok\n");
    return failures == 0 ? 0 : 1;
}
