// The library's own threads (listeners, enumeration scans) start through here,
// so that tests can make a start fail the way a system out of threads or
// memory would.
#pragma once

namespace qv {

// Called on the starting thread right before a library thread is created;
// runs the test hook when one is set (it may throw as std::thread would).
void BeforeThreadStart();

namespace thread_testing {
void SetBeforeThreadStart(void (*hook)());
}  // namespace thread_testing

}  // namespace qv
