#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "http/response.h"
#include "platform/http_client.h"
#include "relay/relay_host.h"
#include "relay/streaming_delegate.h"

namespace velmora::relay {

// Whether the answer's streaming objects become the host's active stream (answer pages do, the
// pass-through does not).
enum class ActiveStream { keep, doNotKeep };

// The header fields of a response whose body streams: its content type, and what keeps a proxy
// in front of the relay from holding the stream back ("Cache-Control: no-cache",
// "X-Accel-Buffering: no").
http::HttpHeaders streamedAnswerHeaders(std::string contentType);

// Writes `head`, then streams the backend's answer to `request` into `out` through a
// StreamingDelegate, and returns once the request has ended and its last byte was written. Runs
// on the connection's thread, inside a body callback; the request runs on that thread too.
//
// Write failures (a client that went away) are dropped: the request still runs to its end and
// its answer still reaches the conversation, unless that has been reset since `generation`, the
// one the request was built from.
void relayStreamedAnswer(http::HttpResponseBodyWriter& out, std::string_view head,
                         const std::weak_ptr<RelayHost>& host, platform::HttpClientRequest request,
                         uint64_t generation, PieceEncoding encoding, ActiveStream active);

}  // namespace velmora::relay
