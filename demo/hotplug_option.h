// QuorviaDemo's --SetCbDevStatusChanged: watch a device come and go while
// reading from it.
#pragma once

#include <csignal>

// Installs the status callback on the open device, then reads from it (1024
// bytes, 1000 ms per read) and prints what arrives, until *stop is set (by a
// stop signal).
void RunDevStatusOption(void* hDevice, const volatile std::sig_atomic_t* stop);
