#include "tests/support/fake_backend.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/ascii.h"

namespace velmora::testing {

namespace {

// One accepted connection, plain or TLS.
struct Connection {
  int fd;
  SSL* ssl = nullptr;
};

ssize_t receive(Connection& c, char* buffer, std::size_t size) {
  if (c.ssl == nullptr) return ::recv(c.fd, buffer, size, 0);
  return SSL_read(c.ssl, buffer, static_cast<int>(size));
}

bool sendAll(Connection& c, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = c.ssl != nullptr
                             ? SSL_write(c.ssl, bytes.data(), static_cast<int>(bytes.size()))
                             : ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// Reads from `fd` into `buffer` until it holds `needed` bytes, or `marker` when `needed` is 0.
bool readUntil(Connection& fd, std::string& buffer, std::size_t needed,
               std::string_view marker = {}) {
  char chunk[16384];
  while (marker.empty() ? buffer.size() < needed : buffer.find(marker) == std::string::npos) {
    const ssize_t got = receive(fd, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

std::optional<BackendRequest> readRequest(Connection& fd) {
  std::string buffer;
  if (!readUntil(fd, buffer, 0, "\r\n\r\n")) return std::nullopt;
  const std::size_t headEnd = buffer.find("\r\n\r\n");
  std::istringstream head(buffer.substr(0, headEnd));
  BackendRequest request;
  std::string line;
  std::getline(head, line);
  std::istringstream(line) >> request.method >> request.target;
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::size_t value = line.find_first_not_of(' ', colon + 1);
    request.headers[platform::lowercaseAscii(line.substr(0, colon))] =
        value == std::string::npos ? "" : line.substr(value);
  }
  buffer.erase(0, headEnd + 4);
  if (platform::lowercaseAscii(request.headers["expect"]) == "100-continue") {
    sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  if (platform::lowercaseAscii(request.headers["transfer-encoding"]) == "chunked") {
    for (;;) {
      if (!readUntil(fd, buffer, 0, "\r\n")) return std::nullopt;
      const std::size_t size = std::stoul(buffer, nullptr, 16);
      buffer.erase(0, buffer.find("\r\n") + 2);
      if (!readUntil(fd, buffer, size + 2)) return std::nullopt;
      request.body += buffer.substr(0, size);
      buffer.erase(0, size + 2);
      if (size == 0) break;
    }
  } else if (request.headers.count("content-length")) {
    const std::size_t length = std::stoul(request.headers["content-length"]);
    if (!readUntil(fd, buffer, length)) return std::nullopt;
    request.body = buffer.substr(0, length);
  }
  return request;
}

}  // namespace

std::string streamEvent(const std::string& deltaJson) {
  return R"(data: {"object":"chat.completion.chunk","choices":[{"index":0,"delta":)" + deltaJson +
         "}]}\n\n";
}

BackendAnswer streamedAnswer(const std::vector<std::string>& pieces) {
  BackendAnswer answer;
  for (const std::string& piece : pieces) {
    answer.writes.push_back(streamEvent(nlohmann::json{{"content", piece}}.dump()));
  }
  answer.writes.push_back("data: [DONE]\n\n");
  return answer;
}

BackendAnswer jsonAnswer(int status, std::string json) {
  BackendAnswer answer;
  answer.status = status;
  answer.contentType = "application/json";
  answer.writes = {std::move(json)};
  return answer;
}

std::string lastMessage(const BackendRequest& request) {
  const auto body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("messages") || body["messages"].empty()) return "";
  const auto& content = body["messages"].back()["content"];
  if (content.is_string()) return content.get<std::string>();
  std::string text;  // content parts: the text ones
  for (const auto& part : content.is_array() ? content : nlohmann::json::array()) {
    if (part.value("type", "") == "text") text += part.value("text", "");
  }
  return text;
}

BackendAnswer FakeBackend::defaultAnswer(const BackendRequest& request) {
  if (request.target == "/v1/models") {
    return jsonAnswer(200, R"({"object":"list","data":[{"id":"fake-model","object":"model"}]})");
  }
  return streamedAnswer({"You said: ", lastMessage(request)});
}

TestCertificate::TestCertificate() {
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
      "subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + certificate + " 2>/dev/null";
  if (!folder.made || std::system(command.c_str()) != 0)
    throw std::runtime_error("openssl made no certificate");
}

FakeBackend::FakeBackend(int port, const TestCertificate* tls) : responder_(defaultAnswer) {
  if (tls != nullptr) {
    std::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes without MSG_NOSIGNAL
    tls_ = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(tls_, tls->certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, tls->key.c_str(), SSL_FILETYPE_PEM) != 1) {
      SSL_CTX_free(tls_);
      throw std::runtime_error("the fake backend cannot load its certificate");
    }
  }
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address = loopbackAddress(port);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 512) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error("the fake backend cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeBackend::~FakeBackend() {
  stop();
  SSL_CTX_free(tls_);
}

std::string FakeBackend::url() const {
  return (tls_ != nullptr ? "https" : "http") + std::string("://127.0.0.1:") +
         std::to_string(port_);
}

std::vector<BackendRequest> FakeBackend::waitForRequests(std::size_t count,
                                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  return requests_;
}

bool FakeBackend::waitForOpenConnections(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return clients_.size() == count; });
}

void FakeBackend::stop() {
  {
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (const int client : clients_) ::shutdown(client, SHUT_RDWR);
    changed_.notify_all();
  }
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return liveThreads_ == 0; });
}

