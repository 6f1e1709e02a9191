#include "network/tcp_service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "platform/socket.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

// How long a send waits for room before it gives up on a peer that reads nothing.
constexpr int kSendRoomWaitMs = 5000;

// The sockets the library made and has not closed.
std::mutex& SocketsMutex() {
    static std::mutex* m = new std::mutex;  // outlives detached threads at exit
    return *m;
}
std::set<int32_t>& Sockets() {
    static std::set<int32_t>* s = new std::set<int32_t>;
    return *s;
}

void AddSocket(int32_t s) {
    std::lock_guard<std::mutex> lock(SocketsMutex());
    Sockets().insert(s);
}

// Forgets a socket and closes it; false (nothing closed) when the library
// did not make it or closed it already. The number leaves the registry before
// the descriptor is closed, so no thread can reach a number the system may
// hand out again.
bool ForgetAndClose(int32_t s) {
    {
        std::lock_guard<std::mutex> lock(SocketsMutex());
        if (Sockets().erase(s) == 0) return false;
    }
    platform::CloseSocket(s);
    platform::StopNetwork();
    return true;
}

// The one service of the process.
struct Service {
    std::mutex mu;
    bool running = false;
    std::atomic<bool> exit{false};
    std::vector<int32_t> set;  // entry 0 the listening socket, then the clients in the set
    std::shared_ptr<platform::CancelEvent> wake;
};

Service& TheService() {
    static Service* s = new Service;  // outlives detached service threads at exit
    return *s;
}

// The first IPv4 address that is not a loopback one, else 127.0.0.1.
std::string ServiceAddress() {
    std::vector<std::string> addresses;
    int err = 0;
    if (!platform::LocalIPv4Addresses(&addresses, &err)) {
        SetLastErrorCode(kErrLocalIp);
        addresses.clear();
    }
    std::string ip;
    for (const std::string& a : addresses) {
        uint32_t value = 0;
        if (platform::ParseIPv4(a.c_str(), &value) && (value >> 24) != 127) {
            ip = a;
            break;
        }
    }
    QV_LOG("[%s] szIp=%s\n", "qv_CreateTcpService", ip.c_str());
    return ip.empty() ? "127.0.0.1" : ip;
}

// Ends the service: closes the listening socket and clears the state.
int32_t LeaveService(Service& svc, int32_t listener) {
    std::lock_guard<std::mutex> lock(svc.mu);
    QV_LOG("readSet.fd_array[i]=%d close=%d\n", listener, 0);
    platform::CloseSocket(listener);
    platform::StopNetwork();
    svc.set.clear();
    svc.running = false;
    svc.wake.reset();
    return -1;
}

}  // namespace

bool IsLibrarySocket(int32_t socket) {
    std::lock_guard<std::mutex> lock(SocketsMutex());
    return Sockets().count(socket) != 0;
}

