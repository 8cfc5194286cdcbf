#include "relay/web/relay_routes.h"

#include <vector>

#include "http/body_decoding.h"
#include "platform/console.h"
#include "platform/url.h"
#include "relay/pages.h"
#include "relay/pass_through.h"
#include "relay/stream_relay.h"
#include "relay/transparent_proxy.h"
#include "relay/web/access_control.h"
#include "relay/web/chat_routes.h"
#include "relay/web/host_handler.h"
#include "relay/web/request_guard.h"

namespace velmora::relay::web {

namespace {

// The pieces of `text` between separators, empty ones dropped.
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const auto at = text.find(separator);
    const std::string_view piece = text.substr(0, at);
    if (!piece.empty()) pieces.push_back(piece);
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return pieces;
}

}  // namespace

std::optional<SubmitField> decodeSubmitField(std::string_view piece) {
  const auto parts = splitDroppingEmpty(piece, '=');
  if (parts.size() != 2) return std::nullopt;
  std::optional<std::string> value = platform::percentDecode(parts[1], true);
  if (!value || !http::isWellFormedUtf8(*value)) value = "";
  return SubmitField{std::string(parts[0]), std::move(*value)};
}

http::HttpResponse handleRoot(RelayHost& host, const http::HttpRequestPtr&) {
  std::string page(pages::kStartPageFirst);
  page += host.initialMessageText();
  page += pages::kStartPageSecond;
  return http::HttpResponse::ok(http::HttpResponseBody::html(std::move(page)));
}

http::HttpResponse handleSubmit(const std::shared_ptr<RelayHost>& host,
                                const http::HttpRequestPtr& request) {
  std::string_view text(reinterpret_cast<const char*>(request->body.data()), request->body.size());
  if (!http::isWellFormedUtf8(text)) text = {};
  const auto pieces = splitDroppingEmpty(text, '&');
  const std::string systemPrompt = host->systemPromptText();
  const std::optional<std::string> model = modelToSend(host->modelChoice());
  if (!model) {
    // Nothing goes to the backend, and the conversation is left as it was.
    platform::printLine("/submit: " + std::string(kNoModelChosen));
    std::string page(pages::kAnswerPageHead);
    page += pages::kErrorMarkupFirst;
    page += kNoModelChosen;
    page += pages::kErrorMarkupSecond;
    return http::HttpResponse::raw(
        200, "OK", streamedAnswerHeaders("text/html; charset=utf-8"),
        [page](http::HttpResponseBodyWriter& out) {
          out.write(
              std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(page.data()), page.size()));
        });
  }

  std::string prompt;
  std::optional<std::string> resetValue;
  for (const std::string_view piece : pieces) {
    auto field = decodeSubmitField(piece);
    if (!field) continue;
    if (field->name == "prompt") {
      prompt = std::move(field->value);
    } else if (field->name == "reset") {
      host->noteHistoryReset();
      resetValue = std::move(field->value);
    }
  }
  if (resetValue == "1") host->resetChatHistory();
  ChatSnapshot conversation = host->appendUserMessage(prompt);
  host->setMonitorText("Processing request...\nUser: " + prompt);
  // Shared, not copied: the request holds the whole conversation, and the response's writer is
  // copied on its way to the connection. The writer runs once and hands the request on.
  auto backendRequest = std::make_shared<platform::HttpClientRequest>(
      host->makeCompletionRequest(*model, systemPrompt, std::move(conversation.messages)));

  std::weak_ptr<RelayHost> weakHost = host;
  return http::HttpResponse::raw(
      200, "OK", streamedAnswerHeaders("text/html; charset=utf-8"),
      [weakHost, backendRequest,
       generation = conversation.generation](http::HttpResponseBodyWriter& out) {
        relayStreamedAnswer(out, pages::kAnswerPageHead, weakHost, std::move(*backendRequest),
                            generation, PieceEncoding::htmlText, ActiveStream::keep);
      });
}

http::HttpResponse handleClear(RelayHost& host, const http::HttpRequestPtr& request) {
  const bool reading = request->method == "GET" || request->method == "HEAD";
  // A link or image elsewhere loads it too, and a browser on a plain-HTTP network may say nothing
  // of where it was: without a sign of the relay's own page, a person confirms.
  if (reading && !sentFromOwnPage(*request)) {
    return closingResponse(*request, 200, "OK", {{"Content-Type", "text/html; charset=utf-8"}},
                           std::string(pages::kClearConfirmPage));
  }
  host.resetChatHistory();
  // Two spaces: the label ends with one and the rendering is set apart by another.
  platform::printLine("/clear:  " + host.chatHistoryDescription());
  // Not 301: a browser would keep it and, from the second click on, not ask again.
  return http::HttpResponse::raw(
      303, "See Other",
      http::HttpHeaders{{"Location", "/"}, {"Cache-Control", "no-store"}, {"Content-Length", "0"}});
}

void registerRelayRoutes(http::HttpServer& server, std::weak_ptr<RelayHost> host) {
  server.setMiddleware({requestGuard(host), accessControl(host)});
  server["/"] = withHost(host, [](const std::shared_ptr<RelayHost>& h,
                                  const http::HttpRequestPtr& r) { return handleRoot(*h, r); });
  server["/api/chat"] =
      withHost(host, [](const std::shared_ptr<RelayHost>& h, const http::HttpRequestPtr& r) {
        return handleApiChat(h, r);
      });
  server.POST["/submit"] =
      withHost(host, [](const std::shared_ptr<RelayHost>& h, const http::HttpRequestPtr& r) {
        return handleSubmit(h, r);
      });
  server["/clear"] =
      withHost(host, [](const std::shared_ptr<RelayHost>& h, const http::HttpRequestPtr& r) {
        return handleClear(*h, r);
      });
  server.POST["/v1/chat/completions"] = withHost(host, handleTransparentRequest);
  server.GET["/v1/models"] = withHost(host, handleTransparentRequest);
  registerChatRoutes(server, host);
}

}  // namespace velmora::relay::web
