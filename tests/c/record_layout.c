/* The public header compiled as C: its own static assertions check the record
 * layout wherever it is compiled. What the header does not assert, the offsets
 * inside the sub-records that applications read, is asserted here, also at
 * compile time; the program then checks that the exports are callable from C. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "quorvia.h"

_Static_assert(offsetof(SerialSettings, port_number) == 0, "port_number offset");
_Static_assert(offsetof(SerialSettings, port_kind) == 2, "port_kind offset");
_Static_assert(offsetof(SerialSettings, status) == 3, "status offset");
_Static_assert(offsetof(SerialSettings, databits) == 8, "databits offset");
_Static_assert(offsetof(SerialSettings, stopbits) == 9, "stopbits offset");
_Static_assert(offsetof(SerialSettings, parity) == 10, "parity offset");
_Static_assert(offsetof(UsbDeviceDescriptor, pid) == 1004, "pid offset");
_Static_assert(offsetof(UsbDeviceDescriptor, interfaceNumber) == 1006, "interfaceNumber offset");
_Static_assert(offsetof(UsbDeviceDescriptor, deviceKindCopy) == 1009, "deviceKindCopy offset");
_Static_assert(offsetof(UsbDeviceDescriptor, spare) == 1010, "spare offset");
_Static_assert(offsetof(T_DevInfo, devType) == 4096, "devType offset");

int main(void) {
    /* The exported functions are reachable from C. */
    if (qv_GetLastError() == NULL || strcmp(qv_GetLastError(), "") != 0) {
        printf("qv_GetLastError before any call must be empty\n");
        return 1;
    }
    printf("record layout ok\n");
    return 0;
}
