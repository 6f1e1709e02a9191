// Saved pictures read back by an independent reader (Python's PIL from
// Debian's python3-pil): BMP pixels exactly equal, JPEG within a stated error,
// grey and colour, every quality flag; and the save export's refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "picture_e2e.h"
#include "test_env.h"

using qvtest::Decoded;
using qvtest::Param;
using qvtest::PictureScanner;
namespace fs = std::filesystem;

namespace {

// Largest mean absolute error per byte of a JPEG against its source, by
// quality step: pictures with sharp bars and byte runs, so quality 30 keeps
// the most error (measured here: grey 2.6, 1.3, 0.6, 0.002; colour 2.8,
// 1.9, 1.2, 0.6, the colour at 100 keeping the error of its halved chroma).
constexpr double kJpegError[4] = {4.0, 3.0, 2.0, 1.0};

class PictureFiles : public ::testing::Test {
protected:
    fs::path File(const std::string& name) const { return dir.path() / name; }
    bool Save(const std::string& name, const std::string& px, int w, int h, uint32_t flag) {
        return qv_SavePicDataToFile(File(name).c_str(), px.data(), w, h, flag);
    }
    Decoded Read(const std::string& name) {
        Decoded d;
        std::string why;
        EXPECT_TRUE(qvtest::DecodeWithPil(File(name), &d, &why)) << why;
        return d;
    }
    qvtest::TempDir dir{"qv_picture_files"};
};

// The grey picture and the colour frame as fetched through the exports.
struct Fetched {
    std::string grey;        // 640 x 480
    std::string rgb;         // converted colour picture, 640 x 480, R, G, B, bottom row first
};

const Fetched& Pictures() {
    static Fetched f = [] {
        Fetched out;
        {
            PictureScanner s(88);
            EXPECT_TRUE(s.ok());
            std::vector<char> buf(640 * 480);
            EXPECT_TRUE(qv_GetPicData(s.handle(), buf.data(), static_cast<int32_t>(buf.size()))) << qv_GetLastError();
            out.grey.assign(buf.data(), buf.size());
        }
        {
            PictureScanner s(89, "colour=yuv");
            EXPECT_TRUE(s.ok());
            std::vector<char> frame(640 * 720);
            uint32_t len = static_cast<uint32_t>(frame.size());
            EXPECT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), frame.data(), &len, nullptr)) << qv_GetLastError();
            std::vector<char> rgb(640 * 480 * 3);
            EXPECT_TRUE(qv_ConvertImageColorSpace(s.handle(), frame.data(), static_cast<int32_t>(len),
                                                  STImgResolution{640, 720}, rgb.data()))
                << qv_GetLastError();
            out.rgb.assign(rgb.data(), rgb.size());
        }
        return out;
    }();
    return f;
}

}  // namespace

