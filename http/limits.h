#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velmora::http {

// Bounds on what one client may make the server hold. The defaults lie far beyond anything a
// browser sends. A request over a bound is answered with the status named beside it and the
// connection then closes; memory follows the bytes that arrived, never a length announced.
struct HttpLimits {
  std::size_t maxRequestLineBytes = 8 * 1024;  // 414; line end excluded
  // The request line and the header lines, line ends and the empty line included: 431.
  std::size_t maxHeadBytes = 64 * 1024;
  std::size_t maxHeaderLines = 200;          // 431
  uint64_t maxBodyBytes = 64 * 1024 * 1024;  // 413, before any of the body is read
  // How long a kept connection may wait for the next request, and a request for progress.
  std::chrono::milliseconds idleTimeout{60'000};
  // How long a new connection may wait for its first byte; a client that opens connections and
  // says nothing holds them only this long.
  std::chrono::milliseconds firstByteTimeout{10'000};
  // A request's line and header lines together must arrive within this time of its first byte,
  // however slowly they trickle in.
  std::chrono::milliseconds headerTimeout{60'000};
  // A body gets idleTimeout, and one second more for every so many bytes that arrive.
  uint32_t minBodyBytesPerSecond = 500;
  // Connections served at once; more wait in the listening socket's backlog until one ends.
  std::size_t maxConnections = 1024;
  // Connections from one address at once, so that others find room: more are answered 429.
  std::size_t maxConnectionsPerAddress = 128;
  // After a refusal the connection reads and drops what the client still sends, at most this
  // long and this much, so that the client reads the answer rather than a reset.
  std::chrono::milliseconds lingerTimeout{2'000};
  std::size_t lingerBytes = 1024 * 1024;
};

}  // namespace velmora::http
