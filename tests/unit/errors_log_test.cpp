// The error table, the last-error text, and the log facility.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <unistd.h>

#include "core/errors.h"
#include "core/log.h"
#include "quorvia.h"

namespace fs = std::filesystem;

TEST(ErrorTable, HasEveryCodeOnceInOrderWithItsText) {
    ASSERT_EQ(qv::kErrorTableRows, 58);
    EXPECT_EQ(qv::errorTable[0].code, 0);
    EXPECT_STREQ(qv::errorTable[0].text, "");
    for (int i = 1; i < qv::kErrorTableRows; ++i) {
        EXPECT_EQ(qv::errorTable[i].code, -1000 - i) << "row " << i;
        EXPECT_GT(std::strlen(qv::errorTable[i].text), 0u) << "row " << i;
        EXPECT_LT(std::strlen(qv::errorTable[i].text), sizeof qv::errorTable[i].text);
    }
    // Every text, spelling included: applications compare against them.
    const std::pair<int32_t, const char*> expected[] = {
        {-1001, "Invalid input parameters"},
        {-1002, "IMGGET and IMGTGT is not support"},
        {-1003, "Memory allocation failed"},
        {-1004, "Open com device failed"},
        {-1005, "Not hex characters"},
        {-1006, "Image with barcode location must need STImgResolution"},
        {-1007, "Image data real len greater then param len"},
        {-1008, "Color depth of a bitmap can only be 8 or 24"},
        {-1009, "Saving jpg flag only in(10,11,12,13,20,21,22,23)"},
        {-1010, "Open jpg file error"},
        {-1011, "Device type error"},
        {-1012, "Get local ip error"},
        {-1013, "Init network error"},
        {-1014, "Create udp socket error"},
        {-1015, "Create tcp socket error"},
        {-1016, "Open broadcast error"},
        {-1017, "Send udp data error"},
        {-1018, "Send tcp data error"},
        {-1019, "Recv udp data error"},
        {-1020, "Recv tcp data error"},
        {-1021, "Socket bind error"},
        {-1022, "Wait for multiple events error"},
        {-1023, "Get image param T error"},
        {-1024, "Get image param R error"},
        {-1025, "Get image param F error"},
        {-1026, "Get image param Q error"},
        {-1027, "Get image param I error"},
        {-1028, "Get image param A error"},
        {-1029, "Get image param B error"},
        {-1030, "Get image size error"},
        {-1031, "No image data"},
        {-1032, "Barcode location error"},
        {-1033, "Get image data len error"},
        {-1034, "Write to com error"},
        {-1035, "Read from com error, com push out"},
        {-1036, "Update firmware file with com error"},
        {-1037, "Open usb device failed"},
        {-1038, "Write to usb error"},
        {-1039, "Read from usb error, com push out"},
        {-1040, "Update firmware file with usb error"},
        {-1041, "Set non-blocking mode error"},
        {-1042, "Connect to server error"},
        {-1043, "Connect to server timeout"},
        {-1044, "Invalid socket"},
        {-1045, "Update firmware file with net erro"},
        {-1046, "Recv from net timeout"},
        {-1047, "Socket disconnected"},
        {-1048, "Wait for multiple events timeout"},
        {-1049, "Device is not open"},
        {-1050, "Input param len is not enough"},
        {-1051, "Save picture to the file error"},
        {-1052, "Network select error"},
        {-1053, "Connect getsockopt error"},
        {-1054, "Read device configuration error"},
        {-1055, "Instructs write to device error"},
        {-1056, "Open xml file error"},
        {-1057, "Get image data error"},
    };
    ASSERT_EQ(std::size(expected), 57u);
    for (const auto& [code, text] : expected) EXPECT_STREQ(qv::ErrorText(code), text) << code;
    EXPECT_STREQ(qv::ErrorText(0), "");
    EXPECT_EQ(qv::ErrorText(-1058), nullptr);
    EXPECT_EQ(qv::ErrorText(1), nullptr);
}

TEST(LastError, EmptyBeforeAnyCallThenFollowsTheCodes) {
    EXPECT_STREQ(qv_GetLastError(), "");
    qv::SetLastErrorCode(qv::kErrNotHex);
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    // A code that is not in the table changes nothing.
    qv::SetLastErrorCode(-999);
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    qv::SetLastErrorCode(-1058);
    EXPECT_STREQ(qv_GetLastError(), "Not hex characters");
    qv::SetLastErrorCode(qv::kOk);
    EXPECT_STREQ(qv_GetLastError(), "");
    // Table texts are published as the table's own rows, never copied.
    qv::SetLastErrorCode(qv::kErrNotOpen);
    EXPECT_EQ(qv_GetLastError(), qv::ErrorText(qv::kErrNotOpen));
}

TEST(LastError, ComposedTextIsCutSafelyAndKeptReadable) {
    qv::SetLastErrorComposed(qv::kErrWriteConfig, "[BEPPWR] instructs write to device fail");
    const char* first = qv_GetLastError();
    EXPECT_STREQ(first, "[BEPPWR] instructs write to device fail");
    std::string huge(5000, 'x');
    qv::SetLastErrorComposed(qv::kErrWriteConfig, huge.c_str());
    EXPECT_EQ(std::strlen(qv_GetLastError()), static_cast<size_t>(qv::kLastErrorCapacity - 1));
    // The earlier text was not written over.
    EXPECT_STREQ(first, "[BEPPWR] instructs write to device fail");
    // The same composed text again is the same kept text.
    qv::SetLastErrorComposed(qv::kErrWriteConfig, "[BEPPWR] instructs write to device fail");
    EXPECT_EQ(qv_GetLastError(), first);
    qv::SetLastErrorComposed(qv::kErrWriteConfig, nullptr);
    EXPECT_STREQ(qv_GetLastError(), "Instructs write to device error");
}

