#pragma once

#include <functional>
#include <memory>
#include <span>
#include <vector>
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

// The client's connection as a backend request writes to it. What a delegate writes while it
// reads one block of the backend's answer is gathered and sent at the end of that block, in one
// write: the pieces of a block are all there already, so nothing waits, and a fast backend does
// not cost one system call per piece. After the first failed write (a client that went away)
// nothing more is tried and nothing is raised: the request still runs to its end. One thread at a
// time uses it: the connection's, and the request's while the connection's waits for it to end.
class ConnectionSink {
 public:
  explicit ConnectionSink(http::HttpResponseBodyWriter& out) : out_(out) {}

  void write(std::span<const uint8_t> bytes);
  void write(std::string_view text);
  // Sends what was written since the last flush.
  void flush();

 private:
  http::HttpResponseBodyWriter& out_;
  bool failed_ = false;
  std::vector<uint8_t> pending_;  // written, not yet sent
};

// Runs `request` on the calling thread (a connection's, inside a body callback, which would
// otherwise only wait for it) with `delegate`, flushing `sink` after every block, and returns
// once the request has ended. `started` receives the task when the request has started, from any
// thread's point of view at once. When the request cannot start (no thread, the relay shut down)
// the delegate's completion reports why.
void runBackendRequest(ConnectionSink& sink, const std::weak_ptr<RelayHost>& host,
                       platform::HttpClientRequest request,
                       std::shared_ptr<platform::HttpClientDelegate> delegate,
                       const std::function<void(const std::shared_ptr<platform::HttpClientTask>&)>&
                           started);

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
