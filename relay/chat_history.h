#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace velmora::relay {

// One turn of the conversation: role "user" or "assistant" ("system" only in outgoing lists).
struct ChatMessage {
  std::string role;
  std::string content;
  bool operator==(const ChatMessage&) const = default;
};

// The one conversation shared by every browser. Connection threads, the backend's threads and
// the main thread all change it, so every operation takes the lock; each is atomic on its own.
class ChatHistory {
 public:
  void reset();
  void append(ChatMessage message);
  std::vector<ChatMessage> messages() const;
  std::size_t size() const;
  // The console rendering: [["role": "user", "content": "hi"], ...].
  std::string description() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ChatMessage> messages_;  // guarded by mutex_
};

}  // namespace velmora::relay
