// The protocol engine over a scripted in-process transport: framing, command
// status, response collection, unframed replies, code data and bad input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/errors.h"
#include "engine/qvscan.h"
#include "quorvia.h"
#include "scripted_transport.h"

using qvtest::ScriptedTransport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPrefix("\x02\x01" "0000", 6);

std::string Reply(const std::string& body, char status = '\x06') {
    return kPrefix + "@" + body + std::string(1, status) + ";\x03";
}

std::string Bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// An engine whose serial transport is scripted, with one open record.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(device->pScan, engine.get());
    }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }

    qvtest::ScriptedEngine scripted;
    ScriptedTransport* transport = scripted.transport;
    std::unique_ptr<qv::CQVScan>& engine = scripted.engine;
    T_DevicesInfo*& device = scripted.device;
};

}  // namespace

TEST(CommandFrame, QrysysWithAndWithoutAtAndSemicolonGivesTheSameFrame) {
    const std::string expected = Bytes({0x7E, 0x01, 0x30, 0x30, 0x30, 0x30, 0x40, 0x51, 0x52, 0x59, 0x53, 0x59,
                                        0x53, 0x3B, 0x03});
    for (const char* text : {"QRYSYS", "@QRYSYS", "QRYSYS;", "@QRYSYS;"}) {
        auto f = qv::BuildCommandFrame(text, std::strlen(text));
        EXPECT_EQ(std::string(f.begin(), f.end()), expected) << text;
    }
}

TEST(CommandFrame, HashKindAndOnlyOneTrailingSemicolonDropped) {
    auto f = qv::BuildCommandFrame("#BEEPON;", 8);
    EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x7E\x01" "0000#BEEPON;\x03"));
    f = qv::BuildCommandFrame("A;B;;", 5);
    EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x7E\x01" "0000@A;B;;\x03"));
    f = qv::BuildCommandFrame("", 0);
    EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x7E\x01" "0000@;\x03"));
}

TEST(CommandFrame, NeverReadsPastTheLengthAndStopsAtAZeroByte) {
    // Not zero-terminated within its length: only `length` bytes are framed.
    const char text[4] = {'A', 'B', 'C', 'D'};
    auto f = qv::BuildCommandFrame(text, 3);
    EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x7E\x01" "0000@ABC;\x03"));
    const char withZero[6] = {'Q', 'R', '\0', 'Y', 'S', 'S'};
    f = qv::BuildCommandFrame(withZero, 6);
    EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x7E\x01" "0000@QR;\x03"));
}

TEST_F(EngineTest, WriteFramedAndUnframed) {
    ASSERT_TRUE(engine->Write(device, "QRYSYS", 6, true));
    ASSERT_TRUE(engine->Write(device, "raw\x00\x01", 5, false));
    auto w = transport->writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], std::string("\x7E\x01" "0000@QRYSYS;\x03"));
    EXPECT_EQ(w[1], std::string("raw\x00\x01", 5));
}

TEST_F(EngineTest, SendCommandStatusFollowsTheReply) {
    transport->QueueReply({{5, Reply("BEEPON", '\x06')}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdAccepted);
    transport->QueueReply({{5, Reply("BEEPON", '\x15')}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdNak);
    transport->QueueReply({{5, Reply("BEEPON", '\x05')}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdEnq);
    transport->QueueReply({{5, Reply("BEEPON", 'Z')}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdOther);
    // A batch: the first refused command decides.
    transport->QueueReply({{5, kPrefix + "@A\x06;B\x15;C\x05;\x03"}});
    EXPECT_EQ(engine->SendCommand(device, "A;B;C", 5), qv::kCmdNak);
    // A reply cut across reads is collected whole.
    const std::string r = Reply("BEEPON", '\x15');
    transport->QueueReply({{5, r.substr(0, 9)}, {30, r.substr(9)}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdNak);
}

TEST_F(EngineTest, ReplyLeftByAListenerReadNeverAnswersTheNextCommand) {
    // A listener read routed a refused reply nobody asked for to the response
    // queue. The next command is answered by its own reply only.
    transport->Push(Reply("BEEPON", '\x15'));
    char code[64];
    EXPECT_EQ(engine->AsynRead(device, code, sizeof code, 100), 0);
    ASSERT_EQ(engine->responseQueueSize(), Reply("BEEPON").size());
    transport->QueueReply({{5, Reply("BEEPON", '\x06')}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdAccepted);

    // The same for a command/response exchange: the fresh reply comes back.
    transport->Push(Reply("QRYSYSold", '\x15'));
    EXPECT_EQ(engine->AsynRead(device, code, sizeof code, 100), 0);
    ASSERT_EQ(engine->responseQueueSize(), Reply("QRYSYSold").size());
    transport->QueueReply({{5, Reply("QRYSYSnew")}});
    char out[64];
    int32_t len = sizeof out;
    ASSERT_TRUE(engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 2000, true));
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)), Reply("QRYSYSnew"));
}

TEST_F(EngineTest, SendCommandWithASilentDeviceIsAccepted) {
    const auto t0 = Clock::now();
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdAccepted);
    EXPECT_GE(MsSince(t0), 2000);  // waited the whole read time-out
}

TEST_F(EngineTest, SendCommandNotWrittenIsZero) {
    transport->FailWrites(true);
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdNotWritten);
}

