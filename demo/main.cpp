// QuorviaDemo: runs one exercise of the Quorvia interface per command-line option.
//
//   QuorviaDemo [option]
//
// Every run enumerates all devices, opens each in turn, performs the option's
// action on it and closes it:
//   (none)                 write QRYSYS framed and print what comes back
//   --BaseInfo             print the BASQSY reply of the first device, then exit
//   --WriteAsHex           write the hex text of a QRYSYS frame, framed once more,
//                          and print the reply
//   --GetDeviceInfo        print the identity of each device
//   --SendCommand          send QRYSYS and print the command status
//   --SendCommandAsHex     the same with the command given as hex text
//   --GetCommandResponse   send "?" unframed and print the reply
//   --SetListener          print barcode data as it arrives for 1000 s, or
//                          until SIGINT / SIGTERM; on a terminal also until
//                          Enter is pressed (without a terminal, as from cron,
//                          nohup or </dev/null, standard input is not read)
//   --SendBmpDecode        open, status and close only (a decode upload needs a
//                          bitmap the scanner's decoder can read)
//   --ReadDevCfgToXml      save each device's settings to ./xml/2.xml (made when missing)
//   --WriteCfgToDev        write the settings of ./xml/2.xml to each device
//   --SetNetDeviceConfig   send a network configuration request (DHCP on) to
//                          the scanner with serial number QVNET0001 and MAC
//                          address 02:51:56:00:00:01 and print its reply
//   --UpdateFirmware       update each device's firmware from the package
//                          ./firmware/QuorviaFirmware.nfp (relative to the
//                          current directory) and print the result code
//   --GetPicture           fetch a picture of each device and save it as "1<index>.bmp"
//   --GetPictureByConfig   fetch JPEG pictures (F = 2) again and again into
//                          "./pic/test4<index><pass>.jpg", until SIGINT / SIGTERM
//   --SetCbDevStatusChanged  tell when a device is pulled out and put back in while
//                          printing what it sends, until a stop signal
//   --GetRoiPicData        fetch the region of interest and write it to "GetRoiPicData.bmp"
//   anything else          open, status and close only
// The network options --NetGetImg, --ServerMode and --ClientMode run before any
// enumeration and end the program (see net_options.cpp).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define QV_ISATTY _isatty
#define QV_FILENO _fileno
#else
#include <unistd.h>
#define QV_ISATTY isatty
#define QV_FILENO fileno
#endif

#include "hotplug_option.h"
#include "net_options.h"
#include "quorvia.h"

namespace {

constexpr long long kListenMs = 1000000;
constexpr const char* kConfigFile = "./xml/2.xml";

// The network configuration request of --SetNetDeviceConfig: it addresses the
// demo's first simulated network scanner.
constexpr char kNetConfigRequest[] =
    "Serial Number=QVNET0001;MAC Address=02:51:56:00:00:01;Device Use DHCP=1;Device IP Address=127.0.0.1;"
    "Device SubNetmask=255.255.255.0;Device Gateway Address=127.0.0.1;";
constexpr const char* kFirmwarePath = "./firmware/QuorviaFirmware.nfp";

void ReadCallback(void* /*hDevice*/, const char* data, uint32_t length) {
    std::printf("-----------ReadCallback len=%d, buf=%s\n", static_cast<int>(length), data);
    std::fflush(stdout);
}

// Set by SIGINT and SIGTERM while the listener option runs.
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void OnStopSignal(int) { g_stopRequested = 1; }

// Writes bytes to a file; false when it cannot be written.
bool WriteFile(const std::string& name, const char* data, size_t length) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(data, 1, length, f) == length;
    return std::fclose(f) == 0 && written;
}

// qv_GetPicSize and its prints; true with a non-zero size.
bool PictureSize(void* hDevice, int32_t* width, int32_t* height) {
    const bool ok = qv_GetPicSize(hDevice, width, height);
    std::printf("qv_GetPicSize isGetPicSizeOK=%d\n", ok ? 1 : 0);
    if (!ok || *width == 0 || *height == 0) return false;
    std::printf("imgWidth=%d,imgHeight=%d\n", *width, *height);
    return true;
}

bool StdinIsTerminal() { return QV_ISATTY(QV_FILENO(stdin)) != 0; }

