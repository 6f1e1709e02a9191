// The decode upload inside the library: the bitmap readers and the pixel
// conversion against independent references (Pillow-written files, formulas
// computed by the test), bad bitmaps, and the byte-coded exchange over a
// scripted transport.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bmp_reference.h"
#include "engine/bmp_reader.h"
#include "engine/qvscan.h"
#include "engine/upload_image.h"
#include "engine/yuv420.h"
#include "scripted_transport.h"
#include "test_env.h"
#include "transport/communication.h"

using qvtest::BmpFields;
using qvtest::HandMadeBmp;
using qvtest::MakePicture;
using qvtest::Picture;
using qvtest::ScriptedTransport;

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const std::string& s) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

const uint8_t* Data(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The bytes of a BMP file Pillow wrote for `picture`.
std::string PilBmp(const Picture& picture, const std::string& kind, bool topDown) {
    qvtest::TempDir dir("qv_decode_unit");
    const std::string path = (dir.path() / "picture.bmp").string();
    std::string why;
    EXPECT_TRUE(qvtest::WriteBmpWithPil(picture, kind, topDown, path, &why)) << why;
    return qvtest::ReadFile(path);
}

bool Build(const std::string& file, int32_t mode, qv::UploadImage* image) {
    const char* why = "";
    return qv::BuildUploadImage(Data(file), file.size(), mode, image, &why);
}

// Stored 24-bit rows (B, G, R and filler) of a picture given top row first.
Bytes StoredRows(const Picture& p, size_t stride, bool topDown) {
    Bytes rows(stride * static_cast<size_t>(p.height), 0xEE);
    for (int y = 0; y < p.height; ++y) {
        const int stored = topDown ? y : p.height - 1 - y;
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* px = &p.pixels[(static_cast<size_t>(y) * p.width + x) * 3];
            uint8_t* dst = &rows[static_cast<size_t>(stored) * stride + static_cast<size_t>(x) * 3];
            dst[0] = px[2];
            dst[1] = px[1];
            dst[2] = px[0];
        }
    }
    return rows;
}

}  // namespace

// ---------------------------------------------------------------- conversion

TEST(RgbToYuv420, MatchesTheFormulasForBothRowOrdersAndSkipsFiller) {
    for (bool topDown : {false, true}) {
        const Picture p = MakePicture(30, 8, 3, 7);  // 90 bytes of pixels, 2 of filler per row
        const size_t stride = 92;
        const Bytes rows = StoredRows(p, stride, topDown);
        Bytes y, cb, cr;
        ASSERT_EQ(qv::RgbToYuv420(p.width, topDown ? -p.height : p.height, rows.data(), stride, y, cb, cr),
                  qv::kYuvOk);
        Bytes packed = y;
        for (size_t i = 0; i < cb.size(); ++i) {
            packed.push_back(cb[i]);
            packed.push_back(cr[i]);
        }
        EXPECT_EQ(packed, qvtest::ReferenceYuv420(p)) << (topDown ? "top-down" : "bottom-up");
    }
}

TEST(RgbToYuv420, EveryColourValueAtTheTruncationEdges) {
    // All 256 values of each channel against the other two at 0 and 255.
    Picture p{256, 8, 3, {}};
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 256; ++x) {
            const uint8_t other = (y & 1) ? 255 : 0;
            uint8_t rgb[3] = {other, other, other};
            rgb[(y / 2) % 3] = static_cast<uint8_t>(x);
            p.pixels.insert(p.pixels.end(), rgb, rgb + 3);
        }
    }
    const Bytes rows = StoredRows(p, 768, false);
    Bytes y, cb, cr;
    ASSERT_EQ(qv::RgbToYuv420(256, 8, rows.data(), 768, y, cb, cr), qv::kYuvOk);
    const Bytes ref = qvtest::ReferenceYuv420(p);
    EXPECT_EQ(y, Bytes(ref.begin(), ref.begin() + 2048));
    EXPECT_EQ(y[255 + 256], 255);  // white stays 255
}

