// The receive ring of the port stream: order, wrap-around, the capacity limit
// and the data-available event.
#include "portstream/data_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Sequence(size_t n, uint8_t first) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

Bytes PopAll(qv::DataBuffer& buf, uint32_t len) {
    Bytes out(len);
    out.resize(buf.Pop(out.data(), len));
    return out;
}

TEST(DataBuffer, KeepsOrderAcrossWrapAround) {
    qv::DataBuffer buf(8);
    ASSERT_EQ(buf.Capacity(), 8u);
    ASSERT_TRUE(buf.Push(Sequence(6, 1).data(), 6));
    EXPECT_EQ(PopAll(buf, 4), Sequence(4, 1));
    // Write index 6: two bytes fit at the end, three go to the start.
    ASSERT_TRUE(buf.Push(Sequence(5, 7).data(), 5));
    EXPECT_EQ(buf.Count(), 7u);
    // Read index 4: a pop across the end of the ring.
    EXPECT_EQ(PopAll(buf, 3), Bytes({5, 6, 7}));
    EXPECT_EQ(PopAll(buf, 100), Bytes({8, 9, 10, 11}));
    EXPECT_EQ(buf.Count(), 0u);
}

TEST(DataBuffer, ManyRoundsThroughASmallRingStayInOrder) {
    qv::DataBuffer buf(13);
    uint8_t next = 0;
    uint8_t expect = 0;
    for (int round = 0; round < 200; ++round) {
        const uint32_t in = 1 + round % 6;  // never more than 10 bytes buffered
        Bytes chunk(in);
        for (auto& b : chunk) b = next++;
        ASSERT_TRUE(buf.Push(chunk.data(), in));
        Bytes out = PopAll(buf, 1 + (round * 5) % 8);
        for (uint8_t b : out) ASSERT_EQ(b, expect++);
    }
    for (uint8_t b : PopAll(buf, 13)) ASSERT_EQ(b, expect++);
    EXPECT_EQ(expect, next);
}

TEST(DataBuffer, PushThatWouldOverflowIsDroppedWholeAndExactFillIsAccepted) {
    qv::DataBuffer buf(8);
    ASSERT_TRUE(buf.Push("abcde", 5));
    EXPECT_FALSE(buf.Push("fghi", 4));  // 9 > 8: nothing of it is kept
    EXPECT_EQ(buf.Count(), 5u);
    EXPECT_TRUE(buf.Push("fgh", 3));    // exactly full
    EXPECT_EQ(buf.Count(), 8u);
    EXPECT_FALSE(buf.Push("i", 1));
    Bytes out = PopAll(buf, 8);
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcdefgh");
}

TEST(DataBuffer, FourMebibyteLimit) {
    qv::DataBuffer buf;
    ASSERT_EQ(buf.Capacity(), 4194304u);
    Bytes big(4194304 - 10);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(buf.Push(big.data(), static_cast<uint32_t>(big.size())));
    const Bytes tail = Sequence(11, 200);
    EXPECT_FALSE(buf.Push(tail.data(), 11));
    EXPECT_EQ(buf.Count(), big.size());
    EXPECT_TRUE(buf.Push(tail.data(), 10));
    EXPECT_EQ(buf.Count(), 4194304u);

    Bytes out(4194304);
    ASSERT_EQ(buf.Pop(out.data(), 4194304), 4194304u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), out.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 10, out.begin() + big.size()));
}

TEST(DataBuffer, ZeroLengthPushChangesNothing) {
    qv::DataBuffer buf(8);
    EXPECT_TRUE(buf.Push(nullptr, 0));
    EXPECT_TRUE(buf.Push("x", 0));
    EXPECT_EQ(buf.Count(), 0u);
    EXPECT_FALSE(buf.Signalled());
    EXPECT_FALSE(buf.Push(nullptr, 3));  // bytes announced but none given
    EXPECT_EQ(buf.Count(), 0u);
}

TEST(DataBuffer, EventFollowsTheCount) {
    qv::DataBuffer buf(16);
    EXPECT_FALSE(buf.Signalled());
    EXPECT_FALSE(buf.WaitForData(0));
    ASSERT_TRUE(buf.Push("abc", 3));
    EXPECT_TRUE(buf.Signalled());
    EXPECT_TRUE(buf.WaitForData(0));
    PopAll(buf, 2);
    EXPECT_TRUE(buf.Signalled());  // one byte left
    PopAll(buf, 2);
    EXPECT_FALSE(buf.Signalled());

    ASSERT_TRUE(buf.Push("abc", 3));
    EXPECT_EQ(buf.Clear(), 3u);
    EXPECT_FALSE(buf.Signalled());
    EXPECT_EQ(buf.Clear(), 0u);

    // A wake-up without data stays set until a pop finds the ring empty.
    buf.Signal();
    EXPECT_TRUE(buf.WaitForData(0));
    EXPECT_EQ(PopAll(buf, 4).size(), 0u);
    EXPECT_FALSE(buf.Signalled());
}

TEST(DataBuffer, WaitHonoursItsTimeAndWakesOnPush) {
    qv::DataBuffer buf(16);
    auto start = Clock::now();
    EXPECT_FALSE(buf.WaitForData(120));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));

    std::thread producer([&buf] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        buf.Push("z", 1);
    });
    EXPECT_TRUE(buf.WaitForData(30000));
    EXPECT_EQ(PopAll(buf, 4), Bytes({'z'}));
    producer.join();

    std::thread waker([&buf] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        buf.Signal();
    });
    EXPECT_TRUE(buf.WaitForData(-1));  // no limit: only the signal ends it
    waker.join();
}

TEST(DataBuffer, ConcurrentProducerAndConsumerLoseNothing) {
    qv::DataBuffer buf(4096);
    constexpr uint32_t kTotal = 2'000'000;
    std::atomic<bool> rejected{false};
    std::thread producer([&buf, &rejected] {
        uint32_t sent = 0;
        uint8_t chunk[777];
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(sizeof chunk, kTotal - sent);
            for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) % 251);
            // Only this thread adds bytes, so the free space seen here can only grow.
            while (buf.Capacity() - buf.Count() < n) std::this_thread::yield();
            if (!buf.Push(chunk, n)) {
                rejected = true;
                return;
            }
            sent += n;
        }
    });
    uint32_t got = 0;
    uint8_t out[1000];
    bool inOrder = true;
    while (got < kTotal && inOrder && !rejected) {
        buf.WaitForData(1000);
        const uint32_t n = buf.Pop(out, sizeof out);
        for (uint32_t i = 0; i < n; ++i) {
            if (out[i] != static_cast<uint8_t>((got + i) % 251)) inOrder = false;
        }
        got += n;
    }
    producer.join();
    EXPECT_FALSE(rejected);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(got, kTotal);
}

}  // namespace
