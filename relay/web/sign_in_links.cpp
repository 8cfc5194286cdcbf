#include "relay/web/sign_in_links.h"

#include "relay/random_id.h"
#include "relay/web/access_control.h"

namespace velmora::relay::web {

std::string SignInLinks::issue() {
  std::string code = randomHexId();
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
