// QuorviaDemo driven as a user would run it, against simulated scanners.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "net_helpers.h"
#include "sim_process.h"
#include "sim_settings_table.h"
#include "test_env.h"

namespace {

// Every run of the demo enumerates with flags 15, network discovery included:
// no test here runs outside a private network namespace.
class PrivateNetworkOnly : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(qvtest::PrivateNetwork()); }
};
::testing::Environment* const kPrivateNetworkOnly = ::testing::AddGlobalTestEnvironment(new PrivateNetworkOnly);

struct DemoRun {
    std::string output;
    int status = -1;
};

std::vector<std::string> DemoEnv(const SimProcess& sim) {
    return {"QUORVIA_COM_PORTS=" + sim.declaration(), "QUORVIA_SYSTEM_PORTS=0"};
}

DemoRun RunDemo(const SimProcess& sim, const std::string& option, const std::string& workdir = QV_TEST_RUN_DIR) {
    std::vector<std::string> argv{QV_DEMO_PATH};
    if (!option.empty()) argv.push_back(option);
    ChildProcess demo(argv, DemoEnv(sim), workdir);
    DemoRun run;
    run.output = demo.ReadAll(60000);
    run.status = demo.Wait(5000);
    return run;
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST(Demo, WithoutOptionQueriesEveryDevice) {
    SimProcess sim({{.com = 61, .options = "id=Demo Scanner One"}, {.com = 62, .options = "id=Demo Scanner Two"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    DemoRun run = RunDemo(sim, "");
    const std::string& out = run.output;
    EXPECT_EQ(run.status, 0) << out;
    EXPECT_TRUE(Has(out, "enum qv_EnumDevices begin\n")) << out;
    EXPECT_TRUE(Has(out, "  T_DevicesInfo size = 6720\n")) << out;
    EXPECT_TRUE(Has(out, "enum qv_EnumDevices end deviceCounts=2\n")) << out;
    EXPECT_TRUE(Has(out, ", succeed in opening the device\nstatus=0\nsystem info: \n")) << out;
    EXPECT_TRUE(Has(out, "QRYSYSDemo Scanner One")) << out;
    EXPECT_TRUE(Has(out, "QRYSYSDemo Scanner Two")) << out;
    EXPECT_TRUE(Has(out, "  CloseDevice\n")) << out;
    EXPECT_TRUE(Has(out, "hDevice=(nil),succeed in closing the device\nT_DeviceStatus t=2\n")) << out;
    EXPECT_TRUE(Has(out, "all over\n")) << out;
    // A script is never held up by the closing pause.
    EXPECT_FALSE(Has(out, "Press Enter")) << out;
}

TEST(Demo, CommandOptions) {
    SimProcess sim({{.com = 63, .options = "id=Demo Scanner,base=Demo Base Info"}});
    ASSERT_TRUE(sim.ok()) << sim.error();

    DemoRun run = RunDemo(sim, "--SendCommand");
    EXPECT_TRUE(Has(run.output, "status=0\nresult=1\n")) << run.output;

    run = RunDemo(sim, "--SendCommandAsHex");
    EXPECT_TRUE(Has(run.output, "status=0\nresult=1\n")) << run.output;

    run = RunDemo(sim, "--GetDeviceInfo");
    EXPECT_TRUE(Has(run.output, "GetDeviceInfo -------- info\n Demo Scanner\ntype=1\n")) << run.output;

    run = RunDemo(sim, "--GetCommandResponse");
    EXPECT_TRUE(Has(run.output, "result=1,recvLen=1\nrecvData=!\n")) << run.output;

    run = RunDemo(sim, "--BaseInfo");
    EXPECT_TRUE(Has(run.output, "begin query base info\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "\nbase info:Demo Base Info\n")) << run.output;
    EXPECT_FALSE(Has(run.output, "all over")) << run.output;
    EXPECT_EQ(run.status, 0);

    // Any other option: open, status and close only.
    run = RunDemo(sim, "--NoSuchOption");
    EXPECT_TRUE(Has(run.output, "status=0\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "succeed in closing the device")) << run.output;
    EXPECT_FALSE(Has(run.output, "system info")) << run.output;
}

TEST(Demo, ListenerOnATerminalPrintsBarcodesUntilEnter) {
    SimProcess sim({{.com = 64}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess demo({QV_DEMO_PATH, "--SetListener"}, DemoEnv(sim), QV_TEST_RUN_DIR,
                      ChildProcess::Input::kTerminal);
    std::string seen;
    ASSERT_TRUE(demo.WaitForLine("status=0", 60000, &seen)) << seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(sim.command("emit 64 3"), "OK");
    std::string codes;
    ASSERT_TRUE(demo.WaitForLine("BC64-00000003", 10000, &codes)) << seen << codes;
    EXPECT_TRUE(Has(codes, "buf=BC64-00000001")) << codes;
    ASSERT_TRUE(demo.Write("\n"));
    std::string rest;
    ASSERT_TRUE(demo.WaitForLine("all over", 20000, &rest)) << rest;
    EXPECT_TRUE(Has(rest, "AsynRead quit")) << rest;
    EXPECT_TRUE(Has(rest, "succeed in closing the device")) << rest;
    // A terminal user gets the closing pause.
    ASSERT_TRUE(demo.WaitForLine("Press Enter", 5000, &rest)) << rest;
    ASSERT_TRUE(demo.Write("\n"));
    EXPECT_EQ(demo.Wait(5000), 0);
}

namespace {

// Lines the demo printed within `ms`, without waiting for any particular one.
std::string LinesWithin(ChildProcess& demo, int ms) {
    std::string out;
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (!demo.ReadLine(line, static_cast<int>(left.count()) + 1)) break;
        out += line + "\n";
    }
    return out;
}

// Started from cron, nohup or with input from /dev/null, the listener runs for
// its whole time; a termination signal ends it cleanly. Input that ends (or
// holds lines) is not a person pressing Enter.
void ListenWithoutTerminal(int com, ChildProcess::Input input, int sig) {
    SimProcess sim({{.com = com}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ChildProcess demo({QV_DEMO_PATH, "--SetListener"}, DemoEnv(sim), QV_TEST_RUN_DIR, input);
    if (input == ChildProcess::Input::kPipe) {
        ASSERT_TRUE(demo.Write("\n\n"));
        demo.CloseInput();
    }
    std::string seen;
    ASSERT_TRUE(demo.WaitForLine("status=0", 60000, &seen)) << seen;
    seen += LinesWithin(demo, 1500);
    EXPECT_FALSE(Has(seen, "AsynRead quit")) << seen;
    EXPECT_FALSE(Has(seen, "closing the device")) << seen;
    const std::string last = sim_barcode_text(com, 2);
    ASSERT_EQ(sim.command("emit " + std::to_string(com) + " 2"), "OK");
    ASSERT_TRUE(demo.WaitForLine(last, 10000, &seen)) << "no longer listening:\n" << seen;

    ASSERT_TRUE(demo.Signal(sig));
    std::string rest;
    ASSERT_TRUE(demo.WaitForLine("all over", 20000, &rest)) << rest;
    EXPECT_TRUE(Has(rest, "AsynRead quit")) << rest;
    EXPECT_TRUE(Has(rest, "hDevice=(nil),succeed in closing the device\nT_DeviceStatus t=2\n")) << rest;
    rest += demo.ReadAll(10000);
    EXPECT_FALSE(Has(rest, "Press Enter")) << rest;
    EXPECT_EQ(demo.Wait(5000), 0) << rest;
}

}  // namespace

TEST(Demo, ListenerWithInputFromDevNullListensUntilSigterm) {
    ListenWithoutTerminal(66, ChildProcess::Input::kNull, SIGTERM);
}

TEST(Demo, ListenerWithPipedInputListensUntilSigint) {
    ListenWithoutTerminal(67, ChildProcess::Input::kPipe, SIGINT);
}

TEST(Demo, NoDeviceFound) {
    SimProcess sim({{.com = 65, .options = "mode=silent"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    DemoRun run = RunDemo(sim, "--BaseInfo");
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices end deviceCounts=0\n")) << run.output;
    EXPECT_FALSE(Has(run.output, "begin query base info")) << run.output;
    EXPECT_FALSE(Has(run.output, "all over")) << run.output;  // it ends right after the enumeration
    EXPECT_EQ(run.status, 0);
}

TEST(Demo, ConfigurationOptionsSaveAndWriteXml2) {
    SimProcess from({{.com = 68, .options = "product=Demo Product"}});
    SimProcess to({{.com = 69}});
    ASSERT_TRUE(from.ok() && to.ok()) << from.error() << to.error();
    qvtest::TempDir dir;

    // Nothing to write yet: the error is printed.
    DemoRun run = RunDemo(to, "--WriteCfgToDev", dir.path().string());
    EXPECT_TRUE(Has(run.output, "status=0\nWriteCfgToDev Open xml file error\n")) << run.output;

    // The read makes ./xml and saves the first scanner's settings there.
    run = RunDemo(from, "--ReadDevCfgToXml", dir.path().string());
    EXPECT_EQ(run.status, 0) << run.output;
    const auto file = dir.path() / "xml" / "2.xml";
    ASSERT_TRUE(std::filesystem::exists(file)) << run.output;
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Has(text, "<Prazmor DeviceType=\"Demo Product\">")) << text;

    // The write sends it to the second scanner.
    const std::string wanted = sim_settings(from, 68).value("BEPVOL");
    ASSERT_NE(sim_settings(to, 69).value("BEPVOL"), wanted);
    run = RunDemo(to, "--WriteCfgToDev", dir.path().string());
    EXPECT_FALSE(Has(run.output, "WriteCfgToDev ")) << run.output;
    EXPECT_TRUE(Has(run.output, "succeed in closing the device")) << run.output;
    EXPECT_EQ(sim_settings(to, 69).value("BEPVOL"), wanted);
}

TEST(Demo, FindsNetworkScannersNextToTheSerialOnes) {
    SimProcess sim({{.com = 68, .options = "id=Demo Serial"}}, {{.number = 69, .options = "id=Demo Net"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    DemoRun run = RunDemo(sim, "");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "enum qv_EnumDevices end deviceCounts=2\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "QRYSYSDemo Serial")) << run.output;
    EXPECT_TRUE(Has(run.output, "QRYSYSDemo Net")) << run.output;

    run = RunDemo(sim, "--GetDeviceInfo");
    EXPECT_TRUE(Has(run.output, "GetDeviceInfo -------- info\n Demo Serial\ntype=1\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "Serial Number=QVNET0069;")) << run.output;
    EXPECT_TRUE(Has(run.output, "\ntype=4\n")) << run.output;
}

TEST(Demo, SetNetDeviceConfigConfiguresTheDemoScanner) {
    SimProcess sim({}, {{.number = 70, .options = "serial=QVNET0001,mac=02:51:56:00:00:01"}});
    ASSERT_TRUE(sim.ok()) << sim.error();
    DemoRun run = RunDemo(sim, "--SetNetDeviceConfig");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "\n qv_setNetDeviceConfig outData=Serial Number=QVNET0001;MAC Address=02:51:56:00:00:01;"
                                "Config Result=OK;Device Use DHCP=1;"))
        << run.output;
    EXPECT_FALSE(Has(run.output, "qv_setNetDeviceConfig error")) << run.output;
    EXPECT_EQ(sim.command("netconfig net70"), "OK dhcp=1 ip=127.0.0.1 mask=255.255.255.0 gateway=127.0.0.1");
}
