// Test-side end of a simulated serial port: opens a pty slave the way a host
// program opens a COM port and reads/writes it with time limits. Plain C++ and
// POSIX, no gtest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class PtyPeer {
public:
    PtyPeer() = default;
    // Opens `path` (O_RDWR|O_NOCTTY|O_NONBLOCK) and sets raw mode, `baud` and `stop` bits.
    explicit PtyPeer(const std::string& path, uint32_t baud = 115200, int stop = 1);
    ~PtyPeer();
    PtyPeer(PtyPeer&& other) noexcept;
    PtyPeer& operator=(PtyPeer&& other) noexcept;
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

    bool set_line(uint32_t baud, int stop);
    bool write_all(std::string_view bytes);

    // Reads until exactly `n` bytes came in (never more), or the time limit passed.
    std::string read_exactly(size_t n, int timeout_ms = 5000);
    // Reads until `done(received)` holds or the time limit passed.
    std::string read_until(const std::function<bool(const std::string&)>& done, int timeout_ms = 5000);
    // Reads whatever arrives until nothing came for `quiet_ms`.
    std::string read_quiet(int quiet_ms);

    // Result of the last read attempt that ended the stream: true when the
    // other side hung up (read gave 0 or EIO, or poll gave POLLHUP).
    bool hung_up() const { return hung_up_; }

    void close();

private:
    bool read_step(std::string& got, int wait_ms, size_t limit);
    int fd_ = -1;
    bool hung_up_ = false;
    std::string error_;
};

// Maps a numeric rate to the termios speed code; returns false for rates
// without one.
bool pty_speed_code(uint32_t baud, unsigned& code);
