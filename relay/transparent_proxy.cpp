#include "relay/transparent_proxy.h"

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/http_client.h"
#include "relay/pass_through.h"

namespace velmora::relay {

namespace {

const char* reasonPhraseFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return status < 400 ? "OK" : "Error";
  }
}

// The backend's answer as it arrives, handed from the request's thread to the connection's.
class RelayedAnswer final : public platform::HttpClientDelegate {
 public:
  struct Head {
    int status = 0;
    std::optional<std::string> contentType;
  };
  struct Batch {
    std::vector<std::vector<uint8_t>> blocks;
    bool finished = false;  // nothing follows these blocks
    std::optional<std::string> error;
  };

  void didReceiveResponse(int status, const platform::HttpClientHeaders& headers) override {
    std::lock_guard lock(mutex_);
    head_.status = status;
    for (const auto& [name, value] : headers) {
      if (platform::equalsIgnoringAsciiCase(name, "content-type")) head_.contentType = value;
    }
    hasHead_ = true;
    changed_.notify_all();
  }

  void didReceiveData(std::span<const uint8_t> bytes) override {
    std::unique_lock lock(mutex_);
    // A slow client holds the backend back instead of letting the relay buffer without end.
    changed_.wait(lock, [this] { return stopped_ || bufferedBytes_ < kMaxBufferedBackendBytes; });
    if (stopped_) return;
    blocks_.emplace_back(bytes.begin(), bytes.end());
    bufferedBytes_ += bytes.size();
    changed_.notify_all();
  }

  void didCompleteWithError(const std::optional<std::string>& error) override {
    std::lock_guard lock(mutex_);
    completed_ = true;
    error_ = error;
    changed_.notify_all();
  }

  // Waits at most `timeout` for the backend's status; true once it came or the request ended.
  bool waitForHead(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return hasHead_ || completed_; });
  }
  std::optional<Head> head() {
    std::lock_guard lock(mutex_);
    if (!hasHead_) return std::nullopt;
    return head_;
  }
  std::optional<std::string> error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

  // Waits at most `timeout` for blocks or the end, and takes whatever arrived.
  Batch take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !blocks_.empty() || completed_; });
    Batch batch{std::exchange(blocks_, {}), completed_, error_};
    bufferedBytes_ = 0;
    changed_.notify_all();
    return batch;
  }

  // Releases a reading paused for a slow client; nothing more is kept.
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    blocks_.clear();
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Head head_;                                 // guarded by mutex_
  bool hasHead_ = false;                      // guarded by mutex_
  std::vector<std::vector<uint8_t>> blocks_;  // guarded by mutex_; not yet written
  std::size_t bufferedBytes_ = 0;             // guarded by mutex_
  bool completed_ = false;                    // guarded by mutex_
  std::optional<std::string> error_;          // guarded by mutex_
  bool stopped_ = false;                      // guarded by mutex_
};

// Cancels the backend request when the last holder lets go before it ended: the client left,
// or the answer was never written (the server stopped).
class BackendRequest {
 public:
  BackendRequest(std::shared_ptr<RelayedAnswer> relayedAnswer,
                 std::shared_ptr<platform::HttpClientTask> clientTask)
      : answer(std::move(relayedAnswer)), task(std::move(clientTask)) {}
  ~BackendRequest() { cancel(); }
  BackendRequest(const BackendRequest&) = delete;
  BackendRequest& operator=(const BackendRequest&) = delete;

  void cancel() {
    answer->stop();
    task->cancel();
  }

  const std::shared_ptr<RelayedAnswer> answer;
  const std::shared_ptr<platform::HttpClientTask> task;
};

http::HttpResponse openAIError(int status, const std::string& message) {
  const nlohmann::json document = {
      {"error", {{"message", message}, {"type", "server_error"}, {"code", nullptr}}}};
  std::string body = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return http::HttpResponse::raw(
      status, reasonPhraseFor(status),
      http::HttpHeaders{{"Content-Type", "application/json"}, {"Cache-Control", "no-cache"}},
      [body = std::move(body)](http::HttpResponseBodyWriter& out) {
        out.write(std::string_view(body));
      });
}

