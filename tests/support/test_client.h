#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace velmora::testing {

// A plain blocking TCP client on 127.0.0.1: it speaks bytes, not HTTP, so that tests see exactly
// what a server wrote. Every read gives up after the timeout instead of hanging.
class TestClient {
 public:
  // `from`: the loopback address to connect from (127.0.0.2, say), when not the default.
  explicit TestClient(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      const char* from = nullptr);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void send(const std::string& bytes);
  void finishSending();  // a FIN: nothing more will be sent
  // Everything until the server closes the connection (or the timeout passes).
  std::string readUntilClose();
  // One response: the header block and, when it declares a Content-Length, that many bytes.
  std::string readResponse();
  // Everything until it holds `text`, or whatever came before the close or the timeout.
  std::string readUntil(std::string_view text);
  // Whether the server closed (or reset) the connection without sending anything more.
  bool closedWithoutData();
  // Closes with a reset (RST) instead of a FIN.
  void reset();

 private:
  bool fill();  // one recv(); false at the close or the timeout

  int fd_ = -1;
  std::string pending_;
  bool closed_ = false;
};

// 127.0.0.1 at `port`, as a socket address.
inline sockaddr_in loopbackAddress(int port) {
  return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

// A fresh folder under the system's temporary one, removed with everything in it at the end.
struct TemporaryDirectory {
  std::string path = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
  const bool made = mkdtemp(path.data()) != nullptr;
  ~TemporaryDirectory() { std::filesystem::remove_all(path); }
};

// The value of a header field (name in any case) in a raw response's header block.
std::optional<std::string> headerValue(const std::string& response, const std::string& name);
// The part of a raw response after its header block.
std::string bodyOf(const std::string& response);

}  // namespace velmora::testing
