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

// Holds a socket's read time limit for the reads of one request.
class ReadTimeLimit {
 public:
  ReadTimeLimit(Socket& socket, std::chrono::milliseconds allowance) : socket_(socket) {
    socket_.limitReadTime(allowance);
  }
  ~ReadTimeLimit() { socket_.unlimitReadTime(); }
  ReadTimeLimit(const ReadTimeLimit&) = delete;
  ReadTimeLimit& operator=(const ReadTimeLimit&) = delete;

 private:
  Socket& socket_;
};

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

// A chunked body (RFC 9112 section 7.1): sizes in hex, chunk extensions ignored, trailer fields
// read and dropped.
void readChunkedBody(Socket& socket, const HttpLimits& limits, std::string& line,
                     std::vector<uint8_t>& body) {
  for (;;) {
    readLimitedLine(socket, limits, line);
    std::string_view size = std::string_view(line).substr(0, line.find(';'));
    while (!size.empty() && (size.back() == ' ' || size.back() == '\t')) size.remove_suffix(1);
    if (size.empty()) throw HttpParserError(HttpParserError::MalformedChunk{});
    uint64_t length = 0;
    for (const char digit : size) {
      const int value = digit >= '0' && digit <= '9'   ? digit - '0'
                        : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                        : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                       : -1;
      if (value < 0) throw HttpParserError(HttpParserError::MalformedChunk{});
      length = length * 16 + static_cast<uint64_t>(value);
      // Checked at each digit, so the sum never overflows.
      if (length > limits.maxBodyBytes - body.size()) {
        throw HttpParserError(HttpParserError::ContentTooLarge{body.size() + length});
      }
    }
    if (length == 0) break;
    socket.appendBytes(body, static_cast<std::size_t>(length));
    readLimitedLine(socket, limits, line);
    if (!line.empty()) throw HttpParserError(HttpParserError::MalformedChunk{});
  }
  for (std::size_t trailerLines = 0;;) {
    readLimitedLine(socket, limits, line);
    if (line.empty()) return;
    if (++trailerLines > limits.maxHeaderLines) {
      throw HttpParserError(HttpParserError::TooManyHeaders{});
    }
  }
}

}  // namespace

std::optional<int> HttpParserError::answerStatus() const {
  return std::visit(
      [](const auto& c) -> std::optional<int> {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, AmbiguousLength> || std::is_same_v<T, MalformedChunk>) {
          return 400;
        } else if constexpr (std::is_same_v<T, UnsupportedTransferCoding>) {
          return 501;
        } else {
          static_assert(std::is_same_v<T, InvalidStatusLine> ||
                        std::is_same_v<T, NegativeContentLength> ||
                        std::is_same_v<T, LineTooLong> || std::is_same_v<T, TooManyHeaders> ||
                        std::is_same_v<T, ContentTooLarge>);
          return std::nullopt;
        }
      },
      value_);
}

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
        } else if constexpr (std::is_same_v<T, ContentTooLarge>) {
          return "contentTooLarge(" + std::to_string(c.length) + ")";
        } else if constexpr (std::is_same_v<T, AmbiguousLength>) {
          return "ambiguousLength";
        } else if constexpr (std::is_same_v<T, UnsupportedTransferCoding>) {
          return "unsupportedTransferCoding(\"" + c.coding + "\")";
        } else {
          static_assert(std::is_same_v<T, MalformedChunk>);
          return "malformedChunk";
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
  // Waiting for a request is the connection's idle time; from its first byte on, the whole head
  // has headerTimeout, so that a client trickling header lines cannot hold the thread for good.
  socket.waitForBytes();
  const ReadTimeLimit timeLimit(socket, limits.headerTimeout);
  readLimitedLine(socket, limits, requestLine);

  // Words split at every single space.
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
  request->version = std::string(words[2]);
  if (!splitTarget(words[1], request->path, request->queryParams)) {
    request->path.clear();
    request->queryParams.clear();
  }

  std::size_t headerLines = 0;
  std::string& line = scratch;  // the request line's words have been copied out
  // The framing fields, read across repeated lines: a later line must not hide an earlier one
  // that another reader of the same bytes would act on (RFC 9112 section 6.3).
  std::optional<std::string> contentLength;
  std::optional<std::string> transferCoding;
  for (;;) {
    readLimitedLine(socket, limits, line);
    if (line.empty()) break;
    if (++headerLines > limits.maxHeaderLines) throw HttpParserError(HttpParserError::TooManyHeaders{});
    const std::size_t colon = line.find(':');
    // Lines without text before their first colon have no reading; they are skipped.
    if (colon == std::string::npos || colon == 0) continue;
    std::string name = platform::lowercaseAscii(std::string_view(line).substr(0, colon));
    std::string value(trimmedView(std::string_view(line).substr(colon + 1)));
    if (name == "content-length") {
      // "5, 5" is one length; "5, 6", or another line that says 6, is two.
      for (std::string_view rest = value;;) {
        const std::size_t comma = rest.find(',');
        const std::string piece(trimmedView(rest.substr(0, comma)));
        if (contentLength && *contentLength != piece) {
          throw HttpParserError(HttpParserError::AmbiguousLength{});
        }
        contentLength = piece;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    } else if (name == "transfer-encoding") {
      transferCoding = transferCoding ? *transferCoding + ", " + value : value;
    } else if (name == "host") {
      ++request->hostFields;
    }
    request->headers.insert_or_assign(std::move(name), std::move(value));
  }

  if (transferCoding) {
    if (contentLength) throw HttpParserError(HttpParserError::AmbiguousLength{});
    if (platform::lowercaseAscii(*transferCoding) != "chunked") {
      throw HttpParserError(HttpParserError::UnsupportedTransferCoding{*transferCoding});
    }
  }
  if (!transferCoding && !contentLength) return request;
  const std::optional<int64_t> length =
      contentLength ? parseContentLength(*contentLength) : std::nullopt;
  if (length && *length < 0) throw HttpParserError::negativeContentLength();
  if (length && static_cast<uint64_t>(*length) > limits.maxBodyBytes) {
    throw HttpParserError(HttpParserError::ContentTooLarge{static_cast<uint64_t>(*length)});
  }
  // A body must keep coming; a slow one may take as long as its size needs at that rate.
  socket.limitReadTime(limits.idleTimeout, limits.minBodyBytesPerSecond);
  if (transferCoding) {
    readChunkedBody(socket, limits, line, request->body);
  } else if (length) {
    socket.appendBytes(request->body, static_cast<std::size_t>(*length));
  }
  return request;
}

bool HttpParser::isKeepAlive(const std::unordered_map<std::string, std::string>& headers) {
  const auto found = headers.find("connection");
  return found != headers.end() && trimmedView(found->second) == "keep-alive";
}

}  // namespace velmora::http
