#include "sim_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvsim {
namespace {

const char* const kNetKeys[] = {"net", "serial", "mac", "name", "tcp", "suppgr", "second", "type",
                                "answers", "discover", "reply", "mask", "gateway"};

bool is_net_key(std::string_view key) {
    for (const char* k : kNetKeys)
        if (key == k) return true;
    return false;
}

bool is_any_key(std::string_view key) { return is_net_key(key) || is_port_key(key); }

bool parse_flag(std::string_view text, bool& out) {
    if (text != "0" && text != "1") return false;
    out = text == "1";
    return true;
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string address_text(uint32_t host_order) {
    in_addr a{};
    a.s_addr = htonl(host_order);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int udp_socket(uint32_t address, uint16_t port, bool broadcast, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno_text("socket");
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (broadcast) ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = errno_text(("bind " + address_text(address) + ":" + std::to_string(port)).c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool parse_net_settings(std::string_view text, NetScannerConfig& out, std::string& error) {
    KeyValues pairs;
    if (!split_settings(text, is_any_key, pairs, error)) return false;
    KeyValues port_pairs;
    NetScannerConfig cfg;
    NetIdentity& id = cfg.identity;
    bool have_number = false, have_id = false;
    for (const auto& [key, value] : pairs) {
        uint64_t n = 0;
        if (key == "net") {
            if (!parse_com(value, id.number)) { error = "bad network scanner number '" + value + "'"; return false; }
            have_number = true;
        } else if (key == "serial") {
            id.serial = value;
        } else if (key == "mac") {
            id.mac = value;
        } else if (key == "name") {
            id.name = value;
        } else if (key == "tcp") {
            if (!parse_uint(value, 65535, n)) { error = "bad tcp port '" + value + "'"; return false; }
            cfg.tcp = static_cast<uint16_t>(n);
        } else if (key == "suppgr") {
            if (!parse_uint(value, 999, n)) { error = "bad suppgr '" + value + "'"; return false; }
            id.supp_gr = static_cast<int>(n);
        } else if (key == "second") {
            if (!parse_flag(value, id.second)) { error = "second must be 0 or 1"; return false; }
        } else if (key == "type") {
            if (value != "1" && value != "2") { error = "type must be 1 or 2"; return false; }
            id.reply_type = value[0];
        } else if (key == "answers") {
            if (!parse_uint(value, 10, n)) { error = "answers must be 0..10"; return false; }
            id.answers = static_cast<int>(n);
        } else if (key == "discover") {
            if (!parse_flag(value, id.discoverable)) { error = "discover must be 0 or 1"; return false; }
        } else if (key == "reply") {
            if (value != "broadcast" && value != "unicast") { error = "reply must be broadcast or unicast"; return false; }
            id.unicast = value == "unicast";
        } else if (key == "mask") {
            id.mask = value;
        } else if (key == "gateway") {
            id.gateway = value;
        } else if (key == "com") {
            error = "a network scanner has no com=; give net=<N>";
            return false;
        } else {
            if (key == "id") have_id = true;
            port_pairs.emplace_back(key, value);
        }
    }
    if (!have_number) {
        error = "network scanner settings without net=<N>";
        return false;
    }
    char defaults[64];
    if (id.serial.empty()) {
        std::snprintf(defaults, sizeof defaults, "QVNET%04d", id.number);
        id.serial = defaults;
    }
    if (id.mac.empty()) {
        std::snprintf(defaults, sizeof defaults, "02:51:56:00:00:%02X", id.number);
        id.mac = defaults;
    }
    if (id.name.empty()) id.name = "QuorviaSim Net " + std::to_string(id.number);
    if (!have_id) port_pairs.emplace_back("id", "QuorviaSim Net Scanner,SN:" + id.serial + ",FW:1.00");
    port_pairs.emplace_back("com", std::to_string(id.number));
    if (!apply_port_settings(port_pairs, cfg.port, error)) return false;
    out = std::move(cfg);
    return true;
}

bool only_loopback_network(std::string& why) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        why = errno_text("getifaddrs");
        return false;
    }
    bool ok = true;
    for (const ifaddrs* i = list; i != nullptr && ok; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if (i->ifa_flags & IFF_LOOPBACK) continue;
        const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        why = std::string(i->ifa_name) + " has " + address_text(ntohl(sa->sin_addr.s_addr));
        ok = false;
    }
    ::freeifaddrs(list);
    return ok;
}

NetResponder::~NetResponder() { stop(); }

void NetResponder::add(const NetIdentity& identity) {
    std::lock_guard lk(mu_);
    scanners_[identity.number] = identity;
}

bool NetResponder::start(std::string& error) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno_text("pipe2");
        return false;
    }
    wake_rd_ = p[0];
    wake_wr_ = p[1];
    rx_ = udp_socket(INADDR_ANY, kQueryPort, false, error);
    if (rx_ < 0) return false;
    tx_ = udp_socket(INADDR_LOOPBACK, 0, true, error);
    if (tx_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void NetResponder::stop() {
    {
        std::lock_guard lk(mu_);
        stopping_ = true;
    }
    if (wake_wr_ >= 0) {
        const char c = 1;
        while (::write(wake_wr_, &c, 1) < 0 && errno == EINTR) {
        }
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&rx_, &tx_, &wake_rd_, &wake_wr_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void NetResponder::run() {
    std::vector<char> buf(65536);
    for (;;) {
        struct pollfd p[2] = {{wake_rd_, POLLIN, 0}, {rx_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            std::perror("quorvia-sim: poll");
            return;
        }
        {
            std::lock_guard lk(mu_);
            if (stopping_) return;
        }
        if (!(p[1].revents & POLLIN)) continue;
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(rx_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            on_datagram(std::string(buf.data(), static_cast<size_t>(n)), ntohl(from.sin_addr.s_addr));
        }
    }
}

void NetResponder::send(const std::string& datagram, bool unicast, uint32_t from, uint16_t port) {
    // Only ever 127.0.0.1 or the limited broadcast address.
    uint32_t to = INADDR_BROADCAST;
    if (unicast) {
        if (from != INADDR_LOOPBACK) {
            std::fprintf(stderr, "quorvia-sim: no unicast reply to %s (only 127.0.0.1)\n", address_text(from).c_str());
            return;
        }
        to = INADDR_LOOPBACK;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(to);
    sa.sin_port = htons(port);
    if (::sendto(tx_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
        std::perror("quorvia-sim: sendto");
    }
}

void NetResponder::on_datagram(const std::string& bytes, uint32_t from) {
    NetMessage msg;
    if (!parse_net_datagram(bytes, msg)) return;
    std::lock_guard lk(mu_);
    if (msg.type == kMsgQuery) {
        ++queries_;
        sources_.insert(address_text(from));
        const uint16_t port = answer_port(msg.text);
        for (const auto& [number, id] : scanners_) {
            for (const std::string& d : answer_query(id)) send(d, id.unicast, from, port);
        }
        return;
    }
    if (msg.type == kMsgConfig || msg.type == kMsgConfigMode1) {
        ++requests_;
        last_request_ = bytes;
        for (auto& [number, id] : scanners_) {
            if (auto reply = answer_config(id, msg)) send(*reply, id.unicast, from, kDefaultAnswerPort);
        }
    }
}

std::string NetResponder::command(int number, const std::vector<std::string>& w) {
    std::lock_guard lk(mu_);
    auto it = scanners_.find(number);
    if (it == scanners_.end()) return "ERR no network scanner " + std::to_string(number);
    NetIdentity& id = it->second;
    const std::string& cmd = w.at(0);
    if (cmd == "discover" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        id.discoverable = w[1] == "on";
        return "OK";
    }
    if (cmd == "answers" && w.size() == 2) {
        uint64_t n = 0;
        if (!parse_uint(w[1], 10, n)) return "ERR answers must be 0..10";
        id.answers = static_cast<int>(n);
        return "OK";
    }
    if (cmd == "netreply" && w.size() >= 3 && (w[1] == "first" || w[1] == "second")) {
        std::optional<std::string> text;
        if (w[2] != "default") {
            std::string hex, bytes;
            for (size_t i = 2; i < w.size(); ++i) hex += w[i];
            if (!from_hex(hex, bytes)) return "ERR bad hex text";
            text = bytes;
        }
        (w[1] == "first" ? id.first_text : id.second_text) = text;
        return "OK";
    }
    if (cmd == "netraw" && w.size() >= 2) {
        if (w[1] == "off") {
            id.raw_answers.clear();
            return "OK";
        }
        std::string hex, bytes;
        for (size_t i = 1; i < w.size(); ++i) hex += w[i];
        if (!from_hex(hex, bytes) || bytes.empty()) return "ERR bad hex bytes";
        id.raw_answers.push_back(bytes);
        return "OK";
    }
    if (cmd == "netstats" && w.size() == 1) {
        std::string sources;
        for (const std::string& s : sources_) sources += (sources.empty() ? "" : ",") + s;
        return "OK queries=" + std::to_string(queries_) + " requests=" + std::to_string(requests_) +
               " configured=" + std::to_string(id.configured) + " sources=" + sources;
    }
    if (cmd == "netconfig" && w.size() == 1) {
        return "OK dhcp=" + id.dhcp + " ip=" + id.device_ip + " mask=" + id.device_mask + " gateway=" +
               id.device_gateway;
    }
    if (cmd == "netlast" && w.size() == 1) return last_request_.empty() ? "OK" : "OK " + to_hex(last_request_);
    return "ERR unknown network command";
}

}  // namespace qvsim
