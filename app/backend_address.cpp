#include "app/backend_address.h"

#include "platform/url.h"

namespace velmora::app {

namespace {

void dropTrailingSlashes(std::string& text) {
  while (text.ends_with('/')) text.pop_back();
}

}  // namespace

std::optional<BackendBase> backendBase(const std::string& host, const std::string& port) {
  if (host.find("://") == std::string::npos) {
    const std::string url = "http://" + host + ":" + port + "/v1";
    if (!platform::tryParseUrl(url)) return std::nullopt;
    return BackendBase{url, url};
  }
  const std::optional<platform::Url> url = platform::tryParseUrl(host);
  if (!url || (url->scheme != "http" && url->scheme != "https") || url->query || url->fragment) {
    return std::nullopt;
  }
  std::string path = url->path;
  dropTrailingSlashes(path);
  // libcurl's text keeps a user name and password, which must still reach the server.
  std::string base = url->text;
  dropTrailingSlashes(base);
  if (path.empty()) {
    path = "/v1";
    base += path;
  }
  const std::string explicitPort = url->port ? ":" + std::to_string(*url->port) : std::string();
  return BackendBase{base, url->scheme + "://" + url->host + explicitPort + path};
}

}  // namespace velmora::app
