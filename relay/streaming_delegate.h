#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http_client.h"
#include "relay/answer_escaper.h"
#include "relay/relay_host.h"
#include "relay/stream_line_parser.h"

namespace velmora::relay {

// Where a delegate's bytes go. May raise; the delegate reports the failure and goes on.
using StreamWriter = std::function<void(std::span<const uint8_t>)>;

// How text pieces are written: escaped for an HTML page, or as the model wrote them.
enum class PieceEncoding { htmlText, plain };

// The description of a backend's error status for the page and the monitor: "HTTP 400: " and the
// backend's own message when the body is a JSON object whose "error" member is a text or holds a
// "message" text; else the body's text, on one line and cut to kMaxErrorBodyText bytes; just
// "HTTP 503" when the body is empty or not UTF-8. Pure; any thread.
std::string errorStatusDescription(int status, std::span<const uint8_t> body);
inline constexpr std::size_t kMaxErrorBodyText = 200;

// A backend's error status, noted by a delegate: from 400 on the body is an error's description,
// not a stream, and is kept (as much as the description can use) to describe it. One request's
// thread.
class BackendErrorStatus {
 public:
  void noteStatus(int status) {
    if (status >= 400) status_ = status;
  }
  bool isError() const { return status_.has_value(); }
  // Keeps what still fits of a block of the error body.
  void keepBody(std::span<const uint8_t> bytes);
  // errorStatusDescription of the status and the body kept; nullopt when there is no error.
  std::optional<std::string> description() const;

  static constexpr std::size_t kMaxBodyBytes = 64 * 1024;

 private:
  std::optional<int> status_;  // a status of 400 or more
  std::vector<uint8_t> body_;  // its body, at most kMaxBodyBytes
};

// What wraps reasoning that arrives in its own field, so that it shows like inline reasoning.
inline constexpr std::string_view kReasoningOpen = "<think>";
inline constexpr std::string_view kReasoningClose = "</think>";

// Relays one streamed chat completion into one client connection: every text piece is written as
// soon as its line has arrived, followed by an empty write as a flush request. Reasoning pieces
// (sent in a field of their own) are written the same way inside kReasoningOpen ...
// kReasoningClose, opened at the first such piece and closed before the next content piece or at
// the end, also after a failure; they never join the conversation. At the end the answer without
// its reasoning becomes the assistant's turn of conversation generation `generation` (on the
// request's thread, before the page's end; marked stopped when the request failed; dropped when
// the conversation has been reset since), the page
// is closed with the answer-page tail or, when the request failed, with the error markup, the
// monitor shows the server status (prefixed with "[Error: ...]" after a failure), and
// finishCallback runs, exactly once.
//
// A request fails when the client reports an error, when the backend answers a status of 400 or
// more (its body is then read as an error, not as a stream, and nothing is added to the
// conversation), or when the stream carries an error event (pieces after it are dropped).
//
// All calls come from the request's own thread, one at a time, as HttpClientDelegate says. The
// delegate does not keep `parent` alive.
class StreamingDelegate final : public platform::HttpClientDelegate {
 public:
  StreamingDelegate(StreamWriter writer, std::weak_ptr<RelayHost> parent,
                    std::function<void()> finishCallback, uint64_t generation,
                    PieceEncoding encoding = PieceEncoding::htmlText);

  void didReceiveResponse(int status, const platform::HttpClientHeaders& headers) override;
  void didReceiveData(std::span<const uint8_t> bytes) override;
  // A second call does nothing.
  void didCompleteWithError(const std::optional<std::string>& error) override;

 private:
  void handle(const StreamEvent& event);
  void writePiece(const std::string& text);
  void writeReasoning(const std::string& text);
  void closeReasoning();
  void write(std::span<const uint8_t> bytes, const char* failureLine);
  void writeDroppingErrors(std::string_view text);

  StreamWriter writer_;  // released once the request has ended
  const std::weak_ptr<RelayHost> parent_;
  std::function<void()> finishCallback_;  // released once called
  const uint64_t generation_;             // of the conversation the request was built from
  const PieceEncoding encoding_;

  std::string assistantBuffer_;  // the answer so far, unescaped; its only whole copy
  StreamLineParser parser_;
  AnswerEscaper escaper_;
  BackendErrorStatus errorStatus_;
  std::optional<std::string> streamError_;  // the first error event of the stream
  bool completed_ = false;
  bool reasoningOpen_ = false;  // a reasoning piece opened kReasoningOpen and nothing closed it
};

}  // namespace velmora::relay
