#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "relay/reasoning_splitter.h"
#include "relay/relay_host.h"
#include "relay/stream_line_parser.h"
#include "relay/stream_relay.h"
#include "relay/streaming_delegate.h"
#include "relay/web/chat_answers.h"

namespace velmora::relay::web {

// Streams one backend answer into a chat page (relay/chat_page.h), after the page's beginning and
// the answer's opening: the answer as escaped text with its line breaks, the reasoning (in the
// reasoning fields or inside reasoning tags) in collapsed sections of its own, never in the
// conversation (but a tag left open in a finished answer after its first text joins as text). At
// the end it closes the answer (with an error note after a failure, a stopped note when the answer
// broke off), then the page with the prompt form.
//
// The answer joins the conversation `generation` (not when that has been reset since) at the end,
// on the request's thread, before ChatAnswers::finished: a person who pressed Stop lands on a
// conversation page that holds it. An answer that broke off (a Stop, a cancel at quitting, a
// backend that failed mid-answer) joins with what had arrived and is marked stopped; a backend's
// error status adds nothing. It joins with its speed (ChatMessage::speed): the time to its first
// piece and the tokens per second, from the backend's figures when the stream carries them,
// otherwise counted from the pieces; the page shows it under the answer.
//
// All calls come from the request's thread, one at a time, as HttpClientDelegate says. The
// delegate does not keep `host` alive.
class ChatAnswerStream final : public platform::HttpClientDelegate {
 public:
  ChatAnswerStream(ConnectionSink& sink, std::weak_ptr<RelayHost> host,
                   std::shared_ptr<ChatAnswers> answers, uint64_t answerId, uint64_t generation,
                   std::string scriptNonce);

  void didReceiveResponse(int status, const platform::HttpClientHeaders& headers) override;
  void didReceiveData(std::span<const uint8_t> bytes) override;
  // A second call does nothing.
  void didCompleteWithError(const std::optional<std::string>& error) override;

 private:
  enum class Section { none, answer, reasoning };

  void handle(const StreamEvent& event);
  void write(Section section, std::string_view text);
  void enter(Section section);
  // Nullopt before a first piece.
  std::optional<AnswerSpeed> speed() const;

  ConnectionSink& sink_;
  const std::weak_ptr<RelayHost> host_;
  const std::shared_ptr<ChatAnswers> answers_;
  const uint64_t answerId_;
  const uint64_t generation_;  // of the conversation the request was built from
  const std::string scriptNonce_;

  std::string answer_;  // the answer so far, without its reasoning, unescaped
  StreamLineParser parser_;
  ReasoningSplitter splitter_;
  Section open_ = Section::none;  // the page's section being written
  bool waiting_ = true;           // the page says it waits for the first piece
  BackendErrorStatus errorStatus_;
  std::optional<std::string> streamError_;  // the first error event of the stream
  bool completed_ = false;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point started_ = Clock::now();
  std::optional<Clock::time_point> firstPiece_;
  Clock::time_point lastPiece_;
  std::size_t pieces_ = 0;                // the pieces that brought text or reasoning
  std::optional<StreamFigures> figures_;  // the backend's, the last it sent
};

}  // namespace velmora::relay::web
