// quorvia-tour: two jobs of the demo tour (scripts/demo-tour.sh) that
// QuorviaDemo has no option for.
//
//   quorvia-tour package <file>
//       writes a firmware package ("nfp", one application block) that the
//       simulated scanners' loader takes
//   quorvia-tour decode <bitmap> [mode]
//       uploads the bitmap to the decoder of the first scanner on a COM port
//       (mode 1 grey rows, the default, or 2 YUV 4:2:0) through
//       qv_SendBmpDecode and prints the decoded text and the decoding time
//
// Exit status 0 when the job succeeded, 1 otherwise (with the reason on
// standard error).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "firmware_package_builder.h"
#include "quorvia.h"

namespace {

int Usage() {
    std::fputs("usage: quorvia-tour package <file> | quorvia-tour decode <bitmap> [1|2]\n", stderr);
    return 2;
}

int WritePackage(const char* file) {
    qvtest::TablePackage p;
    p.main = {{"appl", qvtest::PatternBytes(24 * 1024, 7)}};
    if (!qvtest::WriteBytes(file, qvtest::BuildTablePackage(p))) {
        std::fprintf(stderr, "cannot write %s\n", file);
        return 1;
    }
    std::printf("firmware package %s written\n", file);
    return 0;
}

int Decode(const char* bitmap, int32_t mode) {
    // COM ports only: the first scanner there is the one the tour talks to.
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    if (list == nullptr || count < 1) {
        std::fprintf(stderr, "no scanner on a COM port\n");
        return 1;
    }
    void* hDevice = qv_OpenDevice(list, 0, 0);
    if (hDevice == nullptr) {
        std::fprintf(stderr, "cannot open %s: %s\n", list[0].devInfo, qv_GetLastError());
        qv_ReleaseDevices(&list);
        return 1;
    }
    std::printf("uploading %s (mode %d) to the scanner on COM%d\n", bitmap, mode,
                static_cast<int>(list[0].SerialSettings.port_number));
    char text[4096] = {};
    int32_t textLength = 0;
    uint32_t timeMs = 0;
    const bool ok = qv_SendBmpDecode(hDevice, mode, bitmap, text, &textLength, &timeMs, 2000);
    if (ok) {
        std::printf("decoded text=%s (%d bytes), decoding time=%u ms\n", text, textLength, timeMs);
    } else {
        std::fprintf(stderr, "qv_SendBmpDecode failed: %s\n", qv_GetLastError());
    }
    qv_CloseDevice(&hDevice);
    qv_ReleaseDevices(&list);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string job = argv[1];
    if (job == "package" && argc == 3) return WritePackage(argv[2]);
    if (job == "decode" && argc <= 4) {
        const int32_t mode = argc == 4 ? std::atoi(argv[3]) : QV_DECODE_GRAY;
        return Decode(argv[2], mode);
    }
    return Usage();
}
