#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::relay::web {

// Where a one-time sign-in link leads: kSignInLinkPrefix and the code, answered by the access
// middleware (relay/access_control.h).
inline constexpr std::string_view kSignInLinkPrefix = "/signin/";

// The one-time codes of the sign-in links that the QR code carries while an access token is set:
// a person who scans it is signed in without typing the token. One code is valid at a time, for
// kLifetime and one use; making a new one ends the old. Every call may come from any thread.
class SignInLinks {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr auto kLifetime = std::chrono::minutes(10);

  SignInLinks() = default;

  // A fresh code (relay::randomHexId: 128 random bits as 32 lower-case hex digits). The code made
  // before it is no longer valid. Throws std::runtime_error when no random bytes are had.
  std::string issue();
  // Whether `code` is the valid code, issued less than kLifetime ago; a true answer uses it up.
  // Compared in constant time.
  bool redeem(std::string_view code);
  // The code made last ends unused (the link it was in is no longer shown).
  void revoke();
  // Where the time comes from; tests set their own to see a code expire.
  void setClock(Clock clock);

 private:
  mutable std::mutex mutex_;
  Clock clock_ = std::chrono::steady_clock::now;      // guarded by mutex_
  std::optional<std::string> code_;                   // guarded by mutex_
  std::chrono::steady_clock::time_point issuedAt_{};  // guarded by mutex_
};

}  // namespace velmora::relay::web
