#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velmora::http {

// Bounds on what one client may make the server hold. The defaults lie far beyond anything a
// browser sends; a request over a bound is treated like any malformed request (the connection is
// closed without an answer) and nothing is allocated for a refused body.
struct HttpLimits {
  std::size_t maxLineBytes = 64 * 1024;         // request line and each header line
  std::size_t maxHeaderLines = 200;
  uint64_t maxBodyBytes = 64 * 1024 * 1024;
  // How long a connection may wait for the first byte of a request, and for progress inside one.
  std::chrono::milliseconds idleTimeout{60'000};
};

}  // namespace velmora::http