// Waits until `ms` pass or a stop signal arrives; on a terminal also until a
// line is typed or the terminal's input ends. Standard input that is not a
// terminal (a script, cron, nohup, </dev/null) is not read: its end says
// nothing about how long to listen.
void WaitForStop(long long ms) {
    struct Shared {
        std::mutex mutex;
        bool done = false;
    };
    // The reader may stay blocked on standard input after the wait ends: it
    // keeps its own reference to what it shares.
    auto shared = std::make_shared<Shared>();
    if (StdinIsTerminal()) {
        std::thread([shared] {
            char line[256];
            (void)std::fgets(line, sizeof line, stdin);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->done = true;
        }).detach();
    }
    // A signal handler can only set a flag: look at it every 50 ms.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (g_stopRequested == 0 && std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->done) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The console program's closing pause: a terminal user presses Enter; a script
// (standard input not a terminal) is never held up.
void Pause() {
    if (!StdinIsTerminal() || g_stopRequested != 0) return;
    std::printf("Press Enter to continue . . .\n");
    std::fflush(stdout);
    char line[256];
    (void)std::fgets(line, sizeof line, stdin);
}

void RunAction(const std::string& option, T_DevicesInfo* list, uint32_t index, void* hDevice) {
    if (option.empty()) {
        qv_Write(hDevice, "QRYSYS", 6, true);
        std::vector<char> buf(1001, '\0');
        qv_Read(hDevice, buf.data(), 1000, 1000);
        std::printf("system info: \n%s\n", buf.data());
    } else if (option == "--WriteAsHex") {
        // Written with framing on: the decoded frame travels as the text of a
        // second command frame, and the scanner answers that one.
        qv_WriteAsHex(hDevice, "7e 01 30 30 30 30 40 51 52 59 53 59 53 3b 03", true);
        std::vector<char> buf(1025, '\0');
        int32_t n = qv_Read(hDevice, buf.data(), 1024, 0);
        std::printf("nRet=%d, receivedData=%s\n", n, buf.data());
    } else if (option == "--GetDeviceInfo") {
        T_DevInfo info;
        std::memset(&info, 0, sizeof info);
        qv_GetDeviceInfo(list, index, &info);
        std::printf("GetDeviceInfo -------- info\n %s\ntype=%d\n", info.devInfo, info.devType);
    } else if (option == "--SendCommand") {
        const char* cmd = "QRYSYS";
        std::printf("result=%d\n", qv_SendCommand(hDevice, cmd, static_cast<int32_t>(std::strlen(cmd))));
    } else if (option == "--SendCommandAsHex") {
        std::printf("result=%d\n", qv_SendCommandAsHex(hDevice, "51 52 59 53 59 53", 17));
    } else if (option == "--GetCommandResponse") {
        std::vector<char> buf(20480, '\0');
        int32_t len = 20480;
        bool ok = qv_GetCommandResponse(hDevice, "?", 1, buf.data(), &len, 2000, false, false);
        std::printf("result=%d,recvLen=%d\n", ok ? 1 : 0, len);
        std::printf("recvData=%s\n", buf.data());
    } else if (option == "--SendBmpDecode") {
        // Nothing beyond the common open, status and close.
    } else if (option == "--SetNetDeviceConfig") {
        // The reply buffer holds the longest reply text the library hands back.
        std::vector<char> out(QV_NET_CONFIG_REPLY_SIZE, '\0');
        if (qv_SetNetDeviceConfig(0, kNetConfigRequest, static_cast<int32_t>(std::strlen(kNetConfigRequest)), 5000,
                                  out.data()) != 0) {
            std::printf("qv_setNetDeviceConfig error\n");
        }
        std::printf("\n qv_setNetDeviceConfig outData=%s\n", out.data());
    } else if (option == "--UpdateFirmware") {
        int32_t updateResult = -1;
        const bool ok = qv_UpdateKernelDevice(hDevice, kFirmwarePath, 0, &updateResult);
        std::printf("updateError=%d,%s\n", updateResult,
                    ok ? "succeed in updating the firmware" : "failed to update the firmware");
        if (updateResult == QV_FW_OK) {
            std::printf("The firmware update is normal.\n");
        } else if (updateResult == QV_FW_BAD_EXTENSION) {
            std::printf("file name error\n");
        }
    } else if (option == "--GetPicture") {
        int32_t width = 0, height = 0;
        if (!PictureSize(hDevice, &width, &height)) return;
        const int32_t capacity = width * height;
        std::vector<char> picture(static_cast<size_t>(capacity));
        if (!qv_GetPicData(hDevice, picture.data(), capacity)) return;
        const std::string name = "1" + std::to_string(index) + ".bmp";
        qv_SavePicDataToFile(name.c_str(), picture.data(), width, height, QV_SAVE_BMP_8);
    } else if (option == "--GetPictureByConfig") {
        int32_t width = 0, height = 0;
        if (!PictureSize(hDevice, &width, &height)) return;
        const uint32_t capacity = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 4;
        std::vector<char> picture(capacity);
        std::error_code ec;
        std::filesystem::create_directories("./pic", ec);
        ImgParam param;
        std::memset(&param, 0, sizeof param);
        param.f = 2;  // JPEG data
        STImgResolution locations[4];
        for (int pass = 0; g_stopRequested == 0; ++pass) {
            uint32_t length = capacity;
            const bool ok = qv_GetPicDataByConfig(hDevice, param, picture.data(), &length, locations);
            std::printf("isOK=%d\n", ok ? 1 : 0);
            if (!ok) continue;
            char name[64];
            std::snprintf(name, sizeof name, "./pic/test4%u%06d.jpg", index, pass);
            WriteFile(name, picture.data(), length);
        }
    } else if (option == "--GetRoiPicData") {
        constexpr uint32_t kRoiCapacity = 10368000;
        std::vector<char> picture(kRoiCapacity);
        std::memset(picture.data(), 0, 4);
        uint32_t length = kRoiCapacity;
        const RoiImgParam param = {0, 1, 1, 0, 0, 0, 0};
        if (qv_GetRoiPicData(hDevice, param, picture.data(), &length)) {
            WriteFile("GetRoiPicData.bmp", picture.data(), length);
        }
    } else if (option == "--SetListener") {
        // After a stop signal the remaining devices are only opened and closed.
        if (g_stopRequested != 0) return;
        qv_SetListener(hDevice, ReadCallback);
        WaitForStop(kListenMs);
        qv_StopListener(hDevice);
    } else if (option == "--SetCbDevStatusChanged") {
        if (g_stopRequested == 0) RunDevStatusOption(hDevice, &g_stopRequested);
    } else if (option == "--ReadDevCfgToXml") {
        qv_ReadDevCfgToXml(hDevice, kConfigFile);
    } else if (option == "--WriteCfgToDev") {
        if (!qv_WriteCfgToDev(hDevice, kConfigFile)) std::printf("WriteCfgToDev %s\n", qv_GetLastError());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string option = argc > 1 ? argv[1] : "";
    // The network options talk to one scanner over TCP and end the program.
    if (RunNetworkOption(option)) return 0;

    std::printf("enum qv_EnumDevices begin\n");
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, 15);
    std::printf("enum qv_EnumDevices end deviceCounts=%d\n", count);

    if (option == "--BaseInfo") {
        if (count <= 0 || list == nullptr) return 0;
        std::printf("begin query base info\n");
        std::vector<char> buf(65565, '\0');
        int32_t len = 65535;
        qv_GetBaseInfo(list, 0, buf.data(), &len);
        std::printf("base info:%s\n", buf.data());
        qv_ReleaseDevices(&list);
        return 0;
    }

    if (option == "--ReadDevCfgToXml") {
        std::error_code ec;  // a directory that cannot be made shows as a failed save
        std::filesystem::create_directories("./xml", ec);
    }

    if (option == "--SetListener" || option == "--GetPictureByConfig" || option == "--SetCbDevStatusChanged") {
        // A stop signal ends the listening (or the fetching); the devices are
        // then closed and the list released as after a normal end.
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
    }

    for (int32_t i = 0; i < count; ++i) {
        void* hDevice = qv_OpenDevice(list, static_cast<uint32_t>(i), 0);
        std::printf("hDevice=%p, %s\n", hDevice,
                    hDevice != nullptr ? "succeed in opening the device" : "failed to open the device");
        if (hDevice == nullptr) continue;
        std::printf("status=%d\n", qv_GetDevStatus(hDevice));
        RunAction(option, list, static_cast<uint32_t>(i), hDevice);
        bool closed = qv_CloseDevice(&hDevice);
        std::printf("hDevice=%p,%s\n", hDevice,
                    closed ? "succeed in closing the device" : "failed to close the device");
        std::printf("T_DeviceStatus t=%d\n", qv_GetDevStatus(hDevice));
    }

    qv_ReleaseDevices(&list);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    std::printf("all over\n");
    Pause();
    return 0;
}
