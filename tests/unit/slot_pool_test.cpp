// The slot pool behind device records and port streams: slots are page
// aligned and zero-filled, a released slot comes back only after every other
// slot was handed out, and any access to a released slot faults. Also the
// records and streams themselves: their addresses do not come back soon.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "platform/address_space.h"
#include "portstream/qvds.h"
#include "transport/communication.h"

using qv::platform::PageSize;
using qv::platform::SlotPool;

TEST(SlotPool, SlotsArePageAlignedZeroFilledAndWritable) {
    SlotPool pool(PageSize() + 1, 64);
    EXPECT_EQ(pool.SlotSize(), 2 * PageSize());
    EXPECT_EQ(pool.SlotCount(), 0u);  // nothing reserved before the first slot
    void* a = pool.Allocate();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(pool.SlotCount(), 64u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % PageSize(), 0u);
    const auto* bytes = static_cast<const uint8_t*>(a);
    for (size_t i = 0; i < pool.SlotSize(); ++i) ASSERT_EQ(bytes[i], 0) << i;
    std::memset(a, 0xAB, pool.SlotSize());
    EXPECT_TRUE(pool.InUse(a));
    EXPECT_TRUE(pool.InUse(static_cast<uint8_t*>(a) + pool.SlotSize() - 1));
    pool.Release(a);
    EXPECT_FALSE(pool.InUse(a));
    pool.Release(a);        // twice: ignored
    pool.Release(nullptr);  // ignored
    int local = 0;
    pool.Release(&local);  // not a slot: ignored
    EXPECT_FALSE(pool.InUse(&local));
}

TEST(SlotPool, ReleasedSlotsComeBackOnlyAfterEveryOtherOneAndZeroed) {
    SlotPool pool(100, 64);
    std::vector<void*> firstRound;
    std::set<void*> seen;
    for (int i = 0; i < 64; ++i) {
        void* p = pool.Allocate();
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(seen.insert(p).second) << "slot handed out twice while in use";
        std::memset(p, 0x5A, 100);
        firstRound.push_back(p);
        // Released at once: an allocator that reuses freed memory would hand
        // the same address out next.
        pool.Release(p);
    }
    EXPECT_EQ(seen.size(), 64u);
    // The 65th allocation wraps around to the first slot, zeroed again.
    void* again = pool.Allocate();
    EXPECT_EQ(again, firstRound[0]);
    EXPECT_EQ(static_cast<uint8_t*>(again)[0], 0);

    // Slots in use are skipped; a full pool says so.
    std::vector<void*> held{again};
    for (int i = 1; i < 64; ++i) held.push_back(pool.Allocate());
    for (void* p : held) ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.Allocate(), nullptr);
    pool.Release(held[10]);
    EXPECT_EQ(pool.Allocate(), held[10]);
}

TEST(SlotPoolDeathTest, AccessToAReleasedSlotFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SlotPool pool(64, 64);
    auto* p = static_cast<volatile uint8_t*>(pool.Allocate());
    ASSERT_NE(p, nullptr);
    p[0] = 1;
    pool.Release(const_cast<uint8_t*>(p));
    EXPECT_DEATH({ p[0] = 2; }, "");
    EXPECT_DEATH({ (void)p[100]; }, "");
}

TEST(RecordsAndStreams, AddressesDoNotComeBackSoon) {
    std::set<void*> records;
    for (int i = 0; i < 200; ++i) {
        T_DevicesInfo* r = qv::NewDeviceRecord();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->socket, -1);
        EXPECT_EQ(r->isAsynRead, QV_LISTENER_IDLE);
        EXPECT_TRUE(records.insert(r).second) << "record address reused after " << i << " records";
        qv::FreeDeviceRecord(r);
    }
    std::set<void*> streams;
    for (int i = 0; i < 20; ++i) {
        QvdsStream* s = qvds_create();
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(qvds_is_live(s));
        EXPECT_TRUE(streams.insert(s).second) << "stream address reused after " << i << " streams";
        qvds_destory(s);
        EXPECT_FALSE(qvds_is_live(s));
    }
}
