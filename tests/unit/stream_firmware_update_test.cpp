// The update over a real port stream (qvds_update_firmware_file) on a
// scripted device that plays the scanner with quorvia-sim's loader logic: a
// whole update, and a write that fails in the middle of a block, which must
// end the update with 11 and close the stream, never hang (the update holds
// the stream lock around its writes).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_port_device.h"
#include "firmware_package_builder.h"
#include "hang_guard.h"
#include "loader_scanner.h"
#include "portstream/qvds.h"
#include "quorvia.h"
#include "test_env.h"
#include "transport/stream_firmware_update.h"

namespace {

using namespace std::chrono_literals;
using qvtest::Bytes;
using qvtest::FakePortControl;

class StreamUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_.path() / "settings.ini") << "[main]\n";
        settings_ = std::make_unique<qvtest::ScopedEnv>("QUORVIA_SETTINGS", (dir_.path() / "settings.ini").string());
        auto [dev, ctl] = qvtest::MakeFakePort();
        ctl_ = ctl;
        // The device answers as a scanner does.
        ctl_->SetResponder([this](const Bytes& written) {
            std::vector<Bytes> out;
            const std::string reply =
                scanner_.Feed(std::string_view(reinterpret_cast<const char*>(written.data()), written.size()), 0);
            if (!reply.empty()) out.emplace_back(reply.begin(), reply.end());
            if (onWrite_) onWrite_(written);
            return out;
        });
        stream_ = qvds_create();
        uint32_t status = 99;
        ASSERT_TRUE(qvds_open_device(stream_, std::move(dev), QVDS_KIND_VENDOR, &status));
        qvtest::TablePackage p;
        p.main = {{"kern", qvtest::PatternBytes(5000, 1)}, {"appl", qvtest::PatternBytes(3000, 2)}};
        data_ = {p.main[0].data, p.main[1].data};
        const auto file = dir_.path() / "fw.nfp";
        ASSERT_TRUE(qvtest::WriteBytes(file, qvtest::BuildTablePackage(p)));
        file_ = file.u16string();
    }
    void TearDown() override { qvds_destory(stream_); }

    int32_t Update() {
        int32_t rc = -1;
        qvtest::Bounded("an update over a port stream", 60000ms,
                        [&] { rc = qvds_update_firmware_file(stream_, file_.c_str(), nullptr); });
        return rc;
    }

    qvtest::TempDir dir_{"qv_stream_fw"};
    std::unique_ptr<qvtest::ScopedEnv> settings_;
    qvtest::LoaderScanner scanner_;
    std::shared_ptr<FakePortControl> ctl_;
    std::function<void(const Bytes&)> onWrite_;
    QvdsStream* stream_ = nullptr;
    std::u16string file_;
    std::vector<std::string> data_;
};

TEST_F(StreamUpdateTest, WholeUpdateOverTheStream) {
    EXPECT_EQ(Update(), QV_FW_OK);
    const auto& blocks = scanner_.loader().blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].data, data_[0]);
    EXPECT_EQ(blocks[1].data, data_[1]);
    EXPECT_TRUE(qvds_is_open(stream_));
}

TEST_F(StreamUpdateTest, BarcodeWaitingInTheStreamIsNoAnswerToTheFirstProbe) {
    const std::string barcode = "BC1-00000001\r\n";
    ctl_->QueueRead(Bytes(barcode.begin(), barcode.end()));
    // The reader takes it from the device into the stream's buffer.
    for (int i = 0; i < 1000 && ctl_->QueuedInput() != 0; ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Update(), QV_FW_OK);
    EXPECT_EQ(scanner_.loader().blocks().size(), 2u);
}

TEST_F(StreamUpdateTest, FailedWriteInTheMiddleOfABlockEndsWithElevenAndClosesTheStream) {
    int frames = 0;
    onWrite_ = [&](const Bytes& written) {
        // After the third data frame (0x02 and 512 data bytes and a CRC) every
        // write fails, as on a port whose device has gone.
        if (written.size() == 517 && written[0] == 0x02 && ++frames == 3) ctl_->FailWritesFrom(ctl_->WriteAttempts());
    };
    EXPECT_EQ(Update(), QV_FW_PROTOCOL);
    EXPECT_EQ(frames, 3);
    EXPECT_FALSE(qvds_is_open(stream_));
    EXPECT_TRUE(ctl_->Destroyed());
    EXPECT_TRUE(scanner_.loader().blocks().empty());
}

TEST_F(StreamUpdateTest, ClosedStreamGivesThree) {
    qvds_stop(stream_);
    EXPECT_EQ(Update(), QV_FW_PORT_CLOSED);
    EXPECT_EQ(qvds_update_firmware_file(nullptr, file_.c_str(), nullptr), QV_FW_PORT_CLOSED);
}

}  // namespace
