#include "api/thread_start.h"

#include <atomic>

namespace qv {
namespace {
std::atomic<void (*)()> g_beforeThreadStart{nullptr};
}  // namespace

void BeforeThreadStart() {
    if (void (*hook)() = g_beforeThreadStart.load()) hook();
}

namespace thread_testing {
void SetBeforeThreadStart(void (*hook)()) { g_beforeThreadStart.store(hook); }
}  // namespace thread_testing

}  // namespace qv
