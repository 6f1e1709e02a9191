// Hang detection for tests of calls that must end: a blocked thread cannot be
// recovered, so a call still running after its (generous) limit ends the whole
// test process with a failure instead of letting the suite hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace qvtest {

// Armed for the life of the object: when it is still alive after `limit`, the
// process prints what was blocked and exits with status 1.
class HangGuard {
public:
    HangGuard(std::string what, std::chrono::milliseconds limit) : what_(std::move(what)) {
        watcher_ = std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
            std::fprintf(stdout, "\nHANG: %s still blocked after %lld ms\n", what_.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stdout);
            std::_Exit(1);
        });
    }
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        watcher_.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread watcher_;
};

// Runs `fn` under a HangGuard and returns how long it took, in ms.
inline long long Bounded(const std::string& what, std::chrono::milliseconds limit, const std::function<void()>& fn) {
    HangGuard guard(what, limit);
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace qvtest
