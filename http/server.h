#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/router.h"
#include "http/server_io.h"

namespace velmora::http {

// Consulted before routing; a response ends the search and answers the request.
using HttpMiddleware = std::function<std::optional<HttpResponse>(const HttpRequestPtr&)>;

// The server applications use: the engine of HttpServerIO plus routes, middleware and a
// not-found handler.
//
//   auto server = std::make_shared<HttpServer>();
//   (*server)["/clear"] = handler;        // every method
//   server->POST["/submit"] = handler;    // POST only
//   server->GET["/old"] = nullptr;        // out of service
//   server->start(8080, true);
//
// Must be owned by a std::shared_ptr. Routes, middleware and the not-found handler may be changed
// from any thread, also while the server is serving.
class HttpServer : public HttpServerIO {
 public:
  // One registration place: assigning a handler registers it, assigning an empty one takes the
  // route out of service. Reading it always gives an empty handler.
  class RouteSlot {
   public:
    RouteSlot(std::shared_ptr<HttpRouter> router, std::optional<std::string> method,
              std::string path)
        : router_(std::move(router)), method_(std::move(method)), path_(std::move(path)) {}
    RouteSlot& operator=(HttpHandler handler) {
      router_->registerRoute(method_, path_, std::move(handler));
      return *this;
    }
    RouteSlot& operator=(const RouteSlot&) = delete;
    operator HttpHandler() const { return {}; }  // NOLINT: reads like the subscript it stands for

   private:
    std::shared_ptr<HttpRouter> router_;
    std::optional<std::string> method_;
    std::string path_;
  };

  // The registration point of one method; copies share the router.
  class MethodRoute {
   public:
    MethodRoute(std::string methodText, std::shared_ptr<HttpRouter> sharedRouter)
        : method(std::move(methodText)), router(std::move(sharedRouter)) {}
    RouteSlot operator[](std::string path) const {
      return RouteSlot(router, method, std::move(path));
    }

    const std::string method;
    const std::shared_ptr<HttpRouter> router;
  };

  HttpServer();

  // Routes by path for every method.
  RouteSlot operator[](std::string path) {
    return RouteSlot(router, std::nullopt, std::move(path));
  }

  const std::shared_ptr<HttpRouter> router = std::make_shared<HttpRouter>();

  MethodRoute DELETE{"DELETE", router};
  MethodRoute PATCH{"PATCH", router};
  MethodRoute HEAD{"HEAD", router};
  MethodRoute POST{"POST", router};
  MethodRoute GET{"GET", router};
  MethodRoute PUT{"PUT", router};
  // Lower-case spellings of the same places (`delete` is a keyword).
  MethodRoute delete_{"DELETE", router};
  MethodRoute patch{"PATCH", router};
  MethodRoute head{"HEAD", router};
  MethodRoute post{"POST", router};
  MethodRoute get{"GET", router};
  MethodRoute put{"PUT", router};

  // The paths of the routes in service (see HttpRouter::routes).
  std::vector<std::string> routes() const { return router->routes(); }

  // Snapshots of the middleware list and the not-found handler, and their replacement. A
  // request being dispatched keeps the list it started with. Any thread.
  std::vector<HttpMiddleware> middleware() const;
  void setMiddleware(std::vector<HttpMiddleware> middleware);
  void addMiddleware(HttpMiddleware middleware);
  HttpHandler notFoundHandler() const;
  void setNotFoundHandler(HttpHandler handler);  // empty: answer notFound

  // Middleware in order until one answers; else the route; else the not-found handler; else
  // notFound. Called on the connection's thread.
  std::pair<RouteParams, HttpHandler> dispatch(const HttpRequestPtr& request) override;

 private:
  // Copy on write: dispatch takes the pointers and calls the callbacks without the lock.
  // Guarded by settingsMutex_.
  mutable std::shared_mutex settingsMutex_;
  std::shared_ptr<const std::vector<HttpMiddleware>> middleware_;
  std::shared_ptr<const HttpHandler> notFoundHandler_;
};

}  // namespace velmora::http
