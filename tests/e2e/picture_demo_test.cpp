// QuorviaDemo's picture options against a simulated scanner, each run in a
// directory of its own: the files it writes are the scanner's pictures.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "picture_e2e.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

class PictureDemo : public ::testing::Test {
protected:
    ChildProcess* Start(const std::string& option) {
        demo_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{QV_DEMO_PATH, option},
            std::vector<std::string>{"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0"},
            dir.path().string());
        return demo_.get();
    }
    SimProcess sim{{.com = 91}};
    qvtest::TempDir dir{"qv_picture_demo"};
    std::unique_ptr<ChildProcess> demo_;
};

}  // namespace

TEST_F(PictureDemo, GetPictureSavesTheGreyPictureAsBmp) {
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess* demo = Start("--GetPicture");
    const std::string out = demo->ReadAll(60000);
    EXPECT_EQ(demo->Wait(5000), 0) << out;
    EXPECT_TRUE(Has(out, "status=0\nqv_GetPicSize isGetPicSizeOK=1\nimgWidth=640,imgHeight=480\n")) << out;
    EXPECT_TRUE(Has(out, "all over\n")) << out;
    const fs::path bmp = dir.path() / "10.bmp";
    ASSERT_EQ(fs::file_size(bmp), 308278u);
    qvtest::Decoded d;
    std::string why;
    ASSERT_TRUE(qvtest::DecodeWithPil(bmp, &d, &why)) << why;
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_TRUE(d.pixels == qvsim::grey_picture(640, 480));
}

TEST_F(PictureDemo, GetRoiPicDataWritesTheRegionsBmp) {
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess* demo = Start("--GetRoiPicData");
    const std::string out = demo->ReadAll(60000);
    EXPECT_EQ(demo->Wait(5000), 0) << out;
    const std::string want = qvsim::roi_bmp(qvsim::PictureConfig{});
    EXPECT_TRUE(Has(out, "succeed in closing the device\n")) << out;
    EXPECT_FALSE(Has(out, "isOK")) << out;  // the file is the run's only result
    EXPECT_TRUE(Contents(dir.path() / "GetRoiPicData.bmp") == want);
}

TEST_F(PictureDemo, GetPictureByConfigFetchesJpegsUntilStopped) {
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess* demo = Start("--GetPictureByConfig");
    std::string out;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(demo->WaitForLine("isOK=1", 30000, &out)) << out;
    ASSERT_TRUE(demo->Signal(SIGTERM));
    out += demo->ReadAll(30000);
    EXPECT_EQ(demo->Wait(5000), 0) << out;
    EXPECT_TRUE(Has(out, "all over\n")) << out;
    const fs::path first = dir.path() / "pic" / "test40000000.jpg";
    ASSERT_TRUE(fs::exists(first)) << out;
    EXPECT_EQ(Contents(first), qvsim::jpeg_picture(qvsim::grey_picture(640, 480), 640, 480, 75));
    qvtest::Decoded d;
    std::string why;
    ASSERT_TRUE(qvtest::DecodeWithPil(first, &d, &why)) << why;
    EXPECT_EQ(d.mode, "L");
    EXPECT_EQ(d.width, 640);
}
