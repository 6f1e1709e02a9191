// Separating response frames from barcode data, chunk by chunk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/stream_splitter.h"

namespace {

const std::string kPrefix("\x02\x01" "0000", 6);

std::string Frame(const std::string& body, char status = '\x06') {
    return kPrefix + "@" + body + std::string(1, status) + ";\x03";
}

struct Splitter {
    qv::SplitterState st;
    qv::ByteQueue code;
    qv::ByteQueue response;

    void Feed(const std::string& chunk, size_t cap = 0xA00000) {
        qv::FrameRange r = qv::SplitChunk(st, chunk.data(), chunk.size());
        qv::RouteChunk(chunk.data(), chunk.size(), r, code, response, cap);
    }
    static std::string Take(qv::ByteQueue& q) {
        std::string s(q.size(), '\0');
        q.pop(s.data(), s.size());
        return s;
    }
    std::string Code() { return Take(code); }
    std::string Response() { return Take(response); }
};

}  // namespace

TEST(Splitter, CodeDataWithoutFramesGoesToTheCodeQueue) {
    Splitter s;
    s.Feed("BC7-00000001\r\n");
    s.Feed("BC7-00000002\r\n");
    EXPECT_EQ(s.Code(), "BC7-00000001\r\nBC7-00000002\r\n");
    EXPECT_EQ(s.Response(), "");
    EXPECT_FALSE(s.st.inFrame);
}

TEST(Splitter, CodeBeforeAndAfterAFrameStaysInOrder) {
    Splitter s;
    const std::string frame = Frame("QRYSYSQuorvia");
    s.Feed("before" + frame + "after");
    EXPECT_EQ(s.Code(), "beforeafter");
    EXPECT_EQ(s.Response(), frame);
    EXPECT_FALSE(s.st.inFrame);
}

TEST(Splitter, FrameAcrossManyChunks) {
    Splitter s;
    const std::string frame = Frame("IMGGWH640480");
    for (char c : frame) s.Feed(std::string(1, c));
    // The prefix was split, so it is not a frame start: all bytes are code data.
    EXPECT_EQ(s.Response(), "");
    EXPECT_EQ(s.Code(), frame);

    Splitter t;
    t.Feed(frame.substr(0, 8));
    t.Feed(frame.substr(8, 3));
    t.Feed(frame.substr(11));
    EXPECT_EQ(t.Response(), frame);
    EXPECT_EQ(t.Code(), "");
}

TEST(Splitter, PrefixCutByAChunkBoundaryIsNotAFrameStart) {
    Splitter s;
    s.Feed("xx" + kPrefix.substr(0, 3));
    s.Feed(kPrefix.substr(3) + "@ABC\x06;\x03");
    EXPECT_EQ(s.Response(), "");
    EXPECT_EQ(s.Code(), "xx" + kPrefix + "@ABC\x06;\x03");
}

TEST(Splitter, FrameCutRightAfterTheStatusByte) {
    Splitter s;
    const std::string frame = Frame("ABC");
    s.Feed(frame.substr(0, frame.size() - 2));  // ends with the status byte
    EXPECT_TRUE(s.st.pendingStatus);
    s.Feed(";\x03" "BC1\r\n");
    EXPECT_EQ(s.Response(), frame);
    EXPECT_EQ(s.Code(), "BC1\r\n");
    EXPECT_FALSE(s.st.inFrame);
}

TEST(Splitter, FrameCutRightAfterTheSemicolon) {
    Splitter s;
    const std::string frame = Frame("ABC", '\x15');
    s.Feed(frame.substr(0, frame.size() - 1));  // ends with status ';'
    EXPECT_TRUE(s.st.pendingSemicolon);
    s.Feed("\x03" "BC2\r\n");
    EXPECT_EQ(s.Response(), frame);
    EXPECT_EQ(s.Code(), "BC2\r\n");
    EXPECT_FALSE(s.st.inFrame);
}

