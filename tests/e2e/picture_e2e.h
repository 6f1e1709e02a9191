// Helpers of the picture tests: one simulated scanner opened through the
// exports, the pictures its camera takes (the simulator's own generator), and
// an independent reader of image files (Python's PIL from Debian).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "e2e_helpers.h"
#include "img_param.h"
#include "quorvia.h"
#include "sim_pictures.h"

namespace qvtest {

// One simulated scanner on COM `com`, enumerated and opened.
class PictureScanner {
public:
    explicit PictureScanner(int com, const std::string& settings = "") : com_(com), devices_({{.com = com}}) {
        if (!devices_.sim().ok() || devices_.count() != 1) return;
        if (!settings.empty() && Sim("picture " + std::to_string(com) + " " + settings) != "OK") return;
        handle_ = qv_OpenDevice(devices_.list(), 0, 0);
    }
    ~PictureScanner() {
        if (handle_ != nullptr) qv_CloseDevice(&handle_);
    }

    bool ok() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }
    void*& handleRef() { return handle_; }
    int com() const { return com_; }
    SimProcess& sim() { return devices_.sim(); }
    // A control command for this scanner: "picture ...", "picfault ...", "emit ...".
    std::string Sim(const std::string& line) { return devices_.sim().command(line); }
    std::string Fault(const std::string& fault) { return Sim("picfault " + std::to_string(com_) + " " + fault); }
    uint64_t FramesSeen() {
        SimProcess::Stats s;
        return devices_.sim().stats(com_, s) ? s.frames : ~uint64_t{0};
    }

private:
    int com_;
    SimDevices devices_;
    void* handle_ = nullptr;
};

// What an image file holds, as an independent reader sees it.
struct Decoded {
    std::string mode;   // PIL's mode: "L", "P", "RGB"
    int width = 0;
    int height = 0;
    std::string pixels; // top row first; RGB pixels as R, G, B
};

// The interpreter that has PIL (Debian's python3-pil).
inline std::string PilPython() {
    const char* env = std::getenv("QV_PIL_PYTHON");
    return env != nullptr ? env : "/usr/bin/python3";
}

// Reads an image file with PIL; false (with the reason in *why) when PIL
// cannot read it.
inline bool DecodeWithPil(const std::filesystem::path& file, Decoded* out, std::string* why) {
    const std::filesystem::path raw = file.string() + ".pixels";
    static const char* kScript =
        "import sys\n"
        "from PIL import Image\n"
        "im = Image.open(sys.argv[1])\n"
        "im.load()\n"
        "if im.mode == 'P':\n"
        "    im = im.convert('L')\n"
        "open(sys.argv[2], 'wb').write(im.tobytes())\n"
        "print(im.format, im.mode, im.size[0], im.size[1])\n";
    ChildProcess py({PilPython(), "-c", kScript, file.string(), raw.string()}, {});
    const std::string output = py.ReadAll(60000);
    const int status = py.Wait(5000);
    if (status != 0) {
        *why = "PIL could not read " + file.string() + " (status " + std::to_string(status) + "): " + output;
        return false;
    }
    std::istringstream line(output);
    std::string format;
    line >> format >> out->mode >> out->width >> out->height;
    std::ifstream in(raw, std::ios::binary);
    out->pixels.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

// Mean absolute difference of two equally long byte strings.
inline double MeanAbsError(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sum += std::abs(static_cast<int>(static_cast<uint8_t>(a[i])) - static_cast<int>(static_cast<uint8_t>(b[i])));
    }
    return sum / static_cast<double>(a.size());
}

// Rows of `rowBytes` in reverse order (bottom row first <-> top row first).
inline std::string FlipRows(const std::string& rows, size_t rowBytes) {
    std::string out;
    out.reserve(rows.size());
    for (size_t r = rows.size() / rowBytes; r-- > 0;) out.append(rows, r * rowBytes, rowBytes);
    return out;
}

// R, G, B pixels as B, G, R (and back).
inline std::string SwapRedBlue(std::string px) {
    for (size_t i = 0; i + 2 < px.size(); i += 3) std::swap(px[i], px[i + 2]);
    return px;
}

}  // namespace qvtest
