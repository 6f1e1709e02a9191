#include "usb_transfer_fake.h"

#include <libusb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Engine {
    std::mutex mutex;
    std::condition_variable changed;
    int peer = -1;
    bool gone = false;
    std::string inbox;                      // bytes from the device not yet taken by an IN transfer
    std::deque<libusb_transfer*> pendingIn;
    std::vector<libusb_transfer*> finished;  // waiting for their callbacks
    std::thread pump;
    bool stopping = false;

    // Gives waiting IN transfers what the device sent. Caller holds the mutex.
    void MatchLocked() {
        while (!pendingIn.empty() && (!inbox.empty() || gone)) {
            libusb_transfer* t = pendingIn.front();
            pendingIn.pop_front();
            if (inbox.empty()) {
                t->status = LIBUSB_TRANSFER_NO_DEVICE;
                t->actual_length = 0;
            } else {
                const size_t n = std::min(inbox.size(), static_cast<size_t>(t->length));
                std::memcpy(t->buffer, inbox.data(), n);
                inbox.erase(0, n);
                t->status = LIBUSB_TRANSFER_COMPLETED;
                t->actual_length = static_cast<int>(n);
            }
            finished.push_back(t);
        }
        changed.notify_all();
    }

    void Pump(int fd) {
        char buf[65536];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) return;
                continue;
            }
            const ssize_t n = read(fd, buf, sizeof buf);
            std::lock_guard<std::mutex> lock(mutex);
            if (n <= 0) {
                gone = true;
            } else {
                inbox.append(buf, static_cast<size_t>(n));
            }
            MatchLocked();
            if (n <= 0 || stopping) return;
        }
    }
};

Engine& E() {
    static Engine* e = new Engine;  // used by library threads until the process ends
    return *e;
}

}  // namespace

namespace qvtest {

void SetFakeBulkPeer(int fd) {
    Engine& e = E();
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        e.stopping = true;
    }
    if (e.pump.joinable()) e.pump.join();
    std::lock_guard<std::mutex> lock(e.mutex);
    e.peer = fd;
    e.gone = fd < 0;
    e.inbox.clear();
    e.stopping = false;
    if (fd >= 0) e.pump = std::thread([fd] { E().Pump(fd); });
}

}  // namespace qvtest

extern "C" int libusb_submit_transfer(libusb_transfer* t) {
    Engine& e = E();
    std::unique_lock<std::mutex> lock(e.mutex);
    if (e.gone || e.peer < 0) return LIBUSB_ERROR_NO_DEVICE;
    if ((t->endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        e.pendingIn.push_back(t);
        e.MatchLocked();
        return 0;
    }
    // OUT: the device takes everything at once.
    size_t done = 0;
    while (done < static_cast<size_t>(t->length)) {
        const ssize_t n = send(e.peer, t->buffer + done, static_cast<size_t>(t->length) - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    t->actual_length = static_cast<int>(done);
    t->status = done == static_cast<size_t>(t->length) ? LIBUSB_TRANSFER_COMPLETED : LIBUSB_TRANSFER_NO_DEVICE;
    e.finished.push_back(t);
    e.changed.notify_all();
    return 0;
}

extern "C" int libusb_cancel_transfer(libusb_transfer* t) {
    Engine& e = E();
    std::lock_guard<std::mutex> lock(e.mutex);
    auto it = std::find(e.pendingIn.begin(), e.pendingIn.end(), t);
    if (it == e.pendingIn.end()) return LIBUSB_ERROR_NOT_FOUND;
    e.pendingIn.erase(it);
    t->status = LIBUSB_TRANSFER_CANCELLED;
    t->actual_length = 0;
    e.finished.push_back(t);
    e.changed.notify_all();
    return 0;
}

// Runs the callbacks of finished transfers (under the engine's lock, so the
// completion flags they set are seen by every waiter).
extern "C" int libusb_handle_events_completed(libusb_context*, int* completed) {
    Engine& e = E();
    std::unique_lock<std::mutex> lock(e.mutex);
    e.changed.wait(lock, [&] {
        return !e.finished.empty() || (completed != nullptr && __atomic_load_n(completed, __ATOMIC_ACQUIRE) != 0);
    });
    std::vector<libusb_transfer*> run;
    run.swap(e.finished);
    for (libusb_transfer* t : run) t->callback(t);
    e.changed.notify_all();
    return 0;
}
