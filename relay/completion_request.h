#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/http_client.h"
#include "relay/chat_history.h"

namespace velmora::relay {

// The backend's chat-completions request for one prompt: a copy of `urlTemplate` made a POST
// with a 120 s idle timeout, "Content-Type: application/json", and the body
// {"model", "messages": [system prompt if not empty, then the whole history], "stream": true},
// compact, as the JSON library writes it; adjacent turns of one role are sent as one, their texts
// separated by a blank line. A turn with pictures is sent as OpenAI's content parts: a "text"
// part, then an "image_url" part per picture holding a base64 data: URL. Text that is not valid
// UTF-8 is sent with replacement characters rather than dropping the body. Each turn of `history`
// is let go once written, so that a long conversation is not held twice besides the body.
platform::HttpClientRequest makeCompletionRequest(const platform::HttpClientRequest& urlTemplate,
                                                  const std::string& model,
                                                  const std::string& systemPrompt,
                                                  std::vector<ChatMessage> history);

// Removes every <think>…</think>, then <thought>…</thought>, then <reason>…</reason> section
// (case-sensitive, shortest match, across lines). A section without its closing tag runs to the
// end when the answer `brokeOff` (a failure, a Stop, a cancel) or when nothing but blanks is kept
// before it (reasoning models begin with it); otherwise the tag is part of a finished answer's
// text and stays. In place, linear in the length of the answer.
std::string stripReasoning(std::string answer, bool brokeOff);

}  // namespace velmora::relay
