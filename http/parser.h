#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "http/limits.h"
#include "http/socket.h"

namespace velmora::http {

// One request as read from the wire: shared between the server loop, the router and the handler.
struct HttpRequest {
  std::string path;                                              // raw text before the first '?'
  std::vector<std::pair<std::string, std::string>> queryParams;  // in order, duplicates kept
  std::string method;                                            // as sent, case kept
  std::string version;                                           // "HTTP/1.1", as sent
  std::unordered_map<std::string, std::string> headers;          // lower-cased names
  // Host field lines received: `headers` keeps only the last, and two make a request invalid
  // (RFC 9112 section 3.2).
  std::size_t hostFields = 0;
  std::vector<uint8_t> body;
  std::optional<std::string> address = std::string();  // the peer; absent when unknown
  std::unordered_map<std::string, std::string> params;  // route parameters, keys with their colon
  // The connection the request came on (set by the server loop; empty for a request built
  // elsewhere), for a handler that waits long and wants to know whether its client left.
  std::weak_ptr<Socket> connection;

  // Whether the comma-separated value of header `name` holds `token` (trimmed, lower-cased
  // pieces; pass both in lower case).
  bool headerHasToken(const std::string& name, const std::string& token) const;
};

using HttpRequestPtr = std::shared_ptr<HttpRequest>;

// Why a request could not be read. LineTooLong, TooManyHeaders and ContentTooLarge refuse
// requests beyond HttpLimits. The last three leave the body's end unknown (RFC 9112 section 6):
// they are answered, and the connection then closes.
class HttpParserError : public std::exception {
 public:
  struct InvalidStatusLine {
    std::string line;
    bool operator==(const InvalidStatusLine&) const = default;
  };
  struct NegativeContentLength {
    bool operator==(const NegativeContentLength&) const = default;
  };
  struct LineTooLong {
    bool operator==(const LineTooLong&) const = default;
  };
  struct TooManyHeaders {
    bool operator==(const TooManyHeaders&) const = default;
  };
  struct ContentTooLarge {
    uint64_t length;
    bool operator==(const ContentTooLarge&) const = default;
  };
  // Transfer-Encoding beside Content-Length, or Content-Length values that differ.
  struct AmbiguousLength {
    bool operator==(const AmbiguousLength&) const = default;
  };
  // A Transfer-Encoding other than just chunked.
  struct UnsupportedTransferCoding {
    std::string coding;
    bool operator==(const UnsupportedTransferCoding&) const = default;
  };
  struct MalformedChunk {
    bool operator==(const MalformedChunk&) const = default;
  };
  using Case = std::variant<InvalidStatusLine, NegativeContentLength, LineTooLong, TooManyHeaders,
                            ContentTooLarge, AmbiguousLength, UnsupportedTransferCoding,
                            MalformedChunk>;

  explicit HttpParserError(Case value);
  static HttpParserError invalidStatusLine(std::string line) {
    return HttpParserError(InvalidStatusLine{std::move(line)});
  }
  static HttpParserError negativeContentLength() { return HttpParserError(NegativeContentLength{}); }

  const Case& value() const { return value_; }
  // The status to answer before closing (400 or 501); nullopt where the connection just closes.
  std::optional<int> answerStatus() const;
  bool operator==(const HttpParserError& other) const { return value_ == other.value_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Case value_;
  std::string description_;
};

// Reads HTTP/1.1 requests from a socket. Stateless: one instance serves any number of
// connections on any threads.
class HttpParser {
 public:
  // Reads one whole request (line, headers, a Content-Length or chunked body) on the calling
  // thread. The head must arrive within limits.headerTimeout of its first byte, and the body at
  // limits.minBodyBytesPerSecond. Raises HttpParserError, or the socket's SocketError unchanged.
  HttpRequestPtr readRequest(Socket& socket, const HttpLimits& limits = {}) const;

  // True exactly when "connection", trimmed, is "keep-alive" (case-sensitive, no token list).
  static bool isKeepAlive(const std::unordered_map<std::string, std::string>& headers);
};

// Removes leading and trailing spaces (U+0020 and U+00A0, the space separators a Latin-1 line can
// hold) and tabs.
std::string trimSpaces(std::string_view text);

}  // namespace velmora::http
