#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/http_client.h"
#include "update/document_fetcher.h"

namespace velmora::update {

// The production DocumentFetcher: a plain GET on the platform's HTTP client (libcurl), with the
// client's 60-second idle timeout. Holds no state; any thread.
class CurlDocumentFetcher final : public DocumentFetcher {
 public:
  // The update document is a few hundred bytes; a server that sends more than this is refused
  // rather than held in memory.
  static constexpr std::size_t kMaxDocumentBytes = 1024 * 1024;

  // `client` makes the requests (CurlHttpClient unless a test or the application's request
  // tracking gives another); it must not be null.
  explicit CurlDocumentFetcher(
      std::shared_ptr<platform::HttpClient> client = std::make_shared<platform::CurlHttpClient>());

  // The completion runs on the request's thread: with the status and the whole body when a
  // response arrived (any status), or with the client's error text when none did, when the
  // address is unusable, or when the body outgrew kMaxDocumentBytes.
  void get(const std::string& url, Completion completion) override;

 private:
  std::shared_ptr<platform::HttpClient> client_;
};

}  // namespace velmora::update
