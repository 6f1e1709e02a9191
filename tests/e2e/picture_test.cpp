// Pictures through the exports of the built library, from quorvia-sim over
// ptys: grey and colour pictures of several sizes, barcode locations, regions,
// the colour type and conversion, and every error a fetch can end with.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "picture_e2e.h"

using qvtest::Param;
using qvtest::PictureScanner;
using Clock = std::chrono::steady_clock;

namespace {

std::string Fetched(const std::vector<char>& buf, uint32_t len) { return std::string(buf.data(), len); }

// Where the bytes of two pictures first differ, for a readable failure.
std::string FirstDifference(const std::string& got, const std::string& want) {
    if (got.size() != want.size()) return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) return "byte " + std::to_string(i);
    }
    return "none";
}

// The colour type and the picture's size and byte count.
void ExpectColourType(void* h, int32_t type, int32_t width, int32_t height, int32_t length) {
    STImgResolution size{};
    int32_t bytes = 0;
    EXPECT_EQ(qv_GetDeviceImageColorType(h, &size, &bytes), type);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_COLOR_END);
    EXPECT_EQ(size.width, width);
    EXPECT_EQ(size.height, height);
    EXPECT_EQ(bytes, length);
}

}  // namespace

TEST(Picture, Grey640x480) {
    PictureScanner s(71);
    ASSERT_TRUE(s.ok());
    int32_t w = 0, h = 0;
    ASSERT_TRUE(qv_GetPicSize(s.handle(), &w, &h)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    std::vector<char> buf(640 * 480);
    ASSERT_TRUE(qv_GetPicData(s.handle(), buf.data(), static_cast<int32_t>(buf.size()))) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_IMAGE_END);
    const std::string want = qvsim::grey_picture(640, 480);
    const std::string got(buf.data(), buf.size());
    EXPECT_TRUE(got == want) << FirstDifference(got, want);

    ExpectColourType(s.handle(), QV_IMAGE_COLOR_GREY, 640, 480, 307200);
}

TEST(Picture, Colour1280x720FromARawFrameOf1280x1080) {
    PictureScanner s(72, "size=1280x720 colour=yuv");
    ASSERT_TRUE(s.ok());
    int32_t w = 0, h = 0;
    ASSERT_TRUE(qv_GetPicSize(s.handle(), &w, &h));
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 1080);
    ExpectColourType(s.handle(), QV_IMAGE_COLOR_YUV420, 1280, 720, 1280 * 720 * 3);
    const int32_t length = 1280 * 720 * 3;

    std::vector<char> frame(1280 * 1080 * 2);
    uint32_t len = static_cast<uint32_t>(frame.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), frame.data(), &len, nullptr)) << qv_GetLastError();
    ASSERT_EQ(len, 1280u * 1080u);
    const std::string want = qvsim::yuv_frame(1280, 720);
    EXPECT_TRUE(Fetched(frame, len) == want) << FirstDifference(Fetched(frame, len), want);

    std::vector<char> rgb(static_cast<size_t>(length) + 16, '\x5A');
    ASSERT_TRUE(qv_ConvertImageColorSpace(s.handle(), frame.data(), static_cast<int32_t>(len), STImgResolution{w, h},
                                          rgb.data()))
        << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_CONVERT_END);
    for (size_t i = static_cast<size_t>(length); i < rgb.size(); ++i) ASSERT_EQ(rgb[i], '\x5A') << "written past " << i;
    // The top-left pixel of the picture is the first pixel of the last output
    // row (bottom row first): Y = 0, V = 64, U = 64:
    // R = 0 + (64 - 128) * 140 / 100 = -89 -> 0; G = 0 + 2176 / 100 + 4544 / 100 = 21 + 45;
    // B = 0 - 113 -> 0.
    const size_t topLeft = static_cast<size_t>(719) * 1280 * 3;
    EXPECT_EQ(static_cast<uint8_t>(rgb[topLeft]), 0);
    EXPECT_EQ(static_cast<uint8_t>(rgb[topLeft + 1]), 66);
    EXPECT_EQ(static_cast<uint8_t>(rgb[topLeft + 2]), 0);
}

TEST(Picture, ColourDeviceReporting640x720) {
    PictureScanner s(73, "size=640x480 colour=yuv");
    ASSERT_TRUE(s.ok());
    ExpectColourType(s.handle(), QV_IMAGE_COLOR_YUV420, 640, 480, 921600);
}

