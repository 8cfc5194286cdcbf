// Holds idle keep-alive connections open, for measuring what each costs a server:
// `bench-idle-clients --port N --count C [--path /]`. Every connection sends one keep-alive
// request and reads its whole answer; then "ready C" is printed and the connections stay open
// until standard input closes. At the end "open C" tells how many the server kept.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int connectTo(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  if (descriptor < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

// Reads one answer with a Content-Length; false when the connection ends first.
bool readAnswer(int descriptor) {
  std::string received;
  char buffer[4096];
  std::size_t headEnd = std::string::npos;
  long length = -1;
  for (;;) {
    if (headEnd != std::string::npos &&
        received.size() >= headEnd + 4 + static_cast<std::size_t>(length)) {
      return true;
    }
    const ssize_t got = ::recv(descriptor, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(got));
    if (headEnd == std::string::npos) {
      headEnd = received.find("\r\n\r\n");
      if (headEnd == std::string::npos) continue;
      std::string head = received.substr(0, headEnd);
      for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const std::size_t field = head.find("content-length:");
      if (field == std::string::npos) return false;
      length = std::strtol(head.c_str() + field + 15, nullptr, 10);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int count = 100;
  std::string path = "/";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (name == "--count") {
      count = std::atoi(argv[i + 1]);
    } else if (name == "--path") {
      path = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s --port N [--count C] [--path P]\n", argv[0]);
      return 2;
    }
  }
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
  std::vector<int> connections;
  for (int i = 0; i < count; ++i) {
    const int descriptor = connectTo(port);
    if (descriptor < 0 || ::send(descriptor, request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
        !readAnswer(descriptor)) {
      std::fprintf(stderr, "bench-idle-clients: connection %d failed\n", i);
      return 1;
    }
    connections.push_back(descriptor);
  }
  std::printf("ready %d\n", count);
  std::fflush(stdout);

  char ignored[64];
  while (::read(0, ignored, sizeof ignored) > 0) {
  }

  int open = 0;
  for (const int descriptor : connections) {
    pollfd entry{descriptor, POLLIN, 0};
    // A closed connection is readable (end of stream); an open idle one is not.
    if (::poll(&entry, 1, 0) == 0) ++open;
    ::close(descriptor);
  }
  std::printf("open %d\n", open);
  return open == count ? 0 : 1;
}