TEST_F(EngineTest, GetCommandResponseCopiesTheFrameAndItsLength) {
    const std::string r = Reply("QRYSYSQuorvia Sim");
    transport->QueueReply({{5, "BC1\r\n" + r}});
    char out[256];
    int32_t len = sizeof out;
    ASSERT_TRUE(engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 2000, true));
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)), r);
    EXPECT_EQ(out[len], '\0');
    // The barcode before the reply stays for the code readers.
    EXPECT_EQ(engine->codeQueueSize(), 5u);
}

TEST_F(EngineTest, GetCommandResponseTruncatesToCapacityMinusOne) {
    const std::string r = Reply("QRYSYS0123456789");
    transport->QueueReply({{5, r}});
    char out[10];
    std::memset(out, 'x', sizeof out);
    int32_t len = 10;
    ASSERT_TRUE(engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 2000, true));
    EXPECT_EQ(len, 10);  // capacity left in place: the reply was longer
    EXPECT_EQ(std::string(out, 9), r.substr(0, 9));
    EXPECT_EQ(out[9], '\0');
    // A capacity of exactly length + 1 reports the length.
    transport->QueueReply({{5, r}});
    std::string big(r.size() + 1, 'x');
    len = static_cast<int32_t>(big.size());
    ASSERT_TRUE(engine->GetCommandResponse(device, "QRYSYS", 6, big.data(), &len, 2000, true));
    EXPECT_EQ(len, static_cast<int32_t>(r.size()));
}

TEST_F(EngineTest, GetCommandResponseFailsOnSilenceAndOnWriteFailure) {
    char out[64];
    int32_t len = sizeof out;
    EXPECT_FALSE(engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 300, true));
    EXPECT_EQ(len, 0);
    transport->FailWrites(true);
    len = sizeof out;
    EXPECT_FALSE(engine->GetCommandResponse(device, "QRYSYS", 6, out, &len, 300, true));
    EXPECT_EQ(len, 0);
}

TEST_F(EngineTest, GetCommandResponseGivesUpOnEndlessFrames) {
    // A frame that never ends: more than 100000 bytes collected is a failure.
    std::vector<ScriptedTransport::Chunk> chunks;
    chunks.push_back({0, kPrefix + "@"});
    for (int i = 0; i < 12; ++i) chunks.push_back({0, std::string(10000, 'A')});
    transport->QueueReply(chunks);
    std::vector<char> out(200000);
    int32_t len = static_cast<int32_t>(out.size());
    EXPECT_FALSE(engine->GetCommandResponse(device, "QRYSYS", 6, out.data(), &len, 500, true));
}

TEST_F(EngineTest, GetOtherResponseWaitsForTheQuietWindow) {
    // Three pieces 30 ms apart form one reply; it ends 51 ms after the last.
    transport->QueueReply({{10, "!"}, {40, "AB"}, {70, "CD"}});
    char out[64];
    int32_t len = sizeof out;
    const auto t0 = Clock::now();
    ASSERT_TRUE(engine->GetOtherResponse(device, "?", 1, out, &len, 8000, false));
    const long long elapsed = MsSince(t0);
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)), "!ABCD");
    EXPECT_GE(elapsed, 70 + 51);
    EXPECT_LT(elapsed, 3000) << "the quiet window, not the 8 s time-out, ends the reply";
    EXPECT_EQ(transport->writes().back(), "?");
}

