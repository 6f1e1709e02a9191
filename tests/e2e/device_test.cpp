// Open, close, status, writes, commands and reads through the built library
// against simulated scanners.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e_helpers.h"
#include "quorvia.h"

using qvtest::SimDevices;

namespace {

std::string Hex(const std::string& bytes) { return sim_hex(bytes); }

std::string LastFrame(SimProcess& sim, int com) {
    std::string r = sim.command("last " + std::to_string(com));
    return r.size() > 3 ? r.substr(3) : std::string();
}

// The simulator reads what the library wrote on its own time: wait until the
// last frame it saw is the expected one.
::testing::AssertionResult SawFrame(SimProcess& sim, int com, const std::string& expectedHex) {
    std::string last;
    if (qvtest::WaitFor([&] { return (last = LastFrame(sim, com)) == expectedHex; }, 3000)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "last frame " << last << ", expected " << expectedHex;
}

uint64_t FramesSeen(SimProcess& sim, int com) {
    SimProcess::Stats st;
    return sim.stats(com, st) ? st.frames : ~0ull;
}

}  // namespace

TEST(Devices, OpenTwiceGivesOneHandleAndCloseNullsTheVariable) {
    EXPECT_EQ(qv_GetDevStatus(nullptr), 2);
    int never = 0;
    EXPECT_EQ(qv_GetDevStatus(&never), 16);

    SimDevices d({{.com = 21}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qv_GetDevStatus(h), 0);
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), h);
    EXPECT_TRUE(qv_DeviceIsOpenByHandle(h));
    EXPECT_TRUE(qv_DeviceIsOpenByList(d.list(), 0));
    auto* record = static_cast<T_DevicesInfo*>(h);
    EXPECT_EQ(record->isAsynRead, 1);
    EXPECT_EQ(record->socket, -1);
    EXPECT_NE(record->pScan, nullptr);
    EXPECT_NE(record->pOpenStream, nullptr);
    EXPECT_EQ(d.list()[0].pOpenStream, record->pOpenStream);

    void* copy = h;
    ASSERT_TRUE(qv_CloseDevice(&h));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(qv_GetDevStatus(copy), 2);
    EXPECT_EQ(d.list()[0].pOpenStream, nullptr);
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
    EXPECT_FALSE(qv_CloseDevice(&h));  // the variable holds null
    // Closing a handle that is no longer open changes nothing and succeeds.
    EXPECT_TRUE(qv_CloseDeviceForNati(&copy));

