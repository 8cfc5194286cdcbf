#include "platform/host_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

#include "platform/ascii.h"

namespace velmora::platform {

namespace {

bool isLoopback(const ifaddrs& entry) {
  if ((entry.ifa_flags & IFF_LOOPBACK) != 0) return true;
  // A loopback address may also sit on another interface.
  if (entry.ifa_addr->sa_family == AF_INET) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
    return (ntohl(address->sin_addr.s_addr) >> 24) == 127;
  }
  const auto* address = reinterpret_cast<const sockaddr_in6*>(entry.ifa_addr);
  return IN6_IS_ADDR_LOOPBACK(&address->sin6_addr);
}

// The interface of the IPv4 default route (destination 0.0.0.0 with mask 0), "" when there is
// none: its address is the one other machines on the network most likely reach.
std::string defaultRouteInterface() {
  std::ifstream table("/proc/net/route");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, references, use, metric, mask;
    if (fields >> name >> destination >> gateway >> flags >> references >> use >> metric >> mask &&
        destination == "00000000" && mask == "00000000") {
      return name;
    }
  }
  return {};
}

}  // namespace

std::vector<std::string> hostAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  const std::string routed = defaultRouteInterface();
  std::vector<std::string> reachable;
  std::size_t routedCount = 0;  // the default route's addresses lead `reachable`
  std::vector<std::string> loopback;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[NI_MAXHOST];
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(entry->ifa_addr, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
      continue;
    }
    if (std::find(reachable.begin(), reachable.end(), text) != reachable.end() ||
        std::find(loopback.begin(), loopback.end(), text) != loopback.end()) {
      continue;
    }
    if (isLoopback(*entry)) {
      loopback.emplace_back(text);
    } else if (!routed.empty() && entry->ifa_name == routed) {
      reachable.emplace(reachable.begin() + static_cast<std::ptrdiff_t>(routedCount++), text);
    } else {
      reachable.emplace_back(text);
    }
  }
  freeifaddrs(list);
  reachable.insert(reachable.end(), loopback.begin(), loopback.end());
  return reachable;
}

const std::vector<std::string>& hostNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> found;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return found;
    const std::string plain = lowercaseAscii(name);
    found.push_back(plain);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) == 0) {
      if (result->ai_canonname) found.push_back(lowercaseAscii(result->ai_canonname));
      freeaddrinfo(result);
    }
    found.push_back(plain + ".local");
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }();
  return names;
}

}  // namespace velmora::platform