TEST(RgbToYuv420, OddOrEmptySidesAreRefused) {
    const Bytes rows(64, 0);
    Bytes y, cb, cr;
    EXPECT_EQ(qv::RgbToYuv420(3, 2, rows.data(), 12, y, cb, cr), qv::kYuvOddSize);
    EXPECT_EQ(qv::RgbToYuv420(2, 3, rows.data(), 8, y, cb, cr), qv::kYuvOddSize);
    EXPECT_EQ(qv::RgbToYuv420(2, -3, rows.data(), 8, y, cb, cr), qv::kYuvOddSize);
    EXPECT_EQ(qv::RgbToYuv420(0, 2, rows.data(), 0, y, cb, cr), qv::kYuvOddSize);
    EXPECT_EQ(qv::RgbToYuv420(2, 0, rows.data(), 8, y, cb, cr), qv::kYuvOddSize);
}

// ---------------------------------------------------------------- upload pictures from Pillow files

TEST(UploadImage, GreyRowsArePackedTopRowFirstWhateverTheFiller) {
    // 3 × width not a multiple of 4, and widths not a multiple of 4: every
    // stored row carries filler, which never reaches the scanner.
    for (int width : {5, 30, 33}) {
        for (bool topDown : {false, true}) {
            const Picture rgb = MakePicture(width, 6, 3, 11u + static_cast<uint32_t>(width));
            qv::UploadImage image;
            ASSERT_TRUE(Build(PilBmp(rgb, "rgb", topDown), qv::kUploadGray, &image)) << width;
            EXPECT_EQ(image.bytes, qvtest::ReferenceGray(rgb)) << width << (topDown ? " top-down" : " bottom-up");
            EXPECT_EQ(image.width, width);
            EXPECT_EQ(image.uploadHeight, 6);

            const Picture grey = MakePicture(width, 6, 1, 5u + static_cast<uint32_t>(width));
            for (int32_t mode : {qv::kUploadGray, qv::kUploadYuv420}) {
                ASSERT_TRUE(Build(PilBmp(grey, "grey", topDown), mode, &image)) << width;
                EXPECT_EQ(image.bytes, grey.pixels) << width << " mode " << mode;
                EXPECT_EQ(image.bitCount, 8);
                EXPECT_FALSE(image.yuv);
            }
        }
    }
}

TEST(UploadImage, YuvFromFilesWithFillerInBothRowOrders) {
    for (bool topDown : {false, true}) {
        const Picture rgb = MakePicture(30, 10, 3, 3);
        qv::UploadImage image;
        testing::internal::CaptureStderr();
        ASSERT_TRUE(Build(PilBmp(rgb, "rgb", topDown), qv::kUploadYuv420, &image));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(image.bytes, qvtest::ReferenceYuv420(rgb));
        EXPECT_EQ(image.width, 30);
        EXPECT_EQ(image.uploadHeight, 15);
        EXPECT_TRUE(image.yuv);
    }
}

TEST(UploadImage, PixelRowsStartWhereTheFileSaysNotAfterAFullPalette) {
    // A 16-colour palette: the rows start 64 bytes after the headers, not at 1078.
    const Picture indices = MakePicture(12, 4, 1, 9);
    const std::string file = PilBmp(indices, "palette16", false);
    ASSERT_EQ(file[10], 54 + 64);
    qv::UploadImage image;
    ASSERT_TRUE(Build(file, qv::kUploadGray, &image));
    Bytes expected;
    for (uint8_t b : indices.pixels) expected.push_back(b & 15);
    EXPECT_EQ(image.bytes, expected);
}

TEST(UploadImage, BitDepthsOtherThan8And24AreRefused) {
    const Picture mono = MakePicture(16, 4, 1, 1);
    qv::UploadImage image;
    EXPECT_FALSE(Build(PilBmp(mono, "mono", false), qv::kUploadGray, &image));
    EXPECT_FALSE(Build(PilBmp(mono, "mono", false), qv::kUploadYuv420, &image));
    for (uint16_t bits : {1, 4, 16, 32, 2, 0}) {
        BmpFields f{8, 4, bits};
        const std::string file = HandMadeBmp(f, 8 * 4 * 4);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Build(file, qv::kUploadGray, &image)) << bits;
        EXPECT_FALSE(Build(file, qv::kUploadYuv420, &image)) << bits;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << bits;
    }
}

