#include "tests/support/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/ascii.h"

namespace velmora::testing {

TestClient::TestClient(int port, std::chrono::milliseconds timeout) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
  }
}

TestClient::~TestClient() { close(); }

void TestClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TestClient::reset() {
  linger value{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &value, sizeof value);
  close();
}

void TestClient::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t result = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(result);
  }
}

bool TestClient::fill() {
  char buffer[65536];
  const ssize_t result = ::recv(fd_, buffer, sizeof buffer, 0);
  if (result == 0 || (result < 0 && errno == ECONNRESET)) peerClosed_ = true;
  if (result <= 0) return false;
  pending_.append(buffer, static_cast<std::size_t>(result));
  return true;
}

std::string TestClient::readUntilClose() {
  while (fill()) {
  }
  return std::exchange(pending_, {});
}

bool TestClient::closedWithoutData() { return pending_.empty() && !fill(); }

std::string TestClient::readResponse() {
  std::size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return std::exchange(pending_, {});
  }
  std::size_t total = end + 4;
  const ParsedResponse head = parseResponse(pending_.substr(0, total));
  if (const auto length = head.header("Content-Length")) {
    total += std::stoul(*length);
    while (pending_.size() < total) {
      if (!fill()) break;
    }
  }
  std::string response = pending_.substr(0, total);
  pending_.erase(0, total);
  return response;
}

std::optional<std::string> ParsedResponse::header(const std::string& name) const {
  // Field names are case-insensitive (RFC 9110 section 5.1).
  for (const auto& [candidate, value] : headers) {
    if (platform::equalsIgnoringAsciiCase(candidate, name)) return value;
  }
  return std::nullopt;
}

ParsedResponse parseResponse(const std::string& raw) {
  ParsedResponse parsed;
  const std::size_t headEnd = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, headEnd);
  if (headEnd != std::string::npos) parsed.body = raw.substr(headEnd + 4);
  std::size_t lineStart = 0;
  bool first = true;
  while (lineStart <= head.size()) {
    std::size_t lineEnd = head.find("\r\n", lineStart);
    if (lineEnd == std::string::npos) lineEnd = head.size();
    const std::string line = head.substr(lineStart, lineEnd - lineStart);
    if (first) {
      parsed.statusLine = line;
      first = false;
    } else if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
      parsed.headers.emplace(line.substr(0, colon), line.substr(colon + 2));
    }
    lineStart = lineEnd + 2;
  }
  return parsed;
}

std::pair<int, int> makeSocketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  return {fds[0], fds[1]};
}

}  // namespace velmora::testing
