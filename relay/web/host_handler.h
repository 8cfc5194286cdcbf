#pragma once

#include <memory>
#include <utility>

#include "http/response.h"
#include "http/router.h"
#include "relay/relay_host.h"

namespace velmora::relay::web {

// A route handler that holds the host weakly: it calls `handler(host, request)` while the host
// lives and answers internalServerError once it is gone (the window closed while a request came).
template <class Handler>
http::HttpHandler withHost(std::weak_ptr<RelayHost> weakHost, Handler handler) {
  return [weakHost = std::move(weakHost), handler](const http::HttpRequestPtr& request) {
    const auto host = weakHost.lock();
    if (!host) return http::HttpResponse::internalServerError();
    return handler(host, request);
  };
}

}  // namespace velmora::relay::web
