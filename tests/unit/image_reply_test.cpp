// The image replies as pure byte logic: size and colour-type replies, the
// capability parse and the command built from it, barcode locations, the
// length field and the reader that follows one image reply chunk by chunk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "engine/image_capabilities.h"
#include "engine/image_reply.h"
#include "engine/image_reply_reader.h"
#include "img_param.h"

using qv::ImageReplyReader;
using qvtest::Param;
using qv::ImgCapabilities;
using qv::LocationParse;
using State = ImageReplyReader::State;
using namespace std::string_literals;

namespace {

const std::string kPrefix = "\x02\x01" "0000"s;

std::string Frame(const std::string& body, char status = '\x06') { return kPrefix + "@" + body + status + ";\x03"; }

std::string Hex8(size_t n) {
    char t[16];
    std::snprintf(t, sizeof t, "%08zX", n);
    return t;
}

bool ParseCaps(const std::string& sections, ImgCapabilities* caps, const std::string& echo = "IMGGET^") {
    const std::string reply = Frame(echo + sections);
    return qv::ParseImgCapabilities(reply.data(), reply.size(), caps);
}

std::vector<int64_t> Values(const ImgCapabilities::List& list) {
    std::vector<int64_t> v;
    for (const auto& r : list) {
        for (int64_t x = r.lo; x <= r.hi && v.size() < 64; ++x) v.push_back(x);
    }
    return v;
}

std::string Build(const ImgCapabilities& caps, const ImgParam& p, int32_t* code) {
    std::string cmd;
    *code = qv::BuildImgCommand(caps, p, &cmd);
    return cmd;
}

// A reader of the reply to `command`, fed the given chunks; returns the last state.
struct Feed {
    explicit Feed(const std::string& command, bool location = false, uint64_t maxLength = 1 << 20,
                  const char* word = "IMGGET")
        : reader(ImageReplyReader::Setup{command, word, location, maxLength}) {}

    State Chunk(const std::string& bytes) {
        size_t room = 0;
        char* dst = reader.Room(&room);
        EXPECT_GE(room, bytes.size()) << "the reader offered less room than the chunk";
        std::memcpy(dst, bytes.data(), std::min(room, bytes.size()));
        return reader.Commit(std::min(room, bytes.size()), &outside);
    }
    // Feeds in pieces of at most `step` bytes, as long as more is needed.
    State All(const std::string& bytes, size_t step) {
        State s = State::needMore;
        for (size_t off = 0; off < bytes.size() && s == State::needMore; off += step) {
            s = Chunk(bytes.substr(off, step));
        }
        return s;
    }

    ImageReplyReader reader;
    std::string outside;
};

std::string Picture(size_t n) {
    std::string p(n, '\0');
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(i * 7 + 3);
    // Bytes that end a frame outside raw mode, and a frame start.
    if (n >= 16) p.replace(4, 12, "\x06;\x03\x02\x01" "0000@\x15;"s);
    return p;
}

std::string ImageReply(const std::string& command, const std::string& picture, const std::string& location = "") {
    return kPrefix + "@" + command + location + Hex8(picture.size()) + picture + "\x06;\x03";
}

}  // namespace

// ---------------------------------------------------------------- size and colour type

