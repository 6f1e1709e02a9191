// quorvia-sim's boot loader logic on its own (pure code): framed commands
// with a good or bad CRC, the line speed it follows, data frames checked for
// CRC, size and zero padding, and the scripted faults.
#include <gtest/gtest.h>

#include <string>

#include "sim_loader.h"

namespace {

using qvsim::LoaderOutput;
using qvsim::LoaderScript;
using qvsim::SimLoader;

std::string Command(const std::string& text, bool spoilCrc = false) {
    std::string f = {'\x02', '\x05', static_cast<char>(text.size() >> 8), static_cast<char>(text.size())};
    f += text;
    uint32_t crc = qvsim::loader_crc32(f);
    if (spoilCrc) crc ^= 1;
    for (int shift = 24; shift >= 0; shift -= 8) f += static_cast<char>((crc >> shift) & 0xFF);
    return f;
}

// The result byte of a reply frame, checked for its own CRC.
char Result(const std::string& reply) {
    if (reply.size() < 9 || reply[0] != '\x02' || reply[1] != '\x05') return 0;
    uint32_t crc = 0;
    for (int i = 5; i < 9; ++i) crc = (crc << 8) | static_cast<uint8_t>(reply[static_cast<size_t>(i)]);
    return qvsim::loader_crc32(reply.substr(0, 5)) == crc ? reply[4] : 0;
}

std::string DataFrame(const std::string& data, size_t frameSize) {
    std::string f = "\x02" + data + std::string(frameSize - data.size(), '\0');
    const uint32_t crc = qvsim::loader_crc32(f);
    for (int shift = 24; shift >= 0; shift -= 8) f += static_cast<char>((crc >> shift) & 0xFF);
    return f;
}

struct Loader {
    LoaderScript script;
    SimLoader loader{script};
    LoaderOutput Send(const std::string& bytes, uint32_t baud = 9600) {
        return loader.feed(bytes, baud, 1, qvsim::LoaderClock::now());
    }
};

TEST(SimLoader, CommandsWithABadCrcAreRefusedAndTheSpeedIsFollowed) {
    Loader l;
    l.loader.enter(9600, false);
    EXPECT_EQ(l.Send("?").reply, "<");
    EXPECT_EQ(l.Send("?", 115200).reply, "");  // not heard at another rate
    EXPECT_EQ(Result(l.Send(Command("!DataLens:10", true)).reply), 'C');
    EXPECT_EQ(Result(l.Send(Command("!Nonsense")).reply), '9');
    const LoaderOutput comm = l.Send(Command("#COMM:115200,8,0,1"));
    EXPECT_EQ(Result(comm.reply), '0');
    ASSERT_TRUE(comm.speed.has_value());
    EXPECT_EQ(*comm.speed, 115200u);
    EXPECT_EQ(l.Send("?").reply, "");  // only 115200 now
    EXPECT_EQ(l.Send("*", 115200).reply, "*");
}

TEST(SimLoader, BlockInFramesWithPaddingCheckedAndStartValidated) {
    Loader l;
    l.loader.enter(0, false);  // no line
    const std::string data = "0123456789ABCDEFGHIJ";  // 20 bytes in 8-byte frames: 3 frames
    for (const char* c : {"!DataLens:20", "!FileType:kern", "!FrameSize:8", "!Frames:2"}) {
        EXPECT_EQ(Result(l.Send(Command(c), 0).reply), '0') << c;
    }
    EXPECT_EQ(Result(l.Send(Command(">Start"), 0).reply), '5');  // 2 frames cannot hold 20 bytes
    EXPECT_EQ(Result(l.Send(Command("!Frames:3"), 0).reply), '0');
    EXPECT_EQ(Result(l.Send(Command(">Start"), 0).reply), '0');
    EXPECT_EQ(l.Send(DataFrame(data.substr(0, 8), 8), 0).reply, "*");
    EXPECT_EQ(l.Send(DataFrame(data.substr(8, 8), 8), 0).reply, "*");
    EXPECT_EQ(l.Send(DataFrame(data.substr(16), 8), 0).reply, "**^");
    ASSERT_EQ(l.loader.blocks().size(), 1u);
    EXPECT_EQ(l.loader.blocks()[0].data, data);
    EXPECT_EQ(l.loader.blocks()[0].file_type, "kern");

    // A last frame whose padding is not zero, and a frame with a bad CRC.
    EXPECT_EQ(Result(l.Send(Command(">Start"), 0).reply), '0');
    l.Send(DataFrame(data.substr(0, 8), 8), 0);
    l.Send(DataFrame(data.substr(8, 8), 8), 0);
    std::string padded = DataFrame(data.substr(16) + "xyzw", 8);
    EXPECT_EQ(l.Send(padded, 0).reply, "P");
    EXPECT_EQ(Result(l.Send(Command(">Start"), 0).reply), '0');
    std::string bad = DataFrame(data.substr(0, 8), 8);
    bad[3] ^= 1;
    EXPECT_EQ(l.Send(bad, 0).reply, "E");
    EXPECT_EQ(l.loader.blocks().size(), 1u);
}

TEST(SimLoader, ScriptedAnswersAndExit) {
    Loader l;
    l.script.refuse["!FileType"] = {'7', 1};
    l.script.start_answers = "4";
    l.loader.enter(0, false);
    EXPECT_EQ(Result(l.Send(Command("!FileType:appl"), 0).reply), '7');
    EXPECT_EQ(Result(l.Send(Command("!FileType:appl"), 0).reply), '0');  // refused once only
    for (const char* c : {"!DataLens:4", "!FrameSize:4", "!Frames:1"}) l.Send(Command(c), 0);
    EXPECT_EQ(Result(l.Send(Command(">Start"), 0).reply), '4');
    const std::string erase = l.Send(Command(">Erase"), 0).reply;
    EXPECT_EQ(Result(erase), '0');
    EXPECT_EQ(erase.substr(9), "..;");
    EXPECT_EQ(l.Send(DataFrame("abcd", 4), 0).reply, "**^");
    const LoaderOutput exit = l.Send(Command("@Exit"), 0);
    EXPECT_EQ(Result(exit.reply), '0');
    EXPECT_TRUE(exit.exit);
    EXPECT_FALSE(l.loader.active());
}

TEST(SimLoader, SwitchFramesAreRecognisedByTheirCheckByte) {
    using namespace std::string_literals;
    const std::string update = "\x7E\x00\x00\x08~upDate~\xC6"s;
    const std::string upgrade = "\x7E\x00\x00\x09~upGrade~\xA6"s;
    const std::string block = "\x7E\x00\x00\x09~upBlock~\xBA"s;
    ASSERT_EQ(update.size(), 13u);
    EXPECT_EQ(qvsim::parse_switch_frame(update), qvsim::SwitchFrame::update);
    EXPECT_EQ(qvsim::parse_switch_frame(upgrade), qvsim::SwitchFrame::upgrade);
    EXPECT_EQ(qvsim::parse_switch_frame(block), qvsim::SwitchFrame::block);
    std::string bad = update;
    bad.back() = '\xC7';
    EXPECT_FALSE(qvsim::parse_switch_frame(bad).has_value());
}

}  // namespace
