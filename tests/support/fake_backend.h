#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_client.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace velmora::testing {

// A request as the fake model server read it.
struct BackendRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

// What the fake sends back. The body goes out in chunked framing, one chunk and one send() per
// write, so that a backend that dies mid-answer (cut or reset) is told apart from one that ends.
struct BackendAnswer {
  enum class End { complete, cut, reset, hang };
  int status = 200;
  std::string contentType = "text/event-stream";
  std::vector<std::string> writes;
  std::chrono::milliseconds pause{0};         // before every write but the first
  End end = End::complete;                    // hang: silent until the client or stop() ends it
  std::shared_future<void> heldAfterFirst{};  // when valid, the later writes wait until it is ready
};

// One "data:" line of a streamed chat completion whose delta is `deltaJson` (an object).
std::string streamEvent(const std::string& deltaJson);
// The events of a streamed answer: one content piece per write, then "data: [DONE]".
BackendAnswer streamedAnswer(const std::vector<std::string>& pieces);
// The text of the last message of a chat-completions request (its text parts, when it has
// content parts); "" when there is none.
std::string lastMessage(const BackendRequest& request);
// A whole JSON document with the given status.
BackendAnswer jsonAnswer(int status, std::string json);

// A certificate and its key, made by openssl for 127.0.0.1 in a folder of its own.
struct TestCertificate {
  TestCertificate();
  TemporaryDirectory folder;
  std::string certificate = folder.path + "/certificate.pem", key = folder.path + "/key.pem";
};

// An OpenAI-compatible model server on 127.0.0.1 for tests, written on plain sockets so that a
// fault of Velmora's own server cannot hide behind the same fault here. One connection per
// request. Unless `respond` is replaced, GET /v1/models lists "fake-model" and a chat completion
// streams "You said: " and the last message's content in two pieces.
class FakeBackend {
 public:
  using Responder = std::function<BackendAnswer(const BackendRequest&)>;

  // With `tls`, the server speaks HTTPS with that certificate.
  explicit FakeBackend(int port = 0, const TestCertificate* tls = nullptr);
  ~FakeBackend();  // stop()
  FakeBackend(const FakeBackend&) = delete;
  FakeBackend& operator=(const FakeBackend&) = delete;

  // Replaces how requests are answered; called on the connection's thread. Any thread.
  void respond(Responder responder) { setGuarded(responder_, std::move(responder)); }
  static BackendAnswer defaultAnswer(const BackendRequest& request);
  // From now on a request without "Authorization: Bearer KEY" is answered 401 with an
  // OpenAI-style error document whose message quotes the Authorization header it got (and still
  // recorded); "" accepts every request again.
  void requireKey(std::string key) { setGuarded(key_, std::move(key)); }

  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:PORT", or https

  // Every request so far, oldest first; waitForRequests waits until there are `count`.
  std::vector<BackendRequest> requests() const { return waitForRequests(0); }
  std::vector<BackendRequest> waitForRequests(
      std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until exactly `count` connections are open (their client has not closed yet); false
  // when time ran out.
  bool waitForOpenConnections(std::size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Called on the connection's thread whenever a hanging answer (End::hang) ends because its
  // client closed the connection. Any thread.
  void onHangingAnswerLeft(std::function<void()> observer) { setGuarded(hangLeft_, observer); }

  // Closes every connection and waits for their threads.
  void stop();

 private:
  template <typename T>
  void setGuarded(T& member, T value) {
    std::lock_guard lock(mutex_);
    member = std::move(value);
  }
  void acceptLoop();
  void serve(int client);

  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Responder responder_;                   // guarded by mutex_
  std::string key_;                       // guarded by mutex_
  std::function<void()> hangLeft_;        // guarded by mutex_
  ssl_ctx_st* tls_ = nullptr;             // when serving HTTPS; set before accepting
  std::vector<BackendRequest> requests_;  // guarded by mutex_
  std::vector<int> clients_;              // open connections; guarded by mutex_
  std::size_t liveThreads_ = 0;           // connection threads not yet ended; guarded by mutex_
  bool stopping_ = false;                 // guarded by mutex_
};

}  // namespace velmora::testing
