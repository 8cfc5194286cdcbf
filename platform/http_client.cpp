#include "platform/http_client.h"

#include <curl/curl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/ascii.h"
#include "platform/console.h"

namespace velmora::platform {

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

void initialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr long kReadBufferBytes = 64 * 1024;

// One request on its own thread: the task handle, the curl callbacks and the thread's body.
class CurlTransfer final : public HttpClientTask {
 public:
  CurlTransfer(HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate)
      : request_(std::move(request)), delegate_(std::move(delegate)) {}

  void cancel() override {
    cancelled_.store(true);
    std::lock_guard lock(multiMutex_);
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
  }

  bool isFinished() const override {
    std::lock_guard lock(finishMutex_);
    return finished_;
  }

  bool waitUntilFinished(std::chrono::milliseconds timeout) const override {
    std::unique_lock lock(finishMutex_);
    if (finished_) return true;
    if (std::this_thread::get_id() == thread_.load()) return false;
    return finishedChanged_.wait_for(lock, timeout, [this] { return finished_; });
  }

  // Runs the request on the calling thread; `ownThread` when that thread is the request's own.
  void run(bool ownThread) {
    thread_.store(std::this_thread::get_id());
    if (ownThread) pthread_setname_np(pthread_self(), "velmora-curl");
    std::optional<std::string> error = transfer();
    if (cancelled_.load() && error) error = "cancelled";
    try {
      delegate_->didCompleteWithError(error);
    } catch (const std::exception& failure) {
      printLine(std::string("velmora: an HTTP client completion raised: ") + failure.what());
    } catch (...) {
      printLine("velmora: an HTTP client completion raised an exception");
    }
    delegate_.reset();  // the delegate may hold the caller's objects: let go of them now
    std::lock_guard lock(finishMutex_);
    finished_ = true;
    finishedChanged_.notify_all();
  }

 private:
  // Runs the transfer to its end and releases every curl resource; the failure text, if any.
  std::optional<std::string> transfer() {
    if (request_.url.find('\0') != std::string::npos) return "URL contains a NUL byte";
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request_.headers) {
      const auto breaksLine = [](const std::string& text) {
        return text.find_first_of("\r\n") != std::string::npos ||
               text.find('\0') != std::string::npos;
      };
      if (name.empty() || breaksLine(name) || breaksLine(value) ||
          name.find(':') != std::string::npos) {
        curl_slist_free_all(headers);
        return "invalid header field \"" + name + "\"";
      }
      // "Name;" is libcurl's way of sending a field with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      headers = curl_slist_append(headers, line.c_str());
    }
    const bool hasExpect =
        std::any_of(request_.headers.begin(), request_.headers.end(),
                    [](const auto& h) { return equalsIgnoringAsciiCase(h.first, "Expect"); });
    // libcurl would wait for "100 Continue" before sending a large body; servers seldom answer it.
    if (!hasExpect) headers = curl_slist_append(headers, "Expect:");

    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    std::optional<std::string> error;
    if (easy == nullptr || multi == nullptr) {
      error = "could not create an HTTP transfer";
    } else {
      easy_ = easy;
      configure(easy, headers);
      curl_multi_add_handle(multi, easy);
      {
        std::lock_guard lock(multiMutex_);
        multi_ = multi;
      }
      error = perform(multi);
      {
        std::lock_guard lock(multiMutex_);
        multi_ = nullptr;
      }
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (!responseReported_ && status > 0 && !cancelled_.load()) {
        try {
          reportResponse();
        } catch (const std::exception& failure) {
          if (!error) error = failure.what();
        } catch (...) {
          if (!error) error = "the HTTP client's delegate raised an exception";
        }
      }
      curl_multi_remove_handle(multi, easy);
      easy_ = nullptr;
    }
    // Cleaning up the multi handle closes its connection, so a cancelled backend sees it go.
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    return error;
  }

