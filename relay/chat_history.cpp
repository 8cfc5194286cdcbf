#include "relay/chat_history.h"

#include "platform/console.h"

namespace velmora::relay {

void ChatHistory::reset() {
  std::lock_guard lock(mutex_);
  messages_.clear();
  ++generation_;
  ++revision_;
}

void ChatHistory::append(ChatMessage message) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(message));
  ++revision_;
}

std::optional<ChatSnapshot> ChatHistory::appendWithinImageLimit(ChatMessage message,
                                                                std::size_t imageByteLimit) {
  std::lock_guard lock(mutex_);
  // Counted under the lock: two prompts at once must not both fit in the room left for one.
  std::size_t held = 0;
  const bool pictures = !message.images.empty();
  for (const ChatMessage& turn : messages_) {
    for (const ChatImage& image : turn.images) held += image.bytes ? image.bytes->size() : 0;
  }
  for (const ChatImage& image : message.images) held += image.bytes ? image.bytes->size() : 0;
  if (pictures && held > imageByteLimit) return std::nullopt;
  messages_.push_back(std::move(message));
  ++revision_;
  return ChatSnapshot{messages_, generation_, revision_};
}

bool ChatHistory::appendToGeneration(ChatMessage message, uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (generation != generation_) return false;
  messages_.push_back(std::move(message));
  ++revision_;
  return true;
}

void ChatHistory::replace(std::vector<ChatMessage> messages) {
  std::lock_guard lock(mutex_);
  messages_ = std::move(messages);
  ++generation_;
  ++revision_;
}

uint64_t ChatHistory::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

ChatSnapshot ChatHistory::snapshot() const {
  std::lock_guard lock(mutex_);
  return {messages_, generation_, revision_};
}

std::vector<ChatMessage> ChatHistory::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::size_t ChatHistory::size() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

std::optional<ChatImage> ChatHistory::image(std::string_view id) const {
  std::lock_guard lock(mutex_);
  for (const ChatMessage& turn : messages_) {
    for (const ChatImage& image : turn.images) {
      if (image.id == id && image.bytes) return image;
    }
  }
  return std::nullopt;
}

std::string ChatHistory::description() const {
  std::lock_guard lock(mutex_);
  std::string text = "[";
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (i > 0) text += ", ";
    text += "[\"role\": \"" + messages_[i].role + "\", \"content\": \"" +
            platform::consoleExcerpt(messages_[i].content) + "\"";
    if (!messages_[i].images.empty()) {
      text += ", \"images\": " + std::to_string(messages_[i].images.size());
    }
    text += "]";
  }
  return text + "]";
}

}  // namespace velmora::relay
