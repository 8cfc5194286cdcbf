#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velmora::platform {

// Header fields in order; names keep the case they were given (request) or sent (response).
using HttpClientHeaders = std::vector<std::pair<std::string, std::string>>;

// One request to make: the URL, the method, ordered headers, optional body bytes and the timeout.
struct HttpClientRequest {
  std::string url;
  std::string method = "GET";
  HttpClientHeaders headers = {};
  // Absent: no body is sent (a POST then sends "Content-Length: 0").
  std::optional<std::vector<uint8_t>> body = std::nullopt;
  // An idle timeout, not a limit on the whole transfer: the request fails when connecting takes
  // longer, or when less than one byte per second has moved for this long. An answer that keeps
  // streaming is never cut. The speed check counts whole seconds, rounded up.
  std::chrono::milliseconds timeoutInterval = std::chrono::seconds(60);
  // A PEM file of the certificate authorities that an https server's certificate is verified
  // against; empty: the system's store.
  std::string caFile = {};

  // Replaces the value of the first field with the same name (compared without case) and drops
  // later ones, or appends a field.
  void setHeader(std::string name, std::string value);
};

// Receives the events of one streamed request, all on the request's own thread, one call at a
// time and in this order: didReceiveResponse once, as soon as the final response's head has
// arrived (before the first block, and before the completion when a response came without a
// body; never when no response came), didReceiveData
// for every block of the body as it arrives, and didCompleteWithError exactly once at the end.
// An exception raised by didReceiveResponse or didReceiveData ends the request; its what() text
// is then the completion's error.
class HttpClientDelegate {
 public:
  virtual ~HttpClientDelegate() = default;
  // The status of the final response (after redirects) and its header fields. A status of 400 or
  // more is not an error of the request; the body follows as usual.
  virtual void didReceiveResponse(int status, const HttpClientHeaders& headers);
  // One block of the body, handed on as soon as it has been read; never empty.
  virtual void didReceiveData(std::span<const uint8_t> bytes) = 0;
  // nullopt when the whole response arrived; otherwise the description of the failure: libcurl's
  // error text ("Failed to connect to 127.0.0.1 port 9 after 0 ms: Couldn't connect to server",
  // "Operation too slow. ..."), "cancelled" after cancel(), or the text of a delegate's exception.
  virtual void didCompleteWithError(const std::optional<std::string>& error) = 0;
};

// A request in progress. The request runs to its end whether or not anybody keeps this handle.
class HttpClientTask {
 public:
  virtual ~HttpClientTask() = default;
  // Ends the request promptly and closes its connection; the completion then reports
  // "cancelled", once. A block being delivered at that moment may still arrive before it. Does
  // nothing once the request has ended. Any thread, also the delegate's.
  virtual void cancel() = 0;
  // Whether the completion has been reported. Any thread.
  virtual bool isFinished() const = 0;
  // Waits until the completion has been reported and returns true, or false once `timeout` has
  // passed. Returns false at once on the request's own thread (the delegate), where waiting could
  // never end.
  virtual bool waitUntilFinished(std::chrono::milliseconds timeout) const = 0;
};

// The outcome of a request made with fetch().
struct HttpClientResult {
  int status = 0;                    // 0 when no response arrived
  HttpClientHeaders headers;         // of the final response
  std::vector<uint8_t> body;         // the whole body; empty when `error` is set
  std::optional<std::string> error;  // as for HttpClientDelegate::didCompleteWithError
};

using HttpClientCompletion = std::function<void(HttpClientResult)>;

// Makes HTTP(S) requests. Implementations: CurlHttpClient; tests may provide their own.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Starts `request` on a thread of its own and streams its events to `delegate`, which the
  // request keeps alive until its completion has been reported. Returns at once. Any thread.
  virtual std::shared_ptr<HttpClientTask> start(HttpClientRequest request,
                                                std::shared_ptr<HttpClientDelegate> delegate) = 0;

  // Runs `request` on the calling thread and returns once its completion has been reported; the
  // delegate's events all arrive on this thread, as start() has them arrive on the request's
  // own. `started` receives the task first (to cancel it from elsewhere) and must not raise.
  // Spares a thread where the caller would only wait for the request. Raises as start() does,
  // before `started` is called. The default starts the request and waits for it.
  virtual void run(HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate,
                   const std::function<void(const std::shared_ptr<HttpClientTask>&)>& started);

  // Starts `request` and calls `completion` once, on the request's thread, with the status and
  // the whole body. A body larger than kMaxFetchBodyBytes fails the request. Returns at once.
  // Any thread.
  virtual std::shared_ptr<HttpClientTask> fetch(HttpClientRequest request,
                                                HttpClientCompletion completion);

  static constexpr std::size_t kMaxFetchBodyBytes = 64 * 1024 * 1024;
};

// The client on libcurl: one easy handle on one thread per request, only http and https, with
// redirects followed (at most 10), no signals, proxies from the environment as libcurl reads
// them. Nothing stays behind a finished request: its handle, connection and thread are released
// before or right after its completion is reported. Holds no state: one instance may serve every
// caller, and it may be destroyed while its requests still run.
class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient();  // initialises libcurl once per process

  // Raises std::invalid_argument for a null delegate and std::system_error when no thread can
  // be started. Every other failure (a bad URL, a
  // header with a line break, a refused connection) arrives as the completion's error.
  std::shared_ptr<HttpClientTask> start(HttpClientRequest request,
                                        std::shared_ptr<HttpClientDelegate> delegate) override;
  void run(HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate,
           const std::function<void(const std::shared_ptr<HttpClientTask>&)>& started) override;
};

}  // namespace velmora::platform
