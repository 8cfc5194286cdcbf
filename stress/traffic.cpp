#include "stress/traffic.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace velmora::stress {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

std::string percentEncode(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int connectBlocking(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// The length of the first complete response in `buffer` (header block plus Content-Length), or
// 0 while it is incomplete; -1 when the header block carries no length.
long completeResponseLength(const std::string& buffer) {
  const auto end = buffer.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  const auto parsed = testing::parseResponse(buffer.substr(0, end + 4));
  const auto length = parsed.header("Content-Length");
  if (!length) return -1;
  const long total = static_cast<long>(end + 4) + std::stol(*length);
  return static_cast<long>(buffer.size()) >= total ? total : 0;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Exchange roundTrip(int port, const std::string& request, std::chrono::milliseconds timeout) {
  Exchange result;
  const auto begin = Clock::now();
  try {
    testing::TestClient client(port, timeout);
    result.connected = true;
    client.send(request);
    result.raw = client.readUntilClose();
  } catch (const std::exception&) {
  }
  result.seconds = millisecondsSince(begin) / 1000.0;
  result.closedInTime =
      result.connected && result.seconds * 1000.0 < static_cast<double>(timeout.count()) - 50;
  result.response = testing::parseResponse(result.raw);
  return result;
}

std::string submitRequest(const std::string& prompt, bool reset) {
  std::string body = "prompt=" + percentEncode(prompt);
  if (reset) body += "&reset=1";
  return "POST /submit HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string getRequest(const std::string& path, bool keepAlive) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
         (keepAlive ? "Connection: keep-alive\r\n" : "") + "\r\n";
}

// ---- NormalClient ----

NormalClient::NormalClient(int port, std::string path, std::string expectedBodyStart,
                           std::chrono::milliseconds interval)
    : port_(port),
      path_(std::move(path)),
      expected_(std::move(expectedBodyStart)),
      interval_(interval) {
  thread_ = std::thread([this] { run(); });
}

NormalClient::~NormalClient() {
  stop();
}

NormalClient::Stats NormalClient::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  return stats_;
}

void NormalClient::run() {
  std::unique_ptr<testing::TestClient> client;
  const std::string request = getRequest(path_, true);
  const auto fail = [&](const std::string& why) {
    ++stats_.errors;
    if (stats_.firstError.empty()) stats_.firstError = why;
    client.reset();
  };
  while (!stopping_.load()) {
    ++stats_.requests;
    const auto begin = Clock::now();
    try {
      if (!client) client = std::make_unique<testing::TestClient>(port_, std::chrono::seconds(10));
      client->send(request);
      const std::string raw = client->readResponse();
      const auto parsed = testing::parseResponse(raw);
      if (parsed.statusLine != "HTTP/1.1 200 OK" || parsed.body.rfind(expected_, 0) != 0) {
        fail("unexpected answer: " + parsed.statusLine.substr(0, 60));
      } else {
        ++stats_.answered;
        if (parsed.header("Connection") != std::optional<std::string>("keep-alive")) client.reset();
      }
    } catch (const std::exception& error) {
      fail(error.what());
    }
    stats_.maxMs = std::max(stats_.maxMs, millisecondsSince(begin));
    std::this_thread::sleep_for(interval_);
  }
}

// ---- runLoad ----

LoadResult driveLoad(int port, int connections, std::chrono::milliseconds duration,
                     const std::string& request, const std::string& expectedBody) {
  struct Connection {
    int fd = -1;
    std::string in;
    std::size_t sent = 0;
    Clock::time_point askedAt;
  };
  LoadResult result;
  double totalMs = 0;
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::unordered_map<int, Connection> open;

  const auto error = [&](const std::string& why) {
    ++result.errors;
    if (result.firstError.empty()) result.firstError = why;
  };
  const auto openOne = [&]() -> bool {
    const int fd = connectBlocking(port);
    if (fd < 0) return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    event.data.fd = fd;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    open[fd] = Connection{fd, {}, 0, Clock::now()};
    return true;
  };
  const auto closeOne = [&](int fd) {
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    open.erase(fd);
  };
  const auto replace = [&](int fd) {
    closeOne(fd);
    ++result.reconnects;
    if (!openOne()) error("connect failed");
  };

  for (int i = 0; i < connections; ++i) {
    if (!openOne()) error("connect failed");
  }
  const auto end = Clock::now() + duration;
  epoll_event events[256];
  while (Clock::now() < end) {
    const int ready = ::epoll_wait(epoll, events, 256, 100);
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      auto found = open.find(fd);
      if (found == open.end()) continue;
      Connection& c = found->second;
      if ((events[i].events & EPOLLOUT) && c.sent < request.size()) {
        const ssize_t n =
            ::send(fd, request.data() + c.sent, request.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) {
          error(std::string("send: ") + std::strerror(errno));
          replace(fd);
          continue;
        }
        if (n > 0) c.sent += static_cast<std::size_t>(n);
      }
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        char buffer[65536];
        bool closed = false;
        for (;;) {
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            c.in.append(buffer, static_cast<std::size_t>(n));
            continue;
          }
          if (n == 0 || (errno != EAGAIN && errno != EINTR)) closed = true;
          break;
        }
        const long length = completeResponseLength(c.in);
        if (length > 0) {
          const auto parsed =
              testing::parseResponse(c.in.substr(0, static_cast<std::size_t>(length)));
          const double ms = millisecondsSince(c.askedAt);
          ++result.requests;
          totalMs += ms;
          result.maxMs = std::max(result.maxMs, ms);
          if (parsed.statusLine != "HTTP/1.1 200 OK" || parsed.body != expectedBody) {
            error("unexpected answer: " + parsed.statusLine);
          }
          const bool keep = parsed.header("Connection") == std::optional<std::string>("keep-alive");
          c.in.erase(0, static_cast<std::size_t>(length));
          if (!keep || closed) {
            replace(fd);
            continue;
          }
          c.sent = 0;
          c.askedAt = Clock::now();
          const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
          if (n > 0) c.sent = static_cast<std::size_t>(n);
        } else if (length < 0) {
          error("answer without Content-Length");
          replace(fd);
        } else if (closed) {
          error(c.in.empty() ? "connection closed before the answer"
                             : "connection closed mid-answer");
          replace(fd);
        }
      }
    }
    // An answer that takes more than 10 s counts as lost.
    std::vector<int> late;
    for (const auto& [fd, c] : open) {
      if (Clock::now() - c.askedAt > std::chrono::seconds(10)) late.push_back(fd);
    }
    for (const int fd : late) {
      error("no answer within 10 s");
      replace(fd);
    }
  }
  while (!open.empty()) closeOne(open.begin()->first);
  ::close(epoll);
  if (result.requests > 0) result.meanMs = totalMs / static_cast<double>(result.requests);
  return result;
}

