#include "network/net_connection.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/errors.h"
#include "core/log.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReadChunk = 0x100000;  // at most 1 MiB per receive
constexpr int32_t kDefaultReadTimeoutMs = 2000;

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Closes a socket that did not become a connection.
void DropSocket(platform::Socket s) {
    platform::CloseSocket(s);
    platform::StopNetwork();
}

}  // namespace

bool ConnectToDevice(T_DevicesInfo* record, const platform::CancelEvent* cancel) {
    QV_LOG("[%s] come in\n", "ConnectToDevice");
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    int err = 0;
    if (!platform::StartNetwork(&err)) {
        SetLastErrorCode(kErrInitNetwork);
        QV_LOG("[%s] Failed to initialize Winsock2.\n", "ConnectToDevice");
        return false;
    }
    const platform::Socket s = platform::CreateTcpSocket(&err);
    if (s == platform::kNoSocket) {
        SetLastErrorCode(kErrTcpSocket);
        QV_LOG("[%s] Failed to create socket.\n", "ConnectToDevice");
        platform::StopNetwork();
        return false;
    }
    if (!platform::SetNonBlocking(s, &err)) {
        SetLastErrorCode(kErrNonBlocking);
        WriteLog(kLogConsole, "Failed to set socket to non-blocking mode.");
        DropSocket(s);
        return false;
    }
    if (!platform::SetReuseAddress(s, &err)) {
        QV_LOG("[%s][%d] recvSock set SO_REUSEADDR stderr=%d\n", "ConnectToDevice", __LINE__, err);
    }
    char ip[sizeof record->ipAddress];
    std::memcpy(ip, record->ipAddress, sizeof ip);
    ip[sizeof ip - 1] = '\0';
    QV_LOG("[%s][%d] connect to %s %d\n", "ConnectToDevice", __LINE__, ip, record->tcpPort);
    uint32_t address = 0;
    if (!platform::ParseIPv4(ip, &address) || record->tcpPort < 1 || record->tcpPort > 65535) {
        // Nothing to connect to: no dotted IPv4 address or no port.
        SetLastErrorCode(kErrConnect);
        QV_LOG("[%s] Failed to connect to server\n", "ConnectToDevice");
        DropSocket(s);
        return false;
    }
    switch (platform::ConnectIPv4(s, address, static_cast<uint16_t>(record->tcpPort), kConnectTimeoutMs, cancel,
                                  &err)) {
        case platform::ConnectResult::kConnected:
            break;
        case platform::ConnectResult::kTimedOut:
            SetLastErrorCode(kErrConnectTimeout);
            QV_LOG("%s %d[select] connect to server error.", "ConnectToDevice", __LINE__);
            DropSocket(s);
            return false;
        case platform::ConnectResult::kCancelled:
        case platform::ConnectResult::kFailed:
            SetLastErrorCode(kErrConnect);
            QV_LOG("[%s] Failed to connect to server\n", "ConnectToDevice");
            QV_LOG("[%s] stderr=%d\n", "ConnectToDevice", err);
            DropSocket(s);
            return false;
    }
    QV_LOG("%s %d[select] connect to server successfully.", "ConnectToDevice", __LINE__);
    if (!platform::SetKeepAlive(s, kKeepAliveIdleMs, kKeepAliveIntervalMs, kKeepAliveProbes, &err)) {
        QV_LOG("[%s][%d] keep-alive stderr=%d\n", "ConnectToDevice", __LINE__, err);
    }
    record->socket = s;
    QV_LOG("[%s] ending...\n", "ConnectToDevice");
    return true;
}

