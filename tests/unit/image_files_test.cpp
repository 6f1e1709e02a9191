// BMP and JPEG writers, the save dispatch and the YUV 4:2:0 conversion, read
// back byte by byte (the independent readers check the files end to end).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "engine/image_files.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

uint32_t U32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

uint16_t U16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

// Exactly `n` bytes on the heap, so the sanitizers see any read beyond them.
std::unique_ptr<uint8_t[]> Pixels(size_t n, unsigned seed = 1) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[n]);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 9));
    return p;
}

class ImageFiles : public ::testing::Test {
protected:
    fs::path File(const std::string& name) const { return dir.path() / name; }
    qvtest::TempDir dir{"qv_image_files"};
};

}  // namespace

TEST_F(ImageFiles, EightBitBmpOf640x480) {
    auto px = Pixels(640 * 480);
    ASSERT_TRUE(qv::SaveBmp(File("a.bmp").c_str(), px.get(), 640, 480, 8));
    const std::string f = ReadFile(File("a.bmp"));
    ASSERT_EQ(f.size(), 308278u);
    EXPECT_EQ(f.substr(0, 2), "BM");
    EXPECT_EQ(U32(f, 2), 308278u);
    EXPECT_EQ(U32(f, 6), 0u);
    EXPECT_EQ(U32(f, 10), 1078u);
    EXPECT_EQ(U32(f, 14), 40u);
    EXPECT_EQ(U32(f, 18), 640u);
    EXPECT_EQ(U32(f, 22), 480u);
    EXPECT_EQ(U16(f, 26), 1);
    EXPECT_EQ(U16(f, 28), 8);
    EXPECT_EQ(U32(f, 30), 0u);
    EXPECT_EQ(U32(f, 34), 640u * 480u);
    for (size_t at : {38, 42, 46, 50}) EXPECT_EQ(U32(f, at), 0u);
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(U32(f, 54 + 4 * i), i * 0x010101u) << i;
    // The first row in the file is the last row of the picture.
    EXPECT_EQ(std::memcmp(f.data() + 1078, px.get() + 479 * 640, 640), 0);
    EXPECT_EQ(std::memcmp(f.data() + 1078 + 479 * 640, px.get(), 640), 0);
}

TEST_F(ImageFiles, EightBitRowsOfAnyWidthArePaddedAndReadNoFurther) {
    for (int width : {1, 2, 3, 5, 641}) {
        const int height = 3;
        auto px = Pixels(static_cast<size_t>(width * height), static_cast<unsigned>(width));
        const fs::path p = File("w" + std::to_string(width) + ".bmp");
        ASSERT_TRUE(qv::SaveBmp(p.c_str(), px.get(), width, height, 8)) << width;
        const std::string f = ReadFile(p);
        const size_t stride = static_cast<size_t>((width + 3) / 4 * 4);
        ASSERT_EQ(f.size(), 1078 + stride * height) << width;
        EXPECT_EQ(U32(f, 34), stride * height);
        for (int k = 0; k < height; ++k) {
            const char* row = f.data() + 1078 + stride * static_cast<size_t>(k);
            EXPECT_EQ(std::memcmp(row, px.get() + static_cast<size_t>((height - 1 - k) * width),
                                  static_cast<size_t>(width)),
                      0)
                << width << " row " << k;
            for (size_t pad = static_cast<size_t>(width); pad < stride; ++pad) EXPECT_EQ(row[pad], 0);
        }
    }
}

TEST_F(ImageFiles, TwentyFourBitBmpTakesTheFileRowsAsTheyAre) {
    // Width 3: 9 bytes of pixels, stride 12.
    auto px = Pixels(12 * 5);
    ASSERT_TRUE(qv::SaveBmp(File("c.bmp").c_str(), px.get(), 3, 5, 24));
    const std::string f = ReadFile(File("c.bmp"));
    ASSERT_EQ(f.size(), 54u + 60u);
    EXPECT_EQ(U32(f, 10), 54u);
    EXPECT_EQ(U16(f, 28), 24);
    EXPECT_EQ(U32(f, 34), 60u);
    EXPECT_EQ(std::memcmp(f.data() + 54, px.get(), 60), 0);
    EXPECT_EQ(qv::BmpStride(3, 24), 12u);
}