TEST(UploadImage, OddSidesOnlyMatterForTheYuvForm) {
    qv::UploadImage image;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Build(HandMadeBmp({31, 4, 24}, 96 * 4), qv::kUploadYuv420, &image));
    EXPECT_FALSE(Build(HandMadeBmp({32, 5, 24}, 96 * 5), qv::kUploadYuv420, &image));
    EXPECT_FALSE(Build(HandMadeBmp({32, -5, 24}, 96 * 5), qv::kUploadYuv420, &image));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Build(HandMadeBmp({31, 5, 24}, 96 * 5), qv::kUploadGray, &image));
    EXPECT_EQ(image.bytes.size(), 31u * 5u);
    EXPECT_TRUE(Build(HandMadeBmp({31, 5, 8}, 32 * 5), qv::kUploadYuv420, &image));
    EXPECT_EQ(image.bytes.size(), 31u * 5u);
}

// ---------------------------------------------------------------- bad bitmaps

TEST(UploadImage, BadHeadersAndShortFilesAreRefusedWithoutReadingOutside) {
    struct Case {
        const char* what;
        std::string file;
        int32_t onlyMode = 0;  // refused in this mode only (0: in both)
    };
    const std::string good24 = HandMadeBmp({4, 2, 24}, 24);
    const std::string good8 = HandMadeBmp({6, 3, 8}, 24);
    // Offset 0xFFFFFFF0 written over a good file's.
    std::string hugeOffset = good24;
    hugeOffset.replace(10, 4, std::string("\xF0\xFF\xFF\xFF", 4));
    BmpFields insideHeaders{4, 2, 24};
    insideHeaders.dataOffset = 20;
    BmpFields pastEnd{4, 2, 24};
    pastEnd.dataOffset = 1000;
    BmpFields shortInfo{4, 2, 24};
    shortInfo.infoSize = 12;
    BmpFields bigInfo{4, 2, 24};
    bigInfo.infoSize = 0x7FFFFFFF;
    BmpFields rle{6, 3, 8};
    rle.compression = 1;
    BmpFields bitfields{4, 2, 24};
    bitfields.compression = 3;
    std::vector<Case> cases = {
        {"empty", ""},
        {"headers cut", good24.substr(0, 53)},
        {"file header only", good24.substr(0, 14)},
        {"not BM", "XM" + good24.substr(2)},
        {"24-bit rows one byte short", good24.substr(0, good24.size() - 1)},
        {"8-bit rows one byte short", good8.substr(0, good8.size() - 1)},
        {"huge width", HandMadeBmp({0x7FFFFFFF, 2, 24}, 24)},
        {"huge height", HandMadeBmp({4, 0x7FFFFFFF, 24}, 24)},
        {"most negative height", HandMadeBmp({4, INT32_MIN, 24}, 24)},
        {"huge 8-bit", HandMadeBmp({0x40000000, 0x40000000, 8}, 64)},
        {"negative width", HandMadeBmp({-4, 2, 24}, 24)},
        {"zero width", HandMadeBmp({0, 2, 24}, 24)},
        {"zero height", HandMadeBmp({4, 0, 24}, 24)},
        {"zero-size 8-bit", HandMadeBmp({0, 0, 8}, 0)},
        {"offset past the end", HandMadeBmp(pastEnd, 24).substr(0, 100)},
        {"huge offset", hugeOffset},
        {"offset inside the headers", HandMadeBmp(insideHeaders, 24)},
        {"info header of 12 bytes", HandMadeBmp(shortInfo, 24)},
        {"info header past the end", HandMadeBmp(bigInfo, 24)},
        {"RLE 8-bit", HandMadeBmp(rle, 24)},
        {"bit fields", HandMadeBmp(bitfields, 24)},
        {"too wide for the announce", HandMadeBmp({65536, 1, 8}, 65536)},
        {"too high for the announce as YUV", HandMadeBmp({2, 43692, 24}, 8 * 43692), qv::kUploadYuv420},
    };
    for (const Case& c : cases) {
        for (int32_t mode : {qv::kUploadGray, qv::kUploadYuv420}) {
            if (c.onlyMode != 0 && mode != c.onlyMode) continue;
            // An exact-size heap copy: ASan sees any read past its end.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[c.file.size() + 1]);
            if (!c.file.empty()) std::memcpy(copy.get(), c.file.data(), c.file.size());
            qv::UploadImage image;
            const char* why = "";
            testing::internal::CaptureStderr();
            EXPECT_FALSE(qv::BuildUploadImage(copy.get(), c.file.size(), mode, &image, &why))
                << c.what << " mode " << mode;
            testing::internal::GetCapturedStderr();
        }
    }
    // The good ones pass, so the cases above fail for their own reason.
    qv::UploadImage image;
    EXPECT_TRUE(Build(good24, qv::kUploadGray, &image));
    EXPECT_TRUE(Build(good8, qv::kUploadGray, &image));
    EXPECT_FALSE(Build(good24, 3, &image));
    EXPECT_FALSE(Build(good24, 0, &image));
}

