#include "relay/streaming_delegate.h"

#include <algorithm>
#include <exception>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <variant>

#include "html/escape.h"
#include "http/body_decoding.h"
#include "platform/console.h"
#include "platform/overloaded.h"
#include "relay/completion_request.h"
#include "relay/pages.h"

namespace velmora::relay {

namespace {

using platform::Overloaded;

std::span<const uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The backend's own message in a JSON error body, if it has one.
std::optional<std::string> backendMessage(std::string_view body) {
  const nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  const auto error = value.find("error");
  if (error == value.end()) return std::nullopt;
  if (error->is_string()) return error->get<std::string>();
  if (error->is_object()) {
    const auto message = error->find("message");
    if (message != error->end() && message->is_string()) return message->get<std::string>();
  }
  return std::nullopt;
}

// The body as one short line: line breaks become spaces, and a cut never splits a character.
std::string bodyLine(std::string_view body) {
  std::string line;
  for (const char c : body) {
    if (line.size() >= kMaxErrorBodyText) break;
    line += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
  }
  const bool cut = line.size() < body.size();
  while (!line.empty() && !http::isWellFormedUtf8(line)) line.pop_back();
  const auto first = line.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  line = line.substr(first, line.find_last_not_of(' ') - first + 1);
  if (cut) line += "…";
  return line;
}

}  // namespace

std::string errorStatusDescription(int status, std::span<const uint8_t> body) {
  const std::string description = "HTTP " + std::to_string(status);
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (!http::isWellFormedUtf8(text)) return description;
  if (auto message = backendMessage(text)) return description + ": " + *message;
  const std::string line = bodyLine(text);
  return line.empty() ? description : description + ": " + line;
}

void BackendErrorStatus::keepBody(std::span<const uint8_t> bytes) {
  const std::size_t room = kMaxBodyBytes - body_.size();
  body_.insert(body_.end(), bytes.begin(),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
}

std::optional<std::string> BackendErrorStatus::description() const {
  if (!status_) return std::nullopt;
  return errorStatusDescription(*status_, body_);
}

StreamingDelegate::StreamingDelegate(StreamWriter writer, std::weak_ptr<RelayHost> parent,
                                     std::function<void()> finishCallback, uint64_t generation,
                                     PieceEncoding encoding)
    : writer_(std::move(writer)),
      parent_(std::move(parent)),
      finishCallback_(std::move(finishCallback)),
      generation_(generation),
      encoding_(encoding) {}

void StreamingDelegate::didReceiveResponse(int status, const platform::HttpClientHeaders&) {
  errorStatus_.noteStatus(status);
}

void StreamingDelegate::didReceiveData(std::span<const uint8_t> bytes) {
  if (completed_) return;
  if (errorStatus_.isError()) return errorStatus_.keepBody(bytes);
  for (const StreamEvent& event : parser_.feed(bytes)) handle(event);
}

void StreamingDelegate::didCompleteWithError(const std::optional<std::string>& error) {
  if (completed_) return;
  completed_ = true;
  if (!errorStatus_.isError()) {
    for (const StreamEvent& event : parser_.finish()) handle(event);
  }
  if (const std::string rest = escaper_.finish() + escaper_.closeOpenElements(); !rest.empty()) {
    write(bytesOf(rest), "❌ writer (bytes) failed with error: ");
  }
  closeReasoning();

  // Held until the finish callback has run: the last reference must not end the controller
  // while its connection still waits for this answer.
  const std::shared_ptr<RelayHost> parent = parent_.lock();
  std::optional<std::string> failure = errorStatus_.description();
  if (!failure) failure = streamError_ ? streamError_ : error;
  // A backend's message may quote the key it was given.
  if (failure && parent) failure = parent->withoutBackendKey(std::move(*failure));
  if (!assistantBuffer_.empty()) {
    // The answer's one copy: its reasoning is cut out in place and it moves on into the
    // conversation, here and before the page's end, so that whoever read the answer and writes
    // at once is answered with it in the conversation; an answer cut short (a failure, the relay
    // quitting) is kept as stopped.
    const bool brokeOff = failure.has_value();
    std::string answer = stripReasoning(std::exchange(assistantBuffer_, {}), brokeOff);
    if (parent)
      parent->appendAssistantMessage({"assistant", std::move(answer), brokeOff}, generation_);
  }

  if (!failure) {
    writeDroppingErrors(pages::kAnswerPageTail);
    if (parent) parent->showServerStatus("");
  } else {
    writeDroppingErrors(std::string(pages::kErrorMarkupFirst) + html::escapeHtmlText(*failure) +
                        std::string(pages::kErrorMarkupSecond));
    if (parent) parent->showServerStatus("[Error: " + *failure + "]\n");
  }

  // Nothing reaches the connection after this; let go of what belongs to it.
  writer_ = nullptr;
  if (auto finish = std::exchange(finishCallback_, nullptr)) finish();
}

void StreamingDelegate::handle(const StreamEvent& event) {
  std::visit(Overloaded{
                 [this](const TextPiece& piece) {
                   if (streamError_) return;  // an error event ends the answer
                   if (!piece.reasoning.empty()) writeReasoning(piece.reasoning);
                   if (!piece.text.empty() || piece.reasoning.empty()) writePiece(piece.text);
                 },
                 [this](const StreamFailure& failure) {
                   if (!streamError_) streamError_ = failure.description;
                 },
                 [](const StreamFigures&) {},  // the answer pages of the start page show none
             },
             event);
}

void StreamingDelegate::writeReasoning(const std::string& text) {
  if (!reasoningOpen_) {
    // Text the escaper holds back belongs before the reasoning.
    std::string opening = encoding_ == PieceEncoding::htmlText ? escaper_.finish() : "";
    opening += kReasoningOpen;
    write(bytesOf(opening), "❌ writer (bytes) failed with error: ");
    reasoningOpen_ = true;
  }
  // Reasoning is shown, never stored: it stays out of assistantBuffer_.
  if (encoding_ == PieceEncoding::htmlText) {
    write(bytesOf(html::escapeHtmlText(text)), "❌ writer (bytes) failed with error: ");
  } else {
    write(bytesOf(text), "❌ writer (bytes) failed with error: ");
  }
  write({}, "❌ writer (flush) failed with error: ");
}

void StreamingDelegate::closeReasoning() {
  if (!reasoningOpen_) return;
  reasoningOpen_ = false;
  write(bytesOf(kReasoningClose), "❌ writer (bytes) failed with error: ");
}

void StreamingDelegate::writePiece(const std::string& text) {
  if (!text.empty()) closeReasoning();
  assistantBuffer_ += text;
  if (encoding_ == PieceEncoding::htmlText) {
    write(bytesOf(escaper_.feed(text)), "❌ writer (bytes) failed with error: ");
  } else {
    write(bytesOf(text), "❌ writer (bytes) failed with error: ");
  }
  write({}, "❌ writer (flush) failed with error: ");
}

void StreamingDelegate::write(std::span<const uint8_t> bytes, const char* failureLine) {
  if (!writer_) return;
  try {
    writer_(bytes);
  } catch (const std::exception& failure) {
    platform::printLine(std::string(failureLine) + failure.what());
  } catch (...) {
    platform::printLine(std::string(failureLine) + "unknown error");
  }
}

void StreamingDelegate::writeDroppingErrors(std::string_view text) {
  if (!writer_) return;
  try {
    writer_(bytesOf(text));
  } catch (...) {  // the page's end is best effort: the client may be gone
  }
}

}  // namespace velmora::relay