TEST(Picture, Grey3840x2160) {
    PictureScanner s(74, "size=3840x2160");
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(3840 * 2160);
    uint32_t len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << qv_GetLastError();
    ASSERT_EQ(len, 8294400u);
    const std::string want = qvsim::grey_picture(3840, 2160);
    EXPECT_TRUE(Fetched(buf, len) == want) << FirstDifference(Fetched(buf, len), want);
}

TEST(Picture, BarcodeLocationsRegionJpegAndPlainEcho) {
    PictureScanner s(75, "loc=123W45H|5W6789H|10W20H|9999W1H echo=plain");
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(640 * 480);
    uint32_t len = static_cast<uint32_t>(buf.size());
    STImgResolution pts[4] = {};
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(2), buf.data(), &len, pts)) << qv_GetLastError();
    EXPECT_EQ(Fetched(buf, len), qvsim::grey_picture(640, 480));
    EXPECT_EQ(pts[0].width, 123);
    EXPECT_EQ(pts[0].height, 45);
    EXPECT_EQ(pts[1].width, 5);
    EXPECT_EQ(pts[1].height, 6789);
    EXPECT_EQ(pts[2].width, 10);
    EXPECT_EQ(pts[2].height, 20);
    EXPECT_EQ(pts[3].width, 9999);
    EXPECT_EQ(pts[3].height, 1);

    // A region: 200 x 100 from (100, 80).
    len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(0, 0, 0, 0, 0, 0, "0100008002000100"), buf.data(), &len,
                                      nullptr))
        << qv_GetLastError();
    EXPECT_EQ(Fetched(buf, len), qvsim::crop(qvsim::grey_picture(640, 480), 640, 100, 80, 200, 100));

    // F = 2: the device sends JPEG data.
    len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(0, 0, 2, 60), buf.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_EQ(Fetched(buf, len), qvsim::jpeg_picture(qvsim::grey_picture(640, 480), 640, 480, 60));
}

TEST(Picture, RegionOfInterest) {
    PictureScanner s(76);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(10368000);
    uint32_t len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetRoiPicData(s.handle(), RoiImgParam{0, 1, 1, 0, 0, 0, 0}, buf.data(), &len)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    qvsim::PictureConfig cfg;
    EXPECT_EQ(Fetched(buf, len), qvsim::roi_bmp(cfg));
    EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_IMAGE_END);
    // The command as the device saw it.
    EXPECT_EQ(s.Sim("last 76"), "OK " + sim_hex(sim_command_frame("SOPIMG0P1U1I0T0R0F0Q")));
}

TEST(Picture, BytesBeforeThePrefixAndAPauseInTheMiddle) {
    PictureScanner s(77);
    ASSERT_TRUE(s.ok());
    const std::string want = qvsim::grey_picture(640, 480);
    std::vector<char> buf(640 * 480);
    // Noise before the reply: realigned, the noise goes where unframed bytes go.
    ASSERT_EQ(s.Fault("lead 4E4F495345"), "OK");
    uint32_t len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_EQ(Fetched(buf, len), want);
    std::vector<char> code(4096);
    int32_t n = static_cast<int32_t>(code.size());
    ASSERT_TRUE(qv_GetCodeData(s.handle(), code.data(), &n, 300));
    EXPECT_EQ(std::string(code.data(), static_cast<size_t>(n)), "NOISE");
    // A pause shorter than the 2 s read time-out does not end the transfer.
    ASSERT_EQ(s.Fault("pause 100000 1200"), "OK");
    len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_EQ(Fetched(buf, len), want);
}