  void configure(CURL* easy, curl_slist* headers) {
    errorBuffer_[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (!request_.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, request_.caFile.c_str());

    const std::string& method = request_.method;
    const bool isPost = method == "POST";
    if (method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (isPost || request_.body) {
      static const char kNoBytes[] = "";
      const std::vector<uint8_t>* body = request_.body ? &*request_.body : nullptr;
      const void* data =
          body != nullptr && !body->empty() ? body->data() : static_cast<const void*>(kNoBytes);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(body != nullptr ? body->size() : 0));
    }
    if (method != "GET" && method != "HEAD" && !isPost) {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET" && request_.body) {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
    }

    // An idle timeout: the connection must come within the interval, and afterwards less than
    // one byte per second for the whole interval ends the request. A long answer that keeps
    // streaming is never cut.
    const auto milliseconds = std::max<long long>(request_.timeoutInterval.count(), 1);
    const long seconds = static_cast<long>(std::max<long long>((milliseconds + 999) / 1000, 1));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(milliseconds));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds);

    // A fast backend's answer then arrives in a quarter of the reads of libcurl's 16 KiB.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::onData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  }

  // Drives the transfer until it ends or is cancelled; the failure text, if any.
  std::optional<std::string> perform(CURLM* multi) {
    while (!cancelled_.load()) {
      int running = 0;
      CURLMcode code = curl_multi_perform(multi, &running);
      if (code != CURLM_OK) return curl_multi_strerror(code);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        const CURLcode result = message->data.result;
        if (result == CURLE_OK) return std::nullopt;
        if (delegateFailure_) return delegateFailure_;
        if (result == CURLE_COULDNT_CONNECT && descriptorsRanOut()) {
          return "Velmora has run out of file descriptors (" + std::string(std::strerror(EMFILE)) +
                 "), so no connection could be opened; the server was not tried";
        }
        if (errorBuffer_[0] != '\0') return std::string(errorBuffer_);
        return std::string(curl_easy_strerror(result));
      }
      if (running == 0) return std::nullopt;
      // Woken early by data, by curl's own timers, or by cancel().
      code = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
      if (code != CURLM_OK) return curl_multi_strerror(code);
    }
    return "cancelled";
  }

  // Whether a connection failed for want of descriptors here rather than at the server: libcurl
  // reports both as "Couldn't connect to server".
  bool descriptorsRanOut() const {
    long osError = 0;
    curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osError);
    if (osError == EMFILE || osError == ENFILE) return true;
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) ::close(probe);
    return probe < 0 && (errno == EMFILE || errno == ENFILE);
  }

  void reportResponse() {
    responseReported_ = true;
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    delegate_->didReceiveResponse(static_cast<int>(status), responseHeaders_);
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlTransfer*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
      self->responseHeaders_.clear();  // a new response: an interim one or a redirect came first
    } else if (line == "\r\n" || line == "\n") {
      // The head is whole: the delegate hears of it now, not with the first body byte, which a
      // model may send only after thinking for minutes. Interim answers, a proxy's answer to
      // CONNECT (no status yet) and redirects being followed are not the final response.
      long status = 0;
      curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &status);
      const bool followed = status / 100 == 3 &&
                            std::any_of(self->responseHeaders_.begin(),
                                        self->responseHeaders_.end(), [](const auto& field) {
                                          return equalsIgnoringAsciiCase(field.first, "location");
                                        });
      if (status >= 200 && !followed && !self->responseReported_ &&
          !self->deliver([self] { self->reportResponse(); })) {
        return 0;
      }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
      self->responseHeaders_.emplace_back(std::string(trim(line.substr(0, colon))),
                                          std::string(trim(line.substr(colon + 1))));
    }
    return size * count;
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlTransfer*>(user);
    const size_t length = size * count;
    if (self->cancelled_.load()) return 0;  // any count but `length` ends the transfer
    const bool delivered = self->deliver([&] {
      if (!self->responseReported_) self->reportResponse();
      if (length > 0) {
        self->delegate_->didReceiveData(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), length));
      }
    });
    return delivered ? length : 0;
  }

  // Runs a call of the delegate; false, with the failure kept, when it raised (the transfer ends).
  template <typename Call>
  bool deliver(const Call& call) {
    try {
      call();
      return true;
    } catch (const std::exception& failure) {
      delegateFailure_ = failure.what();
    } catch (...) {
      delegateFailure_ = "the HTTP client's delegate raised an exception";
    }
    return false;
  }

  const HttpClientRequest request_;
  std::shared_ptr<HttpClientDelegate> delegate_;  // released after the completion
  std::atomic<bool> cancelled_{false};
  std::atomic<std::thread::id> thread_;

  std::mutex multiMutex_;
  CURLM* multi_ = nullptr;  // guarded by multiMutex_: set while the transfer may be woken

  mutable std::mutex finishMutex_;
  mutable std::condition_variable finishedChanged_;
  bool finished_ = false;  // guarded by finishMutex_

  // Touched only by the transfer's thread.
  CURL* easy_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  HttpClientHeaders responseHeaders_;
  bool responseReported_ = false;
  std::optional<std::string> delegateFailure_;
};

