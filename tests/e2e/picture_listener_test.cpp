// Pictures and the listener: a picture fetched while barcodes stream in
// arrives whole, no picture byte reaches the listener and no barcode is lost;
// after a transfer that broke off, barcodes reach the listener again; a close
// ends a transfer at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hang_guard.h"
#include "picture_e2e.h"

using qvtest::Param;
using qvtest::PictureScanner;
using qvtest::WaitFor;
using Clock = std::chrono::steady_clock;

namespace {

struct Heard {
    std::mutex mutex;
    std::string data;
    void Add(const char* p, uint32_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        data.append(p, n);
    }
    std::string Get() {
        std::lock_guard<std::mutex> lock(mutex);
        return data;
    }
};

Heard heard;

void Listen(void*, const char* p, uint32_t n) { heard.Add(p, n); }

// Everything the listener got is whole barcode lines "BC<com>-<seq>\r\n".
bool OnlyBarcodes(const std::string& text, int com, std::string* why) {
    const std::string line = sim_barcode_text(com, 1) + "\r\n";
    if (text.size() % line.size() != 0) {
        *why = "length " + std::to_string(text.size()) + " is not a whole number of barcode lines";
        return false;
    }
    for (size_t at = 0; at < text.size(); at += line.size()) {
        const std::string got = text.substr(at, line.size());
        const auto codes = parse_sim_barcodes(got);
        if (codes.size() != 1 || got.substr(line.size() - 2) != "\r\n") {
            *why = "not a barcode line at byte " + std::to_string(at);
            return false;
        }
    }
    return true;
}

class PictureListener : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(heard.mutex);
        heard.data.clear();
    }
};

}  // namespace

TEST_F(PictureListener, PicturesWhileBarcodesStreamIn) {
    PictureScanner s(84, "size=1280x720");
    ASSERT_TRUE(s.ok());
    qv_SetListener(s.handle(), Listen);
    const std::string want = qvsim::grey_picture(1280, 720);
    ASSERT_EQ(s.Sim("emit 84 400 5"), "OK");
    std::vector<char> buf(want.size());
    for (int i = 0; i < 5; ++i) {
        uint32_t len = static_cast<uint32_t>(buf.size());
        ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << i << qv_GetLastError();
        ASSERT_EQ(len, want.size());
        EXPECT_TRUE(std::memcmp(buf.data(), want.data(), want.size()) == 0) << "picture " << i;
    }
    ASSERT_TRUE(WaitFor([&] { return parse_sim_barcodes(heard.Get()).size() >= 400; }, 30000))
        << parse_sim_barcodes(heard.Get()).size();
    qv_StopListener(s.handle());
    const std::string got = heard.Get();
    std::string why;
    EXPECT_TRUE(OnlyBarcodes(got, 84, &why)) << why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(got), 84, 1, 400, &why)) << why;
}

TEST_F(PictureListener, AfterATimeOutMidPictureBarcodesReachTheListenerAgain) {
    PictureScanner s(85);
    ASSERT_TRUE(s.ok());
    qv_SetListener(s.handle(), Listen);
    ASSERT_EQ(s.Fault("cut 150000"), "OK");
    std::vector<char> buf(640 * 480);
    uint32_t len = static_cast<uint32_t>(buf.size());
    EXPECT_FALSE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr));
    EXPECT_STREQ(qv_GetLastError(), "Get image data error");
    ASSERT_EQ(s.Sim("emit 85 20"), "OK");
    ASSERT_TRUE(WaitFor([&] { return parse_sim_barcodes(heard.Get()).size() >= 20; })) << heard.Get().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    qv_StopListener(s.handle());
    std::string why;
    EXPECT_TRUE(OnlyBarcodes(heard.Get(), 85, &why)) << why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(heard.Get()), 85, 1, 20, &why)) << why;
    // And the next picture is whole.
    len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_EQ(std::string(buf.data(), len), qvsim::grey_picture(640, 480));
}

TEST_F(PictureListener, ErrorRepliesWhileListening) {
    // The pictures hold bytes that look like a reply's end; the drain after a
    // malformed reply finds the real one from the picture size.
    PictureScanner s(86);
    ASSERT_TRUE(s.ok());
    qv_SetListener(s.handle(), Listen);
    ASSERT_EQ(s.Sim("emit 86 300 4"), "OK");
    std::vector<char> buf(640 * 480);
    STImgResolution pts[4];
    for (const char* fault : {"badlen 0004B0ZZ", "noimage", "badloc 1W2H|x", "lead 4E4F495345"}) {
        ASSERT_EQ(s.Fault(fault), "OK");
        uint32_t len = static_cast<uint32_t>(buf.size());
        qv_GetPicDataByConfig(s.handle(), Param(2), buf.data(), &len, pts);
        len = static_cast<uint32_t>(buf.size());
        ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr))
            << fault << ": " << qv_GetLastError();
        EXPECT_EQ(std::string(buf.data(), len), qvsim::grey_picture(640, 480)) << fault;
    }
    ASSERT_TRUE(WaitFor([&] {
        const std::string got = heard.Get();
        return parse_sim_barcodes(got).size() >= 300 && got.find("NOISE") != std::string::npos;
    }, 30000));
    qv_StopListener(s.handle());
    // The noise before one reply is unframed data like barcodes; no picture
    // byte is among what the listener heard.
    std::string got = heard.Get();
    const size_t noise = got.find("NOISE");
    ASSERT_NE(noise, std::string::npos);
    got.erase(noise, 5);
    std::string why;
    EXPECT_TRUE(OnlyBarcodes(got, 86, &why)) << why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(got), 86, 1, 300, &why)) << why;
}

TEST_F(PictureListener, CloseEndsATransferAtOnce) {
    PictureScanner s(87, "size=1920x1080");
    ASSERT_TRUE(s.ok());
    qv_SetListener(s.handle(), Listen);
    // Half the picture, then a pause far longer than the transfer would take.
    ASSERT_EQ(s.Fault("pause 1000000 30000"), "OK");
    std::atomic<bool> done{false};
    std::atomic<bool> result{true};
    void* h = s.handle();
    std::thread fetch([&] {
        std::vector<char> buf(1920 * 1080);
        uint32_t len = static_cast<uint32_t>(buf.size());
        result = qv_GetPicDataByConfig(h, Param(), buf.data(), &len, nullptr);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_FALSE(done.load());
    const long long ms = qvtest::Bounded("close during a picture", std::chrono::seconds(20),
                                         [&] { EXPECT_TRUE(qv_CloseDevice(&s.handleRef())); });
    EXPECT_LT(ms, 3000);
    fetch.join();
    EXPECT_FALSE(result.load());
}
