#pragma once

// Shared pieces of the fuzz targets: a socket pair that plays the client, an independent UTF-8
// check to compare the project's against, and a check that aborts (so libFuzzer keeps the input).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

// A broken promise of the code under test: print what and where, then abort.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace velmora::fuzz {

// A connected stream-socket pair whose client end sends the input and then shuts down for
// writing, so that the server end reads exactly the input followed by end-of-file. Whatever the
// server writes back is read and dropped, so its writes never block. The client's work runs on
// a thread of its own unless the whole input fits the socket buffer at once.
//
// Give serverDescriptor() to a Socket and destroy that Socket (closing the server end) before
// the ClientFeed: the client thread ends when the server end has gone.
class ClientFeed {
 public:
  ClientFeed(std::span<const uint8_t> input, bool serverWrites) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      std::perror("socketpair");
      std::abort();
    }
    client_ = pair[0];
    server_ = pair[1];
    std::size_t sent = 0;
    if (!serverWrites) {
      sent = sendSome(input, MSG_DONTWAIT);
      if (sent == input.size()) {
        ::shutdown(client_, SHUT_WR);
        return;
      }
    }
    thread_ = std::thread([this, rest = input.subspan(sent)] { converse(rest); });
  }

  ~ClientFeed() {
    if (thread_.joinable()) thread_.join();
    ::close(client_);
  }

  ClientFeed(const ClientFeed&) = delete;
  ClientFeed& operator=(const ClientFeed&) = delete;

  int serverDescriptor() const { return server_; }

 private:
  // As much of `bytes` as the socket takes now (flags add MSG_DONTWAIT) or, blocking, all of it;
  // stops early when the server end has gone.
  std::size_t sendSome(std::span<const uint8_t> bytes, int flags) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t result =
          ::send(client_, bytes.data() + sent, bytes.size() - sent, flags | MSG_NOSIGNAL);
      if (result < 0 && errno == EINTR) continue;
      if (result <= 0) break;
      sent += static_cast<std::size_t>(result);
    }
    return sent;
  }

  // Sends the rest of the input and drops what comes back, both as the socket allows, until the
  // server end has closed.
  void converse(std::span<const uint8_t> rest) {
    bool writing = true;
    if (rest.empty()) {
      ::shutdown(client_, SHUT_WR);
      writing = false;
    }
    uint8_t sink[16 * 1024];
    for (;;) {
      pollfd watch{client_, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
      if (::poll(&watch, 1, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (writing && (watch.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
        const ssize_t result =
            ::send(client_, rest.data(), rest.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (result > 0) rest = rest.subspan(static_cast<std::size_t>(result));
        if ((result < 0 && errno != EAGAIN && errno != EINTR) || rest.empty()) {
          ::shutdown(client_, SHUT_WR);
          writing = false;
        }
      }
      if ((watch.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        const ssize_t result = ::recv(client_, sink, sizeof sink, MSG_DONTWAIT);
        if (result == 0 || (result < 0 && errno != EAGAIN && errno != EINTR)) return;
      }
    }
  }

  int client_ = -1;
  int server_ = -1;
  std::thread thread_;
};

// Well-formed UTF-8 by decoding each code point and judging its value, which is another road to
// the answer than the byte-range tables of the code under test.
inline bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    std::size_t length;
    uint32_t codePoint;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    constexpr uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length]) return false;               // overlong
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;  // surrogate
    if (codePoint > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

inline std::string_view asText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The input up to its first line feed, and the rest after it.
inline std::pair<std::string_view, std::span<const uint8_t>> splitFirstLine(
    std::span<const uint8_t> input) {
  const std::string_view text = asText(input);
  const std::size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return {text, {}};
  return {text.substr(0, newline), input.subspan(newline + 1)};
}

}  // namespace velmora::fuzz
