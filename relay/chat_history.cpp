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

ChatSnapshot ChatHistory::appendAndSnapshot(ChatMessage message) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(message));
  ++revision_;
  return {messages_, generation_, revision_};
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

std::string ChatHistory::description() const {
  std::lock_guard lock(mutex_);
  std::string text = "[";
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (i > 0) text += ", ";
    text += "[\"role\": \"" + messages_[i].role + "\", \"content\": \"" +
            platform::consoleExcerpt(messages_[i].content) + "\"]";
  }
  return text + "]";
}

}  // namespace velmora::relay
