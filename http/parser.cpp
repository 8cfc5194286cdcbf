#include "http/parser.h"

#include <algorithm>
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
    const std::string_view hostPort =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
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

// 1*DIGIT within the signed 64-bit range, which every reader of the same bytes takes alike.
std::optional<uint64_t> parseContentLength(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (error != std::errc() || length > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return length;
}

// A token character of a field name (RFC 9110 section 5.6.2).
bool isTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// One line of at most `budget` bytes, its line feed included, taken from the budget. Raises
// `tooLong` past the budget, `control` at a control byte.
void readLimitedLine(Socket& socket, std::size_t& budget, std::string& line,
                     const HttpParserError& tooLong, const HttpParserError& control) {
  if (budget == 0) throw tooLong;
  std::size_t taken = 0;
  switch (socket.readLine(line, budget - 1, taken)) {
    case Socket::LineRead::line:
      budget -= taken;
      return;
    case Socket::LineRead::tooLong:
      throw tooLong;
    case Socket::LineRead::controlByte:
      throw control;
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
  const HttpParserError malformed(HttpParserError::MalformedChunk{});
  for (;;) {
    std::size_t budget = limits.maxRequestLineBytes + 1;
    readLimitedLine(socket, budget, line, malformed, malformed);
    std::string_view size = std::string_view(line).substr(0, line.find(';'));
    while (!size.empty() && (size.back() == ' ' || size.back() == '\t')) size.remove_suffix(1);
    if (size.empty()) throw malformed;
    uint64_t length = 0;
    for (const char digit : size) {
      const int value = digit >= '0' && digit <= '9'   ? digit - '0'
                        : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                        : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                       : -1;
      if (value < 0) throw malformed;
      // Checked before each digit, so that no size wraps, whatever the limit.
      if (length > (UINT64_MAX - static_cast<uint64_t>(value)) / 16) {
        throw HttpParserError(HttpParserError::ContentTooLarge{UINT64_MAX});
      }
      length = length * 16 + static_cast<uint64_t>(value);
      if (length > limits.maxBodyBytes - body.size()) {
        throw HttpParserError(HttpParserError::ContentTooLarge{body.size() + length});
      }
    }
    if (length == 0) break;
    socket.appendBytes(body, static_cast<std::size_t>(length));
    budget = 3;
    readLimitedLine(socket, budget, line, malformed, malformed);
    if (!line.empty()) throw malformed;
  }
  std::size_t budget = limits.maxHeadBytes;
  const HttpParserError tooLarge(HttpParserError::HeadTooLarge{});
  const HttpParserError invalid(HttpParserError::InvalidHeader{});
  for (std::size_t trailerLines = 0;;) {
    readLimitedLine(socket, budget, line, tooLarge, invalid);
    if (line.empty()) return;
    if (++trailerLines > limits.maxHeaderLines) throw tooLarge;
  }
}

}  // namespace

int HttpParserError::answerStatus() const {
  return std::visit(
      [](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, RequestLineTooLong>) {
          return 414;
        } else if constexpr (std::is_same_v<T, HeadTooLarge>) {
          return 431;
        } else if constexpr (std::is_same_v<T, ContentTooLarge>) {
          return 413;
        } else if constexpr (std::is_same_v<T, UnsupportedTransferCoding>) {
          return 501;
        } else {
          static_assert(
              std::is_same_v<T, InvalidStatusLine> || std::is_same_v<T, InvalidContentLength> ||
              std::is_same_v<T, InvalidHeader> || std::is_same_v<T, AmbiguousLength> ||
              std::is_same_v<T, InvalidTransferCoding> || std::is_same_v<T, MalformedChunk>);
          return 400;
        }
      },
      value_);
}

const char* HttpParserError::reasonPhrase() const {
  switch (answerStatus()) {
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 413:
      return "Content Too Large";
    case 501:
      return "Not Implemented";
    default:
      return "Bad Request";
  }
}

std::string trimSpaces(std::string_view text) {
  return std::string(trimmedView(text));
}

HttpParserError::HttpParserError(Case value) : value_(std::move(value)) {
  description_ = std::visit(
      [](const auto& c) -> std::string {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, InvalidStatusLine>) {
          return "invalidStatusLine(\"" + c.line + "\")";
        } else if constexpr (std::is_same_v<T, InvalidContentLength>) {
          return "invalidContentLength";
        } else if constexpr (std::is_same_v<T, InvalidHeader>) {
          return "invalidHeader";
        } else if constexpr (std::is_same_v<T, RequestLineTooLong>) {
          return "requestLineTooLong";
        } else if constexpr (std::is_same_v<T, HeadTooLarge>) {
          return "headTooLarge";
        } else if constexpr (std::is_same_v<T, ContentTooLarge>) {
          return "contentTooLarge(" + std::to_string(c.length) + ")";
        } else if constexpr (std::is_same_v<T, AmbiguousLength>) {
          return "ambiguousLength";
        } else if constexpr (std::is_same_v<T, InvalidTransferCoding>) {
          return "invalidTransferCoding";
        } else if constexpr (std::is_same_v<T, UnsupportedTransferCoding>) {
          return "unsupportedTransferCoding(\"" + c.coding + "\")";
        } else {
          static_assert(std::is_same_v<T, MalformedChunk>);
          return "malformedChunk";
        }
      },
      value_);
}

