#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

namespace velmora::testing {

// The fake model server (tests/fake_backend/fake_backend.py) in a child process, on a free port
// of 127.0.0.1, and its control API. The process ends with this object (and by itself after
// `lifetime`, or when the test process dies). Control calls fail the current test and give null
// when the fake does not answer.
class FakeBackendProcess {
 public:
  explicit FakeBackendProcess(const nlohmann::json& scenario = nlohmann::json::object(),
                              std::chrono::seconds lifetime = std::chrono::seconds(300));
  ~FakeBackendProcess();
  FakeBackendProcess(const FakeBackendProcess&) = delete;
  FakeBackendProcess& operator=(const FakeBackendProcess&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string url() const;

  // Replaces the scenario (defaults plus the given keys).
  void setScenario(const nlohmann::json& scenario);
  // The next chat requests take these scenarios in turn.
  void queueScenarios(const nlohmann::json& scenarios);
  // Every recorded request, oldest first.
  nlohmann::json requests();
  // Waits until `count` requests are recorded (at most `timeout`); the records so far.
  nlohmann::json waitForRequests(int count,
                                 std::chrono::seconds timeout = std::chrono::seconds(20));
  // Forgets the recorded requests, the queue and the counters.
  void reset();

  // One control call: the answer's status and its JSON body (null when it did not answer).
  struct Answer {
    int status = 0;
    nlohmann::json body;
  };
  Answer call(const std::string& method, const std::string& target,
              const nlohmann::json& body = nullptr,
              std::chrono::seconds timeout = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A port of 127.0.0.1 where nothing listens (bound, then released).
int unusedLoopbackPort();

}  // namespace velmora::testing
