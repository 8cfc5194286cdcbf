#include "platform/http_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;  // only against hangs, never a speed requirement

// A waitable flag shared between the test, the fake server and the delegate.
class Signal {
 public:
  void raise() {
    std::lock_guard lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

void sendText(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t count = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return;  // the client went away; the test's expectations tell
    sent += static_cast<std::size_t>(count);
  }
}

std::string chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

// Waits until the peer closes the connection; false when it stayed open for `timeout`.
bool waitForPeerClose(int fd, std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[256];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0) {
      const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
      if (count <= 0) return true;
    }
  }
  return false;
}

// A one-request-per-connection HTTP server on 127.0.0.1 that answers with a script.
class ScriptedServer {
 public:
  using Script = std::function<void(int fd, const std::string& request)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0) {
      throw std::runtime_error("test server cannot listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd entry{listenFd_, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const std::string request = readRequest(fd);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      script_(fd, request);
      ::close(fd);
    }
  }

  // The head and a Content-Length body.
  static std::string readRequest(int fd) {
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string data;
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (wanted == std::string::npos || data.size() < wanted) {
      const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
      if (count <= 0) break;
      data.append(buffer, static_cast<std::size_t>(count));
      const auto headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos && wanted == std::string::npos) {
        std::size_t length = 0;
        const auto field = data.find("Content-Length: ");
        if (field != std::string::npos && field < headEnd)
          length = std::stoul(data.substr(field + 16));
        wanted = headEnd + 4 + length;
      }
    }
    return data;
  }

  Script script_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
};

// Records the delegate's events in order, as text.
class RecordingDelegate : public HttpClientDelegate {
 public:
  void didReceiveResponse(int status, const HttpClientHeaders& headers) override {
    std::lock_guard lock(mutex_);
    events_.push_back("response " + std::to_string(status));
    headers_ = headers;
  }
  void didReceiveData(std::span<const uint8_t> bytes) override {
    std::string text(bytes.begin(), bytes.end());
    {
      std::lock_guard lock(mutex_);
      events_.push_back("data " + text);
      body_ += text;
    }
    if (onData) onData(text);
  }
  void didCompleteWithError(const std::optional<std::string>& error) override {
    {
      std::lock_guard lock(mutex_);
      ++completions_;
      error_ = error;
      events_.push_back(error ? "error" : "complete");
    }
    completed_.raise();
  }

  bool waitForCompletion() { return completed_.wait(); }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::string body() const {
    std::lock_guard lock(mutex_);
    return body_;
  }
  std::optional<std::string> error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }
  int completions() const {
    std::lock_guard lock(mutex_);
    return completions_;
  }
  HttpClientHeaders headers() const {
    std::lock_guard lock(mutex_);
    return headers_;
  }

  std::function<void(const std::string&)> onData;  // set before the request starts

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;   // guarded by mutex_
  std::string body_;                  // guarded by mutex_
  std::optional<std::string> error_;  // guarded by mutex_
  int completions_ = 0;               // guarded by mutex_
  HttpClientHeaders headers_;         // guarded by mutex_
  Signal completed_;
};

const std::string kChunkedHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
    "Connection: close\r\n\r\n";

TEST(CurlHttpClient, HandsEachBlockOnBeforeTheNextIsSent) {
  Signal firstDelivered;
  std::atomic<bool> secondWaitedForFirst{false};
  ScriptedServer server([&](int fd, const std::string&) {
    sendText(fd, kChunkedHead + chunk("first"));
    secondWaitedForFirst = firstDelivered.wait();
    sendText(fd, chunk("second") + "0\r\n\r\n");
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onData = [&](const std::string& text) {
    if (text == "first") firstDelivered.raise();
  };
  CurlHttpClient client;
  auto task = client.start({.url = server.url("/stream")}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_TRUE(task->waitUntilFinished(kPatience));
  EXPECT_TRUE(task->isFinished());

  EXPECT_TRUE(secondWaitedForFirst.load()) << "the first block was held back";
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"response 200", "data first", "data second", "complete"}));
  const HttpClientHeaders headers = delegate->headers();
  ASSERT_FALSE(headers.empty());
  EXPECT_EQ(headers.front(),
            (std::pair<std::string, std::string>{"Content-Type", "text/event-stream"}));
}

