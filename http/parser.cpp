#include "http/parser.h"

#include <charconv>

#include "platform/ascii.h"

namespace velmora::http {

namespace {

bool isSpace(std::string_view text, std::size_t at, std::size_t& width) {
  if (text[at] == ' ' || text[at] == '\t') {
    width = 1;
    return true;
  }
  // U+00A0 in UTF-8, which is what a Latin-1 0xA0 byte becomes when a line is read.
  if (at + 1 < text.size() && static_cast<uint8_t>(text[at]) == 0xC2 &&
      static_cast<uint8_t>(text[at + 1]) == 0xA0) {
    width = 2;
    return true;
  }
  return false;
}

bool isSchemeChar(char c, bool first) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The request target read as a URL reference (RFC 3986): a scheme, an authority after "//", the
// path, and the query. The target's '%' and '#' are taken literally, so the path and the query
// items come out exactly as sent. Answers false when the reference does not parse.
bool splitTarget(std::string_view target, std::string& path,
                 std::vector<std::pair<std::string, std::string>>& queryParams) {
  std::string_view rest = target;
  if (!rest.empty() && isSchemeChar(rest[0], true)) {
    std::size_t i = 1;
    while (i < rest.size() && isSchemeChar(rest[i], false)) ++i;
    if (i < rest.size() && rest[i] == ':') rest.remove_prefix(i + 1);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t end = rest.find_first_of("/?");
    const std::string_view authority = rest.substr(0, end);
    // A port that is not a number makes the whole reference invalid.
    const std::size_t at = authority.rfind('@');
    const std::string_view hostPort = at == std::string_view::npos ? authority : authority.substr(at + 1);
    const std::size_t colon = hostPort.rfind(':');
    if (colon != std::string_view::npos) {
      for (char c : hostPort.substr(colon + 1)) {
        if (c < '0' || c > '9') return false;
      }
    }
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  const std::size_t question = rest.find('?');
  path = std::string(rest.substr(0, question));
  if (question == std::string_view::npos) return true;

  std::string_view query = rest.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    if (!item.empty()) {
      const std::size_t equals = item.find('=');
      if (equals == std::string_view::npos) {
        queryParams.emplace_back(std::string(item), std::string());
      } else {
        queryParams.emplace_back(std::string(item.substr(0, equals)),
                                 std::string(item.substr(equals + 1)));
      }
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return true;
}

// A decimal integer with an optional sign, within the signed 64-bit range.
std::optional<int64_t> parseContentLength(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse the magnitude as unsigned so that the lowest value still fits.
  uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMax + 1) return std::nullopt;
    return magnitude == kMax + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  if (magnitude > kMax) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

void readLimitedLine(Socket& socket, const HttpLimits& limits, std::string& line) {
  if (!socket.readLine(line, limits.maxLineBytes)) {
    throw HttpParserError(HttpParserError::LineTooLong{});
  }
}

std::string_view trimmedView(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  std::size_t width = 0;
  while (begin < end && isSpace(text, begin, width)) begin += width;
  // Trailing: step back over one or two bytes.
  while (end > begin) {
    if (text[end - 1] == ' ' || text[end - 1] == '\t') {
      --end;
    } else if (end - begin >= 2 && static_cast<uint8_t>(text[end - 2]) == 0xC2 &&
               static_cast<uint8_t>(text[end - 1]) == 0xA0) {
      end -= 2;
    } else {
      break;
    }
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string trimSpaces(std::string_view text) { return std::string(trimmedView(text)); }

HttpParserError::HttpParserError(Case value) : value_(std::move(value)) {
  description_ = std::visit(
      [](const auto& c) -> std::string {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, InvalidStatusLine>) {
          return "invalidStatusLine(\"" + c.line + "\")";
        } else if constexpr (std::is_same_v<T, NegativeContentLength>) {
          return "negativeContentLength";
        } else if constexpr (std::is_same_v<T, LineTooLong>) {
          return "lineTooLong";
        } else if constexpr (std::is_same_v<T, TooManyHeaders>) {
          return "tooManyHeaders";
        } else {
          static_assert(std::is_same_v<T, ContentTooLarge>);
          return "contentTooLarge(" + std::to_string(c.length) + ")";
        }
      },
      value_);
}

bool HttpRequest::headerHasToken(const std::string& name, const std::string& token) const {
  const auto found = headers.find(name);
  if (found == headers.end()) return false;
  std::string_view value = found->second;
  for (;;) {
    const std::size_t comma = value.find(',');
    if (platform::lowercaseAscii(trimSpaces(value.substr(0, comma))) == token) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

HttpRequestPtr HttpParser::readRequest(Socket& socket, const HttpLimits& limits) const {
  // One buffer per thread for the lines of a request: a keep-alive connection reads thousands of
  // requests, and each would otherwise allocate its lines anew. A buffer that a long line grew is
  // given back before the next request is awaited, so that a waiting connection does not hold it.
  thread_local std::string scratch;
  constexpr std::size_t kScratchKept = 4096;
  if (scratch.capacity() > kScratchKept) std::string().swap(scratch);
  std::string& requestLine = scratch;
  readLimitedLine(socket, limits, requestLine);

  // Words split at every single space; the version word is never examined.
  std::string_view words[3];
  std::size_t wordCount = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = requestLine.find(' ', start);
    if (wordCount < 3) {
      words[wordCount] = std::string_view(requestLine).substr(start, space - start);
    }
    ++wordCount;
    if (space == std::string::npos) break;
    start = space + 1;
  }
  if (wordCount < 3) throw HttpParserError::invalidStatusLine(requestLine);

  auto request = std::make_shared<HttpRequest>();
  request->method = std::string(words[0]);
  if (!splitTarget(words[1], request->path, request->queryParams)) {
    request->path.clear();
    request->queryParams.clear();
  }

  std::size_t headerLines = 0;
  std::string& line = scratch;  // the request line's words have been copied out
  for (;;) {
    readLimitedLine(socket, limits, line);
    if (line.empty()) break;
    if (++headerLines > limits.maxHeaderLines) throw HttpParserError(HttpParserError::TooManyHeaders{});
    const std::size_t colon = line.find(':');
    // Lines without text before their first colon have no reading; they are skipped.
    if (colon == std::string::npos || colon == 0) continue;
    request->headers.insert_or_assign(
        platform::lowercaseAscii(std::string_view(line).substr(0, colon)),
        std::string(trimmedView(std::string_view(line).substr(colon + 1))));
  }

  const auto contentLength = request->headers.find("content-length");
  if (contentLength != request->headers.end()) {
    if (const std::optional<int64_t> length = parseContentLength(contentLength->second)) {
      if (*length < 0) throw HttpParserError::negativeContentLength();
      if (static_cast<uint64_t>(*length) > limits.maxBodyBytes) {
        throw HttpParserError(HttpParserError::ContentTooLarge{static_cast<uint64_t>(*length)});
      }
      request->body = socket.readBytes(static_cast<std::size_t>(*length));
    }
  }
  return request;
}

bool HttpParser::isKeepAlive(const std::unordered_map<std::string, std::string>& headers) {
  const auto found = headers.find("connection");
  return found != headers.end() && trimmedView(found->second) == "keep-alive";
}

}  // namespace velmora::http
