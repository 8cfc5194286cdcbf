#include "platform/host_addresses.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace velmora::platform {
namespace {

bool isLoopbackText(const std::string& text) {
  return text == "::1" || text.starts_with("127.");
}

TEST(HostAddresses, NumericTextsWithLoopbackLastAndNoRepeats) {
  const std::vector<std::string> addresses = hostAddresses();
  ASSERT_FALSE(addresses.empty());
  // The loopback interface is up wherever the tests can run (they serve on 127.0.0.1).
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());

  bool loopbackSeen = false;
  for (const auto& text : addresses) {
    SCOPED_TRACE(text);
    const std::string bare = text.substr(0, text.find('%'));  // IPv6 scope ("%eth0")
    unsigned char buffer[16];
    const bool numeric = inet_pton(AF_INET, bare.c_str(), buffer) == 1 ||
                         inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
    EXPECT_TRUE(numeric);
    if (isLoopbackText(text)) {
      loopbackSeen = true;
    } else {
      EXPECT_FALSE(loopbackSeen) << "a reachable address after a loopback one";
    }
  }
  EXPECT_EQ(std::set<std::string>(addresses.begin(), addresses.end()).size(), addresses.size());
}

}  // namespace
}  // namespace velmora::platform
