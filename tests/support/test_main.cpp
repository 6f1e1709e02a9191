// Entry point of every test binary. Tests only ever enumerate the ptys they
// create: system ports are switched off before anything else runs.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