// Collects a whole body for fetch().
class CollectingDelegate final : public HttpClientDelegate {
 public:
  explicit CollectingDelegate(HttpClientCompletion completion)
      : completion_(std::move(completion)) {}

  void didReceiveResponse(int status, const HttpClientHeaders& headers) override {
    result_.status = status;
    result_.headers = headers;
  }

  void didReceiveData(std::span<const uint8_t> bytes) override {
    if (result_.body.size() + bytes.size() > HttpClient::kMaxFetchBodyBytes) {
      throw std::length_error("response body larger than " +
                              std::to_string(HttpClient::kMaxFetchBodyBytes) + " bytes");
    }
    result_.body.insert(result_.body.end(), bytes.begin(), bytes.end());
  }

  void didCompleteWithError(const std::optional<std::string>& error) override {
    result_.error = error;
    if (error) result_.body.clear();
    if (completion_) completion_(std::move(result_));
  }

 private:
  HttpClientCompletion completion_;
  HttpClientResult result_;
};

}  // namespace

void HttpClientRequest::setHeader(std::string name, std::string value) {
  auto first = std::find_if(headers.begin(), headers.end(), [&](const auto& field) {
    return equalsIgnoringAsciiCase(field.first, name);
  });
  if (first == headers.end()) {
    headers.emplace_back(std::move(name), std::move(value));
    return;
  }
  first->second = std::move(value);
  headers.erase(
      std::remove_if(std::next(first), headers.end(),
                     [&](const auto& field) { return equalsIgnoringAsciiCase(field.first, name); }),
      headers.end());
}

void HttpClientDelegate::didReceiveResponse(int, const HttpClientHeaders&) {}

void HttpClient::run(HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate,
                     const std::function<void(const std::shared_ptr<HttpClientTask>&)>& started) {
  const std::shared_ptr<HttpClientTask> task = start(std::move(request), std::move(delegate));
  started(task);
  while (!task->waitUntilFinished(std::chrono::seconds(1))) {
  }
}

std::shared_ptr<HttpClientTask> HttpClient::fetch(HttpClientRequest request,
                                                  HttpClientCompletion completion) {
  return start(std::move(request), std::make_shared<CollectingDelegate>(std::move(completion)));
}

CurlHttpClient::CurlHttpClient() {
  initialiseCurl();
}

std::shared_ptr<HttpClientTask> CurlHttpClient::start(
    HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate) {
  initialiseCurl();
  if (!delegate) throw std::invalid_argument("an HTTP request needs a delegate");
  auto transfer = std::make_shared<CurlTransfer>(std::move(request), std::move(delegate));
  // The thread owns the transfer until it ends; detached, it releases itself when done.
  std::thread([transfer] { transfer->run(true); }).detach();
  return transfer;
}

void CurlHttpClient::run(
    HttpClientRequest request, std::shared_ptr<HttpClientDelegate> delegate,
    const std::function<void(const std::shared_ptr<HttpClientTask>&)>& started) {
  initialiseCurl();
  if (!delegate) throw std::invalid_argument("an HTTP request needs a delegate");
  auto transfer = std::make_shared<CurlTransfer>(std::move(request), std::move(delegate));
  started(transfer);
  transfer->run(false);
}

}  // namespace velmora::platform
