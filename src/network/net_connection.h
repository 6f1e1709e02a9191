// The TCP connection of a network device record: connect, send, receive,
// disconnect. Plain functions on a record, shared by the network transport,
// the TCP client exports and the network firmware update.
//
// The record's `socket` holds the connection (-1 when there is none), its
// `ipAddress` (dotted IPv4 text) and `tcpPort` say where to connect. The
// socket is non-blocking; every wait here is a poll that a cancel event (may
// be null) ends at once.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "quorvia.h"

namespace qv {

// Results of ReadNetworkData besides a byte count and 0 (nothing within the
// time-out, or the peer closed the connection).
enum NetReadCode : int32_t {
    kNetReadFailed = -1,     // null record or buffer, or the wait was cancelled
    kNetReadTimedOut = -3,   // the connection's own time-out (keep-alive) expired
    kNetReadError = -4,      // any other receive error
    kNetReadReset = -5,      // the connection was reset or the network is down
};

// Time the TCP handshake may take.
constexpr int kConnectTimeoutMs = 2000;
// Keep-alive: first probe after 1 s of silence, then one every second; the
// connection fails after 10 unanswered probes.
constexpr int kKeepAliveIdleMs = 1000;
constexpr int kKeepAliveIntervalMs = 1000;
constexpr int kKeepAliveProbes = 10;

// Opens a TCP connection to ipAddress:tcpPort, waiting at most 2 s for the
// handshake, turns keep-alive on and stores the socket in `socket`. On
// failure `socket` keeps its old value and the last error says why: -1001 null
// record, -1015 no socket, -1041 not non-blocking, -1042 refused or
// unreachable (also an address that is not dotted IPv4 text or a port outside
// 1..65535), -1043 no handshake within 2 s.
bool ConnectToDevice(T_DevicesInfo* record, const platform::CancelEvent* cancel = nullptr);

// Sends every byte, waiting for room as long as it takes (or until
// cancelled). False with -1001 (null record), -1044 (no socket) or -1018
// (the send failed, the peer has closed the connection, or the wait was
// cancelled).
bool WriteNetworkData(T_DevicesInfo* record, const char* data, uint32_t length,
                      const platform::CancelEvent* cancel = nullptr);

// One receive of at most min(capacity, 1 MiB) bytes within timeoutMs
// (0 = 2000 ms, negative = no wait), measured to the millisecond. Returns the
// byte count, 0 when nothing came within the time-out (also when the peer
// closed the connection: then only after the whole time-out), 0 for a record
// of another transport kind, or a NetReadCode with its last error: -1047 for a
// reset (-5) or a cancel (-1), -1046 for -3, -1020 (-1044 without a socket)
// for -4.
int32_t ReadNetworkData(T_DevicesInfo* record, char* buffer, uint32_t capacity, int32_t timeoutMs,
                        const platform::CancelEvent* cancel = nullptr);

// Closes `socket` and sets it to -1. Null record: -1001. Always true.
bool Disconnect(T_DevicesInfo* record);

}  // namespace qv
