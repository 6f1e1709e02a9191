// Entry point of the test programs that use fake USB devices: they run under
// umockdev's preload (restarted under it when started without), and only ever
// enumerate the ptys and fake devices they create.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fake_usb.h"

namespace {

std::string g_shareName;

void RemoveShareMemory() { shm_unlink(("/" + g_shareName).c_str()); }

}  // namespace

// ThreadSanitizer: umockdev runs its fake devices on a GLib worker thread in
// this process, and GLib, GIO and umockdev's preload are not instrumented:
// their locking is invisible, so every hand-over between that thread and ours
// (descriptors the worker accepts or the preload looks at, memory from GLib's
// allocator) reads as a race. Only those libraries are silenced; a race with
// no frame of theirs is still reported. libudev is not instrumented either:
// the hot-plug and arrival monitors call it on threads of their own while the
// test adds and removes devices, and its descriptors (and its random hash
// seed) are invisible to ThreadSanitizer. A directory's descriptor is not
// registered when opendir makes it, only when closedir ends it: a descriptor
// number that another thread used before reads as a race at closedir.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libumockdev-preload.so\n"
           "race:libudev.so\n"
           "race:closedir\n";
}

int main(int argc, char** argv) {
    qvtest::EnsureUmockdevPreload(argc, argv);
    setenv("QUORVIA_SYSTEM_PORTS", "0", 1);
    // A ShareMemory table of this test program's own (child processes it
    // starts inherit the name), removed when the program ends.
    if (std::getenv("QUORVIA_SHARE_MEMORY") == nullptr) {
        g_shareName = "QuorviaTest-" + std::to_string(getpid());
        setenv("QUORVIA_SHARE_MEMORY", g_shareName.c_str(), 1);
        std::atexit(RemoveShareMemory);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