    // The port is free again.
    h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, FailedOpenIsRecordedUnderTheNullHandle) {
    SimDevices d({{.com = 22}});
    ASSERT_EQ(d.count(), 1);
    ASSERT_EQ(d.sim().command("hold 22"), "OK");
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Open com device failed");
    EXPECT_EQ(qv_GetDevStatus(nullptr), 1);
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 0));
    ASSERT_EQ(d.sim().command("release 22"), "OK");
    // A failed open left no engine behind: the next open registers normally.
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(qv_DeviceIsOpenByList(d.list(), 0));
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), h);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, CallerRecordOpenAndItsOwnIndexKey) {
    SimDevices d({{.com = 23, .options = "id=Caller Record"}});
    ASSERT_EQ(d.count(), 1);
    T_DevicesInfo mine = d.list()[0];
    void* h = qv_OpenDeviceForNati(&mine, 500, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mine.pOpenStream, static_cast<T_DevicesInfo*>(h)->pOpenStream);
    EXPECT_EQ(qv_OpenDeviceForNati(&mine, 500, 0), h);
    T_DevInfo info{};
    ASSERT_TRUE(qv_GetDeviceInfoByHandle(h, &info));
    EXPECT_STREQ(info.devInfo, "Caller Record");
    // The port is taken: opening the list entry fails, and the list is untouched.
    EXPECT_EQ(qv_OpenDevice(d.list(), 0, 0), nullptr);
    EXPECT_EQ(d.list()[0].pOpenStream, nullptr);
    // Closed through either close: the list entry is never written.
    EXPECT_TRUE(qv_CloseDevice(&h));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(d.list()[0].pOpenStream, nullptr);
    // A stale stream pointer in the caller's record is ignored by the next open.
    h = qv_OpenDeviceForNati(&mine, 500, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(qv_CloseDeviceForNati(&h));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(qv_OpenDeviceForNati(nullptr, 1, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Invalid input parameters");
}

TEST(Devices, StatusFollowsTheOperations) {
    SimDevices d({{.com = 24}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(qv_Write(h, "BEEPON", 6, true));
    EXPECT_EQ(qv_GetDevStatus(h), 7);
    char buf[64];
    EXPECT_GT(qv_Read(h, buf, sizeof buf, 1000), 0);
    EXPECT_EQ(qv_GetDevStatus(h), 9);
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    EXPECT_EQ(qv_GetDevStatus(h), 7);
    int32_t len = 0;
    std::vector<char> code(0x100000);
    EXPECT_TRUE(qv_GetCodeData(h, code.data(), &len, 100));
    EXPECT_EQ(qv_GetDevStatus(h), 9);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, WriteRefusesImageTransfersButNotQueries) {
    SimDevices d({{.com = 25}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    SimProcess& sim = d.sim();

    const uint64_t before = FramesSeen(sim, 25);
    EXPECT_FALSE(qv_Write(h, "IMGGET", 6, false));
    EXPECT_STREQ(qv_GetLastError(), "IMGGET and IMGTGT is not support");
    EXPECT_FALSE(qv_Write(h, "IMGGET0T0R0F", 12, true));
    EXPECT_FALSE(qv_Write(h, "IMGTGT", 7, true));  // the zero byte ends the text at 6
    EXPECT_TRUE(qv_Write(h, "IMGGET*", 7, true));
    EXPECT_TRUE(SawFrame(sim, 25, Hex(sim_command_frame("IMGGET*"))));
    EXPECT_EQ(FramesSeen(sim, 25), before + 1);  // the refused writes never reached the device
    EXPECT_TRUE(qv_Write(h, "IMGTGT^", 7, true));
    EXPECT_TRUE(qv_Write(h, "imgget", 6, true));  // the test is case-sensitive
    EXPECT_TRUE(SawFrame(sim, 25, Hex(sim_command_frame("imgget"))));
    EXPECT_STREQ(qv_GetLastError(), "");

    // qv_SendCommand looks anywhere in the text, in any letter case.
    EXPECT_EQ(qv_SendCommand(h, "imgget", 6), 2);
    EXPECT_STREQ(qv_GetLastError(), "IMGGET and IMGTGT is not support");
    EXPECT_EQ(qv_SendCommand(h, "AB;IMGTGT1", 10), 2);
    EXPECT_TRUE(SawFrame(sim, 25, Hex(sim_command_frame("imgget"))));
    EXPECT_EQ(qv_SendCommand(h, "IMGGET^", 7), 1);
    EXPECT_TRUE(SawFrame(sim, 25, Hex(sim_command_frame("IMGGET^"))));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, CommandStatusAndHexForms) {
    SimDevices d({{.com = 26}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    SimProcess& sim = d.sim();
    ASSERT_EQ(sim.command("status 26 BADCMD nak"), "OK");
    ASSERT_EQ(sim.command("status 26 ASKCMD enq"), "OK");
    EXPECT_EQ(qv_SendCommand(h, "GOODCMD", 7), 1);
    EXPECT_EQ(qv_SendCommand(h, "BADCMD", 6), 3);
    EXPECT_EQ(qv_SendCommand(h, "ASKCMD", 6), 2);
    EXPECT_EQ(qv_SendCommand(h, "GOODCMD;BADCMD", 14), 3);
    EXPECT_STREQ(qv_GetLastError(), "");
    // The length bounds the text: only "GOODCMD" is framed.
    EXPECT_EQ(qv_SendCommand(h, "GOODCMD;BADCMD", 7), 1);
    EXPECT_TRUE(SawFrame(sim, 26, Hex(sim_command_frame("GOODCMD"))));

    EXPECT_EQ(qv_SendCommandAsHex(h, "51 52 59 53 59 53", 17), 1);
    EXPECT_TRUE(SawFrame(sim, 26, Hex(sim_command_frame("QRYSYS"))));
    EXPECT_EQ(qv_SendCommandAsHex(h, "51 5", 4), 0);
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");

    ASSERT_TRUE(qv_WriteAsHex(h, "7e 01 30 30 30 30 40 51 52 59 53 59 53 3b 03", false));
    EXPECT_TRUE(SawFrame(sim, 26, Hex(sim_command_frame("QRYSYS"))));
    ASSERT_TRUE(qv_WriteAsHex(h, "42 45 45 50", true));
    EXPECT_TRUE(SawFrame(sim, 26, Hex(sim_command_frame("BEEP"))));
    EXPECT_FALSE(qv_WriteAsHex(h, "7e 0", false));
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    EXPECT_FALSE(qv_WriteAsHex(h, "7g", false));
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    // Longer than the old 1023-byte limit: written whole.
    std::string longHex;
    for (int i = 0; i < 1500; ++i) longHex += "41 ";
    ASSERT_TRUE(qv_WriteAsHex(h, longHex.c_str(), true));
    EXPECT_TRUE(SawFrame(sim, 26, Hex(sim_command_frame(std::string(1500, 'A')))));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, CommandResponseInItsForms) {
    SimDevices d({{.com = 27, .options = "id=Responder"}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    SimProcess& sim = d.sim();
    const std::string expected = std::string("\x02\x01" "0000@QRYSYSResponder\x06;\x03");

    char buf[256];
    int32_t len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);
    EXPECT_EQ(qv_GetDevStatus(h), 7);

    // The same command as hex text, and as a complete frame sent unframed.
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "51 52 59 53 59 53", 17, buf, &len, 2000, true, true));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);
    const std::string frame = sim_command_frame("QRYSYS");
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, frame.data(), static_cast<int32_t>(frame.size()), buf, &len, 2000, false,
                                      false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);

    // An unframed probe gets its unframed answer.
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "?", 1, buf, &len, 2000, false, false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "!");

    // A scan trigger: the 16-byte frame goes out and the barcode comes back.
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "SCNTRG1", 7, buf, &len, 2000, true, false));
    EXPECT_TRUE(SawFrame(sim, 27, "7E01303030304053434E545247313B03"));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), sim_barcode_text(27, 1) + "\r\n");

    // Too small a buffer: capacity - 1 bytes and the capacity left in place.
    char small[5];
    len = sizeof small;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, small, &len, 2000, true, false));
    EXPECT_EQ(len, 5);
    EXPECT_EQ(std::string(small, 4), expected.substr(0, 4));
    EXPECT_EQ(small[4], '\0');

    // A command the scanner ignores fails after the time-out.
    ASSERT_EQ(sim.command("status 27 NOREPLY silent"), "OK");
    len = sizeof buf;
    EXPECT_FALSE(qv_GetCommandResponse(h, "NOREPLY", 7, buf, &len, 300, true, false));
    EXPECT_EQ(len, 0);
    len = sizeof buf;
    EXPECT_FALSE(qv_GetCommandResponse(h, "zz", 2, buf, &len, 300, true, true));
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, ReadsRawBytesAndCodeData) {
    SimDevices d({{.com = 28}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    SimProcess& sim = d.sim();

    char buf[256];
    EXPECT_FALSE(qv_WriteAsHex(h, "7", false));  // leaves a known error text
    EXPECT_EQ(qv_Read(h, buf, 0, 100), 0);
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    ASSERT_EQ(sim.command("emit 28 3"), "OK");
    std::string got;
    ASSERT_TRUE(qvtest::WaitFor([&] {
        int32_t n = qv_Read(h, buf, sizeof buf, 200);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return parse_sim_barcodes(got).size() == 3;
    }));
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(got), 28, 1, 3));

    ASSERT_EQ(sim.command("emit 28 2"), "OK");
    std::vector<char> code(0x100000);
    int32_t len = 0;
    std::string collected;
    ASSERT_TRUE(qvtest::WaitFor([&] {
        len = 0;
        if (!qv_GetCodeData(h, code.data(), &len, 300)) return false;
        collected.append(code.data(), static_cast<size_t>(len));
        return parse_sim_barcodes(collected).size() == 2;
    }));
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(collected), 28, 4, 2));
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, UnplugMakesReadsFailWithTheComError) {
    SimDevices d({{.com = 29}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("unplug 29"), "OK");
    char buf[64];
    int32_t n = 0;
    ASSERT_TRUE(qvtest::WaitFor([&] { return (n = qv_Read(h, buf, sizeof buf, 100)) < 0; }));
    EXPECT_EQ(n, -1);
    EXPECT_STREQ(qv_GetLastError(), "Read from com error, com push out");
    EXPECT_FALSE(qv_Write(h, "QRYSYS", 6, true));
    EXPECT_STREQ(qv_GetLastError(), "Write to com error");
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, CodeDataReadBeforeAnUnplugIsStillDelivered) {
    SimDevices d({{.com = 32}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("emit 32 3"), "OK");
    // The library's reader has taken the barcodes off the port long before
    // the scanner is pulled.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(d.sim().command("unplug 32"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<char> code(0x100000);
    int32_t len = 0;
    ASSERT_TRUE(qv_GetCodeData(h, code.data(), &len, 2000)) << qv_GetLastError();
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(std::string(code.data(), static_cast<size_t>(len))), 32, 1, 3,
                                   &why))
        << why;
    // Then the loss is reported.
    len = 0;
    EXPECT_FALSE(qv_GetCodeData(h, code.data(), &len, 2000));
    EXPECT_EQ(len, 0);
    EXPECT_STREQ(qv_GetLastError(), "Read from com error, com push out");
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, BadInputNeverCrashesAndGivesTheDocumentedResults) {
    SimDevices d({{.com = 30}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    char buf[64];
    int32_t len = sizeof buf;
    int32_t zero = 0;
    T_DevInfo info;
    T_DevicesInfo fake;
    std::memset(&fake, 0, sizeof fake);
    void* foreign = &fake;  // never a handle
    const char* invalid = "Invalid input parameters";

    for (void* bad : {static_cast<void*>(nullptr), foreign}) {
        EXPECT_FALSE(qv_Write(bad, "A", 1, true));
        EXPECT_STREQ(qv_GetLastError(), "Device is not open");
        EXPECT_FALSE(qv_WriteAsHex(bad, "41", true));
        EXPECT_STREQ(qv_GetLastError(), invalid);
        EXPECT_EQ(qv_SendCommand(bad, "A", 1), 0);
        EXPECT_STREQ(qv_GetLastError(), invalid);
        EXPECT_EQ(qv_SendCommandAsHex(bad, "41", 2), 0);
        EXPECT_FALSE(qv_GetCommandResponse(bad, "A", 1, buf, &len, 10, true, false));
        EXPECT_STREQ(qv_GetLastError(), invalid);
        EXPECT_EQ(qv_Read(bad, buf, sizeof buf, 10), 0);
        EXPECT_FALSE(qv_GetCodeData(bad, buf, &len, 10));
        EXPECT_FALSE(qv_GetDeviceInfoByHandle(bad, &info));
        EXPECT_STREQ(qv_GetLastError(), invalid);
        qv_SetListener(bad, [](void*, const char*, uint32_t) {});
        EXPECT_STREQ(qv_GetLastError(), invalid);
        EXPECT_FALSE(qv_WriteAsHex(h, "7", false));  // a different text first
        qv_StopListener(bad);
        EXPECT_STREQ(qv_GetLastError(), invalid);
        qv_SetCbDevStatusChanged(bad, [](void*, int32_t) {});
        EXPECT_STREQ(qv_GetLastError(), invalid);
    }
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(foreign));
    EXPECT_FALSE(qv_DeviceIsOpenByHandle(nullptr));
    EXPECT_STREQ(qv_GetLastError(), invalid);
    EXPECT_TRUE(qv_CloseDeviceForNati(&foreign));  // not open: nothing closed
    EXPECT_EQ(foreign, static_cast<void*>(&fake));
    EXPECT_FALSE(qv_CloseDeviceForNati(nullptr));
    EXPECT_FALSE(qv_CloseDevice(nullptr));

    // Open handle, bad arguments.
    EXPECT_FALSE(qv_Write(h, nullptr, 1, true));
    EXPECT_STREQ(qv_GetLastError(), invalid);
    EXPECT_FALSE(qv_Write(h, "A", 0, true));
    EXPECT_FALSE(qv_Write(h, "A", 100000001u, true));
    EXPECT_STREQ(qv_GetLastError(), invalid);
    EXPECT_FALSE(qv_WriteAsHex(h, nullptr, true));
    EXPECT_EQ(qv_SendCommand(h, nullptr, 1), 0);
    EXPECT_EQ(qv_SendCommand(h, "A", 0), 0);
    EXPECT_EQ(qv_SendCommand(h, "A", -5), 0);
    EXPECT_EQ(qv_SendCommandAsHex(h, "41", 0), 0);
    EXPECT_FALSE(qv_GetCommandResponse(h, "A", 1, buf, &zero, 10, true, false));
    EXPECT_FALSE(qv_GetCommandResponse(h, "A", 0, buf, &len, 10, true, false));
    EXPECT_FALSE(qv_GetCommandResponse(h, nullptr, 1, buf, &len, 10, true, false));
    EXPECT_FALSE(qv_GetCommandResponse(h, "A", 1, nullptr, &len, 10, true, false));
    EXPECT_FALSE(qv_GetCommandResponse(h, "A", 1, buf, nullptr, 10, true, false));
    EXPECT_EQ(qv_Read(h, nullptr, 10, 10), 0);
    EXPECT_EQ(qv_Read(h, buf, 100000001u, 10), 0);
    EXPECT_FALSE(qv_GetCodeData(h, nullptr, &len, 10));
    EXPECT_FALSE(qv_GetCodeData(h, buf, nullptr, 10));
    EXPECT_FALSE(qv_GetDeviceInfoByHandle(h, nullptr));
    qv_SetListener(h, nullptr);
    EXPECT_STREQ(qv_GetLastError(), invalid);
    qv_SetCbDevStatusChanged(h, nullptr);
    EXPECT_STREQ(qv_GetLastError(), invalid);

    // List exports with lists that are not the current one.
    EXPECT_EQ(qv_OpenDevice(nullptr, 0, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), invalid);
    EXPECT_EQ(qv_OpenDevice(d.list(), 1, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), invalid);
    EXPECT_EQ(qv_OpenDevice(&fake, 0, 0), nullptr);
    EXPECT_STREQ(qv_GetLastError(), "");
    EXPECT_FALSE(qv_GetDeviceInfo(&fake, 0, &info));
    EXPECT_FALSE(qv_GetDeviceInfo(d.list(), 0, nullptr));
    EXPECT_FALSE(qv_DeviceIsOpenByList(nullptr, 0));
    EXPECT_FALSE(qv_DeviceIsOpenByList(d.list(), 7));
    len = sizeof buf;
    qv_GetBaseInfo(&fake, 0, buf, &len);
    EXPECT_STREQ(qv_GetLastError(), invalid);

    // The handle still works after all of that.
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), 1);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, SplitCutAndGarbageRepliesAreSurvived) {
    SimDevices d({{.com = 31, .options = "id=Faulty"}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    SimProcess& sim = d.sim();
    const std::string expected = std::string("\x02\x01" "0000@QRYSYSFaulty\x06;\x03");
    char buf[256];

    // A reply in two pieces 100 ms apart is collected whole.
    ASSERT_EQ(sim.command("split 31 9 100"), "OK");
    int32_t len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);

    // A reply cut short fails after the time-out; the next exchange works.
    ASSERT_EQ(sim.command("cut 31 10"), "OK");
    len = sizeof buf;
    EXPECT_FALSE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 300, true, false));
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);

    // Garbage is no reply; after it the scanner is understood again.
    ASSERT_EQ(sim.command("mode 31 garbage"), "OK");
    len = sizeof buf;
    EXPECT_FALSE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 300, true, false));
    ASSERT_EQ(sim.command("mode 31 normal"), "OK");
    len = sizeof buf;
    ASSERT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, buf, &len, 2000, true, false));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), expected);
    EXPECT_TRUE(qv_CloseDevice(&h));
}

TEST(Devices, BarcodesWaitingUnreadAreNotLostToTheNextCommand) {
    // A command drops stale replies before it is written, but barcodes that
    // arrived and were not read yet are kept for the application.
    SimDevices d({{.com = 33}});
    ASSERT_EQ(d.count(), 1);
    void* h = qv_OpenDevice(d.list(), 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d.sim().command("emit 33 2"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // in the library, unread
    EXPECT_EQ(qv_SendCommand(h, "BEEPON", 6), QV_CMD_ACCEPTED);
    char reply[256];
    int32_t replyLen = sizeof reply;
    EXPECT_TRUE(qv_GetCommandResponse(h, "QRYSYS", 6, reply, &replyLen, 2000, true, false));
    EXPECT_TRUE(qv_Write(h, "BEEPON", 6, true));
    std::vector<char> code(0x100000);
    int32_t len = 0;
    ASSERT_TRUE(qv_GetCodeData(h, code.data(), &len, 1000)) << qv_GetLastError();
    std::string why;
    EXPECT_TRUE(check_sim_sequence(parse_sim_barcodes(std::string(code.data(), static_cast<size_t>(len))), 33, 1, 2,
                                   &why))
        << why;
    EXPECT_TRUE(qv_CloseDevice(&h));
}
