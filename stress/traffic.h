#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_client.h"

namespace velmora::stress {

// One request on a fresh connection, read until the server closes it.
struct Exchange {
  bool connected = false;
  bool closedInTime = false;  // the server ended the connection before the timeout
  std::string raw;
  testing::ParsedResponse response;
  double seconds = 0;
};
Exchange roundTrip(int port, const std::string& request,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A form post to the relay's "/submit"; `reset` adds the start page's reset field.
std::string submitRequest(const std::string& prompt, bool reset);
std::string getRequest(const std::string& path, bool keepAlive);

// A client that keeps asking `path` on one keep-alive connection (a new one after a failure)
// while a scenario runs, and counts what it got: the proof that others are still served.
class NormalClient {
 public:
  struct Stats {
    long requests = 0;
    long answered = 0;
    long errors = 0;
    double maxMs = 0;
    std::string firstError;
  };

  NormalClient(int port, std::string path, std::string expectedBodyStart,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));
  ~NormalClient();
  NormalClient(const NormalClient&) = delete;
  NormalClient& operator=(const NormalClient&) = delete;

  Stats stop();

 private:
  void run();

  const int port_;
  const std::string path_;
  const std::string expected_;
  const std::chrono::milliseconds interval_;
  std::atomic<bool> stopping_{false};
  Stats stats_;  // written by the thread, read after join
  std::thread thread_;
};

// `connections` keep-alive clients on one epoll thread for `duration`, each sending `request`
// again as soon as the previous answer is complete. An answer counts when its status is 200 and
// its body equals `expectedBody`; anything else, a connection that ends mid-answer, or an answer
// that takes longer than 10 s counts as an error (and the client reconnects).
struct LoadResult {
  long requests = 0;
  long errors = 0;
  long reconnects = 0;
  double maxMs = 0;
  double meanMs = 0;
  std::string firstError;
};
LoadResult driveLoad(int port, int connections, std::chrono::milliseconds duration,
                     const std::string& request, const std::string& expectedBody);

// A model server of its own making, written on raw sockets for what the fake backend cannot
// produce (bytes that are not UTF-8, a reply that is not HTTP at all) and for a refused
// connection (pause). Answers GET /v1/models with one model and every chat request with the next
// queued reply, else with a short well-formed stream; records every chat request's JSON body.
// One connection at a time; every reply closes its connection.
class RawBackend {
 public:
  RawBackend();
  ~RawBackend();
  RawBackend(const RawBackend&) = delete;
  RawBackend& operator=(const RawBackend&) = delete;

  int port() const { return port_; }
  // Closes the listening socket: connections are refused until resume(), on the same port.
  void pause();
  void resume();
  void queueReply(std::string bytes);
  std::vector<nlohmann::json> chatRequests() const;

  // An HTTP/1.1 200 event stream that ends with the connection: each event as given.
  static std::string streamReply(const std::vector<std::string>& events);
  // The event line of one content piece.
  static std::string pieceEvent(const std::string& piece);

 private:
  void run();
  void serve(int fd);
  int listen();

  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  int listenFd_ = -1;                     // guarded by mutex_
  std::deque<std::string> replies_;       // guarded by mutex_
  std::vector<nlohmann::json> requests_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace velmora::stress
