#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/parser.h"
#include "http/response.h"
#include "http/server.h"
#include "relay/relay_host.h"

namespace velmora::relay::web {

// Registers, in this order, "/" (every method), "/api/chat" (every method), "/submit" (POST
// only), "/clear" (every method), "/v1/chat/completions" (POST) and "/v1/models" (GET; both in
// relay/transparent_proxy.h), then the chat page's routes (relay/chat_routes.h) on `server`; a
// later call replaces the same routes. The handlers hold the host weakly and answer
// internalServerError once it is gone. Every request,
// to these routes or any other, first passes the host and origin checks of
// relay/request_guard.h, then the access control of relay/access_control.h.
// Any thread.
void registerRelayRoutes(http::HttpServer& server, std::weak_ptr<RelayHost> host);

// The start page with the window's initial message (read on the main thread, not escaped).
// Connection thread.
http::HttpResponse handleRoot(RelayHost& host, const http::HttpRequestPtr& request);

// A prompt from a form: decodes "prompt" and "reset" (see decodeSubmitField), applies the reset
// rule, appends the user's turn, shows the prompt in the monitor and answers 200 "OK" with a body
// writer that streams the answer page. Connection thread; the writer holds the host weakly.
http::HttpResponse handleSubmit(const std::shared_ptr<RelayHost>& host,
                                const http::HttpRequestPtr& request);

// Empties the conversation and redirects to "/" (303, not kept by browsers). A GET or HEAD that
// does not show it comes from the relay's own pages (sentFromOwnPage) changes nothing and gets
// pages::kClearConfirmPage instead. Connection thread.
http::HttpResponse handleClear(RelayHost& host, const http::HttpRequestPtr& request);

// One piece of a "/submit" body (between "&"s): split at every "=" with empty parts dropped; a
// field only when exactly two parts remain. The name is taken as sent; the value has "+" turned
// into spaces and is then percent-decoded, becoming "" when an escape is malformed or the bytes
// are not UTF-8. Pure; any thread.
struct SubmitField {
  std::string name;
  std::string value;
  bool operator==(const SubmitField&) const = default;
};
std::optional<SubmitField> decodeSubmitField(std::string_view piece);

}  // namespace velmora::relay::web