int32_t CreateTcpService(int32_t port, QV_TCP_CLIENT_CALLBACK callback) {
    QV_LOG("[%s] begin...", "qv_CreateTcpService");
    if (callback == nullptr || port < 0 || port > 65535) {
        SetLastErrorCode(kErrInvalidParam);
        return -1;
    }
    Service& svc = TheService();
    auto wake = std::make_shared<platform::CancelEvent>();
    if (!wake->valid()) {
        SetLastErrorCode(kErrNoMemory);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(svc.mu);
        if (svc.running) {
            QV_LOG("[%s] a service runs already on socket %d\n", "qv_CreateTcpService",
                   svc.set.empty() ? -1 : svc.set[0]);
            SetLastErrorCode(kErrBind);
            return -1;
        }
        svc.running = true;  // claimed: a second service is refused from here on
        svc.exit = false;    // an exit from now on ends this service
    }
    auto abandon = [&svc](int32_t code) {
        std::lock_guard<std::mutex> lock(svc.mu);
        svc.running = false;
        SetLastErrorCode(code);
        return -1;
    };
    int err = 0;
    if (!platform::StartNetwork(&err)) {
        WriteLog(kLogConsole, "WSAStartup failed: %d", err);
        return abandon(kErrInitNetwork);
    }
    const platform::Socket listener = platform::CreateTcpSocket(&err);
    if (listener == platform::kNoSocket) {
        WriteLog(kLogConsole, "socket creation failed: %d", err);
        platform::StopNetwork();
        return abandon(kErrInvalidSocket);
    }
    const std::string ip = ServiceAddress();
    uint32_t address = platform::kLoopbackAddress;
    platform::ParseIPv4(ip.c_str(), &address);
    platform::SetReuseAddress(listener, &err);
    if (!platform::BindIPv4(listener, address, static_cast<uint16_t>(port), &err) ||
        !platform::Listen(listener, 4096, &err) || !platform::SetNonBlocking(listener, &err)) {
        // A port in use would otherwise give a service that accepts nothing.
        QV_LOG("[%s] bind %s:%d failed: %d\n", "qv_CreateTcpService", ip.c_str(), port, err);
        platform::CloseSocket(listener);
        platform::StopNetwork();
        return abandon(kErrBind);
    }
    QV_LOG("[%s] Server started, waiting for connections...", "qv_CreateTcpService");
    {
        std::lock_guard<std::mutex> lock(svc.mu);
        svc.set.assign(1, listener);
        svc.wake = wake;
    }
    SetLastErrorCode(kOk);

    // Only the listening socket is waited on: clients are the application's,
    // and a readable client must not wake the service again and again.
    while (!svc.exit.load()) {
        const platform::WaitResult w = platform::WaitReadable(listener, -1, wake.get(), &err);
        if (w == platform::WaitResult::kCancelled) break;
        if (w == platform::WaitResult::kFailed) {
            QV_LOG("[%s] select failed: %d", "qv_CreateTcpService", err);
            LeaveService(svc, listener);
            SetLastErrorCode(kErrSelect);
            return -1;
        }
        if (w != platform::WaitResult::kReady || svc.exit.load()) continue;
        uint32_t peer = 0;
        const platform::Socket client = platform::Accept(listener, &peer, &err);
        if (client == platform::kNoSocket) {
            // Gone before it was taken; or no descriptor to take it with:
            // then the listener stays readable, so pause instead of spinning.
            if (platform::ClassifyError(err) != platform::NetError::kWouldBlock) {
                QV_LOG("[%s] accept failed: %d\n", "qv_CreateTcpService", err);
                platform::WaitCancelled(100, wake.get());
            }
            continue;
        }
        QV_LOG("accept clientSocket=%d\n", client);
        AddSocket(client);
        {
            std::lock_guard<std::mutex> lock(svc.mu);
            if (!svc.exit.load() && static_cast<int>(svc.set.size()) < kServiceSetSize &&
                std::find(svc.set.begin(), svc.set.end(), client) == svc.set.end()) {
                svc.set.push_back(client);
            }
        }
        if (!platform::SetNonBlocking(client, &err)) {
            SetLastErrorCode(kErrNonBlocking);
            WriteLog(kLogConsole, "Failed to set socket to non-blocking mode.");
            {
                std::lock_guard<std::mutex> lock(svc.mu);
                svc.set.erase(std::remove(svc.set.begin(), svc.set.end(), client), svc.set.end());
            }
            ForgetAndClose(client);
            continue;
        }
        const std::string text = platform::FormatIPv4(peer);
        callback(client, text.c_str());
    }
    QV_LOG("[%s] service exit...\n", "qv_CreateTcpService");
    LeaveService(svc, listener);
    SetLastErrorCode(kOk);
    return -1;
}

