// The fuzz targets: what clients send the HTTP library and the relay, the backend's streamed
// answers, error answers and model list, the update server's document, and model answers rendered
// from Markdown.

#include <nlohmann/json.hpp>
#include <set>

#include "app/model_list.h"
#include "fuzz/fuzz_support.h"
#include "html/markdown.h"
#include "http/body_decoding.h"
#include "http/router.h"
#include "http/websocket.h"
#include "platform/ascii.h"
#include "platform/json_depth.h"
#include "platform/json_events.h"
#include "relay/pass_through.h"
#include "relay/stream_line_parser.h"
#include "relay/streaming_delegate.h"
#include "relay/web/relay_routes.h"
#include "tests/http/plain_route_match.h"
#include "update/update_info.h"

namespace velmora::fuzz {

// Requests one after another, as on a keep-alive connection, until one is refused or the bytes
// run out. A plain decimal Content-Length is exactly the body read.
void readRequests(Bytes input, const http::HttpLimits& limits) {
  ClientFeed feed(input);
  http::Socket socket(feed.ends[1]);
  try {
    for (int i = 0; i < 64; ++i) {
      const http::HttpRequestPtr request = http::HttpParser().readRequest(socket, limits);
      // Whatever is accepted lies within the limits, and its framing has one reading.
      FUZZ_CHECK(request->body.size() <= limits.maxBodyBytes &&
                 request->headers.size() <= limits.maxHeaderLines &&
                 request->method.size() + request->path.size() < limits.maxRequestLineBytes * 2);
      const auto coding = request->headers.find("transfer-encoding");
      FUZZ_CHECK(coding == request->headers.end() ||
                 (platform::lowercaseAscii(coding->second) == "chunked" &&
                  !request->headers.contains("content-length")));
      const std::string length = request->headers["content-length"];
      if (!length.empty() && length.size() < 19 &&
          length.find_first_not_of("0123456789") == length.npos) {
        FUZZ_CHECK(request->body.size() == std::stoull(length));
      }
    }
  } catch (const http::HttpParserError&) {
  } catch (const http::SocketError&) {
  }
}

// The input's first line is the Content-Type, the rest the body; true when that type is `type`.
bool formRequest(Bytes input, std::string_view type, http::HttpRequest& request) {
  const std::string_view text = asText(input);
  const std::size_t newline = std::min(text.find('\n'), text.size());
  request.headers["content-type"] = text.substr(0, newline);
  request.body.assign(input.begin() + newline + (newline < text.size() ? 1 : 0), input.end());
  return http::trimSpaces(text.substr(0, std::min(text.find(';'), newline))) == type;
}

void http_request(Bytes input) {
  readRequests(input, {});
}

// Limits small enough that short inputs reach every bound.
void http_request_limits(Bytes input) {
  readRequests(
      input,
      {.maxRequestLineBytes = 40, .maxHeadBytes = 120, .maxHeaderLines = 4, .maxBodyBytes = 24});
}

// A field for every piece between "&"s, undecodable ones included; none for other bodies.
void urlencoded_form(Bytes input) {
  http::HttpRequest request;
  const bool typed = formRequest(input, "application/x-www-form-urlencoded", request);
  const std::string_view body = asText(request.body);
  const auto pieces = static_cast<std::size_t>(std::count(body.begin(), body.end(), '&') + 1);
  FUZZ_CHECK(http::urlencodedFormFields(request).size() ==
             (typed && isWellFormedUtf8(body) ? pieces : 0));
}

// The parts read, written again with a boundary of our own, read back the same.
void multipart_form(Bytes input) {
  http::HttpRequest request;
  const bool typed = formRequest(input, "multipart/form-data", request);
  const std::vector<http::MultiPart> parts = http::multipartFormParts(request);
  FUZZ_CHECK(typed || parts.empty());
  std::string boundary = "b";
  while (asText(input).find(boundary) != std::string_view::npos) boundary += 'b';
  http::HttpRequest again;
  again.headers["content-type"] = "multipart/form-data; boundary=" + boundary;
  std::string body;
  for (const http::MultiPart& part : parts) {
    body += "--" + boundary + "\r\n";
    for (const auto& [name, value] : part.headers) body += name + ": " + value + "\r\n";
    body += "\r\n" + std::string(part.body.begin(), part.body.end()) + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  again.body.assign(body.begin(), body.end());
  FUZZ_CHECK(http::multipartFormParts(again) == parts);
}

// A client's bytes after the upgrade, to an echo session with a small limit on messages.
void websocket(Bytes input) {
  static const http::WebSocketLimits limits{.maxMessageBytes = 512};
  http::WebSocketCallbacks echo;
  echo.text = [](const http::WebSocketSessionPtr& session, const std::string& text) {
    FUZZ_CHECK(isWellFormedUtf8(text) && text.size() <= limits.maxMessageBytes);
    session->writeText(text);
  };
  ClientFeed feed(input);
  http::runWebSocketSession(std::make_shared<http::Socket>(feed.ends[1]), echo, limits);
}

// One lookup per line, "METHOD PATH", in a tree with every kind of segment: the route found is
// the one plain backtracking reaches first (a line short enough for backtracking).
void router(Bytes input) {
  static const std::vector<std::string> routes = {
      "/",           "/users/:id",   "/users/me",      "/users/*/avatar",
      "/:x/**/z/:y", "/a/**/b/**/c", "/caf\xC3\xA9/*", "/deep/**/deep/**/deep/**/end"};
  static const http::HttpRouter* const tree = [] {
    auto* built = new http::HttpRouter;
    for (const std::string& path : routes) {
      built->registerRoute(std::nullopt, path, [path](const http::HttpRequestPtr&) {
        return http::HttpResponse::raw(200, path);
      });
    }
    built->registerRoute("POST", "/users/:name/settings", {});  // out of service
    return built;
  }();
  for (std::string_view rest = asText(input), line; !rest.empty();
       rest.remove_prefix(line.size())) {
    line = rest.substr(0, std::min(rest.find('\n'), rest.size() - 1) + 1);
    const std::string method(line.substr(0, line.find(' ')));
    std::string_view path = line.substr(std::min(method.size() + 1, line.size()));
    if (path.ends_with('\n')) path.remove_suffix(1);
    const auto match = tree->route(method, path);
    FUZZ_CHECK(!match || match->handler);
    if (line.size() > 200) continue;
    FUZZ_CHECK((match ? match->handler(nullptr).reasonPhrase() : "none") ==
               http::plainFirstMatch(routes, path));
  }
}

// Every string value of a document; keys and strings must be UTF-8.
struct StringValues final : platform::JsonEventSink {
  bool beginContainer(bool) override { return true; }
  bool endContainer() override { return true; }
  bool key(std::string_view name) override { return isWellFormedUtf8(name); }
  bool string(std::string_view text) override {
    return values.emplace(text), isWellFormedUtf8(text);
  }
  bool scalar() override { return true; }
  std::multiset<std::string> values;
};

// Accepted exactly when nlohmann's parser accepts it; decoded keys and strings are UTF-8.
void json_events(Bytes input) {
  StringValues sink;
  FUZZ_CHECK(platform::scanJson(asText(input), sink) == nlohmann::json::accept(asText(input)));
}

// A streamed answer cut into blocks anywhere gives the events of its lines, each read from its
// document tree, and the backend's figures after the event of their line. Byte 0: the line limit
// (0: the default); byte 1 seeds the block sizes.
void stream_lines(Bytes input) {
  if (input.size() < 2) return;
  const std::size_t limit = input[0] ? input[0] : relay::StreamLineParser::kDefaultMaxLineBytes;
  const std::string_view text = asText(input.subspan(2));
  std::vector<relay::StreamEvent> expected, events;
  for (std::size_t start = 0, end; start <= text.size(); start = end + 1) {
    end = std::min(text.find_first_of("\n\r\v\f", start), text.size());
    std::string_view line = text.substr(start, end - start);
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    line = line.substr(0, line.find_last_not_of(" \t") + 1);
    if (end - start > limit || !line.starts_with("data:")) continue;
    // nlohmann's parser takes a NUL byte for the end of the document.
    const std::string_view json = line.substr(5, line.find('\0', 5) - 5);
    if (!isWellFormedUtf8(json) || platform::jsonNestsDeeperThan(json)) continue;
    if (auto event = relay::eventOfPayloadTree(json)) expected.push_back(std::move(*event));
    if (auto figures = relay::figuresOfPayload(json)) expected.push_back(std::move(*figures));
  }
  relay::StreamLineParser parser(limit);
  for (std::size_t at = 2, length, seed = input[1]; at < input.size(); at += length) {
    seed = (seed * 1103515245u + 12345u) & 0xFFFFFFFFu;
    length = std::min<std::size_t>(1 + (seed >> 16) % 16, input.size() - at);
    std::ranges::copy(parser.feed(input.subspan(at, length)), std::back_inserter(events));
  }
  std::ranges::copy(parser.finish(), std::back_inserter(events));
  FUZZ_CHECK(events == expected);
}

// A "/submit" body, each piece between "&"s decoded as the handler does.
void submit_field(Bytes input) {
  for (std::string_view rest = asText(input), piece; !rest.empty();
       rest.remove_prefix(std::min(piece.size() + 1, rest.size()))) {
    piece = rest.substr(0, rest.find('&'));
    FUZZ_CHECK(isWellFormedUtf8(
        relay::web::decodeSubmitField(piece).value_or(relay::web::SubmitField()).value));
  }
}

// A program's "/api/chat" body: an object is forwarded asking for a stream, the rest as sent.
void pass_through(Bytes input) {
  const std::vector<uint8_t> body(input.begin(), input.end());
  std::string failure;
  const std::vector<uint8_t> forwarded = relay::forwardedBody(body, &failure);
  const auto original = nlohmann::ordered_json::parse(body, nullptr, false);
  const auto changed = nlohmann::ordered_json::parse(forwarded, nullptr, false);
  if (!original.is_object() || !failure.empty()) {
    // Only a document nested too deep to change may be refused.
    FUZZ_CHECK(forwarded == body &&
               (!original.is_object() || platform::jsonNestsDeeperThan(asText(input))));
    return;
  }
  FUZZ_CHECK(changed.value("stream", false) &&
             changed.size() == original.size() + (original.contains("stream") ? 0 : 1));
  auto right = changed.begin();  // every other member keeps its place and value
  for (auto left = original.begin(); left != original.end(); ++left, ++right) {
    FUZZ_CHECK(left.key() == right.key() && (left.key() == "stream" || *left == *right));
  }
  FUZZ_CHECK(relay::forwardedBody(forwarded, &failure) == forwarded && failure.empty());
}

// A backend's error answer. Byte 0 picks the status (400 + byte % 200); the rest is the body.
void error_status(Bytes input) {
  if (input.empty()) return;
  const std::string prefix = "HTTP " + std::to_string(400 + input[0] % 200);
  const std::string text = relay::errorStatusDescription(400 + input[0] % 200, input.subspan(1));
  FUZZ_CHECK(isWellFormedUtf8(text) && (text == prefix || text.starts_with(prefix + ": ")));
  // Unless the backend's own message from a JSON error, the body on one line, cut short ("…").
  const auto document = nlohmann::json::parse(input.begin() + 1, input.end(), nullptr, false);
  FUZZ_CHECK((document.is_object() && document.contains("error")) ||
             (text.find_first_of("\r\n") == text.npos &&
              text.size() <= prefix.size() + 5 + relay::kMaxErrorBodyText));
}

// Every name is a string value of the document, each taken once.
void model_list(Bytes input) {
  StringValues sink;
  const auto names = app::modelNames({input.begin(), input.end()});
  if (!names) return;
  FUZZ_CHECK(platform::scanJson(asText(input), sink));
  for (const std::string& name : *names) FUZZ_CHECK(sink.values.extract(name));
}

void update_info(Bytes input) {
  try {
    FUZZ_CHECK(update::decodeUpdateInfo(input) == update::parseUpdateInfo(input));
  } catch (const update::DecodingError& error) {
    FUZZ_CHECK(error.description().find('\n') == std::string::npos);  // one line, always
  }
}

// A model's answer: no image loads by itself, every link goes to a web or mail address and ends.
void markdown(Bytes input) {
  const std::string html = html::markdownToHtml(asText(input));
  FUZZ_CHECK(html.find("<img") == std::string::npos);
  constexpr std::string_view anchor = "<a href=\"";
  int open = 0;
  for (std::size_t at = html.find('<'); at != html.npos; at = html.find('<', at + 1)) {
    const std::string_view tag = std::string_view(html).substr(at);
    if (tag.starts_with(anchor)) {
      const std::string target = platform::lowercaseAscii(tag.substr(anchor.size(), 7));
      FUZZ_CHECK(target.starts_with("http:") || target.starts_with("https:") ||
                 target.starts_with("mailto:"));
      FUZZ_CHECK(++open == 1);  // HTML has no link inside a link
    } else if (tag.starts_with("</a>")) {
      FUZZ_CHECK(--open == 0);
    }
  }
  FUZZ_CHECK(open == 0);
}

}  // namespace velmora::fuzz
