#include "relay/completion_request.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace velmora::relay {

namespace {

// Removes every shortest open…close section, searching on after each removal the way a
// regular expression's replace-all does.
std::string removeSections(std::string_view text, std::string_view open, std::string_view close) {
  std::string result;
  std::size_t from = 0;
  for (;;) {
    const std::size_t start = text.find(open, from);
    if (start == std::string_view::npos) break;
    const std::size_t end = text.find(close, start + open.size());
    // An answer that broke off while reasoning: the rest is reasoning too.
    if (end == std::string_view::npos) return result.append(text.substr(from, start - from));
    result.append(text.substr(from, start - from));
    from = end + close.size();
  }
  result.append(text.substr(from));
  return result;
}

}  // namespace

platform::HttpClientRequest makeCompletionRequest(const platform::HttpClientRequest& urlTemplate,
                                                  const std::string& model,
                                                  const std::string& systemPrompt,
                                                  const std::vector<ChatMessage>& history) {
  nlohmann::ordered_json messages = nlohmann::ordered_json::array();
  if (!systemPrompt.empty()) messages.push_back({{"role", "system"}, {"content", systemPrompt}});
  for (const ChatMessage& message : history) {
    messages.push_back({{"role", message.role}, {"content", message.content}});
  }
  const nlohmann::ordered_json body = {{"model", model}, {"messages", messages}, {"stream", true}};
  const std::string text = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

  platform::HttpClientRequest request = urlTemplate;
  request.timeoutInterval = std::chrono::seconds(120);
  request.method = "POST";
  request.body = std::vector<uint8_t>(text.begin(), text.end());
  request.setHeader("Content-Type", "application/json");
  return request;
}

std::string stripReasoning(std::string_view answer) {
  std::string text = removeSections(answer, "<think>", "</think>");
  text = removeSections(text, "<thought>", "</thought>");
  return removeSections(text, "<reason>", "</reason>");
}

}  // namespace velmora::relay
