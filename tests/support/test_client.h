#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace velmora::testing {

// A plain blocking TCP client on 127.0.0.1 for tests: it speaks bytes, not HTTP, so that tests
// see exactly what the server wrote. Every read gives up after a timeout instead of hanging.
class TestClient {
 public:
  explicit TestClient(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  int descriptor() const { return fd_; }
  void send(const std::string& bytes);
  // Everything until the server closes the connection (or the timeout passes).
  std::string readUntilClose();
  // Exactly one response: the header block and, when it has a Content-Length, that many bytes.
  std::string readResponse();
  // True when the server closed the connection without sending anything more.
  bool closedWithoutData();
  // Whether a read has seen the server close or reset the connection (not just a timeout).
  bool peerClosed() const { return peerClosed_; }
  // Resets the connection (RST) instead of closing it.
  void reset();
  void close();

 private:
  // One recv() into pending_; false when the peer closed or the timeout passed.
  bool fill();

  int fd_ = -1;
  std::string pending_;
  bool peerClosed_ = false;
};

// The parts of one raw response.
struct ParsedResponse {
  std::string statusLine;
  std::multimap<std::string, std::string> headers;  // names as sent
  std::string body;
  std::optional<std::string> header(const std::string& name) const;  // any case of the name
};
ParsedResponse parseResponse(const std::string& raw);

// Two connected stream sockets (socketpair), for feeding wire bytes to a reader.
std::pair<int, int> makeSocketPair();

}  // namespace velmora::testing
