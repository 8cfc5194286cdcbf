#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velmora::http {

// Bounds on what one client may make the server hold. The defaults lie far beyond anything a
// browser sends; a request over a bound, or one too slow to arrive, is treated like any malformed
// request (the connection is closed without an answer) and nothing is allocated for a refused
// body.
struct HttpLimits {
  std::size_t maxLineBytes = 64 * 1024;         // request line and each header line
  std::size_t maxHeaderLines = 200;
  uint64_t maxBodyBytes = 64 * 1024 * 1024;
  // How long a connection may wait for the first byte of a request, and for progress inside one.
  std::chrono::milliseconds idleTimeout{60'000};
  // A request's line and header lines together must arrive within this time of its first byte,
  // however slowly they trickle in.
  std::chrono::milliseconds headerTimeout{60'000};
  // A body gets idleTimeout, and one second more for every so many bytes that arrive.
  uint32_t minBodyBytesPerSecond = 500;
  // Connections served at once; more wait in the listening socket's backlog until one ends.
  std::size_t maxConnections = 1024;
};

}  // namespace velmora::http
