#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "http/parser.h"
#include "http/response.h"
#include "platform/http_client.h"
#include "relay/relay_host.h"

namespace velmora::relay {

// "/api/chat", every method: answers 200 "OK" with "Content-Type: application/json" and a body
// writer that forwards the client's chat-completions request to the backend, forced to stream,
// and relays the answer's text pieces unescaped, then the answer-page tail or the error markup.
// The answer joins the conversation as an assistant turn unless the conversation is reset before
// it ends; the connection closes at the end.
// Connection thread; the writer holds the host weakly.
http::HttpResponse handleApiChat(const std::shared_ptr<RelayHost>& host,
                                 const http::HttpRequestPtr& request);

// The body to forward: a JSON object with "stream" set to true (in place when present, last
// when added; every other member untouched and in its order); the client's bytes unchanged when
// the top level is an array or the body is not JSON. `failure` receives the reason in the last
// case. Pure; any thread.
std::vector<uint8_t> forwardedBody(const std::vector<uint8_t>& clientBody, std::string* failure);

// Whether a client's header stays with this hop instead of reaching the backend: the length and
// host the HTTP client sets itself, the hop-by-hop fields, those the client's "connection" field
// names, and "expect" and "accept-encoding", which concern the relay, not the backend (the relay
// reads the answer itself and does not decode compressed streams). `name` in lower case.
bool isHopHeader(std::string_view name,
                 const std::unordered_map<std::string, std::string>& headers);

// Adds the client's header fields, less the hop headers, to a request for the backend. When the
// request already carries an "Authorization" field (the backend's key), the client's is dropped.
// Any thread.
void forwardClientHeaders(platform::HttpClientRequest& request, const http::HttpRequest& client);

}  // namespace velmora::relay