// ---- RawBackend ----

RawBackend::RawBackend() {
  std::lock_guard lock(mutex_);
  listenFd_ = listen();
  thread_ = std::thread([this] { run(); });
}

RawBackend::~RawBackend() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

int RawBackend::listen() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    throw std::runtime_error(std::string("raw backend cannot listen: ") + std::strerror(errno));
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return fd;
}

void RawBackend::pause() {
  {
    std::lock_guard lock(mutex_);
    if (listenFd_ < 0) return;
    // Shut down first: a poll() on the descriptor would keep the socket listening after close().
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    listenFd_ = -1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void RawBackend::resume() {
  std::lock_guard lock(mutex_);
  if (listenFd_ < 0) listenFd_ = listen();
}

void RawBackend::queueReply(std::string bytes) {
  std::lock_guard lock(mutex_);
  replies_.push_back(std::move(bytes));
}

std::vector<nlohmann::json> RawBackend::chatRequests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string RawBackend::pieceEvent(const std::string& piece) {
  return "data: " +
         nlohmann::json{{"choices", {{{"index", 0}, {"delta", {{"content", piece}}}}}}}.dump() +
         "\n\n";
}

std::string RawBackend::streamReply(const std::vector<std::string>& events) {
  std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n";
  for (const auto& event : events) reply += event;
  return reply;
}

void RawBackend::run() {
  while (!stopping_.load()) {
    int fd;
    {
      std::lock_guard lock(mutex_);
      fd = listenFd_;
    }
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 50) <= 0) continue;
    std::unique_lock lock(mutex_);
    if (listenFd_ != fd) continue;  // paused meanwhile
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    lock.unlock();
    if (client >= 0) serve(client);
  }
}

void RawBackend::serve(int fd) {
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string in;
  char buffer[65536];
  std::size_t headEnd;
  while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ::close(fd);
      return;
    }
    in.append(buffer, static_cast<std::size_t>(n));
  }
  std::string head = in.substr(0, headEnd);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t length = 0;
  if (const auto at = head.find("content-length:"); at != std::string::npos) {
    length = std::stoul(head.substr(at + 15));
  }
  if (head.find("expect: 100-continue") != std::string::npos)
    sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  std::string body = in.substr(headEnd + 4);
  while (body.size() < length) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    body.append(buffer, static_cast<std::size_t>(n));
  }
  std::string reply;
  if (head.rfind("get /v1/models", 0) == 0) {
    const std::string models = R"({"object":"list","data":[{"id":"raw-model","object":"model"}]})";
    reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
            std::to_string(models.size()) + "\r\nConnection: close\r\n\r\n" + models;
  } else {
    std::lock_guard lock(mutex_);
    requests_.push_back(nlohmann::json::parse(body, nullptr, false));
    if (!replies_.empty()) {
      reply = std::move(replies_.front());
      replies_.pop_front();
    } else {
      reply = streamReply({pieceEvent("raw "), pieceEvent("answer"), "data: [DONE]\n\n"});
    }
  }
  sendAll(fd, reply);
  ::shutdown(fd, SHUT_WR);
  // Let the client read to the end before the descriptor goes.
  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  ::close(fd);
}

}  // namespace velmora::stress
