#include "http/server_io.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/ascii.h"
#include "platform/console.h"

namespace velmora::http {

namespace {

// The writer handed to a body callback: each write goes whole to the connection. A header block
// handed to it leaves with the first body bytes, in one system call, or just before a file;
// flushHead() sends it when the callback wrote nothing. With a declared length, bytes beyond it
// are held back so that the wire never contradicts the header block; wroteExactly() then tells.
class InnerWriteContext final : public HttpResponseBodyWriter {
 public:
  explicit InnerWriteContext(Socket& socket, std::string_view head = {},
                             std::optional<uint64_t> declared = std::nullopt)
      : socket_(socket), head_(head), room_(declared.value_or(UINT64_MAX)) {}
  void write(const File& file) override {
    if (!head_.empty()) socket_.writeText(std::exchange(head_, {}), true);
    const Socket::FileTransfer transfer = socket_.writeFile(file, room_);
    if (transfer.fileSize > room_) overran_ = true;
    room_ -= transfer.sent;
  }
  void write(const std::vector<uint8_t>& bytes) override { write(std::span<const uint8_t>(bytes)); }
  void write(std::span<const uint8_t> slice) override {
    if (slice.size() > room_) {
      overran_ = true;
      slice = slice.first(static_cast<std::size_t>(room_));
    }
    if (head_.empty()) {
      socket_.writeBytes(slice);
    } else {
      socket_.writeVectored(std::exchange(head_, {}), slice);
    }
    room_ -= slice.size();
  }
  void write(const void* bytes, std::size_t length) override {
    write(std::span<const uint8_t>(static_cast<const uint8_t*>(bytes), length));
  }
  void write(std::string_view data) override {
    write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  }
  void flushHead() {
    if (!head_.empty()) socket_.writeText(std::exchange(head_, {}));
  }
  // Whether exactly the declared number of bytes went out.
  bool wroteExactly() const { return room_ == 0 && !overran_; }