TEST(PicSizeReply, WidthBeforeWAndHeightBeforeH) {
    int32_t w = 0, h = 0;
    std::string r = Frame("IMGGWH640W480H");
    ASSERT_TRUE(qv::ParsePicSizeReply(r.data(), r.size(), &w, &h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    r = Frame("IMGGWH3840W2160H");
    ASSERT_TRUE(qv::ParsePicSizeReply(r.data(), r.size(), &w, &h));
    EXPECT_EQ(w, 3840);
    EXPECT_EQ(h, 2160);
    // Leading digits count; what follows them is ignored.
    r = Frame("IMGGWH1280 px W1080xH");
    ASSERT_TRUE(qv::ParsePicSizeReply(r.data(), r.size(), &w, &h));
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 1080);
}

TEST(PicSizeReply, HostileSizesAreRefused) {
    for (const char* body : {"IMGGWH0W480H", "IMGGWH640W0H", "IMGGWH-640W480H", "IMGGWH640W-480H", "IMGGWHW480H",
                             "IMGGWH640WH", "IMGGWH480H640W", "IMGGWH640W480", "IMGGWH640480H", "QRYSYS640W480H",
                             "IMGGWH4294967936W480H", "IMGGWH99999999999W1H", "IMGGWH65536W65536H",
                             "IMGGWH70000W70000H", "IMGGWH268435457W1H"}) {
        int32_t w = -7, h = -7;
        const std::string r = Frame(body);
        EXPECT_FALSE(qv::ParsePicSizeReply(r.data(), r.size(), &w, &h)) << body;
        EXPECT_EQ(w, -7) << body;
    }
    int32_t w = 0, h = 0;
    const std::string largest = Frame("IMGGWH16384W16384H");
    EXPECT_TRUE(qv::ParsePicSizeReply(largest.data(), largest.size(), &w, &h));
    EXPECT_TRUE(qv::PictureSizeUsable(268435456, 1));
    EXPECT_FALSE(qv::PictureSizeUsable(268435457, 1));
}

TEST(ColorTypeReply, ValueUnderAckNakMeansGreyIncompleteMeansUnknown) {
    const std::string grey = Frame("IMGFMT0");
    const std::string colour = Frame("IMGFMT1");
    const std::string odd = Frame("IMGFMT7");
    const std::string nak = Frame("IMGFMT1", '\x15');
    EXPECT_EQ(qv::ColorTypeFromReply(grey.data(), grey.size()), 1);
    EXPECT_EQ(qv::ColorTypeFromReply(colour.data(), colour.size()), 2);
    EXPECT_EQ(qv::ColorTypeFromReply(odd.data(), odd.size()), 0);
    EXPECT_EQ(qv::ColorTypeFromReply(nak.data(), nak.size()), 1);
    // Silence (nothing at all) and a cut reply are no answer: unknown, never a
    // byte read from before the buffer.
    EXPECT_EQ(qv::ColorTypeFromReply(nullptr, 0), 0);
    EXPECT_EQ(qv::ColorTypeFromReply(colour.data(), colour.size() - 1), 0);
    EXPECT_EQ(qv::ColorTypeFromReply(colour.data(), 3), 0);
    const std::string tiny = kPrefix + ";\x03";
    EXPECT_EQ(qv::ColorTypeFromReply(tiny.data(), tiny.size()), 0);
}

// ---------------------------------------------------------------- capabilities

TEST(Capabilities, SectionsByDotCommaBarAndRanges) {
    ImgCapabilities caps;
    ASSERT_TRUE(ParseCaps("0-2T0,1R0.1.2F", &caps));
    EXPECT_EQ(Values(caps.t), (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(Values(caps.r), (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(Values(caps.f), (std::vector<int64_t>{0, 1, 2}));
    EXPECT_TRUE(caps.q.empty());
    EXPECT_TRUE(caps.i.empty());
    EXPECT_FALSE(caps.hasB);
    ASSERT_TRUE(ParseCaps("1|3|5T7R1,4-6F10-12Q2I9A", &caps));
    EXPECT_EQ(Values(caps.t), (std::vector<int64_t>{1, 3, 5}));
    EXPECT_EQ(Values(caps.f), (std::vector<int64_t>{1, 4, 5, 6}));
    EXPECT_EQ(Values(caps.q), (std::vector<int64_t>{10, 11, 12}));
    EXPECT_EQ(Values(caps.a), (std::vector<int64_t>{9}));
}

TEST(Capabilities, EchoWithAndWithoutCaret) {
    ImgCapabilities caret, plain;
    ASSERT_TRUE(ParseCaps("0-2T0,1R0.1.2F", &caret, "IMGGET^"));
    ASSERT_TRUE(ParseCaps("0-2T0,1R0.1.2F", &plain, "IMGGET"));
    EXPECT_EQ(Values(caret.t), Values(plain.t));
    EXPECT_EQ(Values(caret.r), Values(plain.r));
    EXPECT_EQ(Values(caret.f), Values(plain.f));
    EXPECT_EQ(Values(plain.t), (std::vector<int64_t>{0, 1, 2}));
}

TEST(Capabilities, EmptySectionsAndNonNumbersFail) {
    ImgCapabilities caps;
    for (const char* bad : {"0-2TR0F", "T0R0F", "0-2T0,,1R0F", "0-2T0,1R0.F", "xT0R0F", "0-T0R0F", "-2T0R0F",
                            "0-2-3T0R0F", "0-aT0R0F", "1 T0R0F", "0-2T0R0F1..5Q"}) {
        EXPECT_FALSE(ParseCaps(bad, &caps)) << bad;
    }
}

TEST(Capabilities, RegionBoundsAreTwoSixteenDigitTexts) {
    ImgCapabilities caps;
    ASSERT_TRUE(ParseCaps("0T0R0F0000000000010001-0639047906400480B", &caps));
    ASSERT_TRUE(caps.hasB);
    EXPECT_EQ(std::vector<int32_t>(caps.b, caps.b + 8), (std::vector<int32_t>{0, 0, 1, 1, 639, 479, 640, 480}));
    for (const char* bad : {"0T0R0F000000000001000-0639047906400480B", "0T0R0F0000000000010001B",
                            "0T0R0F0000000000010001-06390479064004800B", "0T0R0F00000000000100x1-0639047906400480B",
                            "0T0R0F0000000000010001-0639047906400480,0000000000010001-0639047906400480B",
                            "0T0R0FB"}) {
        EXPECT_FALSE(ParseCaps(bad, &caps)) << bad;
    }
}

TEST(Capabilities, HostileRangesStayRangesAndHugeValuesMatchNothing) {
    ImgCapabilities caps;
    ASSERT_TRUE(ParseCaps("0-4294967295T99999999999999999999999R5-3F", &caps));
    EXPECT_TRUE(ImgCapabilities::Allows(caps.t, 2147483647));
    EXPECT_FALSE(ImgCapabilities::Allows(caps.t, -1));
    EXPECT_FALSE(ImgCapabilities::Allows(caps.r, 2147483647));
    EXPECT_TRUE(caps.f.empty());  // an empty range adds nothing
}

TEST(ImageCommand, BuiltFromAcceptedValues) {
    ImgCapabilities caps;
    ASSERT_TRUE(ParseCaps("0-2T0,1R0.1.2.4F50Q", &caps));
    int32_t code = 1;
    EXPECT_EQ(Build(caps, Param(0, 0, 0), &code), "IMGGET0T0R0F");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Build(caps, Param(0, 0, 2, 50), &code), "IMGGET0T0R2F50Q");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Build(caps, Param(3, 0, 0), &code), "");
    EXPECT_EQ(code, qv::kErrParamT);
    Build(caps, Param(0, 2, 0), &code);
    EXPECT_EQ(code, qv::kErrParamR);
    Build(caps, Param(0, 0, 3), &code);
    EXPECT_EQ(code, qv::kErrParamF);
    Build(caps, Param(0, 0, 2, 49), &code);
    EXPECT_EQ(code, qv::kErrParamQ);
    // F = 4 needs an A list; the reply had none.
    Build(caps, Param(0, 0, 4), &code);
    EXPECT_EQ(code, qv::kErrParamA);

    ASSERT_TRUE(ParseCaps("0-2T0R0.4F0-3I5-6A", &caps));
    EXPECT_EQ(Build(caps, Param(2, 0, 4, 0, 3, 6), &code), "IMGGET2T0R4F3I6A");
    Build(caps, Param(2, 0, 4, 0, 4, 6), &code);
    EXPECT_EQ(code, qv::kErrParamI);
    Build(caps, Param(2, 0, 4, 0, 3, 7), &code);
    EXPECT_EQ(code, qv::kErrParamA);
    // A letter missing from the reply refuses every value of T.
    ASSERT_TRUE(ParseCaps("0R0F", &caps));
    Build(caps, Param(0, 0, 0), &code);
    EXPECT_EQ(code, qv::kErrParamT);
}

TEST(ImageCommand, RegionExactlySixteenDigitsInsideTheBounds) {
    ImgCapabilities caps;
    ASSERT_TRUE(ParseCaps("0T0R0F0000000000010001-0639047906400480B", &caps));
    int32_t code = 1;
    EXPECT_EQ(Build(caps, Param(0, 0, 0, 0, 0, 0, "0100020003000200"), &code), "IMGGET0T0R0F0100020003000200B");
    EXPECT_EQ(code, 0);
    // The whole picture is inside; one column more is not.
    EXPECT_EQ(Build(caps, Param(0, 0, 0, 0, 0, 0, "0000000006400480"), &code), "IMGGET0T0R0F0000000006400480B");
    for (const char* bad : {"010002000300020", "01000200030002000", "0100020003OO0200", "0001000006400480",
                            "0000000006410480", "0640000000010001", "0000000000000000", "+100020003000200"}) {
        Build(caps, Param(0, 0, 0, 0, 0, 0, bad), &code);
        EXPECT_EQ(code, qv::kErrParamB) << bad;
    }
    // A region the device gives no bounds for is left out; so is an empty one.
    EXPECT_EQ(Build(caps, Param(0, 0, 0), &code), "IMGGET0T0R0F");
    ASSERT_TRUE(ParseCaps("0T0R0F", &caps));
    EXPECT_EQ(Build(caps, Param(0, 0, 0, 0, 0, 0, "0100020003000200"), &code), "IMGGET0T0R0F");
    // A region of 20 characters without a zero byte is read no further than its array.
    ImgParam p = Param(0, 0, 0);
    std::memset(p.b, '1', sizeof p.b);
    ASSERT_TRUE(ParseCaps("0T0R0F0000000000010001-0639047906400480B", &caps));
    Build(caps, p, &code);
    EXPECT_EQ(code, qv::kErrParamB);
}

// ---------------------------------------------------------------- barcode location and length

TEST(BarcodeLocation, FourGroupsSpacesAllowed) {
    STImgResolution pts[4] = {};
    size_t used = 0;
    const std::string text = "123W456H|7W8H| 90 W 1H|2W3456HXX";
    ASSERT_EQ(qv::ParseBarcodeLocation(text.data(), text.size(), pts, &used), LocationParse::complete);
    EXPECT_EQ(used, text.size() - 2);
    EXPECT_EQ(pts[0].width, 123);
    EXPECT_EQ(pts[0].height, 456);
    EXPECT_EQ(pts[2].width, 90);
    EXPECT_EQ(pts[2].height, 1);
    EXPECT_EQ(pts[3].height, 3456);
    // Every proper start is incomplete, never read past what is given.
    for (size_t n = 0; n < used; ++n) {
        std::string part = text.substr(0, n);
        EXPECT_EQ(qv::ParseBarcodeLocation(part.data(), part.size(), pts, &used), LocationParse::incomplete) << n;
        used = text.size() - 2;
    }
}

TEST(BarcodeLocation, MalformedTexts) {
    STImgResolution pts[4];
    size_t used = 0;
    for (const char* bad : {"W1H|", "1H", "1W2W", "1W2H3W4H", "1W2H|3W4H||", "1Wx", "1W2H|-3W4H", "1W2H;",
                            "2147483648W1H|1W1H|1W1H|1W1H", "1W2H|3W4H|5W6H|7W\x06;\x03"}) {
        EXPECT_EQ(qv::ParseBarcodeLocation(bad, std::strlen(bad), pts, &used), LocationParse::malformed) << bad;
    }
}

TEST(ImageLength, EightHexDigits) {
    uint32_t n = 0;
    ASSERT_TRUE(qv::ParseImageLength("007E9000", &n));
    EXPECT_EQ(n, 8294400u);
    ASSERT_TRUE(qv::ParseImageLength("0004b000", &n));
    EXPECT_EQ(n, 307200u);
    ASSERT_TRUE(qv::ParseImageLength("FFFFFFFF", &n));
    EXPECT_EQ(n, 0xFFFFFFFFu);
    EXPECT_FALSE(qv::ParseImageLength("0004B00G", &n));
    EXPECT_FALSE(qv::ParseImageLength(" 004B000", &n));
    EXPECT_FALSE(qv::ParseImageLength("0x04B000", &n));
}

// ---------------------------------------------------------------- the reader

TEST(ImageReader, WholeReplyInOneChunkAndByteByByte) {
    const std::string cmd = "IMGGET0T0R0F";
    const std::string pic = Picture(1000);
    const std::string reply = ImageReply(cmd, pic);
    for (size_t step : {reply.size(), size_t{1}, size_t{7}, size_t{64}}) {
        Feed f(cmd);
        ASSERT_EQ(f.All(reply, step), State::complete) << step;
        EXPECT_EQ(std::string(f.reader.Image(), f.reader.ImageLength()), pic) << step;
        EXPECT_EQ(f.outside, "") << step;
        EXPECT_TRUE(f.reader.Trailing().empty()) << step;
        EXPECT_EQ(f.reader.Locations(), nullptr);
        EXPECT_EQ(f.reader.Last(1), 0x03);
        EXPECT_EQ(f.reader.Last(3), 0x06);
    }
}

TEST(ImageReader, TinyPicturesComplete) {
    const std::string cmd = "IMGGET0T0R0F";
    for (size_t n : {size_t{1}, size_t{2}, size_t{33}}) {
        Feed f(cmd);
        EXPECT_EQ(f.Chunk(ImageReply(cmd, std::string(n, 'x'))), State::complete) << n;
        EXPECT_EQ(f.reader.ImageLength(), n);
    }
}

TEST(ImageReader, BytesBeforeThePrefixAreHandedBackAndACutPrefixIsFound) {
    const std::string cmd = "IMGGET0T0R0F";
    const std::string pic = Picture(300);
    const std::string reply = ImageReply(cmd, pic);
    Feed f(cmd);
    EXPECT_EQ(f.Chunk("BC1-00000001\r\n\x02\x01" "00"s), State::needMore);
    EXPECT_EQ(f.outside, "BC1-00000001\r\n");
    EXPECT_EQ(f.Chunk(reply.substr(4)), State::complete);
    EXPECT_EQ(std::string(f.reader.Image(), f.reader.ImageLength()), pic);
    // Bytes that cannot start the prefix are not kept back.
    Feed g(cmd);
    EXPECT_EQ(g.Chunk("noise\x02"s), State::needMore);
    EXPECT_EQ(g.outside, "noise");
    EXPECT_EQ(g.Chunk("\x02"s), State::needMore);
    EXPECT_EQ(g.outside, "noise\x02"s);
    EXPECT_EQ(g.Chunk(reply.substr(1)), State::complete);
}

TEST(ImageReader, WhatFollowsTheReplyIsLeftOver) {
    const std::string cmd = "IMGGET0T0R0F";
    const std::string reply = ImageReply(cmd, Picture(100));
    Feed f(cmd);
    EXPECT_EQ(f.Chunk(reply + "BC1-00000002\r\n"), State::complete);
    EXPECT_EQ(std::string(f.reader.Trailing()), "BC1-00000002\r\n");
    EXPECT_EQ(f.reader.Last(1), 0x03);
    // Once the length is known no room beyond the reply's end is offered.
    Feed g(cmd);
    EXPECT_EQ(g.Chunk(reply.substr(0, 40)), State::needMore);
    size_t room = 0;
    g.reader.Room(&room);
    EXPECT_EQ(room, reply.size() - 40);
}

TEST(ImageReader, ErrorReplyMeansNoImage) {
    const std::string cmd = "IMGGET0T0R0F";
    for (char status : {'\x15', '\x05', '\x06'}) {
        Feed f(cmd);
        EXPECT_EQ(f.Chunk(Frame(cmd, status)), State::noImage);
    }
    // Split anywhere, and followed by a barcode.
    Feed g(cmd);
    EXPECT_EQ(g.All(Frame(cmd, '\x15') + "BC1-00000003\r\n", 5), State::noImage);
    Feed h(cmd);
    EXPECT_EQ(h.Chunk(Frame(cmd, '\x15') + "BC1-00000003\r\n"), State::noImage);
    EXPECT_EQ(std::string(h.reader.Trailing()), "BC1-00000003\r\n");
    // The region command's error reply carries its own word.
    const std::string roi = "SOPIMG0P1U1I0T0R0F0Q";
    Feed r(roi, false, 1000, "SOPIMG");
    EXPECT_EQ(r.Chunk(Frame(roi, '\x15')), State::noImage);
}

TEST(ImageReader, LengthFieldErrors) {
    const std::string cmd = "IMGGET0T0R0F";
    const std::string pic = Picture(100);
    for (const std::string& field : {"00000000"s, "0000006G"s, "000000 5"s, "00000065"s}) {
        Feed f(cmd, false, 100);
        const std::string reply = kPrefix + "@" + cmd + field + pic + "\x06;\x03";
        EXPECT_EQ(f.Chunk(reply), State::lengthError) << field;
        EXPECT_EQ(f.reader.LengthText(), field);
    }
    Feed ok(cmd, false, 100);
    EXPECT_EQ(ok.Chunk(ImageReply(cmd, pic)), State::complete);
}

TEST(ImageReader, LocationsOfAnOrdinaryCommandFitTheirWindow) {
    // The location text starts 19 bytes or more into the reply: four groups of
    // 4-digit values need 43 bytes, past buffer offset 44.
    const std::string cmd = "IMGGET2T0R0F0I";
    const std::string loc = "1234W5678H|2345W6789H|3456W7890H|4567W8901H";
    ASSERT_EQ(loc.size(), 43u);
    Feed f(cmd, true);
    ASSERT_EQ(f.All(ImageReply(cmd, Picture(200), loc), 3), State::complete);
    const STImgResolution* p = f.reader.Locations();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0].width, 1234);
    EXPECT_EQ(p[0].height, 5678);
    EXPECT_EQ(p[3].width, 4567);
    EXPECT_EQ(p[3].height, 8901);
    EXPECT_EQ(std::string(f.reader.Image(), f.reader.ImageLength()), Picture(200));
}

TEST(ImageReader, LocationErrors) {
    const std::string cmd = "IMGGET2T0R0F";
    // Longer than the 44-byte window.
    Feed longText(cmd, true);
    EXPECT_EQ(longText.Chunk(ImageReply(cmd, Picture(100), "1234W5678H|2345W6789H|3456W7890H|45678W890  1H")),
              State::locationError);
    Feed garbage(cmd, true);
    EXPECT_EQ(garbage.Chunk(ImageReply(cmd, Picture(100), "12W34H|ab")), State::locationError);
    // A location that has not arrived yet is waited for, not read past.
    Feed partial(cmd, true);
    const std::string reply = ImageReply(cmd, Picture(100), "1W2H|3W4H|5W6H|7W8H");
    EXPECT_EQ(partial.Chunk(reply.substr(0, 30)), State::needMore);
    EXPECT_EQ(partial.Chunk(reply.substr(30)), State::complete);
}

TEST(ImageReader, RoomNeverZeroWhileMoreIsNeeded) {
    const std::string cmd = "IMGGET0T0R0F";
    Feed f(cmd, false, 3u << 20);
    const std::string big = Picture(3 << 20);
    const std::string reply = ImageReply(cmd, big);
    size_t off = 0;
    State s = State::needMore;
    while (s == State::needMore) {
        size_t room = 0;
        char* dst = f.reader.Room(&room);
        ASSERT_GT(room, 0u);
        ASSERT_LE(room, ImageReplyReader::kChunk);
        const size_t n = std::min(room, reply.size() - off);
        std::memcpy(dst, reply.data() + off, n);
        off += n;
        s = f.reader.Commit(n, &f.outside);
    }
    EXPECT_EQ(s, State::complete);
    EXPECT_EQ(off, reply.size());
    EXPECT_EQ(std::memcmp(f.reader.Image(), big.data(), big.size()), 0);
}
