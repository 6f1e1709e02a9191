// The settings file: where it is, and how its integer keys and sections are read.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "portstream/settings_file.h"

namespace fs = std::filesystem;

namespace {

using qvtest::TempDir;
using EnvVar = qvtest::ScopedEnv;

std::string WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path.string();
}

TEST(SettingsPath, DerivedFromTheLibraryPath) {
    using qv::SettingsPathForLibrary;
    EXPECT_EQ(SettingsPathForLibrary("/usr/lib/libQuorvia.so"), "/usr/lib/libQuorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("/usr/lib/libQuorvia.so.1"), "/usr/lib/libQuorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("/usr/lib/libQuorvia.so.1.0.0"), "/usr/lib/libQuorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("C:/Apps/Quorvia.dll"), "C:/Apps/Quorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("libQuorvia.so"), "libQuorvia.ini");
    // No dot in the file name: ".ini" is appended, even when a directory has a dot.
    EXPECT_EQ(SettingsPathForLibrary("/opt/quorvia/bin/Quorvia"), "/opt/quorvia/bin/Quorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("/opt/q.d/Quorvia"), "/opt/q.d/Quorvia.ini");
    EXPECT_EQ(SettingsPathForLibrary("/opt/x.so.1/Quorvia"), "/opt/x.so.1/Quorvia.ini");
    // Only numbers after ".so." are a version.
    EXPECT_EQ(SettingsPathForLibrary("/l/libQuorvia.so.old"), "/l/libQuorvia.so.ini");
    EXPECT_EQ(SettingsPathForLibrary(""), "");
}

TEST(SettingsPath, EnvironmentNamesAnotherFile) {
    {
        EnvVar env("QUORVIA_SETTINGS", "/tmp/qv-elsewhere.ini");
        EXPECT_EQ(qv::SettingsFilePath(), "/tmp/qv-elsewhere.ini");
    }
    {
        // An empty value does not count: the path next to the running code is used.
        EnvVar env("QUORVIA_SETTINGS", "");
        const std::string path = qv::SettingsFilePath();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(fs::path(path).extension(), ".ini");
        EXPECT_NE(path, "/tmp/qv-elsewhere.ini");
    }
}

constexpr char kSample[] =
    "; a comment\n"
    "# another comment\n"
    "TopLevel=5\n"
    "[Main]\n"
    "detectold = 3\n"
    "SeqDetect=  12abc\n"
    "Neg=-7\n"
    "Plus=+5\n"
    "Empty=\n"
    "Word=abc\n"
    "Big=99999999999\n"
    "Twice=1\n"
    "Twice=2\n"
    "no equals sign here\n"
    "[ other ]\n"
    "DetectOld=9\n"
    "[main]\n"
    "Late=4\n";

TEST(SettingsInt, KeysIgnoreCaseAndValuesGiveTheirLeadingInteger) {
    TempDir tmp("qv_settings");
    const std::string file = WriteFile(tmp.path() / "q.ini", kSample);
    using qv::ReadSettingIntFrom;
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "DetectOld", 42), 3);
    EXPECT_EQ(ReadSettingIntFrom(file, "MAIN", "DETECTOLD", 42), 3);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "seqdetect", 42), 12);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Neg", 42), -7);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Plus", 42), 5);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Empty", 42), 0) << "present but empty";
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Word", 42), 0) << "present without a number";
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Big", 42), 2147483647);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Twice", 42), 1) << "the first one counts";
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "Late", 42), 4) << "a section may come back";
    EXPECT_EQ(ReadSettingIntFrom(file, "other", "DetectOld", 42), 9);
}

TEST(SettingsInt, MissingFileSectionOrKeyGivesTheDefault) {
    TempDir tmp("qv_settings");
    const std::string file = WriteFile(tmp.path() / "q.ini", kSample);
    using qv::ReadSettingIntFrom;
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "NoPollingRead", 42), 42);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "TopLevel", -1), -1) << "keys before any section belong to none";
    EXPECT_EQ(ReadSettingIntFrom(file, "ports", "DetectOld", 42), 42);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", "no equals sign here", 42), 42);
    EXPECT_EQ(ReadSettingIntFrom((tmp.path() / "absent.ini").string(), "main", "DetectOld", 42), 42);
    EXPECT_EQ(ReadSettingIntFrom("", "main", "DetectOld", 42), 42);
    EXPECT_EQ(ReadSettingIntFrom(file, "main", nullptr, 42), 42);
    EXPECT_EQ(ReadSettingIntFrom(file, nullptr, "DetectOld", 42), 42);
}

TEST(SettingsInt, WindowsLineEndingsAndTheEnvironmentFile) {
    TempDir tmp("qv_settings");
    const std::string file =
        WriteFile(tmp.path() / "crlf.ini", "[main]\r\nDetectOld=1\r\nSeqDetect = 1 \r\n");
    EnvVar env("QUORVIA_SETTINGS", file.c_str());
    EXPECT_EQ(qv::ReadSettingInt("main", "DetectOld", 0), 1);
    EXPECT_EQ(qv::ReadSettingInt("main", "SeqDetect", 0), 1);
    EXPECT_EQ(qv::ReadSettingInt("main", "NoPollingRead", 7), 7);
}

TEST(SettingsSection, LinesInFileOrderTrimmed) {
    TempDir tmp("qv_settings");
    const std::string file = WriteFile(tmp.path() / "q.ini",
                                       "[main]\nDetectOld=1\n[Ports]\n COM3 = /tmp/a:usbser \n"
                                       ";COM4=/tmp/commented\nCOM5=/tmp/b=c\n[other]\nCOM6=/tmp/x\n");
    const auto lines = qv::ReadSettingSectionFrom(file, "ports");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, "COM3");
    EXPECT_EQ(lines[0].second, "/tmp/a:usbser");
    EXPECT_EQ(lines[1].first, "COM5");
    EXPECT_EQ(lines[1].second, "/tmp/b=c") << "only the first '=' separates";
    EXPECT_TRUE(qv::ReadSettingSectionFrom(file, "absent").empty());
    EXPECT_TRUE(qv::ReadSettingSectionFrom((tmp.path() / "absent.ini").string(), "ports").empty());
}

}  // namespace
