// The request reader on a connection that sends the input and closes: requests are read one
// after another, as on a keep-alive connection, until the reader refuses or the bytes run out.
// Built twice: with the server's default limits, and with limits small enough that short inputs
// reach every bound.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "http/limits.h"
#include "http/parser.h"
#include "http/socket.h"

namespace {

using velmora::http::HttpLimits;
using velmora::http::HttpParser;
using velmora::http::HttpParserError;
using velmora::http::HttpRequest;
using velmora::http::Socket;
using velmora::http::SocketError;

#ifdef VELMORA_FUZZ_SMALL_LIMITS
const HttpLimits kLimits{.maxLineBytes = 40, .maxHeaderLines = 4, .maxBodyBytes = 24};
#else
const HttpLimits kLimits{};
#endif

// Keeps one input from reading thousands of tiny requests.
constexpr int kMaxRequests = 64;

bool isTrimmed(const std::string& text) {
  if (text.empty()) return true;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool nbspFront = text.size() >= 2 && text[0] == '\xC2' && text[1] == '\xA0';
  const bool nbspBack =
      text.size() >= 2 && text[text.size() - 2] == '\xC2' && text[text.size() - 1] == '\xA0';
  return !blank(text.front()) && !blank(text.back()) && !nbspFront && !nbspBack;
}

void checkRequest(const HttpRequest& request) {
  FUZZ_CHECK(request.path.find('?') == std::string::npos);
  for (const auto& [name, value] : request.headers) {
    FUZZ_CHECK(!name.empty());
    for (const char c : name) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
    FUZZ_CHECK(isTrimmed(value));
  }
  // Every line is read as Latin-1 and handed on as UTF-8.
  FUZZ_CHECK(velmora::fuzz::isUtf8(request.method));
  FUZZ_CHECK(velmora::fuzz::isUtf8(request.path));
  FUZZ_CHECK(request.body.size() <= kLimits.maxBodyBytes);

  // A plain decimal Content-Length is exactly the body read; anything else reads no body.
  const auto length = request.headers.find("content-length");
  if (length == request.headers.end()) {
    FUZZ_CHECK(request.body.empty());
  } else {
    const std::string& text = length->second;
    const bool plain = !text.empty() && text.size() <= 18 &&
                       text.find_first_not_of("0123456789") == std::string::npos;
    if (plain) FUZZ_CHECK(request.body.size() == std::stoull(text));
    if (text.find_first_not_of("+-0123456789") != std::string::npos) {
      FUZZ_CHECK(request.body.empty());
    }
  }

  (void)HttpParser::isKeepAlive(request.headers);
  (void)request.headerHasToken("connection", "upgrade");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  velmora::fuzz::ClientFeed feed({data, size}, false);
  Socket server(feed.serverDescriptor());
  const HttpParser parser;
  try {
    for (int i = 0; i < kMaxRequests; ++i) checkRequest(*parser.readRequest(server, kLimits));
  } catch (const HttpParserError&) {
    // A malformed request or one over the limits: the server closes the connection.
  } catch (const SocketError&) {
    // The input ended inside a request.
  }
  return 0;
}