TEST(Splitter, FrameEndArrivingOneByteAtATime) {
    Splitter s;
    const std::string frame = Frame("ABC", '\x05');
    s.Feed(frame.substr(0, frame.size() - 3));
    s.Feed("\x05");
    s.Feed(";");
    s.Feed("\x03");
    EXPECT_FALSE(s.st.inFrame);
    s.Feed("BC3\r\n");
    EXPECT_EQ(s.Response(), frame);
    EXPECT_EQ(s.Code(), "BC3\r\n");
}

TEST(Splitter, LoneStatusByteChunkFollowedBySemicolonEtx) {
    // A chunk holding only the status byte must remember it, or the frame never
    // ends and every later barcode is swallowed.
    Splitter s;
    const std::string frame = Frame("ABC");
    s.Feed(frame.substr(0, frame.size() - 3));
    s.Feed("\x06");
    EXPECT_TRUE(s.st.pendingStatus);
    s.Feed(";\x03");
    EXPECT_FALSE(s.st.inFrame);
    s.Feed("BC4\r\n");
    EXPECT_EQ(s.Response(), frame);
    EXPECT_EQ(s.Code(), "BC4\r\n");
}

TEST(Splitter, SemicolonEtxWithoutStatusDoesNotEndAFrame) {
    Splitter s;
    s.Feed(kPrefix + "@A\x16;\x03" "B;\x03");
    EXPECT_TRUE(s.st.inFrame);
    s.Feed("C\x06;\x03");
    EXPECT_FALSE(s.st.inFrame);
    EXPECT_EQ(s.Response(), kPrefix + "@A\x16;\x03" "B;\x03" "C\x06;\x03");
    EXPECT_EQ(s.Code(), "");
}

TEST(Splitter, FrameStartingRightAfterAFrameEnd) {
    // The byte right after 03 is examined: a frame that starts there is found.
    Splitter s;
    const std::string first = Frame("ONE");
    const std::string second = Frame("TWO");
    s.Feed(first.substr(0, 10));
    s.Feed(first.substr(10) + second);
    // One frame range per chunk: the range moves to the frame that starts in
    // this chunk, and the earlier frame's tail counts as code data.
    EXPECT_EQ(s.Response(), first.substr(0, 10) + second);
    EXPECT_EQ(s.Code(), first.substr(10));
    EXPECT_FALSE(s.st.inFrame);
}

TEST(Splitter, SecondFrameInOneChunkMovesTheRange) {
    Splitter s;
    const std::string first = Frame("ONE");
    const std::string second = Frame("TWO");
    s.Feed("a" + first + "b" + second + "c");
    EXPECT_EQ(s.Response(), second);
    EXPECT_EQ(s.Code(), "a" + first + "b" + "c");
}

TEST(Splitter, FrameEndAtChunkStartThenAnotherFrameStarts) {
    // After an end found in the first bytes of a chunk, scanning goes on.
    Splitter s;
    const std::string first = Frame("ONE");
    const std::string second = Frame("TWO");
    s.Feed(first.substr(0, first.size() - 2));     // pendingStatus
    s.Feed(";\x03" + second.substr(0, 9));          // ends first, starts second
    EXPECT_TRUE(s.st.inFrame);
    s.Feed(second.substr(9));
    EXPECT_FALSE(s.st.inFrame);
    EXPECT_EQ(s.Response(), first.substr(0, first.size() - 2) + second);
    EXPECT_EQ(s.Code(), ";\x03");

    Splitter t;
    t.Feed(first.substr(0, first.size() - 1));     // pendingSemicolon
    t.Feed("\x03" "x" + second + "y");
    EXPECT_EQ(t.Response(), first.substr(0, first.size() - 1) + second);
    EXPECT_EQ(t.Code(), "\x03" "xy");
}

TEST(Splitter, RawModeSendsEverythingToTheResponse) {
    Splitter s;
    s.st.rawMode = true;
    s.Feed("BC\x02\x01 raw image bytes");
    EXPECT_EQ(s.Response(), "BC\x02\x01 raw image bytes");
    EXPECT_EQ(s.Code(), "");
}

TEST(Splitter, QueueAboveItsCapIsEmptiedBeforeAppending) {
    Splitter s;
    s.Feed("0123456789", 8);
    s.Feed("abc", 8);  // the code queue holds 10 > 8: emptied first
    EXPECT_EQ(s.Code(), "abc");
    s.Feed(Frame("LONGLONGLONG"), 8);
    s.Feed(Frame("X"), 8);
    EXPECT_EQ(s.Response(), Frame("X"));
}

