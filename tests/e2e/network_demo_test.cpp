// QuorviaDemo's network options against quorvia-sim in this test program's own
// network namespace (the demo talks to 127.0.0.1 on its fixed ports). The
// options run for a long time by design (50000 passes, 30 s, 100 passes):
// each test ends the demo once the output it looks for has appeared.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "net_helpers.h"
#include "sim_pictures.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class NetDemo : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> Start(const std::string& option) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{QV_DEMO_PATH, option},
                                              std::vector<std::string>{"QUORVIA_SYSTEM_PORTS=0"},
                                              dir.path().string());
    }
    // Ends the demo (it would run on for many seconds) and returns the rest of its output.
    static std::string Stop(ChildProcess& demo) {
        demo.Signal(SIGTERM);
        std::string rest = demo.ReadAll(5000);
        demo.Wait(5000);
        return rest;
    }
    qvtest::TempDir dir{"qv_net_demo"};
};

}  // namespace

TEST_F(NetDemo, ClientModeTriggersReadsOnTheCommandPort) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 1, .options = "tcp=30000"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    auto demo = Start("--ClientMode");
    std::string out;
    ASSERT_TRUE(demo->WaitForLine("ret=0 recvbuf=BC1-00000002", 15000, &out)) << out;
    out += Stop(*demo);
    EXPECT_NE(out.find("ret=0\nret=0 recvbuf=BC1-00000001\r\n"), std::string::npos) << out;
    // No enumeration: the network options end the program themselves.
    EXPECT_EQ(out.find("enum qv_EnumDevices"), std::string::npos) << out;
}

TEST_F(NetDemo, NetGetImgSavesTheScannersJpegPictures) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim({}, {{.number = 1, .options = "tcp=30000"}, {.number = 2, .options = "tcp=36520"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    auto demo = Start("--NetGetImg");
    std::string out;
    // A picture is saved after its line: the third line tells the first two files are whole.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(demo->WaitForLine("qv_getNetImgData succ", 20000, &out)) << out;
    out += Stop(*demo);
    EXPECT_NE(out.find("code length=14,data=BC1-00000001\r\n"), std::string::npos) << out;
    const std::string jpeg = qvsim::jpeg_picture(qvsim::grey_picture(640, 480), 640, 480, 75);
    EXPECT_NE(out.find("-------------------------------------ip=127.0.0.1 [0][" + std::to_string(jpeg.size()) + "]\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(Contents(dir.path() / "pic" / "f2-127.0.0.1-00000.jpg") == jpeg);
    EXPECT_TRUE(Contents(dir.path() / "pic" / "f2-127.0.0.1-00001.jpg") == jpeg);
}

TEST_F(NetDemo, ServerModePrintsWhatClientsSendEvenLongTexts) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    SimProcess sim(std::vector<SimProcess::Port>{});
    ASSERT_TRUE(sim.ok()) << sim.error();
    auto demo = Start("--ServerMode");
    ASSERT_TRUE(qvtest::WaitFor([&] { return sim.command("tcpclient connect 10000 1").rfind("OK", 0) == 0; }, 10000));
    std::string out;
    ASSERT_TRUE(demo->WaitForLine("clientIp=127.0.0.1", 10000, &out)) << out;
    // More than 4096 bytes in one read: the demo's buffer holds all that one
    // read of the export may deliver.
    const std::string text(8000, 'Q');
    std::string hex;
    for (size_t i = 0; i < text.size(); ++i) hex += "51";
    ASSERT_EQ(sim.command("tcpclient send 0 " + hex), "OK");
    ASSERT_TRUE(demo->WaitForLine("TcpServiceBack buf=Q", 10000, &out)) << out;
    EXPECT_NE(out.find("TcpServiceBack buf=" + text + "\n"), std::string::npos) << out.size();
    out += Stop(*demo);
}
