#include "relay/random_id.h"

#include <openssl/rand.h>

#include <array>
#include <stdexcept>

#include "platform/ascii.h"

namespace velmora::relay {

std::string randomHexId() {
  std::array<unsigned char, 16> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
    throw std::runtime_error("no random bytes to be had");
  }
  return platform::lowerHex(random);
}

}  // namespace velmora::relay
