// Network scanners are found by UDP broadcast: a query goes to
// 255.255.255.255 port 36510 from every local IPv4 address, every 500 ms,
// while the replies that scanners send to port 36511 are collected for
// 2300 ms. The same sockets carry configuration requests, whose reply text is
// handed back to the caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/net_replies.h"
#include "platform/socket.h"
#include "quorvia.h"

namespace qv {

// How long discovery collects replies, and the pause between two queries.
constexpr int32_t kDiscoveryWindowMs = 2300;
constexpr int32_t kQueryIntervalMs = 500;
// Pause between starting an address's send thread and its receive thread.
constexpr int32_t kReceiveStartDelayMs = 50;
// Largest datagram a receive takes (the rest of a longer one is dropped).
constexpr size_t kReceiveBufferSize = 5120;
// Reply text a configuration request hands back, terminating zero included:
// callers pass buffers of at least this size.
constexpr size_t kConfigReplyCapacity = 4096;

// The two sockets of one local address, with the flags of its send thread.
struct BroadcastSocketPair {
    std::string address;                         // the local address, dotted text
    platform::Socket sendSocket = platform::kNoSocket;  // broadcast enabled, bound to the address, port 0
    platform::Socket recvSocket = platform::kNoSocket;  // bound to port 36511 (see CreateBroadcastSockets)
    std::atomic<uint8_t> sendStopped{1};
    std::atomic<uint8_t> sendRunning{0};
    std::thread sendThread;
};

class CBroadcastDiscovery {
public:
    CBroadcastDiscovery() = default;
    ~CBroadcastDiscovery();
    CBroadcastDiscovery(const CBroadcastDiscovery&) = delete;
    CBroadcastDiscovery& operator=(const CBroadcastDiscovery&) = delete;

    // One pair of sockets per local IPv4 address that is up (loopback
    // included). An address whose sockets cannot be made is skipped with its
    // error (-1014, -1016, -1017, -1021); -1013 when the addresses cannot be
    // listed. True when at least one pair exists.
    //
    // The receive socket is bound to the wildcard address, port 36511, with
    // SO_REUSEADDR: scanners may answer by broadcast, and a socket bound to
    // one address does not receive broadcasts on this system.
    bool CreateBroadcastSockets();

    // Runs one discovery over the pairs and returns the records of the
    // scanners found (owned by this object until the next call or its
    // destruction), writing their number to *count. Scanners whose reply lacks
    // one of the six keys are left out and not counted. Null when none was
    // found (with nothing collected, *count is left alone).
    T_DevicesInfo* AddNetworkDevice(int32_t* count);

    // Stops the send threads and closes every pair.
    void StopBroadcast();

    // Sends one configuration request (type 0x40 for mode 1, else 0x10) from
    // every pair in turn and waits up to timeoutMs after each for a
    // configuration reply, whose text (at most 4095 bytes and a zero byte) is
    // copied to `out` (may be null; an empty text when no reply came). True
    // once the request went out from every pair, whether or not a reply came.
    // False with -1001 for a null text, a length below 1 or above 4084 (nothing
    // is sent), with -1017 when a send failed or there is no pair.
    bool SetNetDeviceConfig(int32_t mode, const char* text, int32_t length, int32_t timeoutMs, char* out);

    size_t PairCount() const { return m_vBroadcastSocket.size(); }

private:
    void BroadcastSendThread(size_t i);
    void BroadcastRecvThread(size_t i, int32_t timeoutMs, char* out);
    void ReceiveLoop(size_t i, int32_t timeoutMs, char* out);

    std::vector<std::unique_ptr<BroadcastSocketPair>> m_vBroadcastSocket;
    std::vector<std::string> m_vNetDev;        // reply texts of the scanners found
    std::vector<PendingReply> pendingReplies;  // first replies waiting for their second
    std::unique_ptr<T_DevicesInfo[]> m_list;   // records of the last discovery
    std::mutex listMutex;    // m_vNetDev and pendingReplies
    std::mutex socketMutex;  // every send and receive on the pairs' sockets
    std::mutex m_wakeMutex;  // with m_wake: ends a send thread's pause at once
    std::condition_variable m_wake;
};

}  // namespace qv
