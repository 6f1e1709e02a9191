// A pseudo-terminal pair created by a test: the test drives the master side,
// the code under test opens the slave path like a serial port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

class PtyPair {
public:
    // Opens a new master (O_RDWR | O_NOCTTY), unlocks its slave and puts the
    // line in raw mode. ok() tells whether that worked.
    PtyPair();
    ~PtyPair();

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    const std::string& slave_path() const { return slavePath_; }
    int master_fd() const { return master_; }

    // Writes everything to the master within `timeoutMs`; false on error or time-out.
    bool WriteMaster(const void* data, size_t len, int timeoutMs = 5000);
    bool WriteMaster(const std::string& text, int timeoutMs = 5000) {
        return WriteMaster(text.data(), text.size(), timeoutMs);
    }

    // Reads from the master until `want` bytes came or `timeoutMs` passed;
    // returns what was read.
    std::vector<uint8_t> ReadMaster(size_t want, int timeoutMs);

    // Reads whatever arrives until nothing more came for `quietMs`.
    std::vector<uint8_t> DrainMaster(int quietMs);

    // Closes the master: the slave side sees a hang-up, as when a USB serial
    // adapter is unplugged.
    void CloseMaster();

    // Opens the slave once for the test itself (before the code under test
    // does), so that the line settings can be inspected with tcgetattr.
    // Returns the descriptor, or -1.
    int HoldSlave();

private:
    int master_ = -1;
    int heldSlave_ = -1;
    std::string slavePath_;
};

}  // namespace qvtest
