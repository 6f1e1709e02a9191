// The engine's picture exchanges over a scripted transport: what is written,
// how replies are read in raw mode, and that every way out leaves raw mode,
// releases the engine's lock and keeps the barcodes that came meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "engine/qvscan.h"
#include "hang_guard.h"
#include "img_param.h"
#include "quorvia.h"
#include "scripted_transport.h"

using qvtest::Param;
using qvtest::ScriptedTransport;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPrefix = "\x02\x01" "0000"s;
const std::string kCaps = "0-2T0,1R0.1.2F0-100Q0-3I";

std::string Frame(const std::string& body, char status = '\x06') { return kPrefix + "@" + body + status + ";\x03"; }

std::string Command(const std::string& body) { return "\x7E\x01" "0000@"s + body + ";\x03"; }

std::string Hex8(size_t n) {
    char t[16];
    std::snprintf(t, sizeof t, "%08zX", n);
    return t;
}

// Picture bytes full of what ends and starts frames outside raw mode.
std::string Picture(size_t n) {
    std::string p(n, '\0');
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>((i * 13) ^ (i >> 8));
    for (size_t at = 5; at + 16 < n; at += 97) p.replace(at, 14, "\x06;\x03\x02\x01" "0000@x\x15;\x03"s);
    return p;
}

// Picture bytes without a 06 byte: nothing in them looks like the reply's end.
std::string PlainPicture(size_t n) {
    std::string p(n, '\0');
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(0x10 + (i * 7) % 200);
    return p;
}

std::string ImageReply(const std::string& cmd, const std::string& pic, const std::string& loc = "") {
    return kPrefix + "@" + cmd + loc + Hex8(pic.size()) + pic + "\x06;\x03";
}

std::string Barcode(int n) { return "BC9-0000000" + std::to_string(n) + "\r\n"; }

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class ImageEngine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(device, nullptr); }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }

    // The size and capability replies GetPicData asks for first.
    void QueueSizeAndCaps(int w, int h, const std::string& caps = kCaps) {
        transport->QueueReply({{0, Frame("IMGGWH" + std::to_string(w) + "W" + std::to_string(h) + "H")}});
        transport->QueueReply({{0, Frame("IMGGET^" + caps)}});
    }

    // The engine is usable again: its lock is free (a hang guard ends the
    // test process otherwise), it is out of raw mode (a barcode followed by a
    // reply frame in one chunk splits into both), and a command is answered
    // by its own reply.
    void ExpectUsable(const std::string& what) {
        qvtest::HangGuard guard("engine lock after " + what, std::chrono::seconds(20));
        transport->QueueReply({{0, Barcode(7) + Frame("BEEPON")}});
        EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), QV_CMD_ACCEPTED) << what;
        std::vector<char> code(4096);
        int32_t len = static_cast<int32_t>(code.size());
        ASSERT_TRUE(engine->GetCodeData(device, code.data(), &len, 200)) << what;
        EXPECT_EQ(std::string(code.data(), static_cast<size_t>(len)), Barcode(7)) << what;
        EXPECT_EQ(engine->responseQueueSize(), 0u) << what;
    }

    qvtest::ScriptedEngine scripted;
    ScriptedTransport* transport = scripted.transport;
    std::unique_ptr<qv::CQVScan>& engine = scripted.engine;
    T_DevicesInfo*& device = scripted.device;
};

}  // namespace

TEST_F(ImageEngine, SizeAndColourTypeQueries) {
    transport->QueueReply({{0, Frame("IMGGWH1280W1080H")}});
    int32_t w = 0, h = 0;
    ASSERT_TRUE(engine->GetPicSize(device, &w, &h));
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 1080);
    transport->QueueReply({{0, Frame("IMGFMT1")}});
    EXPECT_EQ(engine->GetImageColorType(device), 2);
    transport->QueueReply({{0, Frame("IMGFMT1", '\x15')}});
    EXPECT_EQ(engine->GetImageColorType(device), 1);
    EXPECT_EQ(transport->writes(), (std::vector<std::string>{Command("IMGGWH"), Command("IMGFMT"), Command("IMGFMT")}));

    // A size reply that makes no usable size, and silence.
    transport->QueueReply({{0, Frame("IMGGWH0W480H")}});
    qv::SetLastErrorCode(0);
    EXPECT_FALSE(engine->GetPicSize(device, &w, &h));
    EXPECT_STREQ(qv::LastErrorText(), "Get image size error");
    qv::SetLastErrorCode(0);
    EXPECT_FALSE(engine->GetPicSize(device, &w, &h));
    EXPECT_STREQ(qv::LastErrorText(), "Get image size error");
}

