// The TCP service listens on the first IPv4 address of the machine outside
// 127.0.0.0/8. This test program gives its own network namespace such an
// address (on the loopback interface, so nothing can leave the machine) and
// sends nothing to it: the service runs, and it does not listen on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "quorvia.h"

TEST(TcpServiceAddress, ServiceTakesTheFirstAddressOutsideLoopback) {
    ASSERT_TRUE(qvtest::PrivateNetwork());
    std::string why;
    ASSERT_TRUE(qvtest::AddLoopbackAddress("10.213.7.1", &why)) << why;
    SimProcess sim(std::vector<SimProcess::Port>{});
    ASSERT_TRUE(sim.ok()) << sim.error();
    std::atomic<bool> ended{false};
    std::string error;
    std::thread service([&] {
        qv_CreateTcpService(10000, [](int32_t, const char*) {});
        error = qv_GetLastError();
        ended = true;
    });
    // A service that could not bind would have returned by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(ended.load());
    EXPECT_EQ(sim.command("tcpclient connect 10000 1").rfind("ERR connect", 0), 0u);
    EXPECT_EQ(qv_ExitTcpService(), 0);
    service.join();
    EXPECT_EQ(error, "");
}