bool WriteNetworkData(T_DevicesInfo* record, const char* data, uint32_t length, const platform::CancelEvent* cancel) {
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const platform::Socket s = record->socket;
    if (s == platform::kNoSocket) {
        SetLastErrorCode(kErrInvalidSocket);
        QV_LOG("[%s] INVALID SOCKET\n", "WriteNetworkData");
        return false;
    }
    auto fail = [](int err) {
        QV_LOG("[%s] Failed to send data. Error=%d\n", "WriteNetworkData", err);
        SetLastErrorCode(kErrSendTcp);
        return false;
    };
    // A peer that has closed its side reads nothing more: what is sent now
    // would be lost while the send reports success.
    if (platform::PeekConnection(s).peerClosed) return fail(EPIPE);
    uint32_t done = 0;
    while (done < length) {
        int err = 0;
        const int64_t n = platform::Send(s, data + done, length - done, &err);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0) continue;
        const platform::NetError kind = platform::ClassifyError(err);
        if (kind == platform::NetError::kInterrupted) continue;
        if (kind != platform::NetError::kWouldBlock) return fail(err);
        // The peer is not taking bytes yet: wait for room, or for the cancel.
        const platform::WaitResult w = platform::WaitWritable(s, -1, cancel, &err);
        if (w == platform::WaitResult::kCancelled) return fail(ECANCELED);
        if (w == platform::WaitResult::kFailed) return fail(err);
    }
    return true;
}

int32_t ReadNetworkData(T_DevicesInfo* record, char* buffer, uint32_t capacity, int32_t timeoutMs,
                        const platform::CancelEvent* cancel) {
    if (record == nullptr || buffer == nullptr) return kNetReadFailed;
    if (record->transportKind != QV_TRANSPORT_NETWORK || capacity == 0) return 0;
    const platform::Socket s = record->socket;
    if (s == platform::kNoSocket) {
        SetLastErrorCode(kErrInvalidSocket);
        return kNetReadError;
    }
    const int32_t limit = timeoutMs == 0 ? kDefaultReadTimeoutMs : (timeoutMs < 0 ? 0 : timeoutMs);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limit);
    const uint32_t ask = capacity < kReadChunk ? capacity : kReadChunk;
    auto cancelled = [] {
        SetLastErrorCode(kErrDisconnected);
        return kNetReadFailed;
    };
    for (;;) {
        int err = 0;
        const platform::WaitResult w = platform::WaitReadable(s, RemainingMs(end), cancel, &err);
        if (w == platform::WaitResult::kCancelled) return cancelled();
        if (w == platform::WaitResult::kTimedOut) return 0;
        if (w == platform::WaitResult::kFailed) {
            SetLastErrorCode(kErrRecvTcp);
            return kNetReadError;
        }
        const int64_t n = platform::Receive(s, buffer, ask, &err);
        if (n > 0) return static_cast<int32_t>(n);
        if (n == 0) {
            // The peer closed the connection: nothing more will come. That is
            // not a reset; the read ends as a read that timed out.
            if (platform::WaitCancelled(RemainingMs(end), cancel) == platform::WaitResult::kCancelled) {
                return cancelled();
            }
            return 0;
        }
        switch (platform::ClassifyError(err)) {
            case platform::NetError::kWouldBlock:
            case platform::NetError::kInterrupted:
                continue;
            case platform::NetError::kTimedOut:
                SetLastErrorCode(kErrRecvTimeout);
                return kNetReadTimedOut;
            case platform::NetError::kReset:
                QV_LOG("[%s] error == WSAENETDOWN || error == WSAECONNRESET\n", "ReadNetworkData");
                SetLastErrorCode(kErrDisconnected);
                return kNetReadReset;
            case platform::NetError::kOther:
                SetLastErrorCode(kErrRecvTcp);
                return kNetReadError;
        }
    }
}

bool Disconnect(T_DevicesInfo* record) {
    QV_LOG("[%s] come in\n", "Disconnect");
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    if (record->socket != platform::kNoSocket) {
        platform::CloseSocket(record->socket);
        platform::StopNetwork();
        record->socket = platform::kNoSocket;
    }
    QV_LOG("[%s] return\n", "Disconnect");
    return true;
}

}  // namespace qv
