#include "hotplug_option.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "quorvia.h"

namespace {

void DevStatusCallback(void* hDevice, int32_t status) {
    if (status != 0) {
        std::printf("hDevice=%p, device is pushed in\n", hDevice);
    } else {
        std::printf("hDevice=%p, device is pushed out\n", hDevice);
    }
    std::fflush(stdout);
}

}  // namespace

void RunDevStatusOption(void* hDevice, const volatile std::sig_atomic_t* stop) {
    qv_SetCbDevStatusChanged(hDevice, DevStatusCallback);
    std::vector<char> buffer(1024 + 1);
    // Reads fail at once while the device is away: the 1000 ms read time-out
    // then paces nothing, so a failed read is followed by a pause of its own.
    while (*stop == 0) {
        std::fill(buffer.begin(), buffer.end(), '\0');
        const int32_t n = qv_Read(hDevice, buffer.data(), 1024, 1000);
        if (n > 0) {
            std::printf("nRet=%d, receivedData=%s\n", n, buffer.data());
            std::fflush(stdout);
        } else if (n < 0 || !qv_DeviceIsOpenByHandle(hDevice)) {
            for (int i = 0; i < 10 && *stop == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}