bool clientHasLeft(const std::weak_ptr<http::Socket>& connection) {
  const auto socket = connection.lock();
  return socket && socket->peerHasClosed();
}

}  // namespace

std::string backendUrlForPath(const std::string& completionsUrl, std::string_view path) {
  // The backend's API may sit under a prefix other than "/v1" (a router's "/openai/v1").
  constexpr std::string_view kCompletionsPath = "/chat/completions", kApiPrefix = "/v1";
  std::string_view base = completionsUrl;
  if (base.ends_with(kCompletionsPath)) base.remove_suffix(kCompletionsPath.size());
  if (path.starts_with(kApiPrefix)) path.remove_prefix(kApiPrefix.size());
  return std::string(base) + std::string(path);
}

http::HttpResponse handleTransparentRequest(const std::shared_ptr<RelayHost>& host,
                                            const http::HttpRequestPtr& clientRequest) {
  const std::string label = clientRequest->path;
  platform::HttpClientRequest request = host->urlRequestTemplate();
  request.url = backendUrlForPath(request.url, clientRequest->path);
  request.method = clientRequest->method;
  forwardClientHeaders(request, *clientRequest);
  if (clientRequest->method == "GET" || clientRequest->method == "HEAD") {
    request.body.reset();
  } else {
    request.body = clientRequest->body;
  }
  request.timeoutInterval = kTransparentIdleTimeout;

  auto answer = std::make_shared<RelayedAnswer>();
  std::shared_ptr<platform::HttpClientTask> task;
  try {
    task = host->backendClient().start(std::move(request), answer);
  } catch (const std::exception& failure) {
    return openAIError(502,
                       std::string("The model server could not be reached: ") + failure.what());
  }
  auto backend = std::make_shared<BackendRequest>(answer, task);

  // The client may give up while the model reads a long prompt: look every now and then.
  const std::weak_ptr<http::Socket> connection = clientRequest->connection;
  while (!answer->waitForHead(kClientCheckInterval)) {
    if (clientHasLeft(connection)) {
      backend->cancel();
      platform::printLine(label + ": the client left; the backend request was cancelled");
      return http::HttpResponse::raw(499, "Client Closed Request");
    }
  }
  const std::optional<RelayedAnswer::Head> head = answer->head();
  if (!head) {
    const std::string error = answer->error().value_or("no answer");
    platform::printLine(label + ": the model server could not be reached: " + error);
    return openAIError(502, "The model server could not be reached: " + error);
  }

  http::HttpHeaders headers;
  if (head->contentType) headers.emplace_back("Content-Type", *head->contentType);
  headers.emplace_back("Cache-Control", "no-cache");
  headers.emplace_back("X-Accel-Buffering", "no");
  return http::HttpResponse::raw(
      head->status, reasonPhraseFor(head->status), std::move(headers),
      [backend, connection, label](http::HttpResponseBodyWriter& out) {
        for (;;) {
          RelayedAnswer::Batch batch = backend->answer->take(kClientCheckInterval);
          for (const auto& block : batch.blocks) {
            try {
              out.write(std::span<const uint8_t>(block));
            } catch (const std::exception&) {
              backend->cancel();
              platform::printLine(label + ": the client left; the backend request was cancelled");
              return;
            }
          }
          if (batch.finished) {
            if (batch.error)
              platform::printLine(label + ": the backend's answer broke off: " + *batch.error);
            return;
          }
          if (batch.blocks.empty() && clientHasLeft(connection)) {
            backend->cancel();
            platform::printLine(label + ": the client left; the backend request was cancelled");
            return;
          }
        }
      });
}

}  // namespace velmora::relay
