// Network scanners as plain TCP peers: a small TCP service that scanners
// connect to, and client connections to a scanner's own service, each handled
// by its raw socket number.
//
// The library only ever works on sockets it made itself (a connection of
// ConnectToService, a client the service accepted): a number that is not one
// of those (never valid, or closed already) is refused with -1044 and never
// closed, so a stale number can not close a descriptor that belongs to
// someone else.
#pragma once

#include <cstdint>

#include "quorvia.h"

namespace qv {

// Most sockets in the service set: the listening socket and up to 63 clients.
constexpr int kServiceSetSize = 64;
// Time a client connection's handshake may take.
constexpr int kServiceConnectTimeoutMs = 5000;
// Largest number of bytes one ReadFromSocket returns.
constexpr int32_t kSocketReadChunk = 10240;

// Runs the service on the calling thread: listens on port `port` of the first
// non-loopback IPv4 address of the machine (127.0.0.1 when there is none) and
// hands every accepted client to `callback` with its dotted address. Returns
// -1 when the service ended (ExitTcpService; last error 0) or could not start:
// -1001 null callback, -1021 a service runs already or the port can not be
// bound, -1044 no socket, -1052 the wait failed.
int32_t CreateTcpService(int32_t port, QV_TCP_CLIENT_CALLBACK callback);
// Ends the running service (from any thread): closes every client in the set
// and wakes the service, which closes its listening socket and returns. 0.
int32_t ExitTcpService();
// Removes *socket from the service set, closes it and sets it to -1. 0.
int32_t CloseClientSocket(int32_t* socket);

// Connects to a TCP service; 0 with the socket in *out, else -1.
int32_t ConnectToService(const char* ip, int32_t port, int32_t* out);
// Sends all bytes; 0 or -1.
int32_t SendDataToSocket(int32_t socket, const char* data, int32_t length);
// One receive of up to kSocketReadChunk bytes within timeoutMs: 0 with the
// count in *length, -1 for refused arguments or nothing within the time-out
// (-1046), -2 when the connection failed or the peer closed it (-1020).
int32_t ReadFromSocket(int32_t socket, int32_t timeoutMs, char* out, int32_t* length);

// True when `socket` is an open socket the library made (see above).
bool IsLibrarySocket(int32_t socket);

}  // namespace qv