TEST_F(ImageFiles, BmpRefusals) {
    auto px = Pixels(16);
    for (auto [w, h, bits] : {std::tuple{0, 4, 8}, {4, 0, 8}, {-4, 4, 8}, {4, -4, 8}, {4, 4, 16}, {4, 4, 0}}) {
        qv::SetLastErrorCode(0);
        EXPECT_FALSE(qv::SaveBmp(File("r.bmp").c_str(), px.get(), w, h, bits));
        EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    }
    EXPECT_FALSE(qv::SaveBmp(File("r.bmp").c_str(), nullptr, 4, 4, 8));
    // A file that would not fit the 32-bit size fields is refused before anything is read.
    EXPECT_FALSE(qv::SaveBmp(File("r.bmp").c_str(), px.get(), 65536, 65536, 24));
    EXPECT_FALSE(fs::exists(File("r.bmp")));
    EXPECT_FALSE(qv::SaveBmp((dir.path() / "no" / "such.bmp").c_str(), px.get(), 4, 4, 8));
}

TEST_F(ImageFiles, JpegQualityStepsAndKinds) {
    EXPECT_EQ(qv::JpegQuality(10), 30);
    EXPECT_EQ(qv::JpegQuality(21), 50);
    EXPECT_EQ(qv::JpegQuality(12), 80);
    EXPECT_EQ(qv::JpegQuality(23), 100);
    for (uint32_t bad : {0u, 9u, 14u, 19u, 24u, 110u, 0xFFFFFFFFu}) EXPECT_EQ(qv::JpegQuality(bad), 0) << bad;

    auto grey = Pixels(320 * 200);
    auto bgr = Pixels(320 * 200 * 3);
    size_t lastGrey = 0, lastColour = 0;
    for (uint32_t step = 0; step < 4; ++step) {
        const fs::path g = File("g" + std::to_string(step) + ".jpg");
        const fs::path c = File("c" + std::to_string(step) + ".jpeg");
        ASSERT_TRUE(qv::SaveJpeg(g.c_str(), grey.get(), 320, 200, 10 + step));
        ASSERT_TRUE(qv::SaveJpeg(c.c_str(), bgr.get(), 320, 200, 20 + step));
        const std::string gf = ReadFile(g);
        const std::string cf = ReadFile(c);
        EXPECT_EQ(gf.substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(gf.substr(gf.size() - 2), "\xFF\xD9");
        // Higher quality, larger file.
        EXPECT_GT(gf.size(), lastGrey);
        EXPECT_GT(cf.size(), lastColour);
        lastGrey = gf.size();
        lastColour = cf.size();
    }
}

TEST_F(ImageFiles, JpegFailuresEndTheCallNotTheProcess) {
    auto px = Pixels(70000);
    qv::SetLastErrorCode(0);
    EXPECT_FALSE(qv::SaveJpeg((dir.path() / "no" / "such.jpg").c_str(), px.get(), 10, 10, 12));
    EXPECT_STREQ(qv::LastErrorText(), "Open jpg file error");
    // libjpeg refuses a side above 65500: reported, not fatal.
    EXPECT_FALSE(qv::SaveJpeg(File("wide.jpg").c_str(), px.get(), 70000, 1, 12));
    EXPECT_FALSE(qv::SaveJpeg(File("x.jpg").c_str(), px.get(), 10, 10, 14));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    // A full disk while compressing.
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(qv::SaveJpeg("/dev/full", px.get(), 200, 200, 13));
    }
}

TEST_F(ImageFiles, SaveDispatchByEnding) {
    auto px = Pixels(64 * 64 * 3);
    const char* data = reinterpret_cast<const char*>(px.get());
    (void)data;
    struct Case {
        std::string name;
        uint32_t flag;
        bool ok;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"a.bmp", 8, true, ""},
        {"b.bmp", 24, true, ""},
        {"c.bmp", 16, false, "Color depth of a bitmap can only be 8 or 24"},
        {"d.jpg", 11, true, ""},
        {"e.jpeg", 21, true, ""},
        {"f.jpeg", 14, false, "Saving jpg flag only in(10,11,12,13,20,21,22,23)"},
        {"g.jpg", 8, false, "Saving jpg flag only in(10,11,12,13,20,21,22,23)"},
        {"h.BMP", 8, false, "Save picture to the file error"},
        {"i.JPG", 12, false, "Save picture to the file error"},
        {"j.png", 8, false, "Save picture to the file error"},
        {"bmp", 8, false, "Save picture to the file error"},
        {"", 8, false, "Save picture to the file error"},
    };
    for (const Case& c : cases) {
        qv::SetLastErrorCode(qv::kErrNoImage);
        const fs::path p = File(c.name);
        const std::string name = c.name.empty() ? std::string() : p.string();
        EXPECT_EQ(qv::SavePicDataToFile(name.c_str(), px.get(), 64, 64, c.flag), c.ok) << c.name;
        EXPECT_STREQ(qv::LastErrorText(), c.error) << c.name;
        EXPECT_EQ(fs::exists(p) && !c.name.empty(), c.ok) << c.name;
    }
    // A writer's own error is replaced by the save error.
    EXPECT_FALSE(qv::SavePicDataToFile((dir.path() / "no" / "such.jpg").c_str(), px.get(), 64, 64, 12));
    EXPECT_STREQ(qv::LastErrorText(), "Save picture to the file error");
    EXPECT_FALSE(qv::SavePicDataToFile(File("k.bmp").c_str(), nullptr, 64, 64, 8));
    EXPECT_STREQ(qv::LastErrorText(), "Save picture to the file error");
    EXPECT_FALSE(qv::SavePicDataToFile(File("l.jpg").c_str(), px.get(), 0, 64, 12));
    EXPECT_STREQ(qv::LastErrorText(), "Save picture to the file error");
}