void FakeBackend::acceptLoop() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      if (client >= 0) ::close(client);
      return;
    }
    if (client < 0) continue;
    clients_.push_back(client);
    ++liveThreads_;
    std::thread([this, client] { serve(client); }).detach();
  }
}

void FakeBackend::serve(int fd) {
  Connection client{fd};
  if (tls_ != nullptr) {
    client.ssl = SSL_new(tls_);
    SSL_set_fd(client.ssl, fd);
    if (SSL_accept(client.ssl) != 1) {  // a client that refused the certificate
      SSL_free(client.ssl);
      client.ssl = nullptr;
      ::shutdown(fd, SHUT_RDWR);
    }
  }
  std::optional<BackendRequest> request;
  if (tls_ == nullptr || client.ssl != nullptr) request = readRequest(client);
  if (request) {
    Responder responder;
    std::string key;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(*request);
      responder = responder_;
      key = key_;
      changed_.notify_all();
    }
    // As some servers do, a refusal quotes what it got: a relay must not show that on.
    const std::string& got = request->headers["authorization"];
    const nlohmann::json refusal = {
        {"error", {{"message", "Invalid API key: " + got}, {"code", "invalid_api_key"}}}};
    const BackendAnswer answer = key.empty() || got == "Bearer " + key
                                     ? responder(*request)
                                     : jsonAnswer(401, refusal.dump());
    bool alive = sendAll(client, "HTTP/1.1 " + std::to_string(answer.status) +
                                     " Fake\r\nContent-Type: " + answer.contentType +
                                     "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    for (std::size_t i = 0; alive && i < answer.writes.size(); ++i) {
      if (i == 1 && answer.heldAfterFirst.valid()) answer.heldAfterFirst.wait();
      if (i > 0 && answer.pause.count() > 0) {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, answer.pause, [this] { return stopping_; })) break;
      }
      std::ostringstream chunk;
      chunk << std::hex << answer.writes[i].size() << "\r\n" << answer.writes[i] << "\r\n";
      alive = sendAll(client, chunk.str());
    }
    if (alive && answer.end == BackendAnswer::End::complete) sendAll(client, "0\r\n\r\n");
    if (answer.end == BackendAnswer::End::reset) {
      const linger abort{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (answer.end == BackendAnswer::End::hang) {
      // Until the client leaves (or stop() shuts the connection down).
      char byte;
      while (receive(client, &byte, 1) > 0) {
      }
      std::function<void()> observer;
      {
        std::lock_guard lock(mutex_);
        if (!stopping_) observer = hangLeft_;
      }
      if (observer) observer();
    }
  }
  if (client.ssl != nullptr) SSL_free(client.ssl);
  std::lock_guard lock(mutex_);
  ::close(fd);
  std::erase(clients_, fd);
  --liveThreads_;
  changed_.notify_all();
}

}  // namespace velmora::testing