TEST_F(EngineTest, GetOtherResponseWithoutTimeOutWaitsForData) {
    transport->QueueReply({{300, "late"}});
    char out[64];
    int32_t len = sizeof out;
    const auto t0 = Clock::now();
    ASSERT_TRUE(engine->GetOtherResponse(device, "?", 1, out, &len, 0, false));
    EXPECT_GE(MsSince(t0), 300 + 51);
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)), "late");
}

TEST_F(EngineTest, GetOtherResponseTimesOutAndALostDeviceEndsTheWaitAtOnce) {
    char out[64];
    int32_t len = sizeof out;
    const auto t0 = Clock::now();
    EXPECT_FALSE(engine->GetOtherResponse(device, "?", 1, out, &len, 200, false));
    EXPECT_GE(MsSince(t0), 200);
    EXPECT_EQ(len, 0);
    // With no time-out a vanished device must not hang the caller.
    transport->FailReadsWith(-1);
    len = sizeof out;
    EXPECT_FALSE(engine->GetOtherResponse(device, "?", 1, out, &len, 0, false));
}

TEST_F(EngineTest, GetOtherResponseWriteOnlyReportsNoReply) {
    transport->QueueReply({{0, "!"}});
    char out[64];
    int32_t len = sizeof out;
    ASSERT_TRUE(engine->GetOtherResponse(device, "?", 1, out, &len, 2000, true));
    EXPECT_EQ(len, 0);
    // The reply stays on the stream for the listener.
    char code[16];
    EXPECT_EQ(engine->AsynRead(device, code, sizeof code, 100), 1);
    EXPECT_EQ(code[0], '!');
}

TEST_F(EngineTest, ReadResponseDeliversARoutedReplyWithoutWaiting) {
    // The listener's read routed a reply to the response queue.
    transport->Push(Reply("ABC"));
    char code[64];
    EXPECT_EQ(engine->AsynRead(device, code, sizeof code, 100), 0);
    EXPECT_EQ(engine->responseQueueSize(), Reply("ABC").size());
    char out[64];
    const auto t0 = Clock::now();
    EXPECT_EQ(engine->ReadResponse(device, out, sizeof out, 2000), static_cast<int32_t>(Reply("ABC").size()));
    EXPECT_LT(MsSince(t0), 1500);  // did not sit out a read time-out first
    EXPECT_EQ(std::string(out, Reply("ABC").size()), Reply("ABC"));
}

TEST_F(EngineTest, ReadResponseRefusesAReplyLongerThanTheCapacity) {
    transport->Push(Reply("0123456789"));
    char out[8];
    EXPECT_EQ(engine->ReadResponse(device, out, sizeof out, 500), 0);
    EXPECT_STREQ(qv_GetLastError(), "Input param len is not enough");
}

TEST_F(EngineTest, AsynReadDeliversCodeDataAndPassesTransportErrors) {
    transport->Push("BC1\r\n" + Reply("X") + "BC2\r\n");
    char out[64];
    int32_t n = engine->AsynRead(device, out, sizeof out, 100);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "BC1\r\nBC2\r\n");
    // Capacity smaller than the queued data: the rest comes next time, in order.
    transport->Push("0123456789");
    EXPECT_EQ(engine->AsynRead(device, out, 4, 100), 4);
    EXPECT_EQ(std::string(out, 4), "0123");
    EXPECT_EQ(engine->AsynRead(device, out, 64, 100), 6);
    EXPECT_EQ(std::string(out, 6), "456789");
    transport->FailReadsWith(-1);
    EXPECT_EQ(engine->AsynRead(device, out, sizeof out, 100), -1);
}

TEST_F(EngineTest, CodeDataArrivingDuringACommandStaysForTheListener) {
    const std::string r = Reply("BEEPON");
    transport->QueueReply({{5, "BC1\r\n"}, {15, r + "BC2\r\n"}});
    EXPECT_EQ(engine->SendCommand(device, "BEEPON", 6), qv::kCmdAccepted);
    char out[64];
    int32_t n = engine->AsynRead(device, out, sizeof out, 100);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "BC1\r\nBC2\r\n");
}

