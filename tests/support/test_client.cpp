#include "tests/support/test_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/ascii.h"

namespace velmora::testing {

TestClient::TestClient(int port, std::chrono::milliseconds timeout, const char* from) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket failed: ") + std::strerror(errno));
  const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address = loopbackAddress(port), source = loopbackAddress(0);
  if (from && (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
               ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    ::close(fd_);
    throw std::runtime_error(std::string("bind failed: ") + from);
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
  }
}

TestClient::~TestClient() {
  if (fd_ >= 0) ::close(fd_);
}

void TestClient::reset() {
  const linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(std::exchange(fd_, -1));
}

void TestClient::finishSending() {
  ::shutdown(fd_, SHUT_WR);
}

void TestClient::send(const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t result = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(result);
  }
}

bool TestClient::fill() {
  char buffer[65536];
  const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
  if (got == 0 || (got < 0 && errno == ECONNRESET)) closed_ = true;
  if (got <= 0) return false;
  pending_.append(buffer, static_cast<std::size_t>(got));
  return true;
}

std::string TestClient::readUntilClose() {
  while (fill()) {
  }
  return std::exchange(pending_, {});
}

std::string TestClient::readUntil(std::string_view text) {
  while (pending_.find(text) == std::string::npos && fill()) {
  }
  return std::exchange(pending_, {});
}

bool TestClient::closedWithoutData() {
  return pending_.empty() && !fill() && closed_;
}

std::string TestClient::readResponse() {
  std::size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return std::exchange(pending_, {});
  }
  std::size_t total = end + 4;
  if (const auto length = headerValue(pending_.substr(0, total), "Content-Length")) {
    total += std::stoul(*length);
    while (pending_.size() < total && fill()) {
    }
  }
  std::string response = pending_.substr(0, total);
  pending_.erase(0, total);
  return response;
}

std::optional<std::string> headerValue(const std::string& response, const std::string& name) {
  const std::string head = response.substr(0, response.find("\r\n\r\n"));
  for (std::size_t start = head.find("\r\n"); start != std::string::npos;) {
    const std::size_t end = head.find("\r\n", start + 2);
    const std::string line = head.substr(start + 2, end - start - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos &&
        platform::equalsIgnoringAsciiCase(line.substr(0, colon), name)) {
      const std::size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
    start = end;
  }
  return std::nullopt;
}

std::string bodyOf(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

}  // namespace velmora::testing
