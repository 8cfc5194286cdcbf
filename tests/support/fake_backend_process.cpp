#include "tests/support/fake_backend_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <vector>

#include "platform/http_client.h"

extern char** environ;

namespace velmora::testing {

namespace {

std::string scriptPath() {
  // This file lives in tests/support; the fake in tests/fake_backend.
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "fake_backend" /
          "fake_backend.py")
      .string();
}

// The first line the child writes ("listening on PORT"), or "" after `timeout`.
std::string readFirstLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return "";
    line.append(buffer, static_cast<std::size_t>(got));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

FakeBackendProcess::FakeBackendProcess(const nlohmann::json& scenario,
                                       std::chrono::seconds lifetime) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "pipe() failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  std::vector<std::string> args = {"python3",         scriptPath(),
                                   "--port",          "0",
                                   "--lifetime",      std::to_string(lifetime.count()),
                                   "--scenario-json", scenario.dump()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(pipeEnds[0]);
    ADD_FAILURE() << "could not start python3: " << spawned;
    return;
  }
  const std::string line = readFirstLine(pipeEnds[0], std::chrono::seconds(30));
  ::close(pipeEnds[0]);
  constexpr std::string_view kPrefix = "listening on ";
  if (line.starts_with(kPrefix)) port_ = std::stoi(line.substr(kPrefix.size()));
  if (port_ <= 0) ADD_FAILURE() << "the fake backend did not start: \"" << line << "\"";
}

FakeBackendProcess::~FakeBackendProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {  // at most 5 s, then it is killed
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    ::usleep(50 * 1000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

std::string FakeBackendProcess::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

FakeBackendProcess::Answer FakeBackendProcess::call(const std::string& method,
                                                    const std::string& target,
                                                    const nlohmann::json& body,
                                                    std::chrono::seconds timeout) {
  static platform::CurlHttpClient client;
  platform::HttpClientRequest request;
  request.url = url() + target;
  request.method = method;
  request.timeoutInterval = timeout;
  if (!body.is_null()) {
    const std::string text = body.dump();
    request.body = std::vector<uint8_t>(text.begin(), text.end());
    request.setHeader("Content-Type", "application/json");
  }
  auto promise = std::make_shared<std::promise<platform::HttpClientResult>>();
  auto future = promise->get_future();
  client.fetch(request, [promise](platform::HttpClientResult result) {
    promise->set_value(std::move(result));
  });
  if (future.wait_for(timeout + std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "the fake backend did not answer " << method << " " << target;
    return {};
  }
  const platform::HttpClientResult result = future.get();
  if (result.error) {
    ADD_FAILURE() << method << " " << target << " failed: " << *result.error;
    return {};
  }
  return {result.status, nlohmann::json::parse(result.body, nullptr, false)};
}

void FakeBackendProcess::setScenario(const nlohmann::json& scenario) {
  const Answer answer = call("POST", "/_control/scenario", scenario);
  EXPECT_EQ(answer.status, 200) << answer.body.dump();
}

void FakeBackendProcess::queueScenarios(const nlohmann::json& scenarios) {
  const Answer answer = call("POST", "/_control/queue", scenarios);
  EXPECT_EQ(answer.status, 200) << answer.body.dump();
}

nlohmann::json FakeBackendProcess::requests() {
  return call("GET", "/_control/requests").body;
}

nlohmann::json FakeBackendProcess::waitForRequests(int count, std::chrono::seconds timeout) {
  const Answer answer = call("GET",
                             "/_control/wait?count=" + std::to_string(count) +
                                 "&timeout=" + std::to_string(timeout.count()),
                             nullptr, timeout + std::chrono::seconds(5));
  EXPECT_EQ(answer.status, 200) << "fewer than " << count << " requests reached the fake";
  return answer.body;
}

void FakeBackendProcess::reset() {
  const Answer answer = call("POST", "/_control/reset", nlohmann::json::object());
  EXPECT_EQ(answer.status, 200);
}

int unusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace velmora::testing
