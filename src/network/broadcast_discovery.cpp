#include "network/broadcast_discovery.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "core/errors.h"
#include "core/log.h"
#include "network/net_datagram.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void ClosePair(BroadcastSocketPair& pair) {
    platform::CloseSocket(pair.sendSocket);
    platform::CloseSocket(pair.recvSocket);
    pair.sendSocket = platform::kNoSocket;
    pair.recvSocket = platform::kNoSocket;
}

// Makes the sockets of one local address; false (with the error set and
// nothing left open) when one step fails.
bool OpenPair(BroadcastSocketPair& pair) {
    const char* fn = "CNetworkCommunication::CreateBroadcastSockets";
    int err = 0;
    uint32_t address = 0;
    if (!platform::ParseIPv4(pair.address.c_str(), &address)) return false;
    pair.sendSocket = platform::CreateUdpSocket(&err);
    if (pair.sendSocket == platform::kNoSocket) {
        SetLastErrorCode(kErrUdpSocket);
        return false;
    }
    if (!platform::SetBroadcast(pair.sendSocket, &err)) {
        QV_LOG("[%s][%d] set SO_BROADCAST stderr=%d\n", fn, __LINE__, err);
        SetLastErrorCode(kErrBroadcast);
        ClosePair(pair);
        return false;
    }
    if (!platform::SetReuseAddress(pair.sendSocket, &err)) {
        QV_LOG("[%s][%d] sendSock set SO_REUSEADDR stderr=%d\n", fn, __LINE__, err);
        ClosePair(pair);
        return false;
    }
    if (!platform::BindIPv4(pair.sendSocket, address, 0, &err)) {
        QV_LOG("bind failed.ip=[%s] errno=[%d]\n", pair.address.c_str(), err);
        SetLastErrorCode(kErrBind);
        ClosePair(pair);
        return false;
    }
    pair.recvSocket = platform::CreateUdpSocket(&err);
    if (pair.recvSocket == platform::kNoSocket) {
        QV_LOG("recvSock %d\n", pair.recvSocket);
        SetLastErrorCode(kErrSendUdp);
        ClosePair(pair);
        return false;
    }
    if (!platform::SetReuseAddress(pair.recvSocket, &err)) {
        QV_LOG("[%s][%d] recvSock set SO_REUSEADDR stderr=%d\n", fn, __LINE__, err);
        ClosePair(pair);
        return false;
    }
    if (!platform::BindIPv4(pair.recvSocket, platform::kAnyAddress, kAnswerPort, &err) ||
        !platform::SetNonBlocking(pair.recvSocket, &err)) {
        QV_LOG("[%s][%d]bind recvSock stderr=%d\n", fn, __LINE__, err);
        SetLastErrorCode(kErrBind);
        ClosePair(pair);
        return false;
    }
    return true;
}

}  // namespace

CBroadcastDiscovery::~CBroadcastDiscovery() { StopBroadcast(); }

bool CBroadcastDiscovery::CreateBroadcastSockets() {
    const char* fn = "CNetworkCommunication::CreateBroadcastSockets";
    StopBroadcast();
    int err = 0;
    if (!platform::StartNetwork(&err)) {
        QV_LOG("[%s][%d] stderr=%ld\n", fn, __LINE__, static_cast<long>(err));
        SetLastErrorCode(kErrInitNetwork);
        return false;
    }
    std::vector<std::string> addresses;
    if (!platform::LocalIPv4Addresses(&addresses, &err)) {
        QV_LOG("[%s][%d] stderr=%d\n", fn, __LINE__, err);
        SetLastErrorCode(kErrInitNetwork);
        platform::StopNetwork();
        return false;
    }
    for (const std::string& address : addresses) {
        auto pair = std::make_unique<BroadcastSocketPair>();
        pair->address = address;
        if (!OpenPair(*pair)) continue;
        m_vBroadcastSocket.push_back(std::move(pair));
        QV_LOG("%s %d push m_vBroadcastSocket.size()=%d\n", fn, __LINE__, static_cast<int>(m_vBroadcastSocket.size()));
    }
    if (m_vBroadcastSocket.empty()) platform::StopNetwork();
    return !m_vBroadcastSocket.empty();
}

