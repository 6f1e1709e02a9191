// Network safety for tests and benchmarks: whatever can send a UDP broadcast
// (network enumeration, discovery, configuration requests, the simulator's
// network scanners) runs only in a private network namespace, where the
// loopback interface is the only one and nothing leaves the machine.
//
// Every test program enters a namespace of its own before its first test
// (test_main.cpp), so test programs running in parallel never see each
// other's datagrams. Tests that send check PrivateNetwork() first and refuse
// to run outside one.
#pragma once

#include <string>

namespace qvtest {

// Moves this process into a new network namespace with the loopback
// interface up. False (with the reason) when the system does not allow it;
// then the process stays where it was.
bool EnterPrivateNetwork(std::string* why);

// True when every IPv4 address visible here belongs to a loopback interface
// (inside `unshare -n` only 127.0.0.1, and what a test added to lo).
bool OnlyLoopbackNetwork(std::string* why);

// Adds an IPv4 address to the loopback interface (as label lo:<n>), for tests
// that need a second local address. Refused outside a private namespace.
bool AddLoopbackAddress(const std::string& address, std::string* why);

}  // namespace qvtest
