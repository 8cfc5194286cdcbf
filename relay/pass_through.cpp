#include "relay/pass_through.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <nlohmann/json.hpp>

#include "http/body_decoding.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/json_depth.h"
#include "relay/stream_relay.h"

namespace velmora::relay {

namespace {

constexpr std::array<std::string_view, 12> kHopHeaders = {"content-length",
                                                          "host",
                                                          "connection",
                                                          "keep-alive",
                                                          "transfer-encoding",
                                                          "te",
                                                          "trailer",
                                                          "upgrade",
                                                          "proxy-authorization",
                                                          "proxy-authenticate",
                                                          "expect",
                                                          "accept-encoding"};

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

void writePassThrough(http::HttpResponseBodyWriter& out, const std::weak_ptr<RelayHost>& weakHost,
                      const http::HttpRequestPtr& clientRequest) {
  platform::HttpClientRequest request;
  uint64_t generation = 0;
  {
    const auto host = weakHost.lock();
    if (!host) return;
    // Two spaces: the label ends with one and the rendering is set apart by another.
    platform::printLine("/api/chat:  " + host->chatHistoryDescription());
    request = host->urlRequestTemplate();
    generation = host->chatGeneration();
  }

  std::string failure;
  std::vector<uint8_t> body = forwardedBody(clientRequest->body, &failure);
  if (!failure.empty()) platform::printLine("⚠️ Failed to parse or modify JSON: " + failure);

  request.timeoutInterval = std::chrono::seconds(120);
  request.method = "POST";
  const std::string_view bodyText(reinterpret_cast<const char*>(body.data()), body.size());
  platform::printLine(
      "LM Studioへ送信するmodifiedBody: " +
      (http::isWellFormedUtf8(bodyText) ? platform::consoleExcerpt(bodyText) : "(invalid)"));
  request.body = std::move(body);
  request.setHeader("Content-Type", "application/json");
  forwardClientHeaders(request, *clientRequest);

  relayStreamedAnswer(out, {}, weakHost, std::move(request), generation, PieceEncoding::plain,
                      ActiveStream::doNotKeep);
}

}  // namespace

std::vector<uint8_t> forwardedBody(const std::vector<uint8_t>& clientBody, std::string* failure) {
  const std::string_view text(reinterpret_cast<const char*>(clientBody.data()), clientBody.size());
  if (platform::jsonNestsDeeperThan(text)) {
    if (failure)
      *failure =
          "the document nests deeper than " + std::to_string(platform::kMaxJsonDepth) + " levels";
    return clientBody;
  }
  try {
    nlohmann::ordered_json value = nlohmann::ordered_json::parse(clientBody);
    if (value.is_array()) return clientBody;
    if (!value.is_object()) {
      if (failure) *failure = "the top level is neither an object nor an array";
      return clientBody;
    }
    value["stream"] = true;
    const std::string changed = value.dump();
    return {changed.begin(), changed.end()};
  } catch (const std::exception& error) {
    if (failure) *failure = error.what();
    return clientBody;
  }
}

bool isHopHeader(std::string_view name,
                 const std::unordered_map<std::string, std::string>& headers) {
  for (const std::string_view hop : kHopHeaders) {
    if (name == hop) return true;
  }
  const auto connection = headers.find("connection");
  if (connection == headers.end()) return false;
  std::string_view tokens = connection->second;
  while (!tokens.empty()) {
    const auto comma = tokens.find(',');
    if (platform::lowercaseAscii(trimmed(tokens.substr(0, comma))) == name) return true;
    if (comma == std::string_view::npos) break;
    tokens.remove_prefix(comma + 1);
  }
  return false;
}

void forwardClientHeaders(platform::HttpClientRequest& request, const http::HttpRequest& client) {
  const bool keyed = std::any_of(request.headers.begin(), request.headers.end(), [](const auto& f) {
    return platform::equalsIgnoringAsciiCase(f.first, "authorization");
  });
  for (const auto& [name, value] : client.headers) {
    if (isHopHeader(name, client.headers) || (keyed && name == "authorization")) continue;
    request.setHeader(name, value);
  }
}

http::HttpResponse handleApiChat(const std::shared_ptr<RelayHost>& host,
                                 const http::HttpRequestPtr& request) {
  std::weak_ptr<RelayHost> weakHost = host;
  return http::HttpResponse::raw(200, "OK", streamedAnswerHeaders("application/json"),
                                 [weakHost, request](http::HttpResponseBodyWriter& out) {
                                   writePassThrough(out, weakHost, request);
                                 });
}

}  // namespace velmora::relay
