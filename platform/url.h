#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velmora::platform {

// An absolute URL taken apart by libcurl's URL parser. Parts are kept as they appear in the URL
// (percent-escapes are not decoded).
struct Url {
  std::string text;                     // the whole URL as libcurl normalises it
  std::string scheme;                   // lower case: "http", "https"
  std::string host;                     // IPv6 literals keep their brackets: "[::1]"
  std::optional<uint16_t> port;         // only when the URL gives one
  std::string path;                     // "/" when the URL has none; dot segments resolved
  std::optional<std::string> query;     // without the '?'
  std::optional<std::string> fragment;  // without the '#'

  // The explicit port, else the scheme's default (80 for http, 443 for https).
  uint16_t portOrDefault() const;
};

// Why a text is not a URL; `description` is libcurl's text ("Bad hostname", "No host part in the
// URL", "Port number was not a decimal number between 0 and 65535", ...).
struct UrlError {
  std::string description;
  bool operator==(const UrlError&) const = default;
};

using UrlResult = std::variant<Url, UrlError>;

// Parses an absolute URL with a scheme that libcurl supports. Blanks, control characters, a
// missing host and bad ports are refused; nothing is guessed (no default scheme). Never raises
// for bad input. Any thread.
UrlResult parseUrl(std::string_view text);
// The same when only success matters.
std::optional<Url> tryParseUrl(std::string_view text);

// Builds "scheme://host:port" + path (+ "?" + query when not empty) and parses it. An IPv6
// literal host is put in brackets. `path` and `query` must already be percent-encoded; a path
// without a leading '/' gets one. Any thread.
UrlResult buildUrl(std::string_view scheme, std::string_view host, uint16_t port,
                   std::string_view path, std::string_view query = {});

// Percent-encodes every byte except the unreserved characters (A-Z a-z 0-9 - . _ ~) and the
// characters in `keep`, with upper-case hex digits.
std::string percentEncode(std::string_view text, std::string_view keep = {});

// Decodes %XX escapes (either case of hex digit); with `plusAsSpace`, '+' becomes a space (form
// bodies and query strings). nullopt when a '%' is not followed by two hex digits. The result is
// bytes: it is not checked to be UTF-8.
std::optional<std::string> percentDecode(std::string_view text, bool plusAsSpace = false);

}  // namespace velmora::platform