TEST(PictureErrors, RefusedBeforeAnythingIsSent) {
    PictureScanner s(78);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(100);
    uint32_t len = 100;
    const uint64_t frames = s.FramesSeen();
    EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(2), buf.data(), &len, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Image with barcode location must need STImgResolution");
    for (const RoiImgParam& p : {RoiImgParam{0, 0, 0, 0, 0, 0, 4}, RoiImgParam{0, 0, 0, -1, 0, 0, 0},
                                 RoiImgParam{-1, 0, 0, 0, 0, 0, 0}, RoiImgParam{0, 0, 100, 0, 0, 0, 0},
                                 RoiImgParam{0, 0, 0, 0, 3, 0, 0}, RoiImgParam{0, 0, 0, 0, 0, 2, 0}}) {
        len = 100;
        EXPECT_FALSE(qv_GetRoiPicData(s.handle(), p, buf.data(), &len));
        EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    }
    len = 0;
    EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_GetPicData(s.handle(), buf.data(), 0));
    EXPECT_FALSE(qv_GetPicData(s.handle(), nullptr, 100));
    int32_t w = 0;
    EXPECT_FALSE(qv_GetPicSize(s.handle(), &w, nullptr));
    STImgResolution size{};
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, nullptr), 0);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_FALSE(qv_ConvertImageColorSpace(s.handle(), buf.data(), 100, STImgResolution{10, 10}, nullptr));
    EXPECT_FALSE(qv_ConvertImageColorSpace(s.handle(), buf.data(), 99, STImgResolution{10, 10}, buf.data()));
    EXPECT_FALSE(qv_ConvertImageColorSpace(s.handle(), buf.data(), 100, STImgResolution{10, 0}, buf.data()));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
    EXPECT_EQ(s.FramesSeen(), frames);

    // A closed handle is refused by every picture export.
    void* closed = s.handle();
    ASSERT_TRUE(qv_CloseDevice(&s.handleRef()));
    len = 100;
    EXPECT_FALSE(qv_GetPicDataByConfig(closed, Param(), buf.data(), &len, nullptr));
    EXPECT_FALSE(qv_GetPicData(closed, buf.data(), 100));
    EXPECT_FALSE(qv_GetRoiPicData(closed, RoiImgParam{}, buf.data(), &len));
    EXPECT_FALSE(qv_GetPicSize(closed, &w, &w));
    EXPECT_EQ(qv_GetDeviceImageColorType(closed, &size, &w), 0);
    EXPECT_FALSE(qv_ConvertImageColorSpace(closed, buf.data(), 100, STImgResolution{10, 10}, buf.data()));
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(PictureErrors, ParametersTheDeviceDoesNotAccept) {
    PictureScanner s(79);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(640 * 480);
    struct Case {
        ImgParam p;
        const char* error;
    };
    const std::vector<Case> cases = {
        {Param(3), "Get image param T error"},
        {Param(0, 2), "Get image param R error"},
        {Param(0, 0, 3), "Get image param F error"},
        {Param(0, 0, 2, 101), "Get image param Q error"},
        {Param(0, 0, 0, 0, 4), "Get image param I error"},
        {Param(0, 0, 4, 0, 0, 11), "Get image param A error"},
        {Param(0, 0, 0, 0, 0, 0, "0000000006410480"), "Get image param B error"},
        {Param(0, 0, 0, 0, 0, 0, "000000000640048"), "Get image param B error"},
        {Param(0, 0, 0, 0, 0, 0, "00000000064004a0"), "Get image param B error"},
    };
    for (const Case& c : cases) {
        uint32_t len = static_cast<uint32_t>(buf.size());
        const uint64_t frames = s.FramesSeen();
        EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), c.p, buf.data(), &len, nullptr)) << c.error;
        EXPECT_STREQ(qv_GetLastError(), c.error);
        // The size and capability queries only: no picture was asked for.
        EXPECT_EQ(s.FramesSeen(), frames + 2) << c.error;
    }
    // A capability reply with an empty section or a piece that is not a number.
    for (const char* caps : {"0-2TR0F", "0-2T0,x1R0F"}) {
        ASSERT_EQ(s.Sim("picture 79 caps=" + std::string(caps)), "OK");
        uint32_t len = static_cast<uint32_t>(buf.size());
        EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
        EXPECT_STREQ(qv_GetLastError(), "Get image data error");
    }
    ASSERT_EQ(s.Sim("picture 79 caps=default"), "OK");
    uint32_t len = static_cast<uint32_t>(buf.size());
    EXPECT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(0, 0, 4, 0, 3, 10), buf.data(), &len, nullptr))
        << qv_GetLastError();
}

TEST(PictureErrors, HostileSizeReplies) {
    PictureScanner s(80);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(1000);
    for (const char* size : {"0W480H", "640W0H", "-640W480H", "480H640W", "70000W70000H", "4294967936W1H", "xW1H"}) {
        ASSERT_EQ(s.Sim("picture 80 gwh=" + std::string(size)), "OK");
        int32_t w = -1, h = -1;
        EXPECT_FALSE(qv_GetPicSize(s.handle(), &w, &h)) << size;
        EXPECT_STREQ(qv_GetLastError(), "Get image size error") << size;
        EXPECT_EQ(w, 0);
        EXPECT_EQ(h, 0);
        uint32_t len = static_cast<uint32_t>(buf.size());
        EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << size;
        EXPECT_STREQ(qv_GetLastError(), "Get image size error") << size;
        STImgResolution sz{};
        int32_t length = 0;
        EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &sz, &length), 0) << size;
        EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_COLOR_BEGIN);
    }
}

