// The network side of the simulator: network scanners' settings, the check
// that the simulator runs inside a private network namespace, and the UDP
// responder that answers discovery queries and configuration requests for
// every network scanner.
//
// Safety: the responder sends only to 255.255.255.255 and 127.0.0.1, and the
// simulator refuses to start network scanners unless every IPv4 address of
// the network namespace it runs in is a loopback one (as inside
// `unshare -n`), so no datagram can leave the machine.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net_discovery.h"
#include "sim_config.h"

namespace qvsim {

struct NetScannerConfig {
    PortConfig port;       // the device logic's settings; port.com is the scanner's number
    NetIdentity identity;  // what it answers to discovery
    uint16_t tcp = 0;      // TCP port to listen on, 0 for one the system picks
};

// Parses "net=5,serial=...,mac=...,name=...,tcp=0,suppgr=0|N,second=0|1,type=1|2,
// answers=N,discover=0|1,reply=broadcast|unicast,mask=...,gateway=..." plus the
// device keys of --port (id=, base=, mode=, ...).
bool parse_net_settings(std::string_view text, NetScannerConfig& out, std::string& error);

// True when every IPv4 address of this network namespace is on a loopback
// interface; otherwise false with the first other address in `why`.
bool only_loopback_network(std::string& why);

class NetResponder {
public:
    NetResponder() = default;
    ~NetResponder();
    NetResponder(const NetResponder&) = delete;
    NetResponder& operator=(const NetResponder&) = delete;

    // A scanner to answer for (its identity carries its TCP port).
    void add(const NetIdentity& identity);
    bool start(std::string& error);
    void stop();

    // Control commands: discover, answers, netreply, netraw, netstats,
    // netconfig, netlast (see main.cpp). "ERR ..." for an unknown scanner.
    std::string command(int number, const std::vector<std::string>& words);

private:
    void run();
    void on_datagram(const std::string& bytes, uint32_t from);
    void send(const std::string& datagram, bool unicast, uint32_t from, uint16_t port);

    std::mutex mu_;
    std::map<int, NetIdentity> scanners_;
    std::thread thread_;
    bool stopping_ = false;
    int rx_ = -1;  // 0.0.0.0:36510: queries and requests (broadcasts arrive only there)
    int tx_ = -1;  // 127.0.0.1, any port, broadcast enabled: every reply
    int wake_rd_ = -1;
    int wake_wr_ = -1;
    uint64_t queries_ = 0;
    uint64_t requests_ = 0;
    std::set<std::string> sources_;  // addresses queries came from
    std::string last_request_;       // the last configuration request, whole datagram
};

}  // namespace qvsim
