// The configuration exchanges of the engine over a scripted transport: replies
// at and beyond their limits, replies that do not fit, and a device lost in
// the middle of a write.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/errors.h"
#include "engine/qvscan.h"
#include "engine/settings_text.h"
#include "scripted_engine_test.h"
#include "scripted_transport.h"
#include "test_env.h"

using qvtest::ScriptedTransport;
using namespace std::string_literals;

namespace {

const std::string kReplyHead = "\x02\x01" "0000@"s;

// Settings items "S00000<8 digits>" 06 ';' up to `size` bytes of text.
std::string SettingsText(size_t size, size_t* items) {
    std::string text;
    *items = 0;
    char item[32];
    while (text.size() + 16 <= size) {
        std::snprintf(item, sizeof item, "S%05zu%08zu\x06;", *items % 100000, *items);
        text += item;
        ++*items;
    }
    return text;
}

size_t CountCommands(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    size_t n = 0;
    for (size_t at = text.find("<Command "); at != std::string::npos; at = text.find("<Command ", at + 1)) ++n;
    return n;
}

class ConfigEngine : public qvtest::ScriptedEngineTest {
protected:
    qvtest::TempDir dir;
};

}  // namespace

TEST_F(ConfigEngine, ASettingsReplyIsReadUpToItsLimit) {
    // Exactly the limit: the whole text.
    size_t items = 0;
    std::string text = SettingsText(qv::kSettingsTextCapacity - 1, &items) + "\x03";
    transport->QueueReply({{5, kReplyHead + text.substr(0, 300000)}, {5, text.substr(300000)}});
    std::string got;
    ASSERT_TRUE(engine->QueryAllSettings(device, got));
    EXPECT_EQ(got.size(), text.size());
    EXPECT_EQ(got, text);
    EXPECT_EQ(qv::ParseSettings(got).size(), items);

    // Beyond it: the first 819200 bytes of the reply, read as a cut reply.
    text = SettingsText(2 * qv::kSettingsReplyCapacity, &items) + "\x03";
    transport->QueueReply({{5, kReplyHead + text}});
    transport->QueueReply({{5, kReplyHead + "QRYSYSProduct Name: Big\x06;\x03"}});
    transport->QueueReply({{5, kReplyHead + "DFMQCU\x15;\x03"}});
    const auto file = dir.path() / "big.xml";
    ASSERT_TRUE(engine->ReadDevConfiguration(device, file.c_str()));
    EXPECT_EQ(CountCommands(file), qv::kSettingsTextCapacity / 16);
    const std::vector<std::string> w = transport->writes();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1], "\x7E\x01" "0000@*;\x03"s);
    EXPECT_EQ(w[2], "\x7E\x01" "0000@QRYSYS;\x03"s);
    EXPECT_EQ(w[3], "\x7E\x01" "0000@DFMQCU;\x03"s);
}

TEST_F(ConfigEngine, ABatchReplyThatDoesNotFitAndADeviceLostMidWrite) {
    const auto file = dir.path() / "w.xml";
    std::ofstream(file) << "<Prazmor><Command CommandName=\"BEPVOL\" Value=\"1\"/></Prazmor>";

    // A lost device keeps the transport's text (here the one it had set).
    qv::SetLastErrorCode(qv::kErrReadCom);
    transport->FailReadsWith(-1);
    EXPECT_FALSE(engine->WriteCfgToDev(device, file.c_str()));
    EXPECT_STREQ(qv::LastErrorText(), "Read from com error, com push out");
    ASSERT_EQ(transport->writes().size(), 1u);  // no final frame after a failed batch
    transport->FailReadsWith(0);

    // A write that fails ends the transfer at once.
    transport->FailWrites(true);
    qv::SetLastErrorCode(qv::kErrWriteCom);
    EXPECT_FALSE(engine->WriteCfgToDev(device, file.c_str()));
    EXPECT_STREQ(qv::LastErrorText(), "Write to com error");
    EXPECT_FALSE(engine->ReadDevConfiguration(device, (dir.path() / "r.xml").c_str()));
    EXPECT_STREQ(qv::LastErrorText(), "Read device configuration error");
    transport->FailWrites(false);

    transport->QueueReply({{5, kReplyHead + std::string(30000, 'A') + "\x06;\x03"}});
    EXPECT_FALSE(engine->WriteCfgToDev(device, file.c_str()));
    EXPECT_STREQ(qv::LastErrorText(), "Input param len is not enough");
    EXPECT_EQ(transport->writes().size(), 2u);
}

TEST_F(ConfigEngine, ArgumentsAreCheckedFirst) {
    EXPECT_FALSE(engine->ReadDevConfiguration(nullptr, "x.xml"));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    EXPECT_FALSE(engine->ReadDevConfiguration(device, ""));
    EXPECT_FALSE(engine->WriteCfgToDev(device, nullptr));
    EXPECT_FALSE(engine->WriteCfgToDev(nullptr, "x.xml"));
    EXPECT_STREQ(qv::LastErrorText(), "Invalid input parameters");
    EXPECT_TRUE(transport->writes().empty());
}