void CBroadcastDiscovery::BroadcastSendThread(size_t i) {
    BroadcastSocketPair& pair = *m_vBroadcastSocket[i];
    if (pair.sendRunning.exchange(1) != 0) return;
    std::vector<char> query;
    BuildDatagram(kTypeQuery, kQueryPayload, std::strlen(kQueryPayload), &query);
    for (;;) {
        if (pair.sendRunning.load() == 0) {
            pair.sendStopped = 1;
            return;
        }
        pair.sendStopped = 0;
        int err = 0;
        int64_t sent = 0;
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            sent = platform::SendTo(pair.sendSocket, query.data(), query.size(), platform::kBroadcastAddress,
                                    kDiscoveryPort, &err);
            if (sent < 0) {
                QV_LOG("[%s][%d] stderr=%d\n", "CNetworkCommunication::BroadcastSendThread", __LINE__, err);
                SetLastErrorCode(kErrSendUdp);
                platform::CloseSocket(pair.sendSocket);
                pair.sendSocket = platform::kNoSocket;
            }
        }
        if (sent < 0) {
            pair.sendStopped = 1;
            return;
        }
        std::unique_lock<std::mutex> lock(m_wakeMutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(kQueryIntervalMs),
                        [&] { return pair.sendRunning.load() == 0; });
    }
}

void CBroadcastDiscovery::BroadcastRecvThread(size_t i, int32_t timeoutMs, char* out) {
    try {
        ReceiveLoop(i, timeoutMs, out);
    } catch (const std::exception& e) {
        // Out of memory while keeping a reply: what was collected stays.
        QV_LOG("[%s][%d] index=%d %s\n", "CNetworkCommunication::BroadcastRecvThread", __LINE__, static_cast<int>(i),
               e.what());
    }
}

void CBroadcastDiscovery::ReceiveLoop(size_t i, int32_t timeoutMs, char* out) {
    const platform::Socket s = m_vBroadcastSocket[i]->recvSocket;
    const Clock::time_point start = Clock::now();
    const int32_t limit = timeoutMs < 0 ? 0 : timeoutMs;
    std::vector<char> buffer(kReceiveBufferSize);
    std::string text;
    for (;;) {
        const int64_t elapsed = MsSince(start);
        if (elapsed > limit) break;
        int err = 0;
        const platform::WaitResult w =
            platform::WaitReadable(s, static_cast<int>(limit - elapsed), nullptr, &err);
        if (w == platform::WaitResult::kTimedOut) {
            if (MsSince(start) >= limit) break;
            continue;
        }
        int64_t n = -1;
        if (w == platform::WaitResult::kReady) {
            std::lock_guard<std::mutex> lock(socketMutex);
            n = platform::ReceiveFrom(s, buffer.data(), buffer.size(), nullptr, &err);
        }
        if (n < 0) {
            const platform::NetError kind = platform::ClassifyError(err);
            if (w == platform::WaitResult::kReady &&
                (kind == platform::NetError::kWouldBlock || kind == platform::NetError::kInterrupted)) {
                continue;
            }
            QV_LOG("read error：%d\n", err);
            SetLastErrorCode(kErrRecvUdp);
            return;
        }
        uint8_t type = 0;
        if (!ParseDatagram(buffer.data(), static_cast<size_t>(n), &type, &text)) continue;
        if (type == kTypeReply1 || type == kTypeReply2) {
            QV_LOG("1031 realBuf=%s", text.c_str());
            std::lock_guard<std::mutex> lock(listMutex);
            AcceptFirstReply(text, m_vNetDev, pendingReplies);
        } else if (type == kTypeSecondReply) {
            QV_LOG("103a realBuf=%s", text.c_str());
            std::lock_guard<std::mutex> lock(listMutex);
            AcceptSecondReply(text, m_vNetDev, pendingReplies);
        } else if ((type == kTypeConfigReply || type == kTypeConfigReplyMode1) && out != nullptr) {
            const size_t take = text.size() < kConfigReplyCapacity - 1 ? text.size() : kConfigReplyCapacity - 1;
            std::memcpy(out, text.data(), take);
            out[take] = '\0';
            return;
        }
    }
    QV_LOG("[%s][%d] begin index=%d timeout\n", "CNetworkCommunication::BroadcastRecvThread", __LINE__,
           static_cast<int>(i));
}

