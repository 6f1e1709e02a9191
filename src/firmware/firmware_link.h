// What the firmware update protocol needs of the connection to a scanner: a
// small link interface. The protocol (firmware_update.h) is written once over
// it; each way of reaching a scanner is one link: a port stream (COM port,
// and USB device paths), and a TCP connection for network scanners. A link
// owns everything that depends on how the scanner is reached: raw I/O, the
// framed loader exchange, line settings, and stopping, watching for and
// reopening a device that leaves and comes back during the update.
#pragma once

#include <cstdint>
#include <string>

namespace qv::firmware {

// Line settings of a serial link. Stop bits 0 = one; parity 0 = none.
struct LinkLine {
    uint32_t baud = 0;
    uint8_t dataBits = 8;
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    uint8_t flow = 0;
    bool operator==(const LinkLine&) const = default;
};

class FirmwareLink {
public:
    virtual ~FirmwareLink() = default;

    // ---- bytes
    // Writes raw bytes as one write that no other writer of the port can
    // interleave. A failed write stops the device: IsOpen() is false after it.
    virtual bool Write(const uint8_t* data, uint32_t len) = 0;
    // Reads up to `len` bytes: waits up to firstWaitMs for the first byte,
    // then interChunkMs for each further chunk (-2: the link's own wait),
    // and stops early once the bytes read end with `terminator`. 0 waits
    // for nothing and takes what was received.
    virtual uint32_t Read(uint8_t* buf, uint32_t len, int32_t firstWaitMs, int32_t interChunkMs,
                          const uint8_t* terminator, uint32_t terminatorLen) = 0;
    // Drops what was received; with drainMs also what keeps arriving in full
    // chunks within drainMs.
    virtual void Purge(int32_t drainMs) = 0;
    // Framed loader command (0x02 0x05, length, text, CRC-32; the answer's
    // first payload byte is the result). True when the result is '0';
    // *result gets the result byte (0 when no valid answer came).
    virtual bool Exchange(int32_t firstWaitMs, const std::string& text, uint8_t* result) = 0;

    // ---- the line (serial links only; the others have none and fail these)
    virtual bool HasLine() = 0;
    virtual bool GetLine(LinkLine* line) = 0;
    virtual bool SetLine(const LinkLine& line) = 0;
    // Changes the baud rate only.
    virtual bool SetBaud(uint32_t baud) = 0;
    // The baud rate with 8 data bits, no parity, one stop bit.
    virtual bool SetBaud8N1(uint32_t baud) = 0;

    // ---- the connection
    virtual bool IsOpen() = 0;
    // The handle using the link is being closed: every further wait of the
    // update would end at once, so the update ends.
    virtual bool Cancelled() = 0;
    // Stops the device (the port is closed) because the scanner leaves.
    virtual void Stop() = 0;
    // True when the scanner drops off the line when it takes the update
    // switch (a scanner on a USB virtual COM port re-enumerates): the update
    // then stops the link itself and waits for the scanner to come back.
    virtual bool LeavesOnSwitch() = 0;
    // Starts watching for the scanner to come back after it left (the update
    // device-change monitor). False when no watch could be started.
    virtual bool StartWatch() = 0;
    virtual void StopWatch() = 0;
    virtual bool Watching() = 0;
    // Forgets a comeback seen so far.
    virtual void ResetArrival() = 0;
    // Waits up to waitMs for the scanner to come back (or for the link's own
    // reconnection), then reopens it where it came back (or where it was),
    // with `line` when the link has a line and a line is given.
    virtual bool Reopen(int32_t waitMs, const LinkLine* line) = 0;

    // ---- where the protocol differs by link
    // The first extra block is reached with the block switch. Without it the
    // scanner must answer the probe: '!' leads to the upgrade and update
    // switches, after which the loader is taken as ready.
    virtual bool HasBlockSwitch() { return true; }
    // "@NextDown" / "@NextBlock" are sent between blocks.
    virtual bool SendsBetweenBlocks() { return true; }
    // At the end of a group, when the scanner was reached in its loader (it
    // was already there, or came back after the switch), it leaves the loader
    // and comes back as its application: the link is stopped and reopened.
    // The result code of the update from here (0, or the failure when the
    // link must be back and is not).
    virtual int32_t ComeBackAfterGroup(int32_t waitMs, const LinkLine* line) {
        Stop();
        Reopen(waitMs, line);
        return 0;
    }
};

}  // namespace qv::firmware
