#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "http/parser.h"
#include "http/response.h"
#include "relay/relay_host.h"

namespace velmora::relay {

// "POST /v1/chat/completions" and "GET /v1/models" for programs that speak the OpenAI API: the
// request goes to the same path on the backend with the client's method, body and headers (less
// the hop headers of isHopHeader), and the backend's status, content type and body come back as
// they arrive, byte for byte, so server-sent events stream through unchanged. Responses carry
// "Cache-Control: no-cache" and "X-Accel-Buffering: no" so that a proxy in front does not buffer
// them, and end by closing the connection. The shared conversation is not touched.
//
// When the client leaves (it closes or resets the connection, or a write fails), the backend
// request is cancelled at once, which closes the backend connection: the model stops generating.
// A backend that cannot be reached answers 502 with an OpenAI-style error document.
//
// Blocks the connection's thread until the backend's status has arrived (or the client left),
// then answers with a body writer that relays the rest. The handler holds the host only while it
// builds the backend request.
http::HttpResponse handleTransparentRequest(const std::shared_ptr<RelayHost>& host,
                                            const http::HttpRequestPtr& request);

// The backend URL for `path` ("/v1/..."): the API base of the template's chat-completions URL
// followed by `path` without its "/v1". Pure; any thread.
std::string backendUrlForPath(const std::string& completionsUrl, std::string_view path);

// How often a waiting relay looks whether its client is still there.
inline constexpr std::chrono::milliseconds kClientCheckInterval{100};
// The bytes the backend may get ahead of a slow client before its reading pauses.
inline constexpr std::size_t kMaxBufferedBackendBytes = 4 * 1024 * 1024;
// A transparent request may stay silent this long (a long prompt, a long answer that is not
// streamed); a client that leaves ends it sooner.
inline constexpr std::chrono::seconds kTransparentIdleTimeout{600};

}  // namespace velmora::relay
