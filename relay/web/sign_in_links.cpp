#include "relay/web/sign_in_links.h"

#include <openssl/rand.h>

#include <array>
#include <stdexcept>

#include "platform/ascii.h"
#include "relay/web/access_control.h"

namespace velmora::relay::web {

std::string SignInLinks::issue() {
  std::array<unsigned char, 16> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
    throw std::runtime_error("no random bytes for a sign-in code");
  }
  std::string code = platform::lowerHex(random);
  std::lock_guard lock(mutex_);
  code_ = code;
  issuedAt_ = clock_();
  return code;
}

bool SignInLinks::redeem(std::string_view code) {
  std::lock_guard lock(mutex_);
  if (!code_ || !sameSecret(code, *code_)) return false;
  const bool fresh = clock_() - issuedAt_ < kLifetime;
  code_.reset();  // an expired code is no use either
  return fresh;
}

void SignInLinks::revoke() {
  std::lock_guard lock(mutex_);
  code_.reset();
}

void SignInLinks::setClock(Clock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

}  // namespace velmora::relay::web