TEST(CurlHttpClient, SendsMethodOrderedHeadersAndBodyAsGiven) {
  ScriptedServer server([](int fd, const std::string&) {
    sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  });
  const std::string body = std::string(R"({"model":"m","messages":[],"stream":true})") +
                           std::string(3000, ' ');  // past the size where curl would send Expect
  HttpClientRequest request{.url = server.url("/v1/chat/completions"),
                            .method = "POST",
                            .headers = {{"X-First", "1"}, {"Content-Type", "text/plain"}},
                            .body = std::vector<uint8_t>(body.begin(), body.end()),
                            .timeoutInterval = 120s};
  request.setHeader("content-type", "application/json");  // replaces the value in its place
  auto delegate = std::make_shared<RecordingDelegate>();
  CurlHttpClient().start(request, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->error(), std::nullopt);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& wire = requests[0];
  EXPECT_TRUE(wire.starts_with("POST /v1/chat/completions HTTP/1.1\r\n")) << wire;
  const auto first = wire.find("\r\nX-First: 1\r\n");
  const auto type = wire.find("\r\nContent-Type: application/json\r\n");
  EXPECT_NE(first, std::string::npos) << wire;
  EXPECT_NE(type, std::string::npos) << wire;
  EXPECT_LT(first, type);
  EXPECT_EQ(wire.find("text/plain"), std::string::npos);
  EXPECT_EQ(wire.find("Expect"), std::string::npos);
  EXPECT_NE(wire.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(wire.ends_with("\r\n\r\n" + body));
}

TEST(CurlHttpClient, AnErrorStatusIsAResponseNotAFailure) {
  const std::string errorBody = R"({"error":"model not loaded"})";
  ScriptedServer server([&](int fd, const std::string&) {
    sendText(fd, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " +
                     std::to_string(errorBody.size()) + "\r\nConnection: close\r\n\r\n" +
                     errorBody);
  });
  CurlHttpClient client;
  auto delegate = std::make_shared<RecordingDelegate>();
  client.start({.url = server.url("/v1/chat/completions")}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"response 500", "data " + errorBody, "complete"}));

  Signal fetched;
  HttpClientResult result;
  client.fetch({.url = server.url("/v1/models")}, [&](HttpClientResult outcome) {
    result = std::move(outcome);
    fetched.raise();
  });
  ASSERT_TRUE(fetched.wait());
  EXPECT_EQ(result.status, 500);
  EXPECT_EQ(std::string(result.body.begin(), result.body.end()), errorBody);
  EXPECT_EQ(result.error, std::nullopt);
}

TEST(CurlHttpClient, FollowsRedirectsAndReportsOnlyTheFinalResponse) {
  ScriptedServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /old ")) {
      sendText(fd,
               "HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 5\r\n"
               "Connection: close\r\n\r\nmoved");
    } else {
      sendText(
          fd,
          "HTTP/1.1 200 OK\r\nX-Final: yes\r\nContent-Length: 4\r\nConnection: close\r\n\r\nhere");
    }
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  CurlHttpClient().start({.url = server.url("/old")}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"response 200", "data here", "complete"}));
  const HttpClientHeaders headers = delegate->headers();
  EXPECT_NE(std::find(headers.begin(), headers.end(),
                      std::pair<std::string, std::string>{"X-Final", "yes"}),
            headers.end());
  EXPECT_EQ(std::count_if(headers.begin(), headers.end(),
                          [](const auto& h) { return h.first == "Location"; }),
            0);
}

