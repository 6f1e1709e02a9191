// Scanners that connect to a host's TCP service: the simulator opens client
// connections to 127.0.0.1 only, sends what a test asks for and tells whether
// the host has closed a connection.
//
//   tcpclient connect <port> <count>   -> "OK <first> <last>" (client numbers)
//   tcpclient send <i> <hex>           -> "OK"
//   tcpclient recv <i>                 -> "OK <hex>" of what has arrived (may be empty)
//   tcpclient state <i>                -> "OK open" | "OK closed" (the host closed it)
//   tcpclient close <i>|all            -> "OK"
#pragma once

#include <string>
#include <vector>

namespace qvsim {

class TcpClients {
public:
    TcpClients() = default;
    ~TcpClients();
    TcpClients(const TcpClients&) = delete;
    TcpClients& operator=(const TcpClients&) = delete;

    // words[0] == "tcpclient".
    std::string command(const std::vector<std::string>& words);
    void close_all();

private:
    int at(const std::string& word) const;  // the descriptor of client `word`, -1 when none
    std::vector<int> fds_;                  // -1 for closed clients
};

}  // namespace qvsim