TEST_F(EngineTest, GetCodeDataCollectsUntilAQuietGap) {
    transport->Push("BC1\r\n", 5);
    transport->Push("BC2\r\n", 25);
    std::vector<char> out(0x100000);
    int32_t len = 0;  // no capacity given: the documented 1 MiB buffer
    auto t0 = Clock::now();
    ASSERT_TRUE(engine->GetCodeData(device, out.data(), &len, 8000));
    EXPECT_EQ(std::string(out.data(), static_cast<size_t>(len)), "BC1\r\nBC2\r\n");
    EXPECT_LT(MsSince(t0), 3000) << "the quiet gap, not the 8 s time-out, ends the collection";
    // Nothing arriving: true with no data after the time-out.
    t0 = Clock::now();
    len = static_cast<int32_t>(out.size());
    ASSERT_TRUE(engine->GetCodeData(device, out.data(), &len, 150));
    EXPECT_EQ(len, 0);
    EXPECT_GE(MsSince(t0), 150);
}

TEST_F(EngineTest, GetCodeDataDeliversWhatCameBeforeTheDeviceWasLost) {
    // Two barcodes, then the device is gone (reads fail) well within the quiet
    // window: what was collected reaches the caller.
    transport->Push("BC1\r\n");
    transport->Push("BC2\r\n", 5);
    transport->FailReadsWith(-1);
    std::vector<char> out(0x100000);
    int32_t len = 0;
    ASSERT_TRUE(engine->GetCodeData(device, out.data(), &len, 2000));
    EXPECT_EQ(std::string(out.data(), static_cast<size_t>(len)), "BC1\r\nBC2\r\n");
    // Nothing is left to deliver: the loss itself is the answer now.
    len = 0;
    EXPECT_FALSE(engine->GetCodeData(device, out.data(), &len, 2000));
    EXPECT_EQ(len, 0);
}

TEST_F(EngineTest, GetCodeDataHonoursAGivenCapacityAndKeepsTheRest) {
    transport->Push("0123456789");
    char out[4];
    int32_t len = 4;
    ASSERT_TRUE(engine->GetCodeData(device, out, &len, 200));
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::string(out, 4), "0123");
    char rest[16];
    EXPECT_EQ(engine->AsynRead(device, rest, sizeof rest, 100), 6);
}

TEST_F(EngineTest, CloseEmptiesTheQueues) {
    transport->QueueReply({{5, "BC1\r\n" + Reply("X")}});
    EXPECT_EQ(engine->SendCommand(device, "X", 1), qv::kCmdAccepted);
    EXPECT_EQ(engine->codeQueueSize(), 5u);
    ASSERT_TRUE(engine->CloseDevice(&device));
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(engine->codeQueueSize(), 0u);
}

