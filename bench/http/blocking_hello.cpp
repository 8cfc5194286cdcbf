// The reference peer of bench/http: the least a blocking server with one thread per connection
// can do, and so the ceiling of that design on the machine at hand. No parser, no router, no
// allocation per request: it finds the end of each request head, answers the 13-byte body at any
// path (or a file below "/static/" with sendfile), and keeps the connection when the head asks
// for keep-alive. Raw sockets only, nothing of Velmora's.
//
//   bench-blocking-hello --port N --root DIR
//
// Prints "listening on PORT" once it accepts connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

std::string root;

bool sendAll(int descriptor, const char* bytes, std::size_t length, int flags = 0) {
  while (length > 0) {
    const ssize_t sent = ::send(descriptor, bytes, length, MSG_NOSIGNAL | flags);
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool asksKeepAlive(std::string_view head) {
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
    const std::string_view line = head.substr(at + 2, 28);
    if (line.size() >= 22 && strncasecmp(line.data(), "connection: keep-alive", 22) == 0) return true;
  }
  return false;
}

bool answer(int descriptor, std::string_view head, bool keepAlive) {
  const std::size_t space = head.find(' ');
  const std::string_view target = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
  const char* connection = keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  if (!target.starts_with("/static/") || target.find("..") != std::string_view::npos) {
    char response[160];
    const int length = std::snprintf(response, sizeof response,
                                     "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n%s\r\nHello, World!", connection);
    return sendAll(descriptor, response, static_cast<std::size_t>(length));
  }
  const std::string path = root + "/" + std::string(target.substr(8));
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (file < 0 || ::fstat(file, &status) != 0) {
    if (file >= 0) ::close(file);
    const std::string missing = std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n") + connection + "\r\n";
    return sendAll(descriptor, missing.data(), missing.size());
  }
  char response[160];
  const int length = std::snprintf(response, sizeof response, "HTTP/1.1 200 OK\r\nContent-Length: %lld\r\n%s\r\n",
                                   static_cast<long long>(status.st_size), connection);
  bool ok = sendAll(descriptor, response, static_cast<std::size_t>(length), MSG_MORE);
  off_t offset = 0;
  while (ok && offset < status.st_size) {
    ok = ::sendfile(descriptor, file, &offset, static_cast<std::size_t>(status.st_size - offset)) > 0;
  }
  ::close(file);
  return ok;
}

void serve(int descriptor) {
  char buffer[8192];
  std::size_t filled = 0;
  for (;;) {
    const ssize_t got = ::recv(descriptor, buffer + filled, sizeof buffer - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
    std::size_t start = 0;
    bool open = true;
    for (;;) {
      const std::string_view pending(buffer + start, filled - start);
      const std::size_t end = pending.find("\r\n\r\n");
      if (end == std::string_view::npos) break;
      const std::string_view head = pending.substr(0, end + 2);
      const bool keepAlive = asksKeepAlive(head);
      open = answer(descriptor, head, keepAlive) && keepAlive;
      start += end + 4;
      if (!open) break;
    }
    if (!open || (start == 0 && filled == sizeof buffer)) break;  // done, or a head too long
    std::memmove(buffer, buffer + start, filled - start);
    filled -= start;
  }
  ::close(descriptor);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (name == "--root") {
      root = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--port N] [--root DIR]\n", argv[0]);
      return 2;
    }
  }
  const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listening, 1024) != 0 ||
      ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("bench-blocking-hello: cannot listen");
    return 1;
  }
  std::printf("listening on %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread(serve, client).detach();
  }
}
