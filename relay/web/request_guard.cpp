#include "relay/web/request_guard.h"

#include <arpa/inet.h>

#include <algorithm>

#include "html/escape.h"
#include "platform/ascii.h"
#include "platform/host_addresses.h"

namespace velmora::relay::web {

namespace {

// "http://HOST" or "https://HOST" for the request's own Host, case aside.
bool isOwnOrigin(const http::HttpRequest& request, std::string_view origin) {
  const std::string* host = request.header("host");
  if (!host || host->empty()) return false;
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (origin.size() == scheme.size() + host->size() &&
        platform::equalsIgnoringAsciiCase(origin.substr(0, scheme.size()), scheme) &&
        platform::equalsIgnoringAsciiCase(origin.substr(scheme.size()), *host)) {
      return true;
    }
  }
  return false;
}

bool fetchSiteIs(const http::HttpRequest& request, std::initializer_list<std::string_view> values) {
  const std::string* site = request.header("sec-fetch-site");
  return site && std::any_of(values.begin(), values.end(), [&](std::string_view value) {
           return platform::equalsIgnoringAsciiCase(*site, value);
         });
}

bool isIpLiteral(const std::string& text, int family) {
  unsigned char address[16];
  return inet_pton(family, text.c_str(), address) == 1;
}

http::HttpResponse page(const http::HttpRequest& request, int status, std::string phrase,
                        std::string_view title, const std::string& text) {
  std::string body = "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>Velmora: ";
  body += title;
  body += "</title></head>\n<body>\n<h1>";
  body += title;
  body += "</h1>\n<p>" + text + "</p>\n</body>\n</html>";
  return closingResponse(request, status, std::move(phrase),
                         {{"Content-Type", "text/html; charset=utf-8"}}, std::move(body));
}

std::optional<http::HttpResponse> judge(const http::HttpRequest& request, RelayHost& relay) {
  const std::string* host = request.header("host");
  if (request.hostFields > 1 || (!host && request.version == "HTTP/1.1")) {
    return page(request, 400, "Bad Request", "Bad request",
                "A request must name the host it is meant for in exactly one Host field.");
  }
  if (host) {
    const std::optional<bool> names =
        hostNamesRelay(*host, relay.allowedHosts(), platform::hostNames());
    if (!names) {
      return page(request, 400, "Bad Request", "Bad request", "The Host field holds no host name.");
    }
    if (!*names) {
      return page(request, 421, "Misdirected Request", "Unknown host name",
                  "This relay does not answer to the name " + html::escapeHtmlText(*host) +
                      ". Open it by its address, or add the name to the allowed host names "
                      "(the window's field \"Allowed host names\", the option --allow-host NAME, "
                      "the setting allowedHosts).");
    }
  }
  if (changesState(request) && sentFromAnotherSite(request)) {
    return page(request, 403, "Forbidden", "Not accepted",
                "This request was sent by a page of another site, so Velmora did not act on it. "
                "Use Velmora's own pages, or send it from a program.");
  }
  return std::nullopt;
}

}  // namespace

bool changesState(const http::HttpRequest& request) {
  return (request.method != "GET" && request.method != "HEAD") || request.path == "/clear";
}

bool sentFromAnotherSite(const http::HttpRequest& request) {
  if (fetchSiteIs(request, {"cross-site", "same-site"})) return true;
  const std::string* origin = request.header("origin");
  return origin && !isOwnOrigin(request, *origin);
}

bool sentFromOwnPage(const http::HttpRequest& request) {
  if (fetchSiteIs(request, {"same-origin", "none"})) return true;
  const std::string* referer = request.header("referer");
  if (!referer) return false;
  // The origin is what comes before the path: the third "/" and on.
  const auto schemeEnd = referer->find("://");
  if (schemeEnd == std::string::npos) return false;
  const auto pathStart = referer->find_first_of("/?#", schemeEnd + 3);
  return isOwnOrigin(request, std::string_view(*referer).substr(0, pathStart));
}

std::optional<bool> hostNamesRelay(std::string_view host, const std::vector<std::string>& allowed,
                                   const std::vector<std::string>& machineNames) {
  std::string name;
  std::string_view port;
  if (host.starts_with('[')) {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = host.substr(1, close - 1);
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
    if (!isIpLiteral(name, AF_INET6)) return std::nullopt;
  } else {
    const auto colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != std::string_view::npos) port = host.substr(colon + 1);
  }
  if (port.find_first_not_of("0123456789") != std::string_view::npos || port.size() > 5) {
    return std::nullopt;
  }
  if (host.starts_with('[')) return true;
  // reg-name characters (RFC 3986 section 3.2.2) less the percent escapes no browser sends.
  if (name.empty() || name.find_first_not_of(
                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'"
                          "()*+,;=") != std::string::npos) {
    return std::nullopt;
  }
  if (isIpLiteral(name, AF_INET)) return true;
  name = platform::lowercaseAscii(name);
  if (name.ends_with('.')) name.pop_back();  // the root of the DNS, as in "localhost."
  const auto listed = [&](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  return name == "localhost" || listed(machineNames) || listed(allowed) ||
         std::find(allowed.begin(), allowed.end(), "*") != allowed.end();
}

http::HttpResponse closingResponse(const http::HttpRequest& request, int status, std::string phrase,
                                   http::HttpHeaders headers, std::string body) {
  headers.emplace_back("Cache-Control", "no-store");
  headers.emplace_back("Content-Length", std::to_string(body.size()));
  headers.emplace_back("Connection", "close");
  http::HttpBodyCallback writer;
  if (request.method != "HEAD") {
    writer = [body = std::move(body)](http::HttpResponseBodyWriter& out) { out.write(body); };
  }
  return http::HttpResponse::raw(status, std::move(phrase), std::move(headers), std::move(writer));
}

http::HttpMiddleware requestGuard(std::weak_ptr<RelayHost> host) {
  return [weakHost = std::move(host)](
             const http::HttpRequestPtr& request) -> std::optional<http::HttpResponse> {
    const auto strongHost = weakHost.lock();
    if (!strongHost) return http::HttpResponse::internalServerError();
    return judge(*request, *strongHost);
  };
}

}  // namespace velmora::relay::web