// ---------------------------------------------------------------- colour conversion

TEST(ColourConversion, MidGreyIsMidGreyEverywhere) {
    const int w = 64, h = 48 * 3 / 2;
    std::vector<uint8_t> frame(static_cast<size_t>(w * h), 128);
    std::vector<uint8_t> out(static_cast<size_t>(w * 48 * 3), 0);
    ASSERT_TRUE(qv::ConvertImageColorSpace(frame.data(), static_cast<int32_t>(frame.size()), w, h, out.data()));
    for (uint8_t v : out) ASSERT_EQ(v, 128);
}

TEST(ColourConversion, KnownFrameGivesTheFormulasValues) {
    // 2 x 3 raw frame: two luma rows (2 pixels each), one chroma row (V, U).
    // Y = 10, 200 / 50, 255; V = 200, U = 30.
    //   R = Y + (200 - 128) * 140 / 100      = Y + 100
    //   G = Y + (4352 - 1020) / 100 + (9088 - 14200) / 100 = Y + 33 - 51 = Y - 18
    //   B = Y + (30 - 128) * 177 / 100       = Y - 173 (truncated toward zero)
    const uint8_t frame[6] = {10, 200, 50, 255, 200, 30};
    uint8_t out[2 * 2 * 3 + 4];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_TRUE(qv::ConvertImageColorSpace(frame, 6, 2, 3, out));
    // Bottom row first: output row 0 is luma row 1.
    const uint8_t expected[12] = {150, 32, 0,   255, 237, 82,   // Y 50, 255
                                  110, 0,  0,   255, 182, 27};  // Y 10, 200
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12), std::vector<uint8_t>(expected, expected + 12));
    // Nothing beyond width x rows x 3.
    for (size_t i = 12; i < sizeof out; ++i) EXPECT_EQ(out[i], 0xEE);
}

TEST(ColourConversion, WritesExactlyWidthTimesTwoThirdsHeightTimesThree) {
    for (int h : {2, 3, 4, 5, 1080, 1081, 1082}) {
        const int w = 6;
        const int rows = h * 2 / 3;
        std::vector<uint8_t> frame(static_cast<size_t>(w * h), 77);
        const size_t want = static_cast<size_t>(w * rows * 3);
        std::vector<uint8_t> out(want + 64, 0xEE);
        const int32_t len = static_cast<int32_t>(frame.size());
        ASSERT_TRUE(qv::ConvertImageColorSpace(frame.data(), len, w, h, out.data())) << h;
        EXPECT_EQ(qv::YuvPictureHeight(h), rows);
        for (size_t i = want; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "h=" << h << " byte " << i;
    }
}

TEST(ColourConversion, SourceMustHoldTheFrame) {
    std::vector<uint8_t> frame(6 * 9 + 5, 128);
    std::vector<uint8_t> out(6 * 6 * 3);
    const int32_t full = 6 * 9;
    EXPECT_TRUE(qv::ConvertImageColorSpace(frame.data(), full, 6, 9, out.data()));
    EXPECT_TRUE(qv::ConvertImageColorSpace(frame.data(), full + 5, 6, 9, out.data()));  // extra bytes ignored
    for (auto [len, w, h] : {std::tuple{full - 1, 6, 9}, {full, 5, 9}, {full, 6, 1}, {full, 0, 9}, {full, 6, 0},
                             {0, 6, 9}, {-1, 6, 9}, {full, -6, 9}, {full, 2147483646, 2}}) {
        qv::SetLastErrorCode(0);
        EXPECT_FALSE(qv::ConvertImageColorSpace(frame.data(), len, w, h, out.data())) << len << " " << w << " " << h;
        EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    }
    EXPECT_FALSE(qv::ConvertImageColorSpace(nullptr, full, 6, 9, out.data()));
    EXPECT_FALSE(qv::ConvertImageColorSpace(frame.data(), full, 6, 9, nullptr));
}
