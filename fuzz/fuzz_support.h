#pragma once

// Shared pieces of the fuzz targets, each a function `void NAME(Bytes)` in velmora::fuzz.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/utf8.h"

// A broken promise of the code under test: abort, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  ((condition) ? void() : (std::fprintf(stderr, "check failed: %s\n", #condition), std::abort()))

namespace velmora::fuzz {

using Bytes = std::span<const uint8_t>;

inline std::string_view asText(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

using platform::isWellFormedUtf8;

// A socket pair whose server end reads the input, then end-of-file. The input is written at once:
// what the socket buffer takes, far more than a fuzz input. What the server writes stays unread.
struct ClientFeed {
  explicit ClientFeed(Bytes input) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    [[maybe_unused]] const ssize_t sent = ::send(ends[0], input.data(), input.size(), MSG_DONTWAIT);
    ::shutdown(ends[0], SHUT_WR);
  }
  ~ClientFeed() { ::close(ends[0]); }
  int ends[2];  // the client's, then the server's (for a Socket that the target owns)
};

}  // namespace velmora::fuzz
