#include "relay/web/chat_answer_stream.h"

#include <utility>
#include <variant>

#include "html/escape.h"
#include "platform/overloaded.h"
#include "relay/web/chat_page.h"

namespace velmora::relay::web {

ChatAnswerStream::ChatAnswerStream(ConnectionSink& sink, std::weak_ptr<RelayHost> host,
                                   std::shared_ptr<ChatAnswers> answers, uint64_t answerId,
                                   uint64_t generation, std::string scriptNonce)
    : sink_(sink),
      host_(std::move(host)),
      answers_(std::move(answers)),
      answerId_(answerId),
      generation_(generation),
      scriptNonce_(std::move(scriptNonce)) {}

void ChatAnswerStream::didReceiveResponse(int status, const platform::HttpClientHeaders&) {
  errorStatus_.noteStatus(status);
}

void ChatAnswerStream::didReceiveData(std::span<const uint8_t> bytes) {
  if (completed_) return;
  if (errorStatus_.isError()) return errorStatus_.keepBody(bytes);
  for (const StreamEvent& event : parser_.feed(bytes)) handle(event);
}

void ChatAnswerStream::handle(const StreamEvent& event) {
  std::visit(platform::Overloaded{
                 [this](const TextPiece& piece) {
                   if (streamError_) return;  // an error event ends the answer
                   if (!piece.text.empty() || !piece.reasoning.empty()) {
                     lastPiece_ = Clock::now();
                     if (!firstPiece_) firstPiece_ = lastPiece_;
                     ++pieces_;
                   }
                   if (!piece.reasoning.empty()) write(Section::reasoning, piece.reasoning);
                   for (const auto& segment : splitter_.feed(piece.text)) {
                     write(segment.reasoning ? Section::reasoning : Section::answer, segment.text);
                   }
                 },
                 [this](const StreamFailure& failure) {
                   if (!streamError_) streamError_ = failure.description;
                 },
                 [this](const StreamFigures& figures) { figures_ = figures; },
             },
             event);
}

void ChatAnswerStream::enter(Section section) {
  if (std::exchange(waiting_, false)) sink_.write(chat_page::waitingEnd());
  if (open_ == section) return;
  if (open_ != Section::none) sink_.write(chat_page::sectionClose(open_ == Section::reasoning));
  if (section != Section::none) sink_.write(chat_page::sectionOpen(section == Section::reasoning));
  open_ = section;
}

void ChatAnswerStream::write(Section section, std::string_view text) {
  enter(section);
  if (section == Section::answer) answer_ += text;
  sink_.write(html::escapeHtmlText(text));
}

std::optional<AnswerSpeed> ChatAnswerStream::speed() const {
  if (!firstPiece_) return std::nullopt;
  const auto seconds = [](Clock::duration span) {
    return std::chrono::duration<double>(span).count();
  };
  AnswerSpeed speed;
  speed.firstPieceSeconds = figures_ && figures_->promptMs ? *figures_->promptMs / 1000
                                                           : seconds(*firstPiece_ - started_);
  // Tokens after the first over the time they took to come. Pieces that came within a tenth of
  // a second may have waited in one network buffer: they tell nothing of the model's speed.
  const double streamed = seconds(lastPiece_ - *firstPiece_);
  const auto counted = [&](double tokens) -> std::optional<double> {
    if (tokens < 2 || streamed < 0.1) return std::nullopt;
    return (tokens - 1) / streamed;
  };
  if (figures_ && figures_->predictedPerSecond && *figures_->predictedPerSecond > 0) {
    speed.tokensPerSecond = figures_->predictedPerSecond;
    speed.tokens = figures_->predictedTokens;
  } else if (figures_ && figures_->completionTokens) {
    speed.tokens = figures_->completionTokens;
    speed.tokensPerSecond = counted(*figures_->completionTokens);
  } else {
    speed.tokens = static_cast<double>(pieces_);
    speed.tokensPerSecond = counted(speed.tokens.value());
    speed.estimated = true;
  }
  return speed;
}

void ChatAnswerStream::didCompleteWithError(const std::optional<std::string>& error) {
  if (completed_) return;
  completed_ = true;
  if (!errorStatus_.isError()) {
    for (const StreamEvent& event : parser_.finish()) handle(event);
    for (const auto& segment : splitter_.finish()) {
      write(segment.reasoning ? Section::reasoning : Section::answer, segment.text);
    }
  }
  enter(Section::none);

  std::optional<std::string> failure = errorStatus_.description();
  if (!failure) failure = streamError_ ? streamError_ : error;
  const bool brokeOff = failure && !errorStatus_.isError();
  if (!failure) answer_ += splitter_.unclosedText();  // shown as reasoning, kept as said

  // Held until the page is done: the last reference must not end the controller while its
  // connection still waits for this answer.
  const std::shared_ptr<RelayHost> host = host_.lock();
  // A backend's message may quote the key it was given.
  if (failure && host) failure = host->withoutBackendKey(std::move(*failure));
  const std::optional<AnswerSpeed> measured = speed();
  ChatMessage turn{"assistant", std::exchange(answer_, {}), brokeOff, measured};
  chat_page::renderOnce(turn);  // for this page and every later one
  const std::shared_ptr<const std::string> rendered = turn.rendering.html;
  if (host && (brokeOff || (!failure && !turn.content.empty()))) {
    host->appendAssistantMessage(std::move(turn), generation_);
  }
  answers_->finished(answerId_);

  if (failure && *failure != "cancelled") sink_.write(chat_page::errorNote(*failure));
  if (brokeOff) sink_.write(chat_page::stoppedNote());
  if (measured && (!failure || brokeOff)) sink_.write(chat_page::speedLine(*measured));
  sink_.write(chat_page::answerClose(
      rendered && !failure ? std::optional<std::string_view>(*rendered) : std::nullopt,
      scriptNonce_));
  sink_.write(chat_page::end({}, scriptNonce_));
  sink_.flush();
  if (!host) return;
  if (!failure) {
    host->showServerStatus("");
  } else if (*failure == "cancelled") {
    host->showServerStatus("[Answer stopped]\n");
  } else {
    host->showServerStatus("[Error: " + *failure + "]\n");
  }
}

}  // namespace velmora::relay::web
