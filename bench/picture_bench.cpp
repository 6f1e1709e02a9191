// Picture figures, each next to a floor measured in the same run:
//  1. a 3840 x 2160 grey picture through qv_GetPicDataByConfig from
//     quorvia-sim over a pty, versus the same bytes pushed through a pty pair
//     by plain write/read (best of several runs each); target >= 0.5 of the
//     floor's throughput;
//  2. SaveJpeg of that picture (grey, quality 80) versus libjpeg-turbo's
//     cjpeg on the same pixels; target <= 1.2 x cjpeg's time;
//  3. ConvertImageColorSpace of a 3840 x 3240 YUV 4:2:0 frame in megapixels
//     per second versus a plain pass that reads the frame and writes 3 bytes
//     per pixel; target >= 0.5 of that pass.
// Run it inside a private network namespace like everything else:
//   unshare -n sh -c 'ip link set lo up; QUORVIA_SYSTEM_PORTS=0 build/ci/bench/picture_bench'
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/image_files.h"
#include "pty_pair.h"
#include "quorvia.h"
#include "sim_process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// The floor: `bytes` written into a pty master by one thread and read from
// the slave by another, with poll + read, as fast as the pty carries them.
double FloorMs(const std::string& bytes) {
    qvtest::PtyPair pty;
    const int slave = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    std::vector<char> in(bytes.size());
    const auto t0 = Clock::now();
    // Plain blocking writes of 64 KiB, as fast as the pty takes them.
    const int master = pty.master_fd();
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) & ~O_NONBLOCK);
    std::thread writer([&] {
        for (size_t off = 0; off < bytes.size();) {
            const ssize_t n = write(master, bytes.data() + off, std::min<size_t>(0x10000, bytes.size() - off));
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    });
    size_t got = 0;
    while (got < bytes.size()) {
        pollfd pfd{slave, POLLIN, 0};
        poll(&pfd, 1, 1000);
        const ssize_t n = read(slave, in.data() + got, in.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    const double ms = Ms(Clock::now() - t0);
    writer.join();
    close(slave);
    return ms;
}

void PictureTransfer() {
    SimProcess sim({{.com = 1}});
    if (!sim.ok() || sim.command("picture 1 size=3840x2160") != "OK") {
        std::printf("simulator failed: %s\n", sim.error().c_str());
        return;
    }
    setenv("QUORVIA_COM_PORTS", sim.declaration().c_str(), 1);
    int32_t count = 0;
    T_DevicesInfo* list = qv_EnumDevices(&count, QV_ENUM_COM);
    void* h = count == 1 ? qv_OpenDevice(list, 0, 0) : nullptr;
    if (h == nullptr) {
        std::printf("open failed: %s\n", qv_GetLastError());
        return;
    }
    std::vector<char> buf(kWidth * kHeight);
    ImgParam param{};
    std::vector<double> lib;
    uint32_t len = 0;
    for (int i = 0; i < 8; ++i) {
        len = static_cast<uint32_t>(buf.size());
        const auto t0 = Clock::now();
        if (!qv_GetPicDataByConfig(h, param, buf.data(), &len, nullptr)) {
            std::printf("fetch failed: %s\n", qv_GetLastError());
            break;
        }
        lib.push_back(Ms(Clock::now() - t0));
    }
    qv_CloseDevice(&h);
    qv_ReleaseDevices(&list);
    if (lib.empty()) return;
    const std::string bytes(buf.data(), len);
    std::vector<double> floor;
    for (int i = 0; i < 8; ++i) floor.push_back(FloorMs(bytes));
    // A pty's speed swings with what else the machine runs: the best of
    // several runs of each is compared, the medians are shown as well.
    const double mb = static_cast<double>(len) / 1e6;
    const double libRate = mb / (Best(lib) / 1000), floorRate = mb / (Best(floor) / 1000);
    std::printf("3840 x 2160 grey picture (%u bytes) over a pty, best and median of 8\n", len);
    std::printf("  qv_GetPicDataByConfig from quorvia-sim: %.1f ms (%.1f MB/s), median %.1f ms\n", Best(lib), libRate,
                Median(lib));
    std::printf("  floor (plain pty write/read):           %.1f ms (%.1f MB/s), median %.1f ms\n", Best(floor),
                floorRate, Median(floor));
    std::printf("  ratio %.2f; target >= 0.5: %s\n", libRate / floorRate,
                libRate >= 0.5 * floorRate ? "met" : "NOT met");
}

// Runs cjpeg on a PGM file; the wall time in ms, or -1.
double CjpegMs(const std::string& pgm, const std::string& out) {
    const char* argv[] = {"cjpeg", "-quality", "80", "-outfile", out.c_str(), pgm.c_str(), nullptr};
    const auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cjpeg", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = Ms(Clock::now() - t0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

void JpegSave() {
    std::string picture(static_cast<size_t>(kWidth) * kHeight, '\0');
    // A scanner-like picture: smooth background with bars.
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const bool bar = x > kWidth / 4 && x < kWidth * 3 / 4 && ((x / 7) * 2654435761u >> 13) % 3 == 0;
            picture[static_cast<size_t>(y) * kWidth + x] = static_cast<char>(bar ? 20 : (x / 16 + y / 12) & 0xFF);
        }
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qv_picture_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string pgm = (dir / "in.pgm").string();
    {
        std::FILE* f = std::fopen(pgm.c_str(), "wb");
        std::fprintf(f, "P5\n%d %d\n255\n", kWidth, kHeight);
        std::fwrite(picture.data(), 1, picture.size(), f);
        std::fclose(f);
    }
    std::vector<double> ours, theirs;
    for (int i = 0; i < 7; ++i) {
        const auto t0 = Clock::now();
        if (!qv::SaveJpeg((dir / "ours.jpg").c_str(), reinterpret_cast<const uint8_t*>(picture.data()), kWidth,
                          kHeight, QV_SAVE_JPEG_GREY_Q80)) {
            std::printf("SaveJpeg failed\n");
            return;
        }
        ours.push_back(Ms(Clock::now() - t0));
        const double c = CjpegMs(pgm, (dir / "theirs.jpg").string());
        if (c < 0) {
            std::printf("cjpeg failed (install libjpeg-turbo-progs)\n");
            return;
        }
        theirs.push_back(c);
    }
    const double o = Median(ours), t = Median(theirs);
    std::printf("SaveJpeg 3840 x 2160 grey, quality 80: median %.1f ms (%ju bytes)\n", o,
                static_cast<uintmax_t>(std::filesystem::file_size(dir / "ours.jpg")));
    std::printf("  cjpeg -quality 80 on the same pixels: median %.1f ms (%ju bytes)\n", t,
                static_cast<uintmax_t>(std::filesystem::file_size(dir / "theirs.jpg")));
    std::printf("  ratio %.2f; target <= 1.2: %s\n", o / t, o <= 1.2 * t ? "met" : "NOT met");
    std::filesystem::remove_all(dir);
}

void Conversion() {
    const int rawHeight = kHeight * 3 / 2;
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * rawHeight);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
    std::vector<uint8_t> out(static_cast<size_t>(kWidth) * kHeight * 3);
    std::vector<double> ours, plain;
    for (int i = 0; i < 15; ++i) {
        auto t0 = Clock::now();
        qv::ConvertImageColorSpace(frame.data(), static_cast<int32_t>(frame.size()), kWidth, rawHeight, out.data());
        ours.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        // The plain pass: every pixel read once, three bytes written.
        const uint8_t* src = frame.data();
        uint8_t* dst = out.data();
        for (size_t p = 0; p < static_cast<size_t>(kWidth) * kHeight; ++p, dst += 3) {
            dst[0] = dst[1] = dst[2] = src[p];
        }
        plain.push_back(Ms(Clock::now() - t0));
        // Keep the plain pass from being optimised away.
        if (out[static_cast<size_t>(i) * 12345] == 0x5A && out[7] == 0x5B) std::printf(" ");
    }
    const double mp = static_cast<double>(kWidth) * kHeight / 1e6;
    const double o = mp / (Median(ours) / 1000), p = mp / (Median(plain) / 1000);
    std::printf("ConvertImageColorSpace 3840 x 3240 YUV 4:2:0 -> 3840 x 2160 RGB: %.0f MP/s\n", o);
    std::printf("  plain pass (read each pixel, write 3 bytes):       %.0f MP/s\n", p);
    std::printf("  ratio %.2f; target >= 0.5: %s\n", o / p, o >= 0.5 * p ? "met" : "NOT met");
}

}  // namespace

int main() {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    PictureTransfer();
    JpegSave();
    Conversion();
    return 0;
}
