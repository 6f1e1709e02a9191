// Entry point of every test binary. Tests only ever enumerate the ptys they
// create: system ports are switched off before anything else runs. Each test
// program runs in a network namespace of its own (see net_namespace.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net_namespace.h"

int main(int argc, char** argv) {
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    std::string why;
    if (!qvtest::EnterPrivateNetwork(&why)) {
        std::fprintf(stderr,
                     "note: no network namespace of its own (%s); tests that send run only where every "
                     "address is a loopback one\n",
                     why.c_str());
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
