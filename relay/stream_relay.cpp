#include "relay/stream_relay.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmora::relay {

namespace {

// Hands the backend's events to the streaming delegate and sends what it wrote for each block.
// When small blocks come hard on each other's heels (a backend writing faster than the relay
// wakes), it rests a moment before reading on: the next read then takes the pieces written
// meanwhile at once, where reading each as it lands would cost a wake-up, a receive and a send per
// piece and slow the whole answer on a busy machine. A model writing at reading speed never waits.
class BlockFlushingDelegate final : public platform::HttpClientDelegate {
 public:
  BlockFlushingDelegate(std::shared_ptr<platform::HttpClientDelegate> inner, ConnectionSink& sink)
      : inner_(std::move(inner)), sink_(sink) {}

  void didReceiveResponse(int status, const platform::HttpClientHeaders& headers) override {
    inner_->didReceiveResponse(status, headers);
  }
  void didReceiveData(std::span<const uint8_t> bytes) override {
    inner_->didReceiveData(bytes);
    sink_.flush();
    const auto now = std::chrono::steady_clock::now();
    const bool burst = now - lastBlock_ < kBurstGap && bytes.size() < kGatheredEnough;
    lastBlock_ = now;
    if (burst) std::this_thread::sleep_for(kBurstRest);
  }
  // The delegate's finish callback sends the page's end before the connection is released.
  void didCompleteWithError(const std::optional<std::string>& error) override {
    inner_->didCompleteWithError(error);
  }

 private:
  // Measured with bench/relay: 50 to 100 us gathers enough to halve the relay's cost per answer;
  // 300 us is slower again.
  static constexpr auto kBurstGap = std::chrono::milliseconds(1);
  static constexpr auto kBurstRest = std::chrono::microseconds(100);
  // A block this large already spreads a read and a send over many pieces: no rest.
  static constexpr std::size_t kGatheredEnough = 8 * 1024;

  const std::shared_ptr<platform::HttpClientDelegate> inner_;
  ConnectionSink& sink_;
  std::chrono::steady_clock::time_point lastBlock_{};  // the request's thread only
};

}  // namespace

http::HttpHeaders streamedAnswerHeaders(std::string contentType) {
  return {{"Content-Type", std::move(contentType)},
          {"Cache-Control", "no-cache"},
          {"X-Accel-Buffering", "no"}};
}

void ConnectionSink::write(std::span<const uint8_t> bytes) {
  if (!failed_) pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void ConnectionSink::write(std::string_view text) {
  write({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

void ConnectionSink::flush() {
  if (failed_ || pending_.empty()) return;
  try {
    out_.write(std::span<const uint8_t>(pending_));
  } catch (...) {
    failed_ = true;  // the client has gone; the answer still runs to its end
  }
  pending_.clear();
}

void runBackendRequest(ConnectionSink& sink, const std::weak_ptr<RelayHost>& host,
                       platform::HttpClientRequest request,
                       std::shared_ptr<platform::HttpClientDelegate> delegate,
                       const std::function<void(const std::shared_ptr<platform::HttpClientTask>&)>&
                           started) {
  // The host, and with it the client, is held until the request has started, from when the
  // application can cancel it before it lets the client go; not while the answer streams, when
  // the window may close.
  if (auto strongHost = host.lock()) {
    bool running = false;
    try {
      strongHost->backendClient().run(
          std::move(request), std::make_shared<BlockFlushingDelegate>(delegate, sink),
          [&](const std::shared_ptr<platform::HttpClientTask>& task) {
            running = true;
            started(task);
            strongHost.reset();
          });
    } catch (const std::exception& failure) {
      if (!running) delegate->didCompleteWithError(std::string(failure.what()));
    }
  } else {
    delegate->didCompleteWithError(std::string("the relay has been shut down"));
  }
  sink.flush();
}

void relayStreamedAnswer(http::HttpResponseBodyWriter& out, std::string_view head,
                         const std::weak_ptr<RelayHost>& host, platform::HttpClientRequest request,
                         uint64_t generation, PieceEncoding encoding, ActiveStream active) {
  ConnectionSink sink(out);
  if (!head.empty()) {
    sink.write(head);
    sink.flush();
  }
  auto delegate = std::make_shared<StreamingDelegate>(
      [&sink](std::span<const uint8_t> bytes) { sink.write(bytes); }, host,
      [&sink] { sink.flush(); }, generation, encoding);
  runBackendRequest(sink, host, std::move(request), delegate,
                    [&](const std::shared_ptr<platform::HttpClientTask>& task) {
                      if (active != ActiveStream::keep) return;
                      if (auto strongHost = host.lock()) strongHost->setActiveStream(delegate, task);
                    });
}

}  // namespace velmora::relay
