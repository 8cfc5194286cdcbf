#include "platform/url.h"

#include <curl/curl.h>

#include <memory>

#include "platform/ascii.h"

namespace velmora::platform {

namespace {

struct UrlHandleDelete {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDelete>;

// One part of a parsed URL, or nullopt when the URL has none.
std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned int flags = 0) {
  char* value = nullptr;
  if (curl_url_get(handle, which, &value, flags) != CURLUE_OK || value == nullptr) {
    return std::nullopt;
  }
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

uint16_t Url::portOrDefault() const {
  if (port) return *port;
  if (scheme == "https") return 443;
  if (scheme == "http") return 80;
  // Other schemes: ask libcurl for its default.
  const UrlHandle handle(curl_url());
  if (handle && curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK) {
    if (const auto value = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)) {
      return static_cast<uint16_t>(std::stoul(*value));
    }
  }
  return 0;
}

UrlResult parseUrl(std::string_view text) {
  // libcurl reads a C string: an embedded NUL would silently cut the URL short.
  if (text.find('\0') != std::string_view::npos) return UrlError{"URL contains a NUL byte"};
  const UrlHandle handle(curl_url());
  if (!handle) return UrlError{curl_url_strerror(CURLUE_OUT_OF_MEMORY)};
  const std::string input(text);
  if (const CURLUcode code = curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), 0);
      code != CURLUE_OK) {
    return UrlError{curl_url_strerror(code)};
  }
  Url url;
  url.text = part(handle.get(), CURLUPART_URL).value_or(input);
  url.scheme = part(handle.get(), CURLUPART_SCHEME).value_or("");
  url.host = part(handle.get(), CURLUPART_HOST).value_or("");
  if (const auto port = part(handle.get(), CURLUPART_PORT)) {
    url.port = static_cast<uint16_t>(std::stoul(*port));  // libcurl checked 0...65535
  }
  url.path = part(handle.get(), CURLUPART_PATH).value_or("/");
  url.query = part(handle.get(), CURLUPART_QUERY);
  url.fragment = part(handle.get(), CURLUPART_FRAGMENT);
  return url;
}

std::optional<Url> tryParseUrl(std::string_view text) {
  UrlResult result = parseUrl(text);
  if (auto* url = std::get_if<Url>(&result)) return std::move(*url);
  return std::nullopt;
}

UrlResult buildUrl(std::string_view scheme, std::string_view host, uint16_t port,
                   std::string_view path, std::string_view query) {
  std::string text(scheme);
  text += "://";
  const bool ipv6Literal = host.find(':') != std::string_view::npos && !host.starts_with('[');
  if (ipv6Literal) text += '[';
  text += host;
  if (ipv6Literal) text += ']';
  text += ':';
  text += std::to_string(port);
  if (!path.starts_with('/')) text += '/';
  text += path;
  if (!query.empty()) {
    text += '?';
    text += query;
  }
  return parseUrl(text);
}

std::string percentEncode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || (c != '\0' && keep.find(c) != std::string_view::npos)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusAsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) return std::nullopt;
      const int high = hexDigitValue(text[i + 1]);
      const int low = hexDigitValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '+' && plusAsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace velmora::platform
