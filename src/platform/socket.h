// Operating-system service: IPv4 sockets (TCP connections with time-outs and
// keep-alive, UDP broadcast sockets), the machine's local IPv4 addresses, and
// a cancel event that wakes every wait of a socket at once.
//
// Portable code sees only this interface; the implementations live in
// platform/posix (BSD sockets, poll, eventfd, getifaddrs) and, later,
// platform/win32 (Winsock, WSAPoll or select, IP Helper). Socket numbers are
// 32-bit values as the device record stores them; -1 is "no socket". Every
// failing call returns the system's error number through `*err` (when err is
// given) for the log, and callers classify it with ClassifyError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::platform {

using Socket = int32_t;
constexpr Socket kNoSocket = -1;

// What a failed socket call means to its caller.
enum class NetError {
    kWouldBlock,   // nothing can be done without waiting (EAGAIN / EWOULDBLOCK / EINPROGRESS)
    kReset,        // the connection is gone: reset, network down, broken pipe, aborted
    kTimedOut,     // the system's own time-out (keep-alive or retransmission) expired
    kInterrupted,  // a signal interrupted the call: try again
    kOther,
};
NetError ClassifyError(int err);

// Starts and ends the use of the socket library (Winsock; nothing on POSIX).
bool StartNetwork(int* err);
void StopNetwork();

// Blocking or non-blocking IPv4 sockets; close-on-exec. kNoSocket on failure.
Socket CreateTcpSocket(int* err);
Socket CreateUdpSocket(int* err);
void CloseSocket(Socket s);
// Closes a TCP connection with a reset instead of an orderly shutdown.
void ResetConnection(Socket s);

bool SetNonBlocking(Socket s, int* err);
bool SetReuseAddress(Socket s, int* err);
bool SetBroadcast(Socket s, int* err);
// Turns keep-alive on: the first probe after `idleMs` without traffic, then one
// every `intervalMs`; the connection fails after `count` unanswered probes.
bool SetKeepAlive(Socket s, int idleMs, int intervalMs, int count, int* err);

// Dotted IPv4 text ("192.168.1.20") as a host-order address. False for
// anything else (names, "1.2.3", trailing characters).
bool ParseIPv4(const char* text, uint32_t* address);
std::string FormatIPv4(uint32_t address);
constexpr uint32_t kAnyAddress = 0;                // 0.0.0.0
constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kBroadcastAddress = 0xFFFFFFFF; // 255.255.255.255

bool BindIPv4(Socket s, uint32_t address, uint16_t port, int* err);
bool Listen(Socket s, int backlog, int* err);
// The port a socket is bound to, 0 when it is not bound.
uint16_t LocalPort(Socket s);
// Takes one pending connection of a listening socket without waiting: the
// new socket (blocking, close-on-exec) with the peer's host-order address in
// *peer, or kNoSocket with *err (would block when none is pending).
Socket Accept(Socket listener, uint32_t* peer, int* err);

// A manual-reset event that several threads wait on together with sockets:
// once Signal is called every wait that includes it returns kCancelled, now
// and later. Signal may be called from any thread.
class CancelEvent {
public:
    CancelEvent();
    ~CancelEvent();
    CancelEvent(const CancelEvent&) = delete;
    CancelEvent& operator=(const CancelEvent&) = delete;

    // False when the system could not make one (out of descriptors or memory).
    bool valid() const;
    void Signal();
    bool Signalled() const;
    // The descriptor waits include (for the implementation).
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

enum class WaitResult { kReady, kTimedOut, kCancelled, kFailed };

// Waits until the socket is readable (data, end of stream or an error) or
// writable, the time-out passes (timeoutMs < 0 waits without limit), or the
// cancel event (may be null) is signalled.
WaitResult WaitReadable(Socket s, int timeoutMs, const CancelEvent* cancel, int* err);
WaitResult WaitWritable(Socket s, int timeoutMs, const CancelEvent* cancel, int* err);
// Waits only for the cancel event (may be null) or the time-out.
WaitResult WaitCancelled(int timeoutMs, const CancelEvent* cancel);

enum class ConnectResult { kConnected, kTimedOut, kFailed, kCancelled };

// Connects a non-blocking TCP socket, waiting at most timeoutMs for the
// handshake. kFailed carries the system's reason in *err (refused,
// unreachable, ...).
ConnectResult ConnectIPv4(Socket s, uint32_t address, uint16_t port, int timeoutMs, const CancelEvent* cancel,
                          int* err);

// One send without waiting and without SIGPIPE: the byte count, or -1 with *err.
int64_t Send(Socket s, const void* data, size_t length, int* err);
// One receive without waiting: the byte count, 0 when the peer closed, or -1
// with *err.
int64_t Receive(Socket s, void* buffer, size_t capacity, int* err);
// State of a connection seen without consuming anything: an error is pending
// (a reset the next call would report), the peer has closed its side, or
// bytes are waiting.
struct ConnectionState {
    bool errorPending = false;
    bool peerClosed = false;
    bool readable = false;
};
ConnectionState PeekConnection(Socket s);

// One datagram. SendTo: the byte count or -1. ReceiveFrom: the bytes that fit
// (the rest of a longer datagram is dropped), or -1 with *err; *from gets the
// sender's host-order address when given.
int64_t SendTo(Socket s, const void* data, size_t length, uint32_t address, uint16_t port, int* err);
int64_t ReceiveFrom(Socket s, void* buffer, size_t capacity, uint32_t* from, int* err);

// Every IPv4 address of an interface that is up, loopback included, in the
// system's order, each once, as dotted text. False (with *err) when the list
// cannot be read.
bool LocalIPv4Addresses(std::vector<std::string>* out, int* err);

}  // namespace qv::platform
