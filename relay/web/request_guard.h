#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/response.h"
#include "http/server.h"
#include "relay/relay_host.h"

namespace velmora::relay::web {

// The relay's first middleware: a web page that a person opens elsewhere must neither change the
// conversation nor reach the backend through their browser, nor read the relay under a name of
// its own (DNS rebinding). In this order it answers
//   400 to an HTTP/1.1 request without Host, with two, or with one that is no host[:port]
//       (RFC 9112 section 3.2);
//   421 with a page naming the allowed host names setting when Host names neither an IP literal,
//       "localhost", this machine (platform::hostNames) nor a name of RelayHost::allowedHosts;
//   403 with a short page when the request changes state or reaches the backend (changesState)
//       and was sent from another site (sentFromAnotherSite).
// Anything else passes. Holds the host weakly and answers internalServerError once it is gone.
// Connection thread.
http::HttpMiddleware requestGuard(std::weak_ptr<RelayHost> host);

// Every method but GET and HEAD, and any request for /clear. Pure; any thread.
bool changesState(const http::HttpRequest& request);

// "Sec-Fetch-Site" is "cross-site" or "same-site", or "Origin" is present and is not "http://" or
// "https://" followed by the request's Host ("null" included). Programs send neither and pass.
// Pure; any thread.
bool sentFromAnotherSite(const http::HttpRequest& request);

// A browser shows that one of the relay's own pages sent the request: "Sec-Fetch-Site" is
// "same-origin" or "none", or "Referer" lies on the relay's own origin. Pure; any thread.
bool sentFromOwnPage(const http::HttpRequest& request);

// Whether a Host value names the relay (see requestGuard); nullopt when it is no host[:port].
// `allowed` in lower case, "*" accepting every name. Pure; any thread.
std::optional<bool> hostNamesRelay(std::string_view host, const std::vector<std::string>& allowed,
                                   const std::vector<std::string>& machineNames);

// A response with a body of known length, "Cache-Control: no-store", after which the connection
// closes (raw responses always close it); no body for HEAD. Any thread.
http::HttpResponse closingResponse(const http::HttpRequest& request, int status, std::string phrase,
                                   http::HttpHeaders headers, std::string body);

}  // namespace velmora::relay::web
