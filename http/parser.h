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
  std::optional<std::string> address = std::string();   // the peer; absent when unknown
  std::unordered_map<std::string, std::string> params;  // route parameters, keys with their colon
  // The connection the request came on (set by the server loop; empty for a request built
  // elsewhere), for a handler that waits long and wants to know whether its client left.
  std::weak_ptr<Socket> connection;

  // The value of header `name` (lower case), or null when the request has none.
  const std::string* header(const std::string& name) const;
  // Whether the comma-separated value of header `name` holds `token` (trimmed, lower-cased
  // pieces; pass both in lower case).
  bool headerHasToken(const std::string& name, const std::string& token) const;
};

using HttpRequestPtr = std::shared_ptr<HttpRequest>;

// Why a request could not be read. Each is answered with answerStatus(), and the connection then
// closes: after any of them the next request's first byte is unknown (RFC 9112 section 6.3).
class HttpParserError : public std::exception {
 public:
  struct InvalidStatusLine {  // the request line: 400
    std::string line;
    bool operator==(const InvalidStatusLine&) const = default;
  };
  // Not plain digits (RFC 9110 section 8.6), or past 2^63 - 1: 400.
  struct InvalidContentLength {
    bool operator==(const InvalidContentLength&) const = default;
  };
  // A control byte, no colon, a name that is no token (a space before the colon), or a
  // continuation line (obs-fold): 400.
  struct InvalidHeader {
    bool operator==(const InvalidHeader&) const = default;
  };
  struct RequestLineTooLong {  // 414
    bool operator==(const RequestLineTooLong&) const = default;
  };
  struct HeadTooLarge {  // more than maxHeadBytes or maxHeaderLines: 431
    bool operator==(const HeadTooLarge&) const = default;
  };
  struct ContentTooLarge {  // 413
    uint64_t length;
    bool operator==(const ContentTooLarge&) const = default;
  };
  // Transfer-Encoding beside Content-Length, or Content-Length values that differ: 400.
  struct AmbiguousLength {
    bool operator==(const AmbiguousLength&) const = default;
  };
  // chunked before another coding or twice, an empty coding, or any coding in HTTP/1.0: 400.
  struct InvalidTransferCoding {
    bool operator==(const InvalidTransferCoding&) const = default;
  };
  // Codings other than one final chunked: 501.
  struct UnsupportedTransferCoding {
    std::string coding;
    bool operator==(const UnsupportedTransferCoding&) const = default;
  };
  struct MalformedChunk {  // 400
    bool operator==(const MalformedChunk&) const = default;
  };
  using Case = std::variant<InvalidStatusLine, InvalidContentLength, InvalidHeader,
                            RequestLineTooLong, HeadTooLarge, ContentTooLarge, AmbiguousLength,
                            InvalidTransferCoding, UnsupportedTransferCoding, MalformedChunk>;

  explicit HttpParserError(Case value);
  static HttpParserError invalidStatusLine(std::string line) {
    return HttpParserError(InvalidStatusLine{std::move(line)});
  }

  const Case& value() const { return value_; }
  // The status to answer before closing, and its reason phrase.
  int answerStatus() const;
  const char* reasonPhrase() const;
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
  // thread. Empty lines before the request line are skipped (RFC 9112 section 2.2). The head
  // must arrive within limits.headerTimeout of its first byte, and the body at
  // limits.minBodyBytesPerSecond. Writes "100 Continue" before a body that an HTTP/1.1 client
  // waits to send (RFC 9110 section 10.1.1). Raises HttpParserError, or the socket's
  // SocketError unchanged.
  HttpRequestPtr readRequest(Socket& socket, const HttpLimits& limits = {}) const;

  // True exactly when "connection", trimmed, is "keep-alive" (case-sensitive, no token list).
  static bool isKeepAlive(const std::unordered_map<std::string, std::string>& headers);
};

// Removes leading and trailing spaces (U+0020 and U+00A0, the space separators a Latin-1 line can
// hold) and tabs.
std::string trimSpaces(std::string_view text);

}  // namespace velmora::http
