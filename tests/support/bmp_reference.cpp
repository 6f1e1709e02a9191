#include "bmp_reference.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "child_process.h"

namespace qvtest {

namespace {

uint8_t Red(const Picture& p, int x, int y) { return p.pixels[(static_cast<size_t>(y) * p.width + x) * 3]; }
uint8_t Green(const Picture& p, int x, int y) { return p.pixels[(static_cast<size_t>(y) * p.width + x) * 3 + 1]; }
uint8_t Blue(const Picture& p, int x, int y) { return p.pixels[(static_cast<size_t>(y) * p.width + x) * 3 + 2]; }

float Coef(double c, int v) { return static_cast<float>(c * v); }

void Put(std::string& s, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

Picture MakePicture(int width, int height, int channels, uint32_t seed) {
    Picture p{width, height, channels, {}};
    std::mt19937 rng(seed);
    p.pixels.resize(static_cast<size_t>(width) * height * channels);
    for (auto& b : p.pixels) b = static_cast<uint8_t>(rng());
    // Extremes, where truncation is closest to its edges.
    const size_t n = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < n; i += 7) {
        for (int c = 0; c < channels; ++c) p.pixels[i * channels + c] = (i / 7) % 2 == 0 ? 255 : 0;
    }
    return p;
}

std::vector<uint8_t> ReferenceGray(const Picture& rgb) {
    std::vector<uint8_t> out;
    for (int y = 0; y < rgb.height; ++y) {
        for (int x = 0; x < rgb.width; ++x) {
            const double g = 0.587 * Green(rgb, x, y) + 0.299 * Red(rgb, x, y) + 0.114 * Blue(rgb, x, y);
            out.push_back(static_cast<uint8_t>(static_cast<int>(g)));
        }
    }
    return out;
}

std::vector<uint8_t> ReferenceYuv420(const Picture& rgb) {
    std::vector<uint8_t> out;
    auto u = [&](int x, int y) {
        const int r = Red(rgb, x, y), g = Green(rgb, x, y), b = Blue(rgb, x, y);
        return static_cast<int>(-Coef(0.1684, r) - Coef(0.3316, g) + static_cast<float>(b / 2) + 128.0f);
    };
    auto v = [&](int x, int y) {
        const int r = Red(rgb, x, y), g = Green(rgb, x, y), b = Blue(rgb, x, y);
        return static_cast<int>(static_cast<float>(r / 2) - Coef(0.4187, g) - Coef(0.0813, b) + 128.0f);
    };
    for (int y = 0; y < rgb.height; ++y) {
        for (int x = 0; x < rgb.width; ++x) {
            const float luma = Coef(0.299, Red(rgb, x, y)) + Coef(0.587, Green(rgb, x, y)) + Coef(0.114, Blue(rgb, x, y));
            out.push_back(static_cast<uint8_t>(static_cast<int>(luma)));
        }
    }
    for (int y = 0; y < rgb.height; y += 2) {
        for (int x = 0; x < rgb.width; x += 2) {
            out.push_back(static_cast<uint8_t>((u(x, y) + u(x + 1, y) + u(x, y + 1) + u(x + 1, y + 1)) >> 2));
            out.push_back(static_cast<uint8_t>((v(x, y) + v(x + 1, y) + v(x, y + 1) + v(x + 1, y + 1)) >> 2));
        }
    }
    return out;
}

bool WriteBmpWithPil(const Picture& picture, const std::string& kind, bool topDown, const std::string& path,
                     std::string* why) {
    const std::string raw = path + ".raw";
    if (!WriteFile(raw, std::string(picture.pixels.begin(), picture.pixels.end()))) {
        if (why != nullptr) *why = "cannot write " + raw;
        return false;
    }
    const std::string script = (std::filesystem::path(__FILE__).parent_path() / "bmp_writer.py").string();
    ChildProcess writer({"/usr/bin/python3", script, raw, kind, std::to_string(picture.width),
                         std::to_string(picture.height), path, topDown ? "top-down" : "bottom-up"},
                        {});
    const std::string output = writer.ReadAll(60000);
    const int status = writer.Wait(60000);
    std::remove(raw.c_str());
    if (status != 0 && why != nullptr) *why = "bmp_writer.py failed (" + std::to_string(status) + "): " + output;
    return status == 0;
}

std::string HandMadeBmp(const BmpFields& f, size_t pixelBytes) {
    // The headers, zeros up to the data offset when it lies beyond them, the pixels.
    std::string s(f.dataOffset > 54 ? f.dataOffset : 54, '\0');
    s[0] = 'B';
    s[1] = 'M';
    Put(s, 2, static_cast<uint32_t>(f.dataOffset + pixelBytes), 4);
    Put(s, 10, f.dataOffset, 4);
    Put(s, 14, f.infoSize, 4);
    Put(s, 18, static_cast<uint32_t>(f.width), 4);
    Put(s, 22, static_cast<uint32_t>(f.height), 4);
    Put(s, 26, 1, 2);
    Put(s, 28, f.bitCount, 2);
    Put(s, 30, f.compression, 4);
    for (size_t i = 0; i < pixelBytes; ++i) s += static_cast<char>((i * 37 + 11) & 0xFF);
    return s;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qvtest
