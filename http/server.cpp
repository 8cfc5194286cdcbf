#include "http/server.h"

#include <mutex>

namespace velmora::http {

HttpServer::HttpServer() : middleware_(std::make_shared<const std::vector<HttpMiddleware>>()) {}

std::vector<HttpMiddleware> HttpServer::middleware() const {
  std::shared_lock lock(settingsMutex_);
  return *middleware_;
}

void HttpServer::setMiddleware(std::vector<HttpMiddleware> middleware) {
  auto replacement = std::make_shared<const std::vector<HttpMiddleware>>(std::move(middleware));
  std::unique_lock lock(settingsMutex_);
  middleware_ = std::move(replacement);
}

void HttpServer::addMiddleware(HttpMiddleware middleware) {
  std::unique_lock lock(settingsMutex_);
  auto replacement = std::make_shared<std::vector<HttpMiddleware>>(*middleware_);
  replacement->push_back(std::move(middleware));
  middleware_ = std::move(replacement);
}

HttpHandler HttpServer::notFoundHandler() const {
  std::shared_lock lock(settingsMutex_);
  return notFoundHandler_ ? *notFoundHandler_ : HttpHandler();
}

void HttpServer::setNotFoundHandler(HttpHandler handler) {
  auto replacement = handler ? std::make_shared<const HttpHandler>(std::move(handler)) : nullptr;
  std::unique_lock lock(settingsMutex_);
  notFoundHandler_ = std::move(replacement);
}

std::pair<RouteParams, HttpHandler> HttpServer::dispatch(const HttpRequestPtr& request) {
  std::shared_ptr<const std::vector<HttpMiddleware>> middleware;
  std::shared_ptr<const HttpHandler> notFound;
  {
    std::shared_lock lock(settingsMutex_);
    middleware = middleware_;
    notFound = notFoundHandler_;
  }

  for (const HttpMiddleware& entry : *middleware) {
    if (!entry) continue;
    if (std::optional<HttpResponse> response = entry(request)) {
      return {RouteParams{},
              [answer = std::move(*response)](const HttpRequestPtr&) { return answer; }};
    }
  }
  if (std::optional<RouteMatch> match = router->route(request->method, request->path)) {
    return {std::move(match->params), std::move(match->handler)};
  }
  if (notFound) return {RouteParams{}, *notFound};
  return {RouteParams{}, [](const HttpRequestPtr&) { return HttpResponse::notFound(); }};
}

}  // namespace velmora::http