 private:
  Socket& socket_;
  std::string_view head_;  // not sent yet
  uint64_t room_;          // bytes the header block still allows
  bool overran_ = false;
};

// The length a raw response declares in its own "Content-Length" header (digits only, as RFC 9110
// section 8.6 writes it), when that may keep the connection: not when the response chose its own
// "Connection" header.
std::optional<uint64_t> lengthThatKeepsTheConnection(const HttpHeaders& headers) {
  std::optional<uint64_t> declared;
  for (const auto& [name, value] : headers) {
    if (platform::equalsIgnoringAsciiCase(name, "Connection")) return std::nullopt;
    if (!platform::equalsIgnoringAsciiCase(name, "Content-Length")) continue;
    if (declared || value.empty() || value.size() > 18) return std::nullopt;
    uint64_t length = 0;
    for (const char digit : value) {
      if (digit < '0' || digit > '9') return std::nullopt;
      length = length * 10 + static_cast<uint64_t>(digit - '0');
    }
    declared = length;
  }
  return declared;
}

bool hasField(const HttpHeaders& headers, std::string_view name) {
  return std::ranges::any_of(headers, [name](const auto& field) {
    return platform::equalsIgnoringAsciiCase(field.first, name);
  });
}

// Threads that stay in accept() once their connection has ended; more go back to the pool.
constexpr int kSpareAcceptors = 4;

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
  return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS ||
         errorNumber == ENOMEM;
}

const HttpParser kParser;

std::string addressOf(Socket& socket) {
  try {
    return socket.peerAddress();
  } catch (const SocketError&) {
    return {};
  }
}

// Answers a connection over its address's share without taking a thread: what the client sent
// so far is read first, so that the close sends no reset that could overtake the answer.
void answerTooManyConnections(Socket& client) {
  char sink[4096];
  while (::recv(client.socketFileDescriptor(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
  try {
    client.writeText("HTTP/1.1 429 Too Many Requests\r\nServer: " + serverHeaderValue() +
                     "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ::shutdown(client.socketFileDescriptor(), SHUT_WR);
  } catch (const SocketError&) {  // the client left first
  }
  client.close();
}

}  // namespace

// The threads that accept on one listening socket.
struct HttpServerIO::AcceptLoop {
  AcceptLoop(std::shared_ptr<Socket> socket, HttpLimits connectionLimits,
             platform::QualityOfService threadQuality, platform::WorkerPool& threadPool)
      : listening(std::move(socket)), limits(connectionLimits), quality(threadQuality),
        pool(threadPool) {}

  const std::shared_ptr<Socket> listening;
  const HttpLimits limits;
  const platform::QualityOfService quality;
  platform::WorkerPool& pool;

  std::mutex mutex;
  std::condition_variable allLeft;
  std::condition_variable roomMade;
  int accepting = 0;      // threads in accept() or on their way in; guarded by mutex
  bool closed = false;    // no thread enters accept() again; guarded by mutex
  std::size_t slots = 0;  // connections open or about to be accepted; guarded by mutex
  std::unordered_map<std::string, std::size_t> perAddress;  // open connections; guarded by mutex
  std::atomic<std::size_t> shortages = 0;  // accept() failures for want of descriptors or memory

  // Runs `task` on a pool thread; false when no thread could be had for it.
  bool submit(std::function<void()> task) {
    try {
      pool.submit(std::move(task), quality);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  // Takes a slot for the next connection, waiting while limits.maxConnections are open; false
  // once the loop is closed. Those beyond the limit wait in the listening socket's backlog.
  bool takeSlot() {
    std::unique_lock lock(mutex);
    roomMade.wait(lock, [this] { return closed || slots < limits.maxConnections; });
    if (closed) return false;
    ++slots;
    return true;
  }
  void releaseSlot() {
    std::lock_guard lock(mutex);
    --slots;
    roomMade.notify_one();
  }
  // Counts a connection from `address`; false when that address has all its share already.
  bool admit(const std::string& address) {
    std::lock_guard lock(mutex);
    std::size_t& count = perAddress[address];
    if (count >= limits.maxConnectionsPerAddress) return false;
    ++count;
    return true;
  }
  void leave(const std::string& address) {
    std::lock_guard lock(mutex);
    const auto found = perAddress.find(address);
    if (found != perAddress.end() && --found->second == 0) perAddress.erase(found);
  }

  // Joins the accepting threads, unless the loop is closed or `limit` threads already accept.
  bool enter(int limit) {
    std::lock_guard lock(mutex);
    if (closed || accepting >= limit) return false;
    ++accepting;
    return true;
  }
  // Answers true when this was the last accepting thread of a loop that is still open.
  bool leave() {
    std::lock_guard lock(mutex);
    if (--accepting == 0) allLeft.notify_all();
    return !closed && accepting == 0;
  }
  bool isClosed() {
    std::lock_guard lock(mutex);
    return closed;
  }
  // Returns once no thread is in accept() and none will enter it again; the descriptor stays
  // open, so that no thread can accept on a number the system has given to someone else.
  void close() {
    {
      std::lock_guard lock(mutex);
      closed = true;
    }
    roomMade.notify_all();
    // Wakes every blocked accept(); closing alone would leave them blocked on Linux.
    listening->shutdownConnection();
    std::unique_lock lock(mutex);
    allLeft.wait(lock, [this] { return accepting == 0; });
  }
};

HttpServerIO::HttpServerIO() : socket_(std::make_shared<Socket>(-1)) {}

HttpServerIO::~HttpServerIO() {
  stop();
}

const std::string& HttpServerIO::version() {
  return serverHeaderValue();
}

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

std::size_t HttpServerIO::acceptShortages() const {
  std::lock_guard lifecycle(lifecycleMutex_);
  return acceptLoop_ ? acceptLoop_->shortages.load() : 0;
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
  std::shared_ptr<Socket> listening = Socket::listeningSocket(
      port, ipv4Only, 128, ipv4Only ? listenAddressIPv4 : listenAddressIPv6);
  // Accepted connections inherit these, which saves three system calls per connection. The
  // receive timeout also wakes a thread waiting in accept() now and then, which does no harm.
  listening->setNoDelay();
  listening->setReceiveTimeout(limits.idleTimeout);
  listening->setSendTimeout(limits.idleTimeout);
  {
    std::lock_guard lock(socketMutex_);
    socket_ = listening;
  }
  auto loop = std::make_shared<AcceptLoop>(listening, limits, priority, *workerPool);
  setState(HttpServerIOState::running);
  if (!loop->submit([weakSelf, loop] { acceptAndServe(weakSelf, loop); })) {
    // Running without a thread in accept() would leave every client waiting in silence.
    listening->close();
    setState(HttpServerIOState::stopped);
    throw std::system_error(EAGAIN, std::generic_category(), "no thread to accept connections");
  }
  acceptLoop_ = loop;
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
  // No thread in accept() calls stop(): a thread leaves the loop before it serves a connection
  // or stops the server after a failed accept.
  if (acceptLoop_) {
    acceptLoop_->close();
    acceptLoop_.reset();
  }
  listening->close();
  setState(HttpServerIOState::stopped);
}

void HttpServerIO::acceptAndServe(std::weak_ptr<HttpServerIO> weakServer,
                                  std::shared_ptr<AcceptLoop> loop) {
  // A thread submitted to accept does so unless another already waits there (one coming back
  // from a connection took its place meanwhile); one coming back from a connection only while
  // few others wait there. Threads parked in accept() never go back to the pool, so an
  // unconditional entry per replacement would leave a burst's worth of them behind for good.
  int limit = 1;
  for (;;) {
    if (!loop->enter(limit)) return;
    limit = kSpareAcceptors;

    // Inside accept() the server is never held: its last release would stop it, and stop()
    // waits for this thread to leave.
    std::shared_ptr<Socket> client;
    bool listeningFailed = false;
    auto backOff = std::chrono::milliseconds(5);
    while (!client && loop->takeSlot()) {
      try {
        client = loop->listening->acceptClient();
        if (!loop->admit(addressOf(*client))) {
          answerTooManyConnections(*client);
          client.reset();
          loop->releaseSlot();
        }
      } catch (const SocketError& error) {
        loop->releaseSlot();
        if (loop->isClosed()) break;
        if (!isTransientAcceptError(error.errorNumber())) {
          listeningFailed = true;  // nothing more can be accepted
          break;
        }
        if (isResourceExhaustion(error.errorNumber())) {
          // Once per run of failures: the owner of the machine may want to raise a limit.
          ++loop->shortages;
          if (backOff == std::chrono::milliseconds(5)) {
            platform::printLine("Accepting a connection failed: " + error.message() + "; retrying");
          }
          std::this_thread::sleep_for(backOff);
          backOff = std::min(backOff * 2, std::chrono::milliseconds(200));
        }
      }
    }
    const bool wasLast = loop->leave();
    if (!client) {
      if (listeningFailed) {
        if (auto server = weakServer.lock()) server->stop();
      }
      return;
    }
    // A burst: handing the accept() on to a new thread for each connection would start its
    // connections one thread start after another. This thread accepts them all instead.
    if (wasLast && loop->listening->hasPendingConnection()) {
      if (!loop->submit([weakServer, client, loop] { serveAccepted(weakServer, client, loop); })) {
        refuse(*client, *loop);
      }
      continue;
    }
    // This thread may serve the connection for hours; another takes its place in accept(). When
    // none can be had, serving here would leave nobody accepting: the connection is closed and
    // this thread goes on accepting, which serves again as soon as threads come free.
    if (wasLast && !loop->submit([weakServer, loop] { acceptAndServe(weakServer, loop); })) {
      refuse(*client, *loop);
      continue;
    }
    serveAccepted(weakServer, std::move(client), loop);
  }
}

void HttpServerIO::refuse(Socket& client, AcceptLoop& loop) {
  client.close();
  loop.leave(addressOf(client));
  loop.releaseSlot();
  // Threads run out under load: a short pause lets some of the busy ones finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void HttpServerIO::serveAccepted(const std::weak_ptr<HttpServerIO>& weakServer,
                                 std::shared_ptr<Socket> socket,
                                 const std::shared_ptr<AcceptLoop>& loop) {
  {
    auto server = weakServer.lock();
    if (server && server->insertSocket(socket)) {
      server.reset();
      serveConnection(weakServer, socket, loop->limits);
    }
  }
  loop->leave(addressOf(*socket));
  loop->releaseSlot();
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

void HttpServerIO::serveConnection(std::weak_ptr<HttpServerIO> weakServer,
                                   std::shared_ptr<Socket> socket, HttpLimits limits) {
  for (bool first = true;;) {
    {
      auto server = weakServer.lock();
      if (!server || !server->isServing()) break;
    }
    HttpRequestPtr request;
    try {
      // A new connection has firstByteTimeout to begin, a kept one idleTimeout for each next
      // request; either closes without a word past it.
      socket->limitReadTime(first ? limits.firstByteTimeout : limits.idleTimeout);
      socket->waitForBytes();
      socket->unlimitReadTime();
      first = false;
      request = kParser.readRequest(*socket, limits);
    } catch (const HttpParserError& error) {
      // The rest of the connection cannot be read: answered, then closed.
      if (auto server = weakServer.lock()) {
        server->refuseRequest(*socket, error.answerStatus(), error.reasonPhrase(), limits);
      }
      break;
    } catch (const std::exception&) {
      break;  // the client left or was too slow: nobody would read an answer
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
      keepConnection =
          server->writeResponse(*socket, response, keepAliveWish, request->method == "HEAD");
    } catch (const std::exception& error) {
      platform::printLine(std::string("Failed to send response: ") + error.what());
      // Part of a body may be out: the client could only wait for the rest.
      keepConnection = false;
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

bool HttpServerIO::writeResponse(Socket& socket, const HttpResponse& response, bool keepAlive,
                                 bool headOnly) {
  if (!isServing()) return false;
  const HttpResponseContent content = response.content();
  const HttpHeaders headers = response.headers();
  // A raw body whose handler declared its length (a file, say) can keep the connection, provided
  // it writes exactly that many bytes; otherwise the close tells the client where it ends.
  const std::optional<uint64_t> declared =
      content.length < 0 && content.writer ? lengthThatKeepsTheConnection(headers) : std::nullopt;
  const bool lengthKnown = content.length >= 0 || declared.has_value();

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
  if (keepAlive && lengthKnown) {
    head += "Connection: keep-alive\r\n";
  } else if (!response.upgradeHandler() && !hasField(headers, "Connection")) {
    // The client learns that the connection ends here, not from a failed next request.
    head += "Connection: close\r\n";
  }
  for (const auto& [name, value] : headers) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  head += "\r\n";

  // A HEAD answer is the GET answer's header block without its content (RFC 9110 section 9.3.2):
  // a body after it would be read as the start of the next response.
  if (!content.writer || headOnly) {
    socket.writeText(head);
    return keepAlive && lengthKnown;
  }
  if (!lengthKnown) {
    // A streamed body may take its time: its header block goes now.
    socket.writeText(head);
    InnerWriteContext writer(socket);
    content.writer(writer);
    return false;
  }
  // A body of known length follows at once: the header block leaves with its first bytes.
  InnerWriteContext writer(socket, head, declared);
  try {
    content.writer(writer);
  } catch (...) {
    try {
      writer.flushHead();
    } catch (const SocketError&) {  // the connection has gone; the first error says why
    }
    throw;
  }
  writer.flushHead();
  if (declared) return keepAlive && writer.wroteExactly();
  return keepAlive;
}

void HttpServerIO::refuseRequest(Socket& socket, int status, const char* reason,
                                 const HttpLimits& connectionLimits) {
  const HttpResponse answer = HttpResponse::raw(
      status, reason, HttpHeaders{{"Content-Length", "0"}, {"Connection", "close"}});
  try {
    writeResponse(socket, answer, false, false);
  } catch (const SocketError&) {  // the client left first
    return;
  }
  socket.lingerBeforeClose(connectionLimits.lingerTimeout, connectionLimits.lingerBytes);
}

std::pair<RouteParams, HttpHandler> HttpServerIO::dispatch(const HttpRequestPtr&) {
  return {RouteParams{}, [](const HttpRequestPtr&) { return HttpResponse::notFound(); }};
}

}  // namespace velmora::http
