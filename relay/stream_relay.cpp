#include "relay/stream_relay.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <semaphore>

namespace velmora::relay {

namespace {

// The connection as the delegate's thread sees it. After the first failed write nothing more is
// tried, and once the body callback returns (detach) nothing reaches the writer at all.
class ConnectionSink {
 public:
  explicit ConnectionSink(http::HttpResponseBodyWriter& out) : out_(&out) {}

  void write(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;  // a flush request: every write already went out whole
    std::lock_guard lock(mutex_);
    if (out_ == nullptr || failed_) return;
    try {
      out_->write(bytes);
    } catch (...) {
      failed_ = true;  // the client has gone; the answer still runs to its end
    }
  }

  void detach() {
    std::lock_guard lock(mutex_);
    out_ = nullptr;
  }

 private:
  std::mutex mutex_;
  http::HttpResponseBodyWriter* out_;  // guarded by mutex_; null once detached
  bool failed_ = false;                // guarded by mutex_
};

constexpr auto kWaitSlice = std::chrono::milliseconds(500);

}  // namespace

http::HttpHeaders streamedAnswerHeaders(std::string contentType) {
  return {{"Content-Type", std::move(contentType)},
          {"Cache-Control", "no-cache"},
          {"X-Accel-Buffering", "no"}};
}

void relayStreamedAnswer(http::HttpResponseBodyWriter& out, std::string_view head,
                         const std::weak_ptr<RelayHost>& host, platform::HttpClientRequest request,
                         PieceEncoding encoding, ActiveStream active) {
  auto sink = std::make_shared<ConnectionSink>(out);
  auto finished = std::make_shared<std::binary_semaphore>(0);
  if (!head.empty()) {
    sink->write({reinterpret_cast<const uint8_t*>(head.data()), head.size()});
  }
  auto delegate = std::make_shared<StreamingDelegate>(
      [sink](std::span<const uint8_t> bytes) { sink->write(bytes); }, host,
      [finished] { finished->release(); }, encoding);

  std::shared_ptr<platform::HttpClientTask> task;
  if (const auto strongHost = host.lock()) {
    try {
      task = strongHost->backendClient().start(std::move(request), delegate);
      if (active == ActiveStream::keep) strongHost->setActiveStream(delegate, task);
    } catch (const std::exception& failure) {
      if (!task) delegate->didCompleteWithError(std::string(failure.what()));
    }
  } else {
    delegate->didCompleteWithError(std::string("the relay has been shut down"));
  }
  delegate.reset();  // the request keeps it until its completion

  while (!finished->try_acquire_for(kWaitSlice)) {
    if (!task || task->isFinished()) break;
  }
  sink->detach();
}

}  // namespace velmora::relay
