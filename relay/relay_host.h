#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/http_client.h"
#include "platform/main_queue.h"
#include "relay/chat_history.h"

namespace velmora::relay {

class StreamingDelegate;

// The model a submission names: the one chosen (or the only one listed), or, while no list has
// been read, the saved choice, "" when there is none (some servers serve their one model whatever
// the name).
struct ModelToSend {
  std::string name;
};
// The backend listed several models (or none) and none is chosen: nothing may be sent.
struct NoModelChosen {};
using ModelChoice = std::variant<ModelToSend, NoModelChosen>;

// The name to send; nullopt when nothing may be sent.
inline std::optional<std::string> modelToSend(const ModelChoice& choice) {
  if (const auto* chosen = std::get_if<ModelToSend>(&choice)) return chosen->name;
  return std::nullopt;
}
// What a page and the console say when nothing may be sent.
inline constexpr std::string_view kNoModelChosen =
    "No model is chosen: choose a model in Velmora's window";

// How every text a person sees shows the backend key.
inline constexpr std::string_view kBackendKeyShownAs = "[backend key]";

// What the relay needs of the window controller that owns it. The controller implements it; tests
// may implement it with a fake. Unless a call says otherwise it may be made from any thread.
class RelayHost {
 public:
  virtual ~RelayHost() = default;

  // The current text of the initial message field, read on the main thread while the caller
  // waits. Empty when the main queue no longer runs (the application is ending).
  virtual std::string initialMessageText() = 0;
  // The system prompt, and the model to send, as the window last applied them. Answer at once
  // (never wait for the main thread): every submission asks for them.
  virtual std::string systemPromptText() = 0;
  virtual ModelChoice modelChoice() = 0;
  // The token every request must present, "" when the relay is open to all. Answers at once
  // (never waits for the main thread), so that it can be asked for each request.
  virtual std::string accessToken() = 0;
  // Whether `code` is the valid one-time sign-in code (relay/web/sign_in_links.h); a true answer uses
  // it up and has a new code shown. Answers at once.
  virtual bool redeemSignInCode(std::string_view code) = 0;
  // The host names the relay answers to besides IP literals, "localhost" and this machine's
  // names, in lower case; "*" accepts every name. Answers at once.
  virtual std::vector<std::string> allowedHosts() = 0;
  // `text` with the backend key shown as "[backend key]", for every text a person sees.
  virtual std::string withoutBackendKey(std::string text) const = 0;

  // The shared conversation (see ChatHistory for its generations).
  virtual void noteHistoryReset() = 0;  // monitor notice and console line; keeps the history
  virtual void resetChatHistory() = 0;
  // Appends the user's turn; returns the conversation with it, to build the request from.
  virtual ChatSnapshot appendUserMessage(const std::string& prompt) = 0;
  // The same with pictures, unless there are some and the conversation's would then pass
  // conversationImageLimit(): nullopt then, and nothing appended.
  virtual std::optional<ChatSnapshot> appendUserMessage(const std::string& prompt,
                                                        std::vector<ChatImage> images) = 0;
  // The bytes of pictures one conversation may hold. Answers at once.
  virtual std::size_t conversationImageLimit() = 0;
  // The picture the chat page shows as `id`; nullopt when no turn holds it.
  virtual std::optional<ChatImage> chatImage(std::string_view id) const = 0;
  // The answer (an "assistant" turn) to a request built from `generation`; dropped when the
  // conversation has been reset since.
  virtual void appendAssistantMessage(ChatMessage answer, uint64_t generation) = 0;
  virtual uint64_t chatGeneration() const = 0;
  virtual std::vector<ChatMessage> chatMessages() const = 0;
  virtual std::string chatHistoryDescription() const = 0;

  // The chat-completions request for `history` (see relay/completion_request.h), and the bare
  // template.
  virtual platform::HttpClientRequest makeCompletionRequest(const std::string& model,
                                                            const std::string& systemPrompt,
                                                            std::vector<ChatMessage> history) = 0;
  virtual platform::HttpClientRequest urlRequestTemplate() const = 0;

  // Replace the monitor's text, on the main thread (queued).
  virtual void setMonitorText(const std::string& text) = 0;
  virtual void showServerStatus(const std::string& prefix) = 0;

  virtual platform::MainQueue& mainQueue() = 0;
  virtual platform::HttpClient& backendClient() = 0;

  // Keeps the latest answer page's streaming objects alive.
  virtual void setActiveStream(std::shared_ptr<StreamingDelegate> delegate,
                               std::shared_ptr<platform::HttpClientTask> session) = 0;
};

}  // namespace velmora::relay