TEST_F(EngineTest, BadInputSetsInvalidParametersAndFails) {
    char out[16];
    int32_t len = sizeof out;
    int32_t zero = 0;
    auto expectInvalid = [](const char* what) {
        EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters") << what;
        qv::SetLastErrorCode(qv::kOk);
    };
    EXPECT_FALSE(engine->Write(nullptr, "A", 1, true));
    expectInvalid("Write null device");
    EXPECT_FALSE(engine->Write(device, nullptr, 1, true));
    expectInvalid("Write null data");
    EXPECT_FALSE(engine->Write(device, "A", 0, true));
    expectInvalid("Write zero length");
    EXPECT_EQ(engine->SendCommand(nullptr, "A", 1), 0);
    expectInvalid("SendCommand null device");
    EXPECT_EQ(engine->SendCommand(device, nullptr, 1), 0);
    expectInvalid("SendCommand null text");
    EXPECT_EQ(engine->SendCommand(device, "A", 0), 0);
    expectInvalid("SendCommand zero length");
    EXPECT_EQ(engine->SendHexCommand(device, nullptr, 1), 0);
    expectInvalid("SendHexCommand null");
    EXPECT_FALSE(engine->GetCommandResponse(device, "A", 1, out, &zero, 100, true));
    expectInvalid("GetCommandResponse zero capacity");
    EXPECT_FALSE(engine->GetCommandResponse(device, "A", 1, nullptr, &len, 100, true));
    expectInvalid("GetCommandResponse null out");
    EXPECT_FALSE(engine->GetCommandResponse(device, "A", 1, out, nullptr, 100, true));
    expectInvalid("GetCommandResponse null length");
    EXPECT_FALSE(engine->GetCommandResponse(nullptr, "A", 1, out, &len, 100, true));
    expectInvalid("GetCommandResponse null device");
    EXPECT_FALSE(engine->GetOtherResponse(device, "A", 0, out, &len, 100, false));
    expectInvalid("GetOtherResponse zero length");
    EXPECT_FALSE(engine->GetOtherResponse(device, nullptr, 1, out, &len, 100, false));
    expectInvalid("GetOtherResponse null data");
    EXPECT_EQ(engine->ReadResponse(device, nullptr, 16, 100), 0);
    expectInvalid("ReadResponse null out");
    EXPECT_EQ(engine->ReadResponse(device, out, 0, 100), 0);
    expectInvalid("ReadResponse zero capacity");
    EXPECT_EQ(engine->AsynRead(device, out, 0, 100), 0);
    expectInvalid("AsynRead zero capacity");
    EXPECT_EQ(engine->AsynRead(nullptr, out, 16, 100), 0);
    expectInvalid("AsynRead null device");
    EXPECT_EQ(engine->Read2(device, nullptr, 16, 100), 0);
    expectInvalid("Read2 null out");
    EXPECT_EQ(engine->ScntrgRead(device, out, 0, 100), 0);
    expectInvalid("ScntrgRead zero capacity");
    EXPECT_EQ(engine->ReadTransport(device, out, 0, 100), 0);
    expectInvalid("ReadTransport zero size");
    EXPECT_FALSE(engine->GetCodeData(device, nullptr, &len, 100));
    expectInvalid("GetCodeData null out");
    EXPECT_FALSE(engine->GetCodeData(device, out, nullptr, 100));
    expectInvalid("GetCodeData null length");
    EXPECT_FALSE(engine->UpdateKernelDevice(device, "", 0, nullptr));
    expectInvalid("UpdateKernelDevice empty name");
    EXPECT_EQ(engine->OpenDevice(nullptr, 0), nullptr);
    expectInvalid("OpenDevice null list");
    EXPECT_EQ(engine->OpenDeviceForNati(nullptr), nullptr);
    expectInvalid("OpenDeviceForNati null");
    EXPECT_TRUE(engine->CloseDevice(nullptr));
    expectInvalid("CloseDevice null");
    char* buf = new char[4];
    engine->FreeBuffer(&buf);
    EXPECT_EQ(buf, nullptr);
    engine->FreeBuffer(nullptr);
}

TEST(EngineRouting, UnknownTransportKindFailsWithoutTouchingTheError) {
    auto t = std::make_unique<ScriptedTransport>();
    ScriptedTransport* transport = t.get();
    qv::CQVScan engine(nullptr, std::move(t), nullptr);
    T_DevicesInfo record;
    qv::InitDeviceRecord(&record);
    record.transportKind = 3;
    qv::SetLastErrorCode(qv::kErrNotHex);
    char out[16];
    int32_t len = sizeof out;
    EXPECT_EQ(engine.OpenDeviceForNati(&record), nullptr);
    EXPECT_FALSE(engine.Write(&record, "A", 1, false));
    EXPECT_EQ(engine.ReadTransport(&record, out, sizeof out, 10), 0);
    EXPECT_FALSE(engine.GetCommandResponse(&record, "A", 1, out, &len, 10, true));
    EXPECT_EQ(engine.SendCommand(&record, "A", 1), 0);
    T_DevicesInfo* p = &record;
    EXPECT_FALSE(engine.CloseDevice(&p));
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    EXPECT_TRUE(transport->writes().empty());
    // A kind whose transport this engine does not have (USB here) fails the same way.
    record.transportKind = qv::kTransportUsb;
    EXPECT_EQ(engine.OpenDeviceForNati(&record), nullptr);
}
