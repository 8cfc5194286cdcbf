#include "http/server_io.h"

#include <cerrno>
#include <stdexcept>

#include "platform/console.h"

namespace velmora::http {

namespace {

// The writer handed to a body callback: each write goes whole to the connection.
class InnerWriteContext final : public HttpResponseBodyWriter {
 public:
  explicit InnerWriteContext(Socket& socket) : socket_(socket) {}
  void write(const File& file) override { socket_.writeFile(file); }
  void write(const std::vector<uint8_t>& bytes) override { socket_.writeBytes(bytes); }
  void write(std::span<const uint8_t> slice) override { socket_.writeBytes(slice); }
  void write(const void* bytes, std::size_t length) override { socket_.writeData(bytes, length); }
  void write(std::string_view data) override { socket_.writeText(data); }

 private:
  Socket& socket_;
};

// Accept failures that say nothing about the listening socket itself: a connection that died in
// the backlog, or descriptors or memory running out for a moment.
bool isTransientAcceptError(int errorNumber) {
  switch (errorNumber) {
    case EINTR:
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
    case EAGAIN:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool isResourceExhaustion(int errorNumber) {
  return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS || errorNumber == ENOMEM;
}

const HttpParser kParser;

}  // namespace

struct HttpServerIO::AcceptLoop {
  std::thread::id thread;
  std::mutex mutex;
  std::condition_variable ended;
  bool hasEnded = false;  // guarded by mutex

  void finish() {
    std::lock_guard lock(mutex);
    hasEnded = true;
    ended.notify_all();
  }
  void waitUntilEnded() {
    std::unique_lock lock(mutex);
    ended.wait(lock, [this] { return hasEnded; });
  }
};

HttpServerIO::HttpServerIO() : socket_(std::make_shared<Socket>(-1)) {}

HttpServerIO::~HttpServerIO() { stop(); }

const std::string& HttpServerIO::version() { return serverHeaderValue(); }

void HttpServerIO::setState(HttpServerIOState state) {
  int32_t expected = stateValue_.load();
  stateValue_.compare_exchange_strong(expected, static_cast<int32_t>(state));
}

int HttpServerIO::port() const {
  std::lock_guard lock(socketMutex_);
  return socket_->port();
}

bool HttpServerIO::isIPv4() const {
  std::lock_guard lock(socketMutex_);
  return socket_->isIPv4();
}

std::size_t HttpServerIO::openConnectionCount() const {
  std::lock_guard lock(socketsMutex_);
  return sockets_.size();
}

void HttpServerIO::start(uint16_t port, bool ipv4Only, platform::QualityOfService priority) {
  std::weak_ptr<HttpServerIO> weakSelf = weak_from_this();
  if (weakSelf.expired()) throw std::logic_error("HttpServerIO must be owned by a std::shared_ptr");

  std::lock_guard lifecycle(lifecycleMutex_);
  if (isServing()) return;
  setState(HttpServerIOState::starting);
  std::shared_ptr<Socket> listening =
      Socket::listeningSocket(port, ipv4Only, 128, ipv4Only ? listenAddressIPv4 : listenAddressIPv6);
  {
    std::lock_guard lock(socketMutex_);
    socket_ = listening;
  }
  setState(HttpServerIOState::running);

  auto loop = std::make_shared<AcceptLoop>();
  acceptLoop_ = loop;
  platform::WorkerPool::shared().submit(
      [weakSelf, listening, loop, limits = limits, priority] {
        {
          std::lock_guard lock(loop->mutex);
          loop->thread = std::this_thread::get_id();
        }
        runAcceptLoop(weakSelf, listening, loop, limits, priority);
        loop->finish();
      },
      priority);
}

void HttpServerIO::stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!isServing()) return;
  setState(HttpServerIOState::stopping);
  {
    // Connections close their own descriptors when their threads are done with them; here they
    // are only shut down, which ends any read or write they are blocked in.
    std::lock_guard lock(socketsMutex_);
    for (auto& [descriptor, socket] : sockets_) socket->shutdownConnection();
    sockets_.clear();
  }
  std::shared_ptr<Socket> listening;
  {
    std::lock_guard lock(socketMutex_);
    listening = socket_;
  }
  // Wakes the blocked accept(); closing alone would leave it blocked on Linux.
  listening->shutdownConnection();
  if (acceptLoop_) {
    bool onAcceptThread;
    {
      std::lock_guard lock(acceptLoop_->mutex);
      onAcceptThread = acceptLoop_->thread == std::this_thread::get_id();
    }
    if (!onAcceptThread) acceptLoop_->waitUntilEnded();
    acceptLoop_.reset();
  }
  listening->close();
  setState(HttpServerIOState::stopped);
}

void HttpServerIO::runAcceptLoop(std::weak_ptr<HttpServerIO> weakServer,
                                 std::shared_ptr<Socket> listening, std::shared_ptr<AcceptLoop> loop,
                                 HttpLimits limits, platform::QualityOfService quality) {
  auto backOff = std::chrono::milliseconds(5);
  for (;;) {
    std::shared_ptr<Socket> client;
    try {
      client = listening->acceptClient();
    } catch (const SocketError& error) {
      auto server = weakServer.lock();
      if (!server || !server->isServing()) return;
      if (isTransientAcceptError(error.errorNumber())) {
        if (isResourceExhaustion(error.errorNumber())) {
          std::this_thread::sleep_for(backOff);
          backOff = std::min(backOff * 2, std::chrono::milliseconds(200));
        }
        continue;
      }
      // The listening socket itself failed: nothing more can be accepted.
      loop->finish();
      server->stop();
      return;
    }
    backOff = std::chrono::milliseconds(5);

    auto server = weakServer.lock();
    if (!server || !server->insertSocket(client)) return;
    client->setNoDelay();
    client->setReceiveTimeout(limits.idleTimeout);
    client->setSendTimeout(limits.idleTimeout);
    platform::WorkerPool::shared().submit(
        [weak = std::weak_ptr<HttpServerIO>(server), client, limits] { serveConnection(weak, client, limits); },
        quality);
  }
}

bool HttpServerIO::insertSocket(const std::shared_ptr<Socket>& socket) {
  std::lock_guard lock(socketsMutex_);
  // stop() sets `stopping` before it takes this lock, so a connection either lands in the set
  // before stop() empties it or is refused here.
  if (!isServing()) return false;
  sockets_[socket->socketFileDescriptor()] = socket;
  return true;
}

void HttpServerIO::removeSocket(const std::shared_ptr<Socket>& socket) {
  std::lock_guard lock(socketsMutex_);
  const auto found = sockets_.find(socket->socketFileDescriptor());
  if (found != sockets_.end() && found->second == socket) sockets_.erase(found);
}

void HttpServerIO::serveConnection(std::weak_ptr<HttpServerIO> weakServer, std::shared_ptr<Socket> socket,
                                   HttpLimits limits) {
  for (;;) {
    {
      auto server = weakServer.lock();
      if (!server || !server->isServing()) break;
    }
    HttpRequestPtr request;
    try {
      request = kParser.readRequest(*socket, limits);
    } catch (const std::exception&) {
      break;  // unreadable or over a limit: the connection ends without an answer
    }

    auto server = weakServer.lock();
    if (!server || !server->isServing()) break;
    try {
      request->address = socket->peerAddress();
    } catch (const SocketError&) {
      request->address.reset();
    }
    request->connection = socket;
    bool keepAliveWish = HttpParser::isKeepAlive(request->headers);
    std::optional<HttpResponse> answer;
    try {
      auto [params, handler] = server->dispatch(request);
      request->params = std::move(params);
      answer.emplace(handler(request));
    } catch (const std::exception& error) {
      // A failing handler must not take the connection's clean-up with it.
      platform::printLine(std::string("Handler failed: ") + error.what());
      answer.emplace(HttpResponse::internalServerError());
      keepAliveWish = false;
    }
    const HttpResponse& response = *answer;

    bool keepConnection = keepAliveWish;
    try {
      keepConnection = server->writeResponse(*socket, response, keepAliveWish);
    } catch (const std::exception& error) {
      platform::printLine(std::string("Failed to send response: ") + error.what());
    }

    if (SocketSessionHandler upgrade = response.upgradeHandler()) {
      // A socket session may stay quiet for hours.
      socket->setReceiveTimeout(std::chrono::milliseconds(0));
      if (auto delegate = server->delegate.lock()) delegate->connectionUpgraded(socket);
      server.reset();
      upgrade(socket);
      break;
    }
    if (!keepConnection) break;
  }
  // The set forgets the connection before its descriptor number can be reused.
  if (auto server = weakServer.lock()) server->removeSocket(socket);
  socket->close();
}

bool HttpServerIO::writeResponse(Socket& socket, const HttpResponse& response, bool keepAlive) {
  if (!isServing()) return false;
  const HttpResponseContent content = response.content();

  std::string head;
  head.reserve(256);
  head += "HTTP/1.1 ";
  head += std::to_string(response.statusCode());
  head += ' ';
  head += response.reasonPhrase();
  head += "\r\n";
  if (content.length >= 0) {
    head += "Content-Length: ";
    head += std::to_string(content.length);
    head += "\r\n";
  }
  if (keepAlive && content.length != -1) head += "Connection: keep-alive\r\n";
  for (const auto& [name, value] : response.headers()) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  head += "\r\n";

  // A body of known length follows at once: let the header block wait for it in the kernel so
  // both leave together. A streamed body may take its time, so its header block goes now.
  const bool bodyFollows = content.writer && content.length > 0;
  socket.writeText(head, bodyFollows);
  if (content.writer) {
    InnerWriteContext writer(socket);
    content.writer(writer);
  }
  return keepAlive && content.length != -1;
}

std::pair<RouteParams, HttpHandler> HttpServerIO::dispatch(const HttpRequestPtr&) {
  return {RouteParams{}, [](const HttpRequestPtr&) { return HttpResponse::notFound(); }};
}

}  // namespace velmora::http
