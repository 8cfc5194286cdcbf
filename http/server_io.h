#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "http/limits.h"
#include "http/parser.h"
#include "http/response.h"
#include "http/socket.h"
#include "platform/worker_pool.h"

namespace velmora::http {

using HttpHandler = std::function<HttpResponse(const HttpRequestPtr&)>;
using RouteParams = std::unordered_map<std::string, std::string>;

enum class HttpServerIOState : int32_t { starting = 0, running = 1, stopping = 2, stopped = 3 };

// Told when a connection is handed to a socket-session handler (a WebSocket, say). Called on the
// connection's thread.
class HttpServerIODelegate {
 public:
  virtual ~HttpServerIODelegate() = default;
  virtual void connectionUpgraded(const std::shared_ptr<Socket>& socket) = 0;
};

// The server engine: the listening socket, the accept loop, the set of open connections, and a
// request-response loop with keep-alive on each connection. Each request goes to dispatch().
//
// Must be owned by a std::shared_ptr: the accept loop and the connections hold the server only
// weakly and end when it is gone.
class HttpServerIO : public std::enable_shared_from_this<HttpServerIO> {
 public:
  HttpServerIO();
  virtual ~HttpServerIO();  // stops the server first
  HttpServerIO(const HttpServerIO&) = delete;
  HttpServerIO& operator=(const HttpServerIO&) = delete;

  // Opens the listening socket and starts accepting on the worker pool. Does nothing while
  // running. Raises the SocketError of the listening socket (the state then stays `starting`),
  // or std::system_error when no thread can be had to accept (the state is then `stopped`).
  // Any thread.
  void start(uint16_t port = 8080, bool ipv4Only = false,
             platform::QualityOfService priority = platform::QualityOfService::background);
  // Closes the listening socket and ends every open connection; a handler running at that moment
  // finishes first. Returns when the accept loop has ended. Any thread.
  void stop();

  // The listening socket's port and family; raise getSockNameFailed when it is not open.
  int port() const;
  bool isIPv4() const;

  HttpServerIOState state() const { return static_cast<HttpServerIOState>(stateValue_.load()); }
  bool isServing() const { return state() == HttpServerIOState::running; }

  // Connections being served now.
  std::size_t openConnectionCount() const;
  // How often accept() failed for want of descriptors or memory since the last start (each is
  // retried after a pause, and the first of a run printed).
  std::size_t acceptShortages() const;

  // Set these before start(); they are read by the server's threads while it runs.
  std::weak_ptr<HttpServerIODelegate> delegate;
  std::optional<std::string> listenAddressIPv4;
  std::optional<std::string> listenAddressIPv6;
  HttpLimits limits;  // taken at each start
  // The threads that accept and serve connections; the pool must outlive the server.
  platform::WorkerPool* workerPool = &platform::WorkerPool::shared();

  // The route parameters and handler for a request; called on the connection's thread. This base
  // version answers notFound to everything.
  virtual std::pair<RouteParams, HttpHandler> dispatch(const HttpRequestPtr& request);

  // "Velmora " and the project version, the value of every "Server" field.
  static const std::string& version();

 private:
  struct AcceptLoop;

  void setState(HttpServerIOState state);
  // One accepting thread: it serves each connection it accepts itself, then accepts again while
  // few threads wait in accept(), else gives its thread back to the pool. The thread that leaves
  // accept() last first submits another, so some thread always accepts while one serves; but
  // while more connections already wait, it stays in accept() and hands each to a pool thread.
  static void acceptAndServe(std::weak_ptr<HttpServerIO> weakServer,
                             std::shared_ptr<AcceptLoop> loop);
  // Adds the connection to the set and serves it (or closes it when the server has stopped),
  // then gives its slot back.
  static void serveAccepted(const std::weak_ptr<HttpServerIO>& weakServer,
                            std::shared_ptr<Socket> socket,
                            const std::shared_ptr<AcceptLoop>& loop);
  // Closes a connection that no thread could be had for.
  static void refuse(Socket& client, AcceptLoop& loop);
  static void serveConnection(std::weak_ptr<HttpServerIO> weakServer,
                              std::shared_ptr<Socket> socket, HttpLimits limits);
  // Writes the header block and, unless `headOnly` (a HEAD request), the body; answers whether
  // the connection may serve another request.
  bool writeResponse(Socket& socket, const HttpResponse& response, bool keepAlive, bool headOnly);
  // Answers a request that cannot be read with `status` and no body, then lingers before the
  // close so that a client still sending reads the answer.
  void refuseRequest(Socket& socket, int status, const char* reason,
                     const HttpLimits& connectionLimits);
  // Adds a connection to the set unless the server stopped; false then.
  bool insertSocket(const std::shared_ptr<Socket>& socket);
  void removeSocket(const std::shared_ptr<Socket>& socket);

  std::atomic<int32_t> stateValue_{static_cast<int32_t>(HttpServerIOState::stopped)};

  // Serialises start() and stop().
  mutable std::mutex lifecycleMutex_;
  // The listening socket; replaced by each successful start. Guarded by socketMutex_.
  mutable std::mutex socketMutex_;
  std::shared_ptr<Socket> socket_;
  std::shared_ptr<AcceptLoop> acceptLoop_;  // the accepting threads; guarded by lifecycleMutex_

  // Open client connections by descriptor. Guarded by socketsMutex_.
  mutable std::mutex socketsMutex_;
  std::unordered_map<int32_t, std::shared_ptr<Socket>> sockets_;
};

}  // namespace velmora::http
