// Pictures from network scanners through the image exports of the built
// library, against quorvia-sim over TCP on 127.0.0.1 in this test program's
// own network namespace: grey pictures byte for byte, a colour frame, a region
// of interest, and a scanner that closes the connection in the middle of a
// picture.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "img_param.h"
#include "net_helpers.h"
#include "quorvia.h"
#include "sim_pictures.h"

using qvtest::Param;

namespace {

// One network scanner, opened from its record as discovery lists it (a
// discovery would add its 2.3 s to every test).
class NetPictureScanner {
public:
    NetPictureScanner(int number, const std::string& settings = "")
        : number_(number), sim_(std::vector<SimProcess::Port>{}, std::vector<SimProcess::NetScanner>{{number}}) {
        if (!sim_.ok()) return;
        if (!settings.empty() && Sim("picture net" + std::to_string(number) + " " + settings) != "OK") return;
        record_.socket = -1;
        record_.transportKind = QV_TRANSPORT_NETWORK;
        std::snprintf(record_.ipAddress, sizeof record_.ipAddress, "127.0.0.1");
        record_.tcpPort = sim_.tcp_port(number);
        handle_ = qv_OpenDeviceForNati(&record_, static_cast<uint32_t>(number), 0);
    }
    ~NetPictureScanner() {
        if (handle_ != nullptr) qv_CloseDeviceForNati(&handle_);
    }
    bool ok() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }
    std::string Sim(const std::string& line) { return sim_.command(line); }
    std::string Net() const { return "net" + std::to_string(number_); }
    uint64_t Frames() {
        SimProcess::Stats s;
        return sim_.stats(number_, s) ? s.frames : 0;
    }

private:
    int number_;
    SimProcess sim_;
    T_DevicesInfo record_{};
    void* handle_ = nullptr;
};

std::string FirstDifference(const std::string& got, const std::string& want) {
    if (got.size() != want.size()) return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) return "byte " + std::to_string(i);
    }
    return "none";
}

void ExpectGreyPicture(void* h, uint32_t width, uint32_t height) {
    int32_t w = 0, hh = 0;
    ASSERT_TRUE(qv_GetPicSize(h, &w, &hh)) << qv_GetLastError();
    EXPECT_EQ(w, static_cast<int32_t>(width));
    EXPECT_EQ(hh, static_cast<int32_t>(height));
    std::vector<char> buf(static_cast<size_t>(width) * height + 64);
    uint32_t len = static_cast<uint32_t>(buf.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(h, Param(), buf.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_EQ(qv_GetDevStatus(h), QV_STATUS_IMAGE_END);
    const std::string got(buf.data(), len);
    const std::string want = qvsim::grey_picture(width, height);
    EXPECT_TRUE(got == want) << FirstDifference(got, want);
}

}  // namespace

TEST(NetPicture, Grey640x480ColourTypeAndRegionOverTcp) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetPictureScanner s(50);
    ASSERT_TRUE(s.ok()) << qv_GetLastError();
    ExpectGreyPicture(s.handle(), 640, 480);

    STImgResolution size{};
    int32_t bytes = 0;
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, &bytes), QV_IMAGE_COLOR_GREY);
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 480);
    EXPECT_EQ(bytes, 640 * 480);

    // The plain fetch as well, into a buffer of exactly the picture's size.
    std::vector<char> buf(640 * 480);
    ASSERT_TRUE(qv_GetPicData(s.handle(), buf.data(), static_cast<int32_t>(buf.size()))) << qv_GetLastError();
    EXPECT_TRUE(std::string(buf.data(), buf.size()) == qvsim::grey_picture(640, 480));

    // A region of interest.
    std::vector<char> roi(10368000);
    uint32_t roiLen = static_cast<uint32_t>(roi.size());
    ASSERT_TRUE(qv_GetRoiPicData(s.handle(), RoiImgParam{0, 1, 1, 0, 0, 0, 0}, roi.data(), &roiLen))
        << qv_GetLastError();
    EXPECT_TRUE(std::string(roi.data(), roiLen) == qvsim::roi_bmp(qvsim::PictureConfig{}));
}

TEST(NetPicture, Grey3840x2160ByteForByte) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetPictureScanner s(51, "size=3840x2160");
    ASSERT_TRUE(s.ok()) << qv_GetLastError();
    ExpectGreyPicture(s.handle(), 3840, 2160);
    // A second picture over the same connection: nothing of the first is left over.
    ExpectGreyPicture(s.handle(), 3840, 2160);
}

TEST(NetPicture, ColourFrameOverTcp) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetPictureScanner s(52, "size=640x480 colour=yuv");
    ASSERT_TRUE(s.ok()) << qv_GetLastError();
    STImgResolution size{};
    int32_t bytes = 0;
    EXPECT_EQ(qv_GetDeviceImageColorType(s.handle(), &size, &bytes), QV_IMAGE_COLOR_YUV420);
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 480);
    EXPECT_EQ(bytes, 640 * 480 * 3);

    std::vector<char> frame(640 * 720 * 2);
    uint32_t len = static_cast<uint32_t>(frame.size());
    ASSERT_TRUE(qv_GetPicDataByConfig(s.handle(), Param(), frame.data(), &len, nullptr)) << qv_GetLastError();
    EXPECT_TRUE(std::string(frame.data(), len) == qvsim::yuv_frame(640, 480));

}

TEST(NetPicture, PeerClosingMidPictureFailsCleanlyAndTheNextFetchReconnects) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    NetPictureScanner s(53, "size=1280x960");
    ASSERT_TRUE(s.ok()) << qv_GetLastError();
    // The picture reply stops after 100000 bytes; the scanner then closes the
    // connection while the library waits for the rest.
    ASSERT_EQ(s.Sim("picfault " + s.Net() + " cut 100000"), "OK");
    const uint64_t before = s.Frames();
    std::atomic<bool> done{false};
    bool ok = true;
    std::string error;
    std::vector<char> buf(1280 * 960);
    uint32_t len = static_cast<uint32_t>(buf.size());
    std::thread fetch([&] {
        ok = qv_GetPicDataByConfig(s.handle(), Param(), buf.data(), &len, nullptr);
        error = qv_GetLastError();
        done = true;
    });
    // IMGGWH, IMGGET^ and the picture command have arrived.
    ASSERT_TRUE(qvtest::WaitFor([&] { return s.Frames() >= before + 3; }, 5000));
    ASSERT_EQ(s.Sim("hangup " + s.Net()), "OK");
    fetch.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Get image data error");
    EXPECT_EQ(qv_GetDevStatus(s.handle()), QV_STATUS_IMAGE_END);

    // The handle is still good: the next exchange connects again and a
    // whole picture arrives.
    ExpectGreyPicture(s.handle(), 1280, 960);
}
