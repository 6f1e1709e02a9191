// The simulator's camera as pure logic: its answers to the image commands,
// the faults it can be given (each used once), and its settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_pictures.h"

using namespace std::string_literals;
using qvsim::ImageAnswer;
using qvsim::PictureConfig;
using qvsim::PictureFault;
using qvsim::Status;

namespace {

const std::string kPrefix = "\x02\x01" "0000@"s;

std::string Whole(const ImageAnswer& a) {
    std::string s;
    for (const auto& p : a.pieces) s += p.bytes;
    return s;
}

ImageAnswer Ask(const PictureConfig& cfg, PictureFault& fault, const std::string& body, Status st = Status::ack) {
    return qvsim::answer_image_command(cfg, fault, st, '@', body);
}

}  // namespace

TEST(SimPictures, QueriesAndPictures) {
    PictureConfig cfg;
    PictureFault none;
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGGWH")), kPrefix + "IMGGWH640W480H\x06;\x03");
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGFMT")), kPrefix + "IMGFMT0\x06;\x03");
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGGET^")),
              kPrefix + "IMGGET^0-2T0-1R0.1.2.4F0-100Q0-3I0-10A0000000000010001-0639047906400480B\x06;\x03");
    const std::string pic = qvsim::grey_picture(640, 480);
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGGET0T0R0F0I")), kPrefix + "IMGGET0T0R0F0I0004B000" + pic + "\x06;\x03");
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGGET2T0R0F")),
              kPrefix + "IMGGET2T0R0F" + cfg.locations + "0004B000" + pic + "\x06;\x03");
    // Ordinary commands are not the camera's.
    EXPECT_FALSE(Ask(cfg, none, "IMGGET*").handled);
    EXPECT_FALSE(Ask(cfg, none, "QRYSYS").handled);
    // A refused picture command is an error reply; a silent one has no answer.
    EXPECT_EQ(Whole(Ask(cfg, none, "IMGGET0T0R0F", Status::nak)), kPrefix + "IMGGET0T0R0F\x15;\x03");
    const ImageAnswer silent = Ask(cfg, none, "IMGGWH", Status::silent);
    EXPECT_TRUE(silent.handled);
    EXPECT_TRUE(silent.pieces.empty());

    PictureConfig colour = cfg;
    ASSERT_TRUE([&] { std::string e; return qvsim::apply_picture_setting(colour, "colour=yuv", e); }());
    EXPECT_EQ(Whole(Ask(colour, none, "IMGGWH")), kPrefix + "IMGGWH640W720H\x06;\x03");
    EXPECT_EQ(Whole(Ask(colour, none, "IMGFMT")), kPrefix + "IMGFMT1\x06;\x03");
    EXPECT_EQ(qvsim::raw_picture(colour).size(), 640u * 720u);
}

TEST(SimPictures, PicturesHoldWhatLooksLikeFrameEndsAndStarts) {
    const std::string pic = qvsim::grey_picture(640, 480);
    for (const std::string& run : {"\x06;\x03"s, "\x15;\x03"s, "\x02\x01" "0000"s}) {
        EXPECT_NE(pic.find(run), std::string::npos);
    }
    EXPECT_EQ(qvsim::grey_picture(60, 40).find("\x06;\x03"s), std::string::npos);
}

TEST(SimPictures, FaultsApplyToTheNextPictureOnce) {
    PictureConfig cfg;
    cfg.width = 64;
    cfg.height = 8;
    const std::string good = Whole([&] { PictureFault f; return Ask(cfg, f, "IMGGET0T0R0F"); }());
    std::string error;
    PictureFault fault;
    ASSERT_TRUE(qvsim::parse_picture_fault({"cut", "20"}, fault, error));
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGWH")), kPrefix + "IMGGWH64W8H\x06;\x03");  // queries are not spoilt
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGET0T0R0F")), good.substr(0, 20));
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGET0T0R0F")), good);

    ASSERT_TRUE(qvsim::parse_picture_fault({"lead", "4E4F"}, fault, error));
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGET0T0R0F")), "NO" + good);
    ASSERT_TRUE(qvsim::parse_picture_fault({"badlen", "ZZ"}, fault, error));
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGET0T0R0F")).substr(19, 8), "ZZ000000");
    ASSERT_TRUE(qvsim::parse_picture_fault({"pause", "10", "250"}, fault, error));
    const ImageAnswer paused = Ask(cfg, fault, "IMGGET0T0R0F");
    ASSERT_EQ(paused.pieces.size(), 2u);
    EXPECT_EQ(paused.pieces[1].delay.count(), 250);
    EXPECT_EQ(Whole(paused), good);
    ASSERT_TRUE(qvsim::parse_picture_fault({"noimage"}, fault, error));
    EXPECT_EQ(Whole(Ask(cfg, fault, "SOPIMG0P1U1I0T0R0F0Q")), kPrefix + "SOPIMG0P1U1I0T0R0F0Q\x15;\x03");
    ASSERT_TRUE(qvsim::parse_picture_fault({"silent"}, fault, error));
    EXPECT_TRUE(Ask(cfg, fault, "IMGGET0T0R0F").pieces.empty());
    EXPECT_EQ(Whole(Ask(cfg, fault, "IMGGET0T0R0F")), good);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{}, {"cut"}, {"cut", "x"}, {"lead", "4"}, {"pause", "1"}, {"odd"}}) {
        EXPECT_FALSE(qvsim::parse_picture_fault(bad, fault, error));
    }
}

TEST(SimPictures, SettingsAreChecked) {
    PictureConfig cfg;
    std::string error;
    EXPECT_TRUE(qvsim::apply_picture_setting(cfg, "size=3840x2160", error));
    EXPECT_EQ(cfg.width, 3840u);
    for (const char* bad : {"size=0x10", "size=10", "size=16385x2", "colour=red", "echo=x", "fmt=12", "nokey", "x=1"}) {
        PictureConfig before = cfg;
        EXPECT_FALSE(qvsim::apply_picture_setting(cfg, bad, error)) << bad;
        EXPECT_EQ(cfg.width, before.width);
    }
    EXPECT_FALSE(qvsim::apply_picture_setting(cfg, "size=641x480", error) &&
                 qvsim::apply_picture_setting(cfg, "colour=yuv", error));
}