TEST_F(ImageEngine, ColourTypeOfASilentOrCutReplyIsUnknown) {
    // Nothing at all: no reply byte may be looked at.
    EXPECT_EQ(engine->GetImageColorType(device), 0);
    ExpectUsable("colour type");
    transport->QueueReply({{0, Frame("IMGFMT1").substr(0, 14)}});
    EXPECT_EQ(engine->GetImageColorType(device), 0);
}

TEST_F(ImageEngine, PictureInRawModeWithBarcodesAroundIt) {
    const std::string pic = Picture(640 * 480);
    const std::string cmd = "IMGGET0T0R0F0I";
    QueueSizeAndCaps(640, 480);
    // A barcode before the reply, one right after it in the same chunk, one later.
    const std::string reply = ImageReply(cmd, pic);
    transport->QueueReply({{0, Barcode(1) + reply.substr(0, 1000)},
                           {5, reply.substr(1000, 200000)},
                           {10, reply.substr(201000) + Barcode(2)},
                           {15, Barcode(3)}});
    std::vector<char> out(pic.size());
    uint32_t len = static_cast<uint32_t>(out.size());
    ASSERT_TRUE(engine->GetPicData(device, Param(), out.data(), &len, nullptr)) << qv::LastErrorText();
    ASSERT_EQ(len, pic.size());
    EXPECT_TRUE(std::memcmp(out.data(), pic.data(), pic.size()) == 0);
    EXPECT_EQ(transport->writes(), (std::vector<std::string>{Command("IMGGWH"), Command("IMGGET^"), Command(cmd)}));
    std::vector<char> code(4096);
    int32_t n = static_cast<int32_t>(code.size());
    ASSERT_TRUE(engine->GetCodeData(device, code.data(), &n, 300));
    EXPECT_EQ(std::string(code.data(), static_cast<size_t>(n)), Barcode(1) + Barcode(2) + Barcode(3));
    ExpectUsable("picture");
}

TEST_F(ImageEngine, BarcodeLocationsWithTheImage) {
    const std::string pic = Picture(5000);
    const std::string cmd = "IMGGET2T0R0F0I";
    QueueSizeAndCaps(100, 50);
    transport->QueueReply({{0, ImageReply(cmd, pic, "1280W720H|2560W720H|2560W1440H|1280W1440H")}});
    ImgParam p = Param();
    p.t = 2;
    STImgResolution pts[4] = {};
    std::vector<char> out(8000);
    uint32_t len = static_cast<uint32_t>(out.size());
    ASSERT_TRUE(engine->GetPicData(device, p, out.data(), &len, pts)) << qv::LastErrorText();
    EXPECT_EQ(len, pic.size());
    EXPECT_EQ(pts[1].width, 2560);
    EXPECT_EQ(pts[2].height, 1440);
    EXPECT_EQ(pts[3].width, 1280);
}

TEST_F(ImageEngine, ParameterRefusedBeforeAnyPictureIsAsked) {
    QueueSizeAndCaps(640, 480);
    ImgParam p = Param();
    p.r = 2;
    std::vector<char> out(100);
    uint32_t len = 100;
    EXPECT_FALSE(engine->GetPicData(device, p, out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Get image param R error");
    EXPECT_EQ(transport->writes().size(), 2u);
    // The capability reply that is not numbers fails the fetch too.
    QueueSizeAndCaps(640, 480, "0-2TR0F");
    EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Get image data error");
    EXPECT_EQ(transport->writes().size(), 4u);
    ExpectUsable("refused parameter");
}

TEST_F(ImageEngine, EveryFailedTransferLeavesRawModeAndTheLock) {
    const std::string cmd = "IMGGET0T0R0F0I";
    const std::string pic = Picture(4000);
    std::vector<char> out(10000);
    struct Case {
        const char* name;
        std::string reply;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"no image", Frame(cmd, '\x15'), "No image data"},
        {"length field not hex", kPrefix + "@" + cmd + "0000ZZZZ" + pic + "\x06;\x03", "Get image data len error"},
        {"length zero", kPrefix + "@" + cmd + "00000000" + pic + "\x06;\x03", "Get image data len error"},
        {"length beyond 3wh+2000", kPrefix + "@" + cmd + Hex8(3 * 40 * 30 + 2001) + pic + "\x06;\x03",
         "Get image data len error"},
        {"cut in the middle", ImageReply(cmd, pic).substr(0, 1500), "Get image data error"},
        {"silence", "", "Get image data error"},
    };
    for (const Case& c : cases) {
        QueueSizeAndCaps(40, 30);
        if (c.reply.empty()) {
            transport->QueueReply({});
        } else {
            transport->QueueReply({{0, c.reply}});
        }
        uint32_t len = static_cast<uint32_t>(out.size());
        qv::SetLastErrorCode(0);
        const auto start = Clock::now();
        EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr)) << c.name;
        EXPECT_STREQ(qv::LastErrorText(), c.error) << c.name;
        EXPECT_LT(MsSince(start), 10000) << c.name;
        ExpectUsable(c.name);
    }
}