const std::string* HttpRequest::header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? nullptr : &found->second;
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
  // given back at the end, so that a waiting connection or thread does not hold it.
  thread_local std::string scratch;
  struct Trim {
    ~Trim() {
      if (scratch.capacity() > 4096) std::string().swap(scratch);
    }
  } trim;
  std::string& requestLine = scratch;
  // Waiting for a request is the connection's idle time; from its first byte on, the whole head
  // has headerTimeout, so that a client trickling header lines cannot hold the thread for good.
  socket.waitForBytes();
  const ReadTimeLimit timeLimit(socket, limits.headerTimeout);
  const HttpParserError invalidLine(HttpParserError::InvalidStatusLine{});
  std::size_t headBudget = limits.maxHeadBytes;
  for (int emptyLines = 0;; ++emptyLines) {
    std::size_t budget = limits.maxRequestLineBytes + 1;
    readLimitedLine(socket, budget, requestLine,
                    HttpParserError(HttpParserError::RequestLineTooLong{}), invalidLine);
    if (!requestLine.empty()) {
      const std::size_t taken = limits.maxRequestLineBytes + 1 - budget;
      headBudget = headBudget > taken ? headBudget - taken : 0;
      break;
    }
    // A client may end a body with an extra CR LF; a stream of them is no request.
    if (emptyLines == 8) throw invalidLine;
  }

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
  const bool http10 = words[2] == "HTTP/1.0";

  auto request = std::make_shared<HttpRequest>();
  request->method = std::string(words[0]);
  request->version = std::string(words[2]);
  if (!splitTarget(words[1], request->path, request->queryParams)) {
    request->path.clear();
    request->queryParams.clear();
  }

  std::size_t headerLines = 0;
  std::string& line = scratch;  // the request line's words have been copied out
  const HttpParserError tooLarge(HttpParserError::HeadTooLarge{});
  const HttpParserError invalid(HttpParserError::InvalidHeader{});
  // The framing fields, read across repeated lines: a later line must not hide an earlier one
  // that another reader of the same bytes would act on (RFC 9112 section 6.3).
  std::optional<std::string> contentLength;
  std::optional<std::string> transferCoding;
  for (;;) {
    readLimitedLine(socket, headBudget, line, tooLarge, invalid);
    if (line.empty()) break;
    if (++headerLines > limits.maxHeaderLines) throw tooLarge;
    // No continuation lines (obs-fold), and a name of token characters right before its colon
    // (RFC 9112 section 5).
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                     isTokenChar)) {
      throw invalid;
    }
    std::string name = platform::lowercaseAscii(std::string_view(line).substr(0, colon));
    std::string value(trimmedView(std::string_view(line).substr(colon + 1)));
    if (name == "content-length") {
      // "5, 5" is one length; "5, 6", or another line that says 6, is two.
      for (std::string_view rest = value;;) {
        const std::size_t comma = rest.find(',');
        const std::string piece(trimmedView(rest.substr(0, comma)));
        if (!parseContentLength(piece)) {
          throw HttpParserError(HttpParserError::InvalidContentLength{});
        }
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
    // An HTTP/1.0 reader knows no codings (RFC 9112 section 6.1).
    if (http10) throw HttpParserError(HttpParserError::InvalidTransferCoding{});
    if (contentLength) throw HttpParserError(HttpParserError::AmbiguousLength{});
    std::vector<std::string> codings;
    for (std::string_view rest = *transferCoding;;) {
      const std::size_t comma = rest.find(',');
      codings.push_back(platform::lowercaseAscii(trimmedView(rest.substr(0, comma))));
      if (codings.back().empty()) throw HttpParserError(HttpParserError::InvalidTransferCoding{});
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    // Where chunked is not the last coding, the body's end is unknown (RFC 9112 section 6.3).
    const auto chunked = std::ranges::find(codings, "chunked");
    if (chunked != codings.end() && chunked + 1 != codings.end()) {
      throw HttpParserError(HttpParserError::InvalidTransferCoding{});
    }
    if (codings.size() > 1 || chunked == codings.end()) {
      throw HttpParserError(HttpParserError::UnsupportedTransferCoding{*transferCoding});
    }
  }
  if (!transferCoding && !contentLength) return request;
  const uint64_t length = contentLength ? *parseContentLength(*contentLength) : 0;
  if (length > limits.maxBodyBytes) throw HttpParserError(HttpParserError::ContentTooLarge{length});
  if ((transferCoding || length > 0) && !http10 &&
      request->headerHasToken("expect", "100-continue")) {
    socket.writeText("HTTP/1.1 100 Continue\r\n\r\n");
  }
  // A body must keep coming; a slow one may take as long as its size needs at that rate.
  socket.limitReadTime(limits.idleTimeout, limits.minBodyBytesPerSecond);
  if (transferCoding) {
    readChunkedBody(socket, limits, line, request->body);
  } else {
    socket.appendBytes(request->body, static_cast<std::size_t>(length));
  }
  return request;
}

bool HttpParser::isKeepAlive(const std::unordered_map<std::string, std::string>& headers) {
  const auto found = headers.find("connection");
  return found != headers.end() && trimmedView(found->second) == "keep-alive";
}

}  // namespace velmora::http
