#pragma once

#include <optional>
#include <string>

namespace velmora::app {

// Where the backend's OpenAI-compatible API lives, from the host and port fields.
struct BackendBase {
  std::string url;      // ends in the API's prefix, no slash after it: "http://h:1234/v1"
  std::string display;  // the same without any user name or password in it, for the monitor
};

// A bare host gives "http://HOST:PORT/v1". A host field holding a URL with a scheme ("https://
// models.example.org/v1", "http://gpu-box:4000") is the base itself: its own port or the
// scheme's default, its path as the prefix ("/v1" when it has none), and the port field unused.
// nullopt when the text forms no URL, has a scheme other than http or https, or carries a query
// or fragment. Pure; any thread.
std::optional<BackendBase> backendBase(const std::string& host, const std::string& port);

}  // namespace velmora::app
