#pragma once

#include <string>
#include <vector>

namespace velmora::platform {

// This machine's addresses as numeric texts ("192.168.1.20", "fe80::1%eth0", "127.0.0.1", "::1"),
// IPv4 and IPv6, from the interfaces that are up: those of the interface with the IPv4 default
// route first, then every other address of a non-loopback interface in the system's interface
// order, then the loopback ones, so that the first IPv4 entry is one that other machines can
// reach when there is any. Each address appears once. Empty when the list
// cannot be read. Any thread.
std::vector<std::string> hostAddresses();

// This machine's names in lower case: the host name, its fully qualified form when the resolver
// knows one, and the host name with ".local" (multicast DNS). Looked up once, on the first call
// (which may wait for the resolver); later calls answer at once. Any thread.
const std::vector<std::string>& hostNames();

}  // namespace velmora::platform