TEST(Splitter, BinaryBytesAndZerosPassThroughUnchanged) {
    Splitter s;
    std::string data;
    for (int i = 0; i < 256; ++i) {
        if (i == 0x02) continue;  // keeps any prefix out of the data
        data.push_back(static_cast<char>(i));
    }
    s.Feed(data);
    EXPECT_EQ(s.Code(), data);
}

TEST(ByteQueue, BulkAppendAndPopKeepOrderAcrossCompaction) {
    qv::ByteQueue q;
    std::string expected;
    char out[700];
    for (int round = 0; round < 50; ++round) {
        std::string piece(997, static_cast<char>('a' + round % 26));
        q.append(piece.data(), piece.size());
        expected += piece;
        size_t n = q.pop(out, sizeof out);
        ASSERT_EQ(std::string(out, n), expected.substr(0, n));
        expected.erase(0, n);
        ASSERT_EQ(q.size(), expected.size());
    }
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.pop(out, sizeof out), 0u);
}

// The splitter against a byte-by-byte transliteration of the rules, on random
// streams rich in the bytes that matter, cut into random chunks.
#include <random>

#include "splitter_reference.h"

namespace {

std::string RandomStream(std::mt19937& rng, size_t approxSize) {
    static const char kAlphabet[] = {'A', 'B', ';', '\x03', '\x05', '\x06', '\x15', '\x16', '\x02', '\x01', '0', '@'};
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> letter(0, sizeof kAlphabet - 1);
    std::uniform_int_distribution<int> len(0, 12);
    std::string s;
    while (s.size() < approxSize) {
        switch (kind(rng)) {
            case 0: s += "BC7-00000001\r\n"; break;
            case 1:
            case 2: {  // a well-formed frame with a random body
                std::string body;
                for (int i = len(rng); i > 0; --i) body.push_back(kAlphabet[letter(rng)]);
                const char status[] = {'\x05', '\x06', '\x15'};
                s += kPrefix + "@" + body + status[len(rng) % 3] + ";\x03";
                break;
            }
            case 3: s += kPrefix; break;                     // a start without an end
            case 4: s += "\x06;\x03"; break;                // an end without a start
            case 5: s += ";\x03"; break;
            case 6: s += kPrefix.substr(0, 1 + len(rng) % 5); break;  // part of a prefix
            default:
                for (int i = len(rng); i > 0; --i) s.push_back(kAlphabet[letter(rng)]);
        }
    }
    return s;
}

}  // namespace

TEST(Splitter, AgreesWithTheByteByByteRulesOnRandomStreams) {
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> small(1, 24);
    std::uniform_int_distribution<int> large(1, 600);
    std::uniform_int_distribution<int> pick(0, 3);
    for (int round = 0; round < 3000; ++round) {
        const std::string stream = RandomStream(rng, 400);
        qv::SplitterState fast;
        qv::SplitterState ref;
        size_t off = 0;
        while (off < stream.size()) {
            const size_t want = static_cast<size_t>(pick(rng) == 0 ? large(rng) : small(rng));
            const size_t n = std::min(want, stream.size() - off);
            const char* chunk = stream.data() + off;
            const qv::FrameRange a = qv::SplitChunk(fast, chunk, n);
            const qv::FrameRange b = qvtest::ReferenceSplitChunk(ref, chunk, n);
            ASSERT_EQ(a.start, b.start) << "round " << round << " offset " << off << " n " << n;
            ASSERT_EQ(a.end, b.end) << "round " << round << " offset " << off << " n " << n;
            ASSERT_EQ(fast.inFrame, ref.inFrame) << "round " << round << " offset " << off;
            ASSERT_EQ(fast.pendingSemicolon, ref.pendingSemicolon) << "round " << round << " offset " << off;
            ASSERT_EQ(fast.pendingStatus, ref.pendingStatus) << "round " << round << " offset " << off;
            off += n;
        }
    }
}