TEST(ReadBmp24, WritesItsMessagesToStandardErrorAsItsOwnTexts) {
    qv::Bmp24 picture;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(qv::ReadBmp24(Data(HandMadeBmp({5, 2, 24}, 32)), 54 + 32, &picture));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " Widht: 5;\t\t Height: 2;\n DIB: Bottom-UP;\t Image Size: 0;\n"
              " Raw RGB Data: 30;\t Adjusted RGB Data: 32\n Bitmap file size: 86\n");
    EXPECT_EQ(picture.stride, 16u);
    EXPECT_EQ(picture.pixels.size(), 32u);

    testing::internal::CaptureStderr();
    ASSERT_TRUE(qv::ReadBmp24(Data(HandMadeBmp({2, -2, 24}, 16)), 54 + 16, &picture));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " Widht: 2;\t\t Height: -2;\n DIB: Top-Down;\t Image Size: 0;\n"
              " Raw RGB Data: 12;\t Adjusted RGB Data: 16\n Bitmap file size: 70\n");

    struct Case {
        std::string file;
        const char* message;
    };
    BmpFields rle{4, 2, 24};
    rle.compression = 1;
    const std::string good = HandMadeBmp({4, 2, 24}, 24);
    const std::vector<Case> cases = {
        {good.substr(0, 10), "\nError: Unable to read file header\n"},
        {"AB" + good.substr(2), "\nError: Invalid bitmap file type: 4241\n"},
        {good.substr(0, 40), "\nError: Unable to read info header\n"},
        {HandMadeBmp({4, 2, 8}, 24), "\nError: Unsupported bitmap pixel format: 8\n"},
        {HandMadeBmp(rle, 24), "\nError: Unsupported bitmap compression: 1\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(qv::ReadBmp24(Data(c.file), c.file.size(), &picture));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(qv::ReadBmp24(Data(good), good.size() - 1, &picture));
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(" Widht: 4;"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 32), "\nError: Unable to read RGB data\n") << out;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(qv::ReadBmp24("/nonexistent/dir/x.bmp", &picture));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nError: Unable to open file /nonexistent/dir/x.bmp\n");
}

// ---------------------------------------------------------------- the exchange

namespace {

class DecodeExchange : public ::testing::Test {
protected:
    void SetUp() override {
        auto t = std::make_unique<ScriptedTransport>();
        transport = t.get();
        engine = std::make_unique<qv::CQVScan>(nullptr, std::move(t), nullptr);
        T_DevicesInfo entry;
        qv::InitDeviceRecord(&entry);
        entry.transportKind = qv::kTransportSerial;
        device = engine->OpenDeviceForNati(&entry);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }
    std::string WriteBitmap(const std::string& bytes) {
        const std::string path = (dir.path() / "upload.bmp").string();
        EXPECT_TRUE(qvtest::WriteFile(path, bytes));
        return path;
    }
    bool Send(const std::string& path, int32_t mode, int32_t timeoutMs = 1000) {
        std::memset(text, 'x', sizeof text);
        return engine->SendBmpDecode(device, mode, path.c_str(), text, &textLen, &timeMs, timeoutMs,
                                     [this](int32_t s) { statuses.push_back(s); });
    }