TEST_F(ImageEngine, LengthErrorDrainsTheRestOfTheReply) {
    const std::string cmd = "IMGGET0T0R0F0I";
    const std::string pic = PlainPicture(300000);
    QueueSizeAndCaps(640, 480);
    // The rest of the picture keeps coming after the malformed header; none
    // of it may answer the next command or reach the code data, and the
    // barcode right after the reply is kept.
    const std::string reply = kPrefix + "@" + cmd + "0004B00X" + pic + "\x06;\x03";
    transport->QueueReply({{0, reply.substr(0, 100)},
                           {20, reply.substr(100, 150000)},
                           {40, reply.substr(150100) + Barcode(5)},
                           {60, Barcode(6)}});
    std::vector<char> out(640 * 480);
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Get image data len error");
    std::vector<char> code(4096);
    int32_t n = static_cast<int32_t>(code.size());
    ASSERT_TRUE(engine->GetCodeData(device, code.data(), &n, 300));
    EXPECT_EQ(std::string(code.data(), static_cast<size_t>(n)), Barcode(5) + Barcode(6));
    ExpectUsable("length error");
}

TEST_F(ImageEngine, MalformedReplyOfAPictureFullOfFrameEndsEndsWhereItsSizeSays) {
    // The picture holds 06 ';' 03 every 97 bytes: the reply's end is where a
    // 40 x 30 picture ends, for a malformed length and for a malformed location.
    const std::string pic = Picture(40 * 30);
    for (bool location : {false, true}) {
        const std::string cmd = location ? "IMGGET2T0R0F0I" : "IMGGET0T0R0F0I";
        QueueSizeAndCaps(40, 30);
        const std::string reply = kPrefix + "@" + cmd + (location ? "1W2H|3W" : "") + "0004B0ZZ" + pic + "\x06;\x03";
        transport->QueueReply(
            {{0, reply.substr(0, 40)}, {10, reply.substr(40, 500)}, {20, reply.substr(540) + Barcode(8)}});
        ImgParam p = Param();
        p.t = location ? 2 : 0;
        STImgResolution pts[4];
        std::vector<char> out(40 * 30);
        uint32_t len = static_cast<uint32_t>(out.size());
        EXPECT_FALSE(engine->GetPicData(device, p, out.data(), &len, pts));
        EXPECT_STREQ(qv::LastErrorText(), location ? "Barcode location error" : "Get image data len error");
        std::vector<char> code(4096);
        int32_t n = static_cast<int32_t>(code.size());
        ASSERT_TRUE(engine->GetCodeData(device, code.data(), &n, 300));
        EXPECT_EQ(std::string(code.data(), static_cast<size_t>(n)), Barcode(8)) << location;
        ExpectUsable(location ? "location error" : "length error");
    }
}

TEST_F(ImageEngine, LocationErrorDrainsToo) {
    const std::string cmd = "IMGGET2T0R0F0I";
    QueueSizeAndCaps(640, 480);
    transport->QueueReply({{0, ImageReply(cmd, PlainPicture(20000), "12W34H|x").substr(0, 60)},
                           {10, ImageReply(cmd, PlainPicture(20000), "12W34H|x").substr(60)}});
    ImgParam p = Param();
    p.t = 2;
    STImgResolution pts[4];
    std::vector<char> out(640 * 480);
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_FALSE(engine->GetPicData(device, p, out.data(), &len, pts));
    EXPECT_STREQ(qv::LastErrorText(), "Barcode location error");
    ExpectUsable("location error");
}

TEST_F(ImageEngine, PictureLongerThanTheBufferIsNotCutShort) {
    const std::string pic = Picture(2000);
    QueueSizeAndCaps(100, 20);
    transport->QueueReply({{0, ImageReply("IMGGET0T0R0F0I", pic) + Barcode(4)}});
    std::vector<char> out(1999, 'q');
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Image data real len greater then param len");
    EXPECT_EQ(len, 2000u);
    EXPECT_EQ(out[0], 'q');
    std::vector<char> code(100);
    int32_t n = 100;
    ASSERT_TRUE(engine->GetCodeData(device, code.data(), &n, 100));
    EXPECT_EQ(std::string(code.data(), static_cast<size_t>(n)), Barcode(4));
}