TEST(LastError, ComposedTextsBeyondTheLimitFallBackToTheTableText) {
    for (int i = 0; i < qv::kComposedTextLimit + 10; ++i) {
        const std::string text = "[N" + std::to_string(i) + "] instructs write to device fail";
        qv::SetLastErrorComposed(qv::kErrWriteConfig, text.c_str());
    }
    EXPECT_STREQ(qv_GetLastError(), "Instructs write to device error");
}

TEST(LastError, IsOneTextForTheWholeProcess) {
    qv::SetLastErrorCode(qv::kOk);
    std::thread([] { qv::SetLastErrorCode(qv::kErrNotOpen); }).join();
    EXPECT_STREQ(qv_GetLastError(), "Device is not open");
    std::thread([] { qv::SetLastErrorCode(qv::kOk); }).join();
    EXPECT_STREQ(qv_GetLastError(), "");
}

namespace {

qv::LocalTime fixedTime;
qv::LocalTime FixedClock() { return fixedTime; }

qv::LocalTime At(int hour, int minute, int second, int ms) {
    qv::LocalTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 7;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = ms;
    return t;
}

// Runs the test body in a fresh temporary directory (the log is relative to
// the current directory) and restores the real clock afterwards.
class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qvlogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_ = fs::current_path();
        fs::current_path(dir_);
        qv::SetLogClock(FixedClock);
    }
    void TearDown() override {
        qv::SetLogClock(nullptr);
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    static std::string Slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_;
    fs::path old_;
};

}  // namespace

TEST(LogLine, TimestampTwoSpacesMessageAndOneLineFeed) {
    auto t = At(9, 5, 3, 7);
    t.month = 12;
    t.day = 31;
    EXPECT_EQ(qv::FormatLogLine(t, "hello"), "12-31 09:05:03:007  hello\n");
    // A message that already ends with a line feed gets no second one.
    EXPECT_EQ(qv::FormatLogLine(t, "qv_GetPicSize 12 begin\n"), "12-31 09:05:03:007  qv_GetPicSize 12 begin\n");
    EXPECT_EQ(qv::FormatLogLine(t, ""), "12-31 09:05:03:007  \n");
    EXPECT_EQ(qv::LogFileName(At(0, 0, 0, 0)), "Quorvia_2026030700.log");
}

TEST_F(LogFiles, LinesLandInTheFileOfTheirHour) {
    fixedTime = At(10, 59, 59, 999);
    qv::WriteLog(qv::kLogFile, "%s %d begin\n", "first", 1);
    fixedTime = At(11, 0, 0, 0);
    qv::WriteLog(qv::kLogFile, "second %s", "line");
    qv::WriteLog(7, "unknown mode goes to the file");  // any other mode is a file line

    const std::string a = Slurp("QuorviaLog/Quorvia_2026030710.log");
    const std::string b = Slurp("QuorviaLog/Quorvia_2026030711.log");
    EXPECT_EQ(a, "03-07 10:59:59:999  first 1 begin\n");
    EXPECT_EQ(b,
              "03-07 11:00:00:000  second line\n"
              "03-07 11:00:00:000  unknown mode goes to the file\n");
    size_t files = 0;
    for (auto& e : fs::directory_iterator("QuorviaLog")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2u);
}

TEST_F(LogFiles, ModesChooseConsoleFileOrBoth) {
    fixedTime = At(8, 0, 0, 0);
    testing::internal::CaptureStdout();
    qv::WriteLog(qv::kLogConsole, "T_DevicesInfo size = %d", 6720);
    qv::WriteLog(qv::kLogBoth, "CloseDevice");
    qv::WriteLog(qv::kLogFile, "file only");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "03-07 08:00:00:000  T_DevicesInfo size = 6720\n03-07 08:00:00:000  CloseDevice\n");
    EXPECT_EQ(Slurp("QuorviaLog/Quorvia_2026030708.log"),
              "03-07 08:00:00:000  CloseDevice\n03-07 08:00:00:000  file only\n");
}

TEST_F(LogFiles, LongMessagesAreNotCut) {
    fixedTime = At(8, 0, 0, 0);
    const std::string big(100000, 'y');
    qv::WriteLog(qv::kLogFile, "%s", big.c_str());
    EXPECT_EQ(Slurp("QuorviaLog/Quorvia_2026030708.log"), "03-07 08:00:00:000  " + big + "\n");
}

TEST_F(LogFiles, LogDirectoryThatIsAFileDropsFileLinesButKeepsConsole) {
    fixedTime = At(8, 0, 0, 0);
    { std::ofstream("QuorviaLog") << "not a directory"; }
    testing::internal::CaptureStdout();
    qv::WriteLog(qv::kLogBoth, "%s %d AsynRead quit\n", "qv_StopListener", 42);
    qv::WriteLog(qv::kLogFile, "dropped");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "03-07 08:00:00:000  qv_StopListener 42 AsynRead quit\n");
    EXPECT_TRUE(fs::is_regular_file("QuorviaLog"));
    EXPECT_EQ(Slurp("QuorviaLog"), "not a directory");
}

TEST_F(LogFiles, ConcurrentWritersNeverInterleaveWithinALine) {
    fixedTime = At(8, 0, 0, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) qv::WriteLog(qv::kLogFile, "writer %d line %03d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    std::ifstream in("QuorviaLog/Quorvia_2026030708.log");
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.rfind("03-07 08:00:00:000  writer ", 0), 0u) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), 800u);
}