int32_t ExitTcpService() {
    Service& svc = TheService();
    std::vector<int32_t> clients;
    {
        std::lock_guard<std::mutex> lock(svc.mu);
        // The flag first: the service sees it whenever it wakes.
        svc.exit = true;
        for (size_t i = svc.set.size(); i-- > 1;) clients.push_back(svc.set[i]);
        if (!svc.set.empty()) {
            QV_LOG("readSet.fd_array[i]=%d\n", svc.set[0]);
            svc.set.resize(1);  // the listening socket is closed by the service as it leaves
        }
        if (svc.wake) svc.wake->Signal();
    }
    for (int32_t c : clients) {
        QV_LOG("readSet.fd_array[i]=%d\n", c);
        const bool closed = ForgetAndClose(c);
        QV_LOG("readSet.fd_array[i]=%d close=%d\n", c, closed ? 0 : -1);
    }
    SetLastErrorCode(kOk);
    return 0;
}

int32_t CloseClientSocket(int32_t* socket) {
    if (socket == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    const int32_t s = *socket;
    WriteLog(kLogBoth, "%s %d socket=%d", "qv_CloseClientSocket", __LINE__, s);
    Service& svc = TheService();
    {
        std::lock_guard<std::mutex> lock(svc.mu);
        if (!svc.set.empty()) {
            QV_LOG("%s %d readSet.fd_count=%d", "qv_CloseClientSocket", __LINE__, static_cast<int>(svc.set.size()));
            // Entry 0 is the listening socket: it is the service's own.
            auto it = std::find(svc.set.begin() + 1, svc.set.end(), s);
            if (it != svc.set.end()) svc.set.erase(it);
        }
    }
    if (s != platform::kNoSocket) {
        if (!ForgetAndClose(s)) {
            QV_LOG("%s %d %d is no socket of the library\n", "qv_CloseClientSocket", __LINE__, s);
            SetLastErrorCode(kErrInvalidSocket);
            return 0;
        }
        QV_LOG("%s %d %d closed", "qv_CloseClientSocket", __LINE__, s);
        *socket = platform::kNoSocket;
    }
    SetLastErrorCode(kOk);
    QV_LOG("%s %d return", "qv_CloseClientSocket", __LINE__);
    return 0;
}

int32_t ConnectToService(const char* ip, int32_t port, int32_t* out) {
    QV_LOG("[%s] begin...\n", "qv_connectToService");
    if (out == nullptr || ip == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return -1;
    }
    int err = 0;
    if (!platform::StartNetwork(&err)) {
        SetLastErrorCode(kErrInitNetwork);
        QV_LOG("[%s] Failed to initialize Winsock2.\n", "qv_connectToService");
        return -1;
    }
    const platform::Socket s = platform::CreateTcpSocket(&err);
    if (s == platform::kNoSocket) {
        SetLastErrorCode(kErrInvalidSocket);
        QV_LOG("[%s] Failed to create socket.", "qv_connectToService");
        platform::StopNetwork();
        return -1;
    }
    auto fail = [s](int32_t code) {
        SetLastErrorCode(code);
        platform::CloseSocket(s);
        platform::StopNetwork();
        return -1;
    };
    if (!platform::SetNonBlocking(s, &err)) {
        WriteLog(kLogConsole, "Failed to set socket to non-blocking mode.");
        return fail(kErrNonBlocking);
    }
    platform::SetReuseAddress(s, &err);
    QV_LOG("[%s][%d] connect to %s %d\n", "qv_connectToService", __LINE__, ip, port);
    uint32_t address = 0;
    if (!platform::ParseIPv4(ip, &address) || port < 1 || port > 65535) {
        QV_LOG("[%s] Failed to connect to server\n", "qv_connectToService");
        return fail(kErrConnect);
    }
    switch (platform::ConnectIPv4(s, address, static_cast<uint16_t>(port), kServiceConnectTimeoutMs, nullptr, &err)) {
        case platform::ConnectResult::kConnected:
            break;
        case platform::ConnectResult::kTimedOut:
            QV_LOG("%s %d[select] connect to server error.", "qv_connectToService", __LINE__);
            return fail(kErrConnectTimeout);
        case platform::ConnectResult::kCancelled:
        case platform::ConnectResult::kFailed:
            QV_LOG("[%s] Failed to connect to server\n", "qv_connectToService");
            QV_LOG("[%s] stderr=%d\n", "qv_connectToService", err);
            return fail(kErrConnect);
    }
    QV_LOG("%s %d[select] connect to server successfully.", "qv_connectToService", __LINE__);
    AddSocket(s);
    *out = s;
    SetLastErrorCode(kOk);
    QV_LOG("[%s] ending...", "qv_connectToService");
    return 0;
}

int32_t SendDataToSocket(int32_t socket, const char* data, int32_t length) {
    QV_LOG("[%s] begin...", "qv_sendDataToSocket");
    if (socket == platform::kNoSocket || !IsLibrarySocket(socket)) {
        QV_LOG("[%s] 无效SOCKET", "qv_sendDataToSocket");
        SetLastErrorCode(kErrInvalidSocket);
        return -1;
    }
    if (data == nullptr || length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return -1;
    }
    int32_t done = 0;
    while (done < length) {
        int err = 0;
        const int64_t n = platform::Send(socket, data + done, static_cast<size_t>(length - done), &err);
        if (n > 0) {
            done += static_cast<int32_t>(n);
            continue;
        }
        const platform::NetError kind = n < 0 ? platform::ClassifyError(err) : platform::NetError::kWouldBlock;
        if (kind == platform::NetError::kInterrupted) continue;
        if (kind == platform::NetError::kWouldBlock &&
            platform::WaitWritable(socket, kSendRoomWaitMs, nullptr, &err) == platform::WaitResult::kReady) {
            continue;
        }
        QV_LOG("[%s] Failed to send data. Error=%d", "qv_sendDataToSocket", err);
        SetLastErrorCode(kErrSendTcp);
        return -1;
    }
    SetLastErrorCode(kOk);
    QV_LOG("[%s] ending...", "qv_sendDataToSocket");
    return 0;
}

int32_t ReadFromSocket(int32_t socket, int32_t timeoutMs, char* out, int32_t* length) {
    QV_LOG("[%s] begin...", "qv_readFromSocket");
    if (socket == platform::kNoSocket || !IsLibrarySocket(socket)) {
        QV_LOG("[%s] 无效SOCKET", "qv_readFromSocket");
        SetLastErrorCode(kErrInvalidSocket);
        return -1;
    }
    if (timeoutMs <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        QV_LOG("[%s] 超时参数错误", "qv_readFromSocket");
        return -1;
    }
    if (out == nullptr || length == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        QV_LOG("[%s] outbuf为NULL", "qv_readFromSocket");
        return -1;
    }
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int err = 0;
        const int64_t n = platform::Receive(socket, out, kSocketReadChunk, &err);
        if (n > 0) {
            *length = static_cast<int32_t>(n);
            SetLastErrorCode(kOk);
            QV_LOG("[%s] ending...", "qv_readFromSocket");
            return 0;
        }
        const platform::NetError kind = n == 0 ? platform::NetError::kOther : platform::ClassifyError(err);
        if (kind == platform::NetError::kInterrupted) continue;
        if (kind == platform::NetError::kTimedOut) {
            QV_LOG("[%s] Receive timeout.\n", "qv_readFromSocket");
            SetLastErrorCode(kErrRecvTimeout);
            return -2;
        }
        if (kind != platform::NetError::kWouldBlock) {
            // A closed peer included: nothing more will come on this socket.
            QV_LOG("[%s]Failed to receive data error=%d\n", "qv_readFromSocket", n == 0 ? 0 : err);
            SetLastErrorCode(kErrRecvTcp);
            return -2;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            QV_LOG("%s %d read timeout=%d\n", "qv_readFromSocket", __LINE__, timeoutMs);
            SetLastErrorCode(kErrRecvTimeout);
            return -1;
        }
        if (platform::WaitReadable(socket, static_cast<int>(left), nullptr, &err) == platform::WaitResult::kFailed) {
            QV_LOG("[%s]Failed to receive data error=%d\n", "qv_readFromSocket", err);
            SetLastErrorCode(kErrRecvTcp);
            return -2;
        }
    }
}

}  // namespace qv
