#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora::update {

// The outcome of one GET.
struct FetchResult {
  int status = 0;  // the HTTP status, 0 when no response arrived
  // The body as received, whatever the status; absent when the transfer failed.
  std::optional<std::vector<std::uint8_t>> body;
  // Why the transfer failed (the client's own text, e.g. curl's); absent when it completed,
  // whatever the status.
  std::optional<std::string> error;
};

// Reads a document over HTTP(S). The production fetcher is the platform's libcurl client.
class DocumentFetcher {
 public:
  using Completion = std::function<void(FetchResult)>;

  virtual ~DocumentFetcher() = default;

  // Starts a plain GET of `url` and returns at once; any thread. `completion` is called exactly
  // once, later, on a thread of the fetcher (never on the caller's stack): with the status and
  // the body when a response arrived, with `error` set when the address is unusable or the
  // transfer failed (no connection, TLS, timeout). An error status is not a failure.
  virtual void get(const std::string& url, Completion completion) = 0;
};

}  // namespace velmora::update