TEST_F(PictureFiles, GreyBmpOfAFetchedPicture) {
    const Fetched& p = Pictures();
    ASSERT_EQ(p.grey, qvsim::grey_picture(640, 480));
    ASSERT_TRUE(Save("grey.bmp", p.grey, 640, 480, QV_SAVE_BMP_8)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(fs::file_size(File("grey.bmp")), 308278u);
    const Decoded d = Read("grey.bmp");
    EXPECT_EQ(d.mode, "L");
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_TRUE(d.pixels == p.grey) << "the BMP's pixels differ from the picture";
}

TEST_F(PictureFiles, GreyBmpOfWidthsThatNeedPadding) {
    for (int w : {1, 3, 641}) {
        const int h = 5;
        std::string px(static_cast<size_t>(w * h), '\0');
        for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<char>(i * 37 + 11);
        const std::string name = "pad" + std::to_string(w) + ".bmp";
        ASSERT_TRUE(Save(name, px, w, h, QV_SAVE_BMP_8)) << w;
        const Decoded d = Read(name);
        EXPECT_EQ(d.width, w);
        EXPECT_EQ(d.height, h);
        EXPECT_TRUE(d.pixels == px) << "width " << w;
    }
}

TEST_F(PictureFiles, ColourBmpOfAConvertedPicture) {
    const Fetched& p = Pictures();
    ASSERT_EQ(p.rgb.size(), 640u * 480u * 3u);
    // The writer takes B, G, R rows, bottom row first: the conversion's rows
    // with red and blue swapped (640 x 3 is a multiple of 4, so no padding).
    ASSERT_TRUE(Save("colour.bmp", qvtest::SwapRedBlue(p.rgb), 640, 480, QV_SAVE_BMP_24)) << qv_GetLastError();
    EXPECT_EQ(fs::file_size(File("colour.bmp")), 54u + 640u * 480u * 3u);
    const Decoded d = Read("colour.bmp");
    EXPECT_EQ(d.mode, "RGB");
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_TRUE(d.pixels == qvtest::FlipRows(p.rgb, 640 * 3)) << "the BMP's pixels differ from the picture";
    // A padded width: 3 pixels make 9 bytes in a 12-byte row.
    std::string rows(12 * 2, '\0');
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<char>(i % 12 < 9 ? i * 20 + 5 : 0);
    ASSERT_TRUE(Save("narrow.bmp", rows, 3, 2, QV_SAVE_BMP_24));
    const Decoded n = Read("narrow.bmp");
    EXPECT_EQ(n.pixels, qvtest::SwapRedBlue(rows.substr(12, 9) + rows.substr(0, 9)));
}

TEST_F(PictureFiles, GreyJpegEveryQuality) {
    const Fetched& p = Pictures();
    for (uint32_t step = 0; step < 4; ++step) {
        const std::string name = "grey" + std::to_string(step) + ".jpg";
        ASSERT_TRUE(Save(name, p.grey, 640, 480, QV_SAVE_JPEG_GREY_Q30 + step)) << qv_GetLastError();
        EXPECT_STREQ(qv_GetLastError(), "");
        const Decoded d = Read(name);
        EXPECT_EQ(d.mode, "L");
        EXPECT_EQ(d.width, 640);
        EXPECT_EQ(d.height, 480);
        const double err = qvtest::MeanAbsError(d.pixels, p.grey);
        EXPECT_LE(err, kJpegError[step]) << "flag " << 10 + step;
        RecordProperty("grey_jpeg_error_" + std::to_string(10 + step), std::to_string(err));
    }
}

TEST_F(PictureFiles, ColourJpegEveryQuality) {
    const Fetched& p = Pictures();
    const std::string bgr = qvtest::SwapRedBlue(p.rgb);
    const std::string topFirst = qvtest::FlipRows(p.rgb, 640 * 3);
    for (uint32_t step = 0; step < 4; ++step) {
        const std::string name = "colour" + std::to_string(step) + ".jpeg";
        ASSERT_TRUE(Save(name, bgr, 640, 480, QV_SAVE_JPEG_COLOR_Q30 + step)) << qv_GetLastError();
        const Decoded d = Read(name);
        EXPECT_EQ(d.mode, "RGB");
        EXPECT_EQ(d.width, 640);
        EXPECT_EQ(d.height, 480);
        const double err = qvtest::MeanAbsError(d.pixels, topFirst);
        EXPECT_LE(err, kJpegError[step]) << "flag " << 20 + step;
        RecordProperty("colour_jpeg_error_" + std::to_string(20 + step), std::to_string(err));
    }
}

TEST_F(PictureFiles, SaveRefusals) {
    const std::string px(64 * 64 * 3, '\x40');
    EXPECT_FALSE(Save("a.bmp", px, 64, 64, 16));
    EXPECT_STREQ(qv_GetLastError(), "Color depth of a bitmap can only be 8 or 24");
    EXPECT_FALSE(fs::exists(File("a.bmp")));
    EXPECT_FALSE(Save("b.jpeg", px, 64, 64, 14));
    EXPECT_STREQ(qv_GetLastError(), "Saving jpg flag only in(10,11,12,13,20,21,22,23)");
    EXPECT_FALSE(fs::exists(File("b.jpeg")));
    for (const char* name : {"c.BMP", "d.JPG", "e.png", "bmp"}) {
        EXPECT_FALSE(Save(name, px, 64, 64, QV_SAVE_BMP_8)) << name;
        EXPECT_STREQ(qv_GetLastError(), "Save picture to the file error") << name;
        EXPECT_FALSE(fs::exists(File(name))) << name;
    }
    // The JPEG writer cannot create its file: its own error gives way to the save error.
    EXPECT_FALSE(qv_SavePicDataToFile((dir.path() / "none" / "f.jpg").c_str(), px.data(), 64, 64, 12));
    EXPECT_STREQ(qv_GetLastError(), "Save picture to the file error");
    EXPECT_FALSE(qv_SavePicDataToFile(File("g.bmp").c_str(), nullptr, 64, 64, 8));
    EXPECT_STREQ(qv_GetLastError(), "Save picture to the file error");
    EXPECT_FALSE(qv_SavePicDataToFile(File("h.jpg").c_str(), px.data(), -64, 64, 12));
    EXPECT_STREQ(qv_GetLastError(), "Save picture to the file error");
    EXPECT_FALSE(qv_SavePicDataToFile(nullptr, px.data(), 64, 64, 8));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    ASSERT_TRUE(Save("i.jpeg", px, 64, 64, 23));
    EXPECT_STREQ(qv_GetLastError(), "");
}
