#include "update/curl_document_fetcher.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace velmora::update {

namespace {

// Collects one response and hands it to the completion when the request ends.
class DocumentCollector final : public platform::HttpClientDelegate {
 public:
  explicit DocumentCollector(DocumentFetcher::Completion completion)
      : completion_(std::move(completion)) {}

  void didReceiveResponse(int status, const platform::HttpClientHeaders&) override {
    status_ = status;
  }

  void didReceiveData(std::span<const uint8_t> bytes) override {
    if (body_.size() + bytes.size() > CurlDocumentFetcher::kMaxDocumentBytes) {
      // Ends the request; the text becomes its error.
      throw std::length_error("update document larger than " +
                              std::to_string(CurlDocumentFetcher::kMaxDocumentBytes) + " bytes");
    }
    body_.insert(body_.end(), bytes.begin(), bytes.end());
  }

  void didCompleteWithError(const std::optional<std::string>& error) override {
    FetchResult result;
    result.status = status_;
    if (error) {
      result.error = *error;
    } else {
      result.body = std::move(body_);
    }
    auto completion = std::move(completion_);
    completion(std::move(result));
  }

 private:
  DocumentFetcher::Completion completion_;
  int status_ = 0;
  std::vector<uint8_t> body_;
};

}  // namespace

CurlDocumentFetcher::CurlDocumentFetcher(std::shared_ptr<platform::HttpClient> client)
    : client_(std::move(client)) {
  if (!client_) throw std::invalid_argument("CurlDocumentFetcher needs an HTTP client");
}

void CurlDocumentFetcher::get(const std::string& url, Completion completion) {
  platform::HttpClientRequest request;
  request.url = url;
  client_->start(std::move(request), std::make_shared<DocumentCollector>(std::move(completion)));
}

}  // namespace velmora::update