// Failures: each row's server (or none) and the words curl's description must hold.
TEST(CurlHttpClient, FailuresCarryCurlsDescription) {
  struct Row {
    const char* name;
    ScriptedServer::Script script;  // empty: nobody listens
    std::string bodyBeforeFailure;
    std::string descriptionHolds;
  };
  const Row rows[] = {
      {"connection refused", nullptr, "", "onnect"},
      {"closed in the middle of the body",
       [](int fd, const std::string&) {
         sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
       },
       "0123456789", "closed"},
      {"closed before answering", [](int, const std::string&) {}, "", "server"},
      {"not HTTP", [](int fd, const std::string&) { sendText(fd, "SSH-2.0-OpenSSH\r\n\r\n"); }, "",
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string url;
    std::optional<ScriptedServer> server;
    if (row.script) {
      server.emplace(row.script);
      url = server->url("/v1/chat/completions");
    } else {
      // A port that was free a moment ago and where nobody listens now.
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      socklen_t length = sizeof address;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
      ::close(fd);
      url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/chat/completions";
    }
    auto delegate = std::make_shared<RecordingDelegate>();
    CurlHttpClient().start({.url = url}, delegate);
    ASSERT_TRUE(delegate->waitForCompletion());
    EXPECT_EQ(delegate->completions(), 1);
    EXPECT_EQ(delegate->body(), row.bodyBeforeFailure);
    ASSERT_TRUE(delegate->error().has_value());
    EXPECT_FALSE(delegate->error()->empty());
    EXPECT_NE(delegate->error()->find(row.descriptionHolds), std::string::npos)
        << *delegate->error();
  }
}

TEST(CurlHttpClient, RefusesBadRequestsThroughTheCompletion) {
  CurlHttpClient client;
  for (const HttpClientRequest& request : {
           HttpClientRequest{.url = "not a url"},
           HttpClientRequest{.url = "file:///etc/passwd"},
           HttpClientRequest{.url = "http://127.0.0.1:9/",
           .headers = {{"X-Injected", "a\r\nEvil: 1"}}},
       }) {
    SCOPED_TRACE(request.url);
    auto delegate = std::make_shared<RecordingDelegate>();
    client.start(request, delegate);
    ASSERT_TRUE(delegate->waitForCompletion());
    EXPECT_EQ(delegate->events(), std::vector<std::string>{"error"});
  }
  EXPECT_THROW(client.start({.url = "http://127.0.0.1:9/"}, nullptr), std::invalid_argument);
}

TEST(CurlHttpClient, ASilentServerIsCutAfterTheIdleInterval) {
  std::atomic<bool> clientLeft{false};
  ScriptedServer server([&](int fd, const std::string&) {
    sendText(fd, kChunkedHead + chunk("a"));
    clientLeft = waitForPeerClose(fd, 30s);
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  CurlHttpClient().start({.url = server.url("/stream"), .timeoutInterval = 1s}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->body(), "a");
  ASSERT_TRUE(delegate->error().has_value());
  EXPECT_NE(delegate->error()->find("too slow"), std::string::npos) << *delegate->error();
}

TEST(CurlHttpClient, AServerThatKeepsSendingIsNeverCut) {
  // Slow but steady, for several times the idle interval.
  ScriptedServer server([](int fd, const std::string&) {
    sendText(fd, kChunkedHead);
    for (int i = 0; i < 16; ++i) {
      sendText(fd, chunk("x"));
      std::this_thread::sleep_for(250ms);
    }
    sendText(fd, "0\r\n\r\n");
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  CurlHttpClient().start({.url = server.url("/stream"), .timeoutInterval = 1s}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->error(), std::nullopt);
  EXPECT_EQ(delegate->body(), std::string(16, 'x'));
}

TEST(CurlHttpClient, CancelEndsTheTransferClosesTheConnectionAndCompletesOnce) {
  std::atomic<bool> connectionClosed{false};
  Signal serverDone;
  ScriptedServer server([&](int fd, const std::string&) {
    sendText(fd, kChunkedHead + chunk("partial"));
    connectionClosed = waitForPeerClose(fd);
    serverDone.raise();
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  Signal gotData;
  delegate->onData = [&](const std::string&) { gotData.raise(); };
  auto task =
      CurlHttpClient().start({.url = server.url("/stream"), .timeoutInterval = 120s}, delegate);
  ASSERT_TRUE(gotData.wait());
  task->cancel();
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->error(), "cancelled");
  ASSERT_TRUE(serverDone.wait());
  EXPECT_TRUE(connectionClosed.load());
  task->cancel();  // after the end: nothing more
  EXPECT_TRUE(task->waitUntilFinished(kPatience));
  EXPECT_EQ(delegate->completions(), 1);
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"response 200", "data partial", "error"}));
}

TEST(CurlHttpClient, CancelBeforeAnyAnswerAndFromTheDelegateItself) {
  Signal cancelled;
  ScriptedServer server([&](int fd, const std::string&) {
    cancelled.wait();  // answer only once the test has cancelled (or given up)
    sendText(fd, kChunkedHead + chunk("one") + chunk("two") + "0\r\n\r\n");
    waitForPeerClose(fd, 5s);
  });
  CurlHttpClient client;
  auto early = std::make_shared<RecordingDelegate>();
  auto task = client.start({.url = server.url("/a")}, early);
  task->cancel();
  cancelled.raise();
  ASSERT_TRUE(early->waitForCompletion());
  EXPECT_EQ(early->events(), std::vector<std::string>{"error"});
  EXPECT_EQ(early->error(), "cancelled");

  // The delegate cancels its own request from inside didReceiveData.
  auto selfCancelling = std::make_shared<RecordingDelegate>();
  std::shared_ptr<HttpClientTask> own;
  std::mutex ownMutex;
  Signal ownSet;
  selfCancelling->onData = [&](const std::string&) {
    ownSet.wait();
    std::lock_guard lock(ownMutex);
    EXPECT_FALSE(own->waitUntilFinished(1s));  // would wait for itself: answers at once
    own->cancel();
  };
  {
    std::lock_guard lock(ownMutex);
    own = client.start({.url = server.url("/b")}, selfCancelling);
  }
  ownSet.raise();
  ASSERT_TRUE(selfCancelling->waitForCompletion());
  EXPECT_EQ(selfCancelling->error(), "cancelled");
  EXPECT_EQ(selfCancelling->body(), "one");  // no block after the cancel
}

TEST(CurlHttpClient, ADelegateExceptionEndsTheRequestWithItsText) {
  ScriptedServer server([](int fd, const std::string&) {
    sendText(fd, kChunkedHead + chunk("one"));
    waitForPeerClose(fd, 5s);
  });
  struct Throwing : RecordingDelegate {
    void didReceiveData(std::span<const uint8_t>) override {
      throw std::runtime_error("writer broke");
    }
  };
  auto delegate = std::make_shared<Throwing>();
  CurlHttpClient().start({.url = server.url("/")}, delegate);
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->error(), "writer broke");
}

// Records the thread of every event, besides what RecordingDelegate records.
class ThreadRecordingDelegate : public RecordingDelegate {
 public:
  void didReceiveResponse(int status, const HttpClientHeaders& headers) override {
    note();
    RecordingDelegate::didReceiveResponse(status, headers);
  }
  void didReceiveData(std::span<const uint8_t> bytes) override {
    note();
    RecordingDelegate::didReceiveData(bytes);
  }
  void didCompleteWithError(const std::optional<std::string>& error) override {
    note();
    RecordingDelegate::didCompleteWithError(error);
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(threadsMutex_);
    return threads_;
  }

 private:
  void note() {
    std::lock_guard lock(threadsMutex_);
    threads_.push_back(std::this_thread::get_id());
  }
  mutable std::mutex threadsMutex_;
  std::vector<std::thread::id> threads_;
};

TEST(CurlHttpClient, RunKeepsTheRequestOnTheCallingThreadAndCanBeCancelledFromElsewhere) {
  ScriptedServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /whole")) {
      sendText(fd, kChunkedHead + chunk("one") + chunk("two") + "0\r\n\r\n");
    } else {
      sendText(fd, kChunkedHead + chunk("partial"));
      waitForPeerClose(fd);
    }
  });
  CurlHttpClient client;

  auto whole = std::make_shared<ThreadRecordingDelegate>();
  std::shared_ptr<HttpClientTask> task;
  client.run({.url = server.url("/whole")}, whole, [&](const auto& started) {
    EXPECT_TRUE(whole->events().empty());  // before the first event
    task = started;
  });
  ASSERT_NE(task, nullptr);
  EXPECT_TRUE(task->isFinished());  // returned after the completion
  EXPECT_TRUE(task->waitUntilFinished(0ms));
  EXPECT_EQ(whole->events(),
            (std::vector<std::string>{"response 200", "data one", "data two", "complete"}));
  for (const std::thread::id thread : whole->threads())
    EXPECT_EQ(thread, std::this_thread::get_id());

  auto held = std::make_shared<RecordingDelegate>();
  Signal gotData;
  held->onData = [&](const std::string&) { gotData.raise(); };
  std::thread canceller;
  client.run({.url = server.url("/held"), .timeoutInterval = 120s}, held, [&](const auto& started) {
    canceller = std::thread([&gotData, started] {
      gotData.wait();
      started->cancel();
    });
  });
  canceller.join();
  EXPECT_EQ(held->error(), "cancelled");
  EXPECT_EQ(held->body(), "partial");
  EXPECT_EQ(held->completions(), 1);

  EXPECT_THROW(client.run({.url = server.url("/")}, nullptr, [](const auto&) { FAIL(); }),
               std::invalid_argument);
}