    qvtest::TempDir dir{"qv_decode_exchange"};
    ScriptedTransport* transport = nullptr;
    std::unique_ptr<qv::CQVScan> engine;
    T_DevicesInfo* device = nullptr;
    char text[4096];
    int32_t textLen = -1;
    uint32_t timeMs = 0;
    std::vector<int32_t> statuses;
};

const std::string kAckReply("\x06", 1);

}  // namespace

TEST_F(DecodeExchange, MessagesInOrderWithChunksAndStatuses) {
    // 100 × 100 grey: 10000 bytes, one chunk of 8192 and one of 1808.
    const Picture grey = MakePicture(100, 100, 1, 4);
    const std::string file = PilBmp(grey, "grey", false);
    transport->QueueReply({{0, kAckReply}});
    transport->QueueReply({});
    transport->QueueReply({{0, kAckReply}});
    transport->QueueReply({{0, std::string("\x01\x00\x00\x00", 4)}});
    transport->QueueReply({{0, "DECODED TEXT"}});
    transport->QueueReply({{0, std::string("\x10\x27\x00\x00", 4)}});
    ASSERT_TRUE(Send(WriteBitmap(file), qv::kUploadGray));
    EXPECT_EQ(std::string(text), "DECODED TEXT");
    EXPECT_EQ(textLen, 12);
    EXPECT_EQ(timeMs, 10000u);
    EXPECT_EQ(statuses, (std::vector<int32_t>{6, 7, 8, 9}));

    const std::vector<std::string> w = transport->writes();
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(Hex(w[0]), "1B990110270000640064" "00");
    EXPECT_EQ(w[1].size(), 8192u);
    EXPECT_EQ(w[2].size(), 1808u);
    EXPECT_EQ(w[1] + w[2], std::string(grey.pixels.begin(), grey.pixels.end()));
    EXPECT_EQ(Hex(w[3]), "1B9902");
    EXPECT_EQ(Hex(w[4]), "06");
    EXPECT_EQ(Hex(w[5]), "1B9904");
}

TEST_F(DecodeExchange, RefusedAnnounceSendsNoPicture) {
    transport->QueueReply({{0, std::string("\x15", 1)}});
    ASSERT_FALSE(Send(WriteBitmap(HandMadeBmp({4, 2, 24}, 24)), qv::kUploadGray));
    EXPECT_EQ(transport->writes().size(), 1u);
    EXPECT_TRUE(statuses.empty());
}

TEST_F(DecodeExchange, ShortOrMissingAnswersFail) {
    const std::string path = WriteBitmap(HandMadeBmp({4, 2, 8}, 8));
    const std::string ready("\x00\x00\x01\x00", 4);
    // The picture refused, no result ready, a time of two bytes: each is a failure.
    const std::vector<std::vector<std::string>> scripts = {
        {kAckReply, std::string("\x15", 1)},
        {kAckReply, kAckReply, std::string("\x00\x00\x00\x00", 4)},
        {kAckReply, kAckReply, ready, "T", std::string("\x10\x27", 2)},
    };
    for (const auto& script : scripts) {
        // One reply per write: the announce, the only chunk, then each query.
        for (const std::string& reply : script) transport->QueueReply({{0, reply}});
        statuses.clear();
        EXPECT_FALSE(Send(path, qv::kUploadGray, 300)) << Hex(script.back());
        EXPECT_EQ(statuses, (std::vector<int32_t>{6, 7, 8, 9})) << Hex(script.back());
    }
}

TEST_F(DecodeExchange, FailedWriteEndsTheUpload) {
    transport->QueueReply({{0, kAckReply}});
    const std::string path = WriteBitmap(HandMadeBmp({4, 2, 8}, 8));
    // The announce goes out, then writes fail.
    std::thread failer([this] {
        while (transport->writes().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        transport->FailWrites(true);
    });
    const bool ok = Send(path, qv::kUploadGray);
    failer.join();
    EXPECT_FALSE(ok);
}
