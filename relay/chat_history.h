#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/chat_images.h"

namespace velmora::relay {

// How fast the model gave a chat page's answer.
struct AnswerSpeed {
  double firstPieceSeconds = 0;  // from the request to the answer's first piece
  // Tokens per second while the answer streamed, and the tokens counted; absent when the answer
  // came in one piece.
  std::optional<double> tokensPerSecond;
  std::optional<double> tokens;
  // Counted by the relay from the pieces (about one token each), as the backend gave no figures.
  bool estimated = false;
  bool operator==(const AnswerSpeed&) const = default;
};

// One turn of the conversation: role "user" or "assistant" ("system" only in outgoing lists).
struct ChatMessage {
  std::string role;
  std::string content;
  // An answer that a person stopped before the model had finished it; `content` holds what had
  // arrived. Shown to people, never sent to the backend.
  bool stopped = false;
  // An answer's speed, when the chat page measured it. Shown to people, never sent.
  std::optional<AnswerSpeed> speed = std::nullopt;
  // The pictures sent with a prompt, in the order chosen; sent again with every later prompt.
  std::vector<ChatImage> images = {};
  // A finished answer's Markdown rendering, made once (chat_page::renderOnce) and shared by every
  // copy of the turn; null for prompts, answers too long to render and turns not yet rendered.
  // Never stored nor sent, and not compared: it follows from `content`.
  struct Rendering {
    std::shared_ptr<const std::string> html;
    bool operator==(const Rendering&) const { return true; }
  } rendering{};
  bool operator==(const ChatMessage&) const = default;
};

// The conversation at one moment: its turns, its generation (a request built from it answers
// into that one) and the number of changes made so far (of two snapshots, the one with the higher
// revision is the newer), read together.
struct ChatSnapshot {
  std::vector<ChatMessage> messages;
  uint64_t generation = 0;
  uint64_t revision = 0;
};

// The one conversation shared by every browser. Connection threads, the backend's threads and
// the main thread all change it, so every operation takes the lock; each is atomic on its own.
//
// Every reset starts a new generation. An answer carries the generation its request was built
// from and joins only that one: an answer still streaming when another browser clears the
// conversation must not land in the fresh one.
class ChatHistory {
 public:
  void reset();
  void append(ChatMessage message);
  // Appends and returns the conversation with the new turn, in one step: a reset from another
  // browser cannot come between the turn and the request built from it. Unless the turn has
  // pictures and the conversation's would then hold more than `imageByteLimit` bytes: nullopt
  // then, and nothing appended. A turn of words only always goes.
  std::optional<ChatSnapshot> appendWithinImageLimit(ChatMessage message,
                                                     std::size_t imageByteLimit);
  // Appends only while the conversation is still `generation`; false, appending nothing, when it
  // has been reset since.
  bool appendToGeneration(ChatMessage message, uint64_t generation);
  // Replaces every turn, as a reset followed by the new turns would (a new generation).
  void replace(std::vector<ChatMessage> messages);
  uint64_t generation() const;
  ChatSnapshot snapshot() const;
  std::vector<ChatMessage> messages() const;
  std::size_t size() const;
  // The picture whose id is `id`, with its bytes; nullopt when no turn holds one that is there.
  std::optional<ChatImage> image(std::string_view id) const;
  // The console rendering: [["role": "user", "content": "hi"], ...], each content cut to
  // platform::consoleExcerpt.
  std::string description() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ChatMessage> messages_;  // guarded by mutex_
  uint64_t generation_ = 0;            // guarded by mutex_; the resets so far
  uint64_t revision_ = 0;              // guarded by mutex_; the changes so far
};

}  // namespace velmora::relay