// A client with only start(): run() then starts the request and waits for it.
TEST(HttpClient, RunWithoutAnOwnImplementationWaitsForTheStartedRequest) {
  class ThreadedClient final : public HttpClient {
   public:
    std::shared_ptr<HttpClientTask> start(HttpClientRequest request,
                                          std::shared_ptr<HttpClientDelegate> delegate) override {
      return inner_.start(std::move(request), std::move(delegate));
    }

   private:
    CurlHttpClient inner_;
  };
  ScriptedServer server([](int fd, const std::string&) {
    std::this_thread::sleep_for(50ms);  // the caller must wait for this, not return early
    sendText(fd, kChunkedHead + chunk("late") + "0\r\n\r\n");
  });
  auto delegate = std::make_shared<ThreadRecordingDelegate>();
  bool started = false;
  ThreadedClient().run({.url = server.url("/")}, delegate, [&](const auto&) { started = true; });
  EXPECT_TRUE(started);
  EXPECT_EQ(delegate->completions(), 1);
  EXPECT_EQ(delegate->body(), "late");
  ASSERT_FALSE(delegate->threads().empty());
  EXPECT_NE(delegate->threads().front(), std::this_thread::get_id());
}

std::size_t entriesIn(const char* folder) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST(CurlHttpClient, FinishedRequestsLeaveNoThreadsOrConnectionsBehind) {
  ScriptedServer server([](int fd, const std::string&) {
    sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");  // keep-alive on our side
  });
  CurlHttpClient client;
  // One request first, so that libcurl's one-time set-up does not count.
  {
    Signal done;
    client.fetch({.url = server.url("/warm-up")}, [&](HttpClientResult) { done.raise(); });
    ASSERT_TRUE(done.wait());
  }
  const auto settled = [](std::size_t threads, std::size_t fds) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (entriesIn("/proc/self/task") <= threads && entriesIn("/proc/self/fd") <= fds) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  };
  ASSERT_TRUE(settled(entriesIn("/proc/self/task"), 1 << 20));
  const std::size_t threads = entriesIn("/proc/self/task");
  const std::size_t fds = entriesIn("/proc/self/fd");

  for (int i = 0; i < 30; ++i) {
    Signal done;
    HttpClientResult result;
    auto task = client.fetch({.url = server.url("/v1/models")}, [&](HttpClientResult outcome) {
      result = std::move(outcome);
      done.raise();
    });
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(task->waitUntilFinished(kPatience));
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(std::string(result.body.begin(), result.body.end()), "ok");
  }
  EXPECT_TRUE(settled(threads, fds))
      << entriesIn("/proc/self/task") << " threads (was " << threads << "), "
      << entriesIn("/proc/self/fd") << " descriptors (was " << fds << ")";
}

}  // namespace
}  // namespace velmora::platform
