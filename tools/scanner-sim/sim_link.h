// The cable of a simulated scanner: how its bytes reach the host. A scanner
// (SimPort) runs the same device logic over any link; the link says which
// descriptor carries the bytes, whether a host is attached, whether the
// host's line settings match, and handles its own faults.
//
// Every call is made with the owning port's lock held, from the port thread
// or from the control thread; none of them blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "line_settings.h"
#include "sim_config.h"

namespace qvsim {

class SimLink {
public:
    virtual ~SimLink() = default;

    // Creates the link (a pty and its symlink; a listening socket). Also used
    // to bring it back after close().
    virtual bool open(std::string& error) = 0;
    // Ends it: every descriptor closed (unplug, stop). The symlink of a pty
    // stays until finish().
    virtual void close() = 0;
    // Removes what outlives close() (the symlink).
    virtual void finish() = 0;
    // True between open() and close().
    virtual bool present() const = 0;

    // The descriptor bytes are read from and written to, -1 when none.
    virtual int data_fd() const = 0;
    // Whether the port thread reads data_fd (a link may stop reading to
    // play a host-side stall).
    virtual bool reading() const { return true; }
    // A descriptor to watch for link events besides data (a listening
    // socket), -1 when none; on_event() runs when it is readable and returns
    // true when data_fd changed.
    virtual int event_fd() const { return -1; }
    virtual bool on_event() { return false; }
    // Milliseconds until on_timer() wants to run, -1 for never.
    virtual int timer_ms() const { return -1; }
    virtual bool on_timer() { return false; }
    // data_fd read the end of input. True when the link dropped data_fd (it
    // waits for a new host); false when it keeps it and the port only
    // re-checks now and then whether a host is back (a pty nobody opened).
    virtual bool on_hangup() = 0;

    // The host's current line settings (serial links only).
    virtual bool host_line(LineSettings& ls) const {
        (void)ls;
        return false;
    }
    // Where the host finds the link from the next open() on (a pty's symlink:
    // a scanner that comes back as another port); the old place is removed.
    virtual void move_to(const std::string& where) { (void)where; }
    // Where the host finds it now ("" when that is not a path).
    virtual std::string where() const { return {}; }

    // Someone is at the other end to read what is written.
    virtual bool attached() const = 0;
    // The host's line settings are the scanner's (baud only, or baud and stop bits).
    virtual bool line_matches(bool stop_bits_too) const = 0;

    // Control commands that concern the link; "ERR ..." when unsupported.
    virtual std::string hold() { return "ERR not a serial port"; }
    virtual std::string release() { return "ERR not a serial port"; }
    virtual std::string settings() const { return "ERR not a serial port"; }
    // Link-specific commands (words after the port number); *changed tells
    // that data_fd changed.
    virtual std::string command(const std::vector<std::string>& words, bool* changed) {
        (void)words;
        *changed = false;
        return "ERR not supported on this port";
    }
    // Extra fields of the stats line (" name=value ...").
    virtual std::string stats() const { return {}; }
};

// A pty whose slave is reached through the symlink `link_path`.
std::unique_ptr<SimLink> make_pty_link(const PortConfig& cfg, const std::string& link_path);

// The device side of a fake USB node the simulator inherited (cfg.hid_fd for
// a HID node speaking 64-byte reports, else cfg.raw_fd for a vendor device).
std::unique_ptr<SimLink> make_node_link(const PortConfig& cfg);

// A TCP listener on 127.0.0.1, port `port` (0: one the system picks, kept
// for the life of the link). One host connection at a time: a new one
// replaces the old.
std::unique_ptr<SimLink> make_tcp_link(uint16_t port);

// The port a TCP link listens on (0 for other links).
uint16_t tcp_link_port(const SimLink& link);

}  // namespace qvsim