TEST(PictureErrors, RepliesThatCarryNoPicture) {
    PictureScanner s(81);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(640 * 480);
    STImgResolution pts[4];
    struct Case {
        std::string fault;
        ImgParam p;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"noimage", Param(), "No image data"},
        {"badloc 12W34H|zz", Param(2), "Barcode location error"},
        {"badloc 1234W5678H|2345W6789H|3456W7890H|45678W8901234H", Param(2), "Barcode location error"},
        {"badlen 0004B00G", Param(), "Get image data len error"},
        {"badlen 00000000", Param(), "Get image data len error"},
        {"badlen 0012C000", Param(), "Get image data len error"},  // above 3 x 640 x 480 + 2000
    };
    for (const Case& c : cases) {
        ASSERT_EQ(s.Fault(c.fault), "OK");
        uint32_t len = static_cast<uint32_t>(buf.size());
        EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), c.p, buf.data(), &len, pts)) << c.fault;
        EXPECT_STREQ(qv_GetLastError(), c.error) << c.fault;
        // The rest of the reply is gone: the next picture is whole.
        len = static_cast<uint32_t>(buf.size());
        ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr))
            << c.fault << ": " << qv_GetLastError();
        EXPECT_EQ(Fetched(buf, len), qvsim::grey_picture(640, 480)) << c.fault;
    }
    // A device that refuses the picture command.
    ASSERT_EQ(s.Sim("status 81 IMGGET0 nak"), "OK");
    uint32_t len = static_cast<uint32_t>(buf.size());
    EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "No image data");
    ASSERT_EQ(s.Sim("status 81 SOPIMG nak"), "OK");
    len = static_cast<uint32_t>(buf.size());
    EXPECT_FALSE(qv_GetRoiPicData(s.handle(), RoiImgParam{}, buf.data(), &len));
    EXPECT_STREQ(qv_GetLastError(), "No image data");
    ASSERT_EQ(s.Sim("status 81 SOPIMG ack"), "OK");
    ASSERT_EQ(s.Fault("badlen 00ZZ0000"), "OK");
    len = static_cast<uint32_t>(buf.size());
    EXPECT_FALSE(qv_GetRoiPicData(s.handle(), RoiImgParam{}, buf.data(), &len));
    EXPECT_STREQ(qv_GetLastError(), "Get image data len error");
}

TEST(PictureErrors, TooSmallABuffer) {
    PictureScanner s(82);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(640 * 480);
    EXPECT_FALSE(qv_GetPicData(s.handle(), buf.data(), 640 * 480 - 1));
    EXPECT_STREQ(qv_GetLastError(), "Image data real len greater then param len");
    uint32_t len = 1000;
    EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Image data real len greater then param len");
    EXPECT_EQ(len, 640u * 480u);
    // With the length it said, it fits.
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
}

TEST(PictureErrors, SilenceAndACutTransferEndWithinTheReadTimeOut) {
    PictureScanner s(83);
    ASSERT_TRUE(s.ok());
    std::vector<char> buf(640 * 480);
    for (const char* fault : {"silent", "cut 100000"}) {
        ASSERT_EQ(s.Fault(fault), "OK");
        uint32_t len = static_cast<uint32_t>(buf.size());
        const auto start = Clock::now();
        EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << fault;
        EXPECT_STREQ(qv_GetLastError(), "Get image data error") << fault;
        EXPECT_LT(qvtest::MsSince(start), 10000) << fault;
        EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_IMAGE_END);
    }
    // A silent device gives no colour type; the size still answers.
    ASSERT_EQ(s.Sim("status 83 IMGFMT silent"), "OK");
    STImgResolution size{};
    int32_t length = 0;
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, &length), QV_IMAGE_COLOR_UNKNOWN);
    EXPECT_EQ(size.width, 640);
    ASSERT_EQ(s.Sim("status 83 IMGFMT nak"), "OK");
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, &length), QV_IMAGE_COLOR_GREY);
    ASSERT_EQ(s.Sim("picture 83 fmt=7"), "OK");
    ASSERT_EQ(s.Sim("status 83 IMGFMT ack"), "OK");
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, &length), QV_IMAGE_COLOR_UNKNOWN);
}