T_DevicesInfo* CBroadcastDiscovery::AddNetworkDevice(int32_t* count) {
    {
        std::lock_guard<std::mutex> lock(listMutex);
        m_vNetDev.clear();
    }
    m_list.reset();
    std::vector<std::thread> receivers;
    try {
        for (size_t i = 0; i < m_vBroadcastSocket.size(); ++i) {
            m_vBroadcastSocket[i]->sendThread = std::thread(&CBroadcastDiscovery::BroadcastSendThread, this, i);
            std::this_thread::sleep_for(std::chrono::milliseconds(kReceiveStartDelayMs));
            receivers.emplace_back(&CBroadcastDiscovery::BroadcastRecvThread, this, i, kDiscoveryWindowMs, nullptr);
        }
    } catch (const std::system_error& e) {
        // No thread to run on: discovery ends with what the started ones find.
        QV_LOG("[%s][%d] cannot start a discovery thread: %s\n", "CNetworkCommunication::AddNetworkDevice", __LINE__,
               e.what());
        SetLastErrorCode(kErrNoMemory);
    }
    for (std::thread& t : receivers) t.join();
    std::lock_guard<std::mutex> lock(listMutex);
    QV_LOG("%s %d m_vNetDev.size()=%d\n", "CNetworkCommunication::AddNetworkDevice", __LINE__,
           static_cast<int>(m_vNetDev.size()));
    if (m_vNetDev.empty()) return nullptr;
    m_list.reset(new T_DevicesInfo[m_vNetDev.size()]);
    int32_t parsed = 0;
    for (const std::string& text : m_vNetDev) {
        T_DevicesInfo& record = m_list[static_cast<size_t>(parsed)];
        std::memset(&record, 0, sizeof record);
        if (FillNetDeviceRecord(text, &record)) ++parsed;
    }
    *count = parsed;
    if (parsed == 0) {
        m_list.reset();
        return nullptr;
    }
    return m_list.get();
}

void CBroadcastDiscovery::StopBroadcast() {
    for (auto& pair : m_vBroadcastSocket) {
        {
            std::lock_guard<std::mutex> lock(m_wakeMutex);
            pair->sendRunning = 0;
        }
        m_wake.notify_all();
        if (pair->sendThread.joinable()) pair->sendThread.join();
        ClosePair(*pair);
    }
    if (!m_vBroadcastSocket.empty()) platform::StopNetwork();
    m_vBroadcastSocket.clear();
}

bool CBroadcastDiscovery::SetNetDeviceConfig(int32_t mode, const char* text, int32_t length, int32_t timeoutMs,
                                             char* out) {
    if (out != nullptr) out[0] = '\0';
    std::vector<char> datagram;
    if (text == nullptr || length < 1 ||
        !BuildDatagram(mode == 1 ? kTypeConfigRequestMode1 : kTypeConfigRequest, text, static_cast<size_t>(length),
                       &datagram)) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    if (m_vBroadcastSocket.empty()) {
        SetLastErrorCode(kErrSendUdp);
        return false;
    }
    for (size_t i = 0; i < m_vBroadcastSocket.size(); ++i) {
        int err = 0;
        int64_t sent = 0;
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            sent = platform::SendTo(m_vBroadcastSocket[i]->sendSocket, datagram.data(), datagram.size(),
                                    platform::kBroadcastAddress, kDiscoveryPort, &err);
        }
        if (sent < 0) {
            QV_LOG("[%s][%d] stderr=%d\n", "CNetworkCommunication::SetNetDeviceConfig", __LINE__, err);
            SetLastErrorCode(kErrSendUdp);
            return false;
        }
        BroadcastRecvThread(i, timeoutMs, out);
    }
    return true;
}

}  // namespace qv