TEST_F(ImageEngine, RegionOfInterest) {
    const std::string cmd = "SOPIMG0P1U1I0T0R0F3Q";
    ASSERT_EQ(cmd.size(), 20u);
    const RoiImgParam p = {0, 1, 1, 0, 0, 0, 3};
    // The largest region whose reply fits 10370000 bytes with its framing.
    const size_t largest = 10370000 - (7 + cmd.size() + 8 + 3);
    const std::string pic = Picture(largest);
    transport->QueueReply({{0, ImageReply(cmd, pic)}});
    std::vector<char> out(largest);
    uint32_t len = static_cast<uint32_t>(out.size());
    ASSERT_TRUE(engine->GetRoiPicData(device, p, out.data(), &len)) << qv::LastErrorText();
    EXPECT_EQ(len, largest);
    EXPECT_TRUE(std::memcmp(out.data(), pic.data(), largest) == 0);
    EXPECT_EQ(transport->writes().back(), Command(cmd));
    // One byte more is a length error; an error reply names SOPIMG.
    transport->QueueReply({{0, kPrefix + "@" + cmd + Hex8(largest + 1) + "xyz"}});
    qv::SetLastErrorCode(0);
    EXPECT_FALSE(engine->GetRoiPicData(device, p, out.data(), &len));
    EXPECT_STREQ(qv::LastErrorText(), "Get image data len error");
    transport->QueueReply({{0, Frame(cmd, '\x15')}});
    EXPECT_FALSE(engine->GetRoiPicData(device, p, out.data(), &len));
    EXPECT_STREQ(qv::LastErrorText(), "No image data");
    ExpectUsable("region");
}

TEST_F(ImageEngine, RawPictureUsesRawModeAndNeedsTheFrameSize) {
    const std::string pic = Picture(64 * 48);
    transport->QueueReply({{0, Frame("IMGGWH64W48H")}});
    transport->QueueReply({{0, ImageReply("IMGGET0T0R0F", pic)}});
    std::vector<char> out(pic.size());
    ASSERT_TRUE(engine->GetRawPicData(device, out.data(), static_cast<int32_t>(out.size()))) << qv::LastErrorText();
    EXPECT_TRUE(std::memcmp(out.data(), pic.data(), pic.size()) == 0);
    EXPECT_EQ(transport->writes().back(), Command("IMGGET0T0R0F"));
    // A length that is not width x height, and a reply of another length.
    transport->QueueReply({{0, Frame("IMGGWH64W48H")}});
    EXPECT_FALSE(engine->GetRawPicData(device, out.data(), 100));
    EXPECT_STREQ(qv::LastErrorText(), "Get image size error");
    transport->QueueReply({{0, Frame("IMGGWH64W48H")}});
    transport->QueueReply({{0, ImageReply("IMGGET0T0R0F", pic.substr(1))}});
    EXPECT_FALSE(engine->GetRawPicData(device, out.data(), static_cast<int32_t>(out.size())));
    EXPECT_STREQ(qv::LastErrorText(), "Get image size error");
    ExpectUsable("raw picture");
}

TEST_F(ImageEngine, LostDeviceKeepsTheTransportsFailure) {
    const std::string cmd = "IMGGET0T0R0F0I";
    QueueSizeAndCaps(640, 480);
    transport->QueueReply({{0, ImageReply(cmd, Picture(640 * 480)).substr(0, 5000)}});
    transport->FailReadsWith(-1);
    qv::SetLastErrorCode(qv::kErrReadCom);  // what the serial transport sets
    std::vector<char> out(640 * 480);
    uint32_t len = static_cast<uint32_t>(out.size());
    const auto start = Clock::now();
    EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr));
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_STREQ(qv::LastErrorText(), "Read from com error, com push out");
}

TEST_F(ImageEngine, ArgumentChecks) {
    std::vector<char> out(10);
    uint32_t len = 0;
    EXPECT_FALSE(engine->GetPicData(device, Param(), out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    len = 10;
    ImgParam p = Param();
    p.t = 2;
    EXPECT_FALSE(engine->GetPicData(device, p, out.data(), &len, nullptr));
    EXPECT_STREQ(qv::LastErrorText(), "Image with barcode location must need STImgResolution");
    EXPECT_FALSE(engine->GetRoiPicData(device, RoiImgParam{}, nullptr, &len));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    EXPECT_FALSE(engine->GetRawPicData(device, out.data(), 0));
    EXPECT_EQ(engine->GetImageColorType(nullptr), 0);
    int32_t w = 0;
    EXPECT_FALSE(engine->GetPicSize(device, &w, nullptr));
    EXPECT_TRUE(transport->writes().empty());
}
