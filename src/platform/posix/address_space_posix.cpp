// Address space on Linux: a PROT_NONE, MAP_NORESERVE mapping reserves it,
// mprotect commits pages, madvise(MADV_DONTNEED) and mprotect(PROT_NONE)
// release them.
#include "platform/address_space.h"

#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define QV_LEAK_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_LEAK_SANITIZER 1
#endif
#endif
#ifdef QV_LEAK_SANITIZER
#include <sanitizer/lsan_interface.h>
#endif

namespace qv::platform {

size_t PageSize() {
    static const size_t page = [] {
        const long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : static_cast<size_t>(4096);
    }();
    return page;
}

void* ReserveAddressSpace(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef QV_LEAK_SANITIZER
    // Objects in the range own heap memory: the leak checker must look into
    // its committed pages as it looks into the heap.
    __lsan_register_root_region(p, bytes);
#endif
    return p;
}

bool CommitPages(void* start, size_t bytes) { return mprotect(start, bytes, PROT_READ | PROT_WRITE) == 0; }

void ReleasePages(void* start, size_t bytes) {
    // The pages read as zero when they are committed again.
    madvise(start, bytes, MADV_DONTNEED);
    mprotect(start, bytes, PROT_NONE);
}

}  // namespace qv::platform
