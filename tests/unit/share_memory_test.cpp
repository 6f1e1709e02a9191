// The ShareMemory table: slots taken and freed, a full table, the slots of
// ended processes, the clearing of the whole table, and two processes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/shared_memory.h"
#include "portstream/share_memory.h"
#include "test_env.h"

using namespace qv;

namespace {

// A table of this test's own.
class ShareMemoryTest : public ::testing::Test {
protected:
    ShareMemoryTest()
        : name_("QuorviaShareTest-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()),
          env_("QUORVIA_SHARE_MEMORY", name_) {}
    ~ShareMemoryTest() override { platform::RemoveSharedMemory(name_); }

    // The raw bytes, as another process sees them.
    std::string Raw() {
        auto m = platform::OpenSharedMemory(name_, kShareMemorySize);
        if (!m) return std::string();
        return std::string(reinterpret_cast<const char*>(m->data()), kShareMemorySize);
    }

    const std::string name_;
    qvtest::ScopedEnv env_;
};

}  // namespace

TEST_F(ShareMemoryTest, NothingIsHeldBeforeTheTableExists) {
    EXPECT_FALSE(ShareMemoryHolds("SN1"));
    qvds_clear_share_memory();  // no table: nothing happens, nothing is created
    EXPECT_EQ(Raw(), "");
}

TEST_F(ShareMemoryTest, SlotsAreTakenInOrderAndFreedByTheirOwner) {
    EXPECT_EQ(ShareMemoryRegister("SN1"), 0);
    EXPECT_EQ(ShareMemoryRegister("SN2"), 1);
    EXPECT_TRUE(ShareMemoryHolds("SN1"));
    EXPECT_TRUE(ShareMemoryHolds("SN2"));
    EXPECT_FALSE(ShareMemoryHolds("SN"));
    EXPECT_FALSE(ShareMemoryHolds(""));
    const std::string raw = Raw();
    ASSERT_EQ(raw.size(), 2560u);
    EXPECT_EQ(std::string(raw.c_str()), "SN1") << "slot 0 is a zero-terminated text";
    EXPECT_EQ(std::string(raw.c_str() + 256), "SN2");
    EXPECT_EQ(raw.substr(252, 4), "QVPI");
    uint32_t pid = 0;
    std::memcpy(&pid, raw.data() + 248, 4);
    EXPECT_EQ(pid, static_cast<uint32_t>(getpid()));

    ShareMemoryRelease(0, "SN2");  // not what slot 0 holds: nothing happens
    EXPECT_TRUE(ShareMemoryHolds("SN1"));
    ShareMemoryRelease(0, "SN1");
    EXPECT_FALSE(ShareMemoryHolds("SN1"));
    EXPECT_EQ(Raw().substr(0, 256), std::string(256, '\0'));
    EXPECT_EQ(ShareMemoryRegister("SN3"), 0) << "the first free slot is taken";
    EXPECT_EQ(ShareMemoryRegister(""), -1);
    EXPECT_EQ(ShareMemoryRegister(std::string(248, 'x')), -1) << "does not fit a slot with its zero and owner";
    EXPECT_EQ(ShareMemoryRegister(std::string(247, 'x')), 2);
}

TEST_F(ShareMemoryTest, AFullTableRecordsNothing) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ShareMemoryRegister("SN" + std::to_string(i)), i);
    EXPECT_EQ(ShareMemoryRegister("SN10"), -1);
    EXPECT_FALSE(ShareMemoryHolds("SN10"));
    EXPECT_TRUE(ShareMemoryHolds("SN9"));
}

TEST_F(ShareMemoryTest, ClearingEmptiesEveryProcessesSlots) {
    ASSERT_EQ(ShareMemoryRegister("SN1"), 0);
    qvds_clear_share_memory();
    EXPECT_EQ(Raw(), std::string(2560, '\0'));
    EXPECT_FALSE(ShareMemoryHolds("SN1"));
}

TEST_F(ShareMemoryTest, SlotsOfEndedProcessesAreFree) {
    // A child takes a slot and ends without freeing it.
    const pid_t child = fork();
    if (child == 0) _exit(ShareMemoryRegister("CRASHED") == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::string(Raw().c_str()), "CRASHED");
    EXPECT_FALSE(ShareMemoryHolds("CRASHED")) << "its writer has ended";
    EXPECT_EQ(ShareMemoryRegister("SN1"), 0) << "its slot counts as free";

    // A slot written without an owner (another writer of the same table) is
    // taken as held: there is no telling whether its writer still runs.
    auto m = platform::OpenSharedMemory(name_, kShareMemorySize);
    ASSERT_TRUE(m);
    std::memcpy(m->data() + 256, "FOREIGN", 8);
    EXPECT_TRUE(ShareMemoryHolds("FOREIGN"));
    EXPECT_EQ(ShareMemoryRegister("SN2"), 2);
    // A slot without its zero is read as its 256 bytes, never further.
    std::memset(m->data() + 3 * 256, 'z', 256);
    EXPECT_TRUE(ShareMemoryHolds(std::string(256, 'z')));
}

TEST_F(ShareMemoryTest, TwoProcessesSeeEachOthersSlots) {
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    if (child == 0) {
        char c = 0;
        const bool ok = ShareMemoryRegister("CHILD") == 0;
        (void)!write(toParent[1], ok ? "1" : "0", 1);
        (void)!read(toChild[0], &c, 1);  // the parent looked
        _exit(ShareMemoryHolds("PARENT") ? 0 : 2);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    EXPECT_TRUE(ShareMemoryHolds("CHILD"));
    EXPECT_EQ(ShareMemoryRegister("PARENT"), 1);
    ShareMemoryRelease(0, "CHILD");  // not ours: stays
    EXPECT_TRUE(ShareMemoryHolds("CHILD"));
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw the parent's slot";
    EXPECT_FALSE(ShareMemoryHolds("CHILD")) << "the child has ended";
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}
