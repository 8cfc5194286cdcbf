#include "relay/completion_request.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/utf8.h"
#include "relay/reasoning_tags.h"

namespace velmora::relay {

namespace {

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Removes every shortest open…close section in place, searching on after each removal the way a
// regular expression's replace-all does. A section never closed is removed to the end when the
// answer broke off or when it opens what is kept, else it stays as text.
void removeSections(std::string& text, std::string_view open, std::string_view close,
                    bool brokeOff) {
  std::size_t from = 0;  // where the text still to be read begins
  std::size_t kept = 0;  // the length of what is kept so far, at the front
  for (;;) {
    std::size_t start = text.find(open, from);
    std::size_t end = start == std::string::npos ? start : text.find(close, start + open.size());
    // A lone tag inside a finished answer is part of what it says ("drop everything after
    // <think>"); reasoning that broke off, or that the answer began with, is reasoning.
    const std::string_view view = text;
    if (start != std::string::npos && end == std::string::npos && !brokeOff &&
        !(blank(view.substr(0, kept)) && blank(view.substr(from, start - from)))) {
      start = std::string::npos;
    }
    const std::size_t keepUntil = std::min(start, text.size());
    if (kept < from) std::copy(text.begin() + from, text.begin() + keepUntil, text.begin() + kept);
    kept += keepUntil - from;
    if (start == std::string::npos || end == std::string::npos) break;
    from = end + close.size();
  }
  text.resize(kept);
}

// How the JSON library writes a byte of well-formed UTF-8 inside a string; empty: as it is.
std::string_view jsonEscape(char c, std::array<char, 6>& buffer) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  buffer = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
  return {buffer.data(), buffer.size()};
}

// The bytes `text` takes as a JSON string (when it is UTF-8).
std::size_t jsonStringSize(std::string_view text) {
  std::array<char, 6> buffer;
  std::size_t size = 2;
  for (const char c : text) size += std::max<std::size_t>(jsonEscape(c, buffer).size(), 1);
  return size;
}

void append(std::vector<uint8_t>& out, std::string_view bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Appends `text` as a JSON string the way the JSON library writes it (UTF-8 kept, bytes that are
// not UTF-8 replaced), straight into the body: a turn may be a whole long answer, and going
// through the library's tree and text took three more copies of it.
void appendJsonString(std::vector<uint8_t>& out, std::string_view text) {
  if (!platform::isWellFormedUtf8(text)) {  // rare; the library's replacement rules apply
    append(out,
           nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    return;
  }
  std::array<char, 6> buffer;
  out.push_back('"');
  std::size_t plainFrom = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view escape = jsonEscape(text[i], buffer);
    if (escape.empty()) continue;
    append(out, text.substr(plainFrom, i - plainFrom));
    append(out, escape);
    plainFrom = i + 1;
  }
  append(out, text.substr(plainFrom));
  out.push_back('"');
}

constexpr std::string_view kImagePartOpen = R"(,{"type":"image_url","image_url":{"url":"data:)";

// A turn's content: its text, or with pictures OpenAI's content parts, the text first and each
// picture as a data: URL. The base64 form exists only here, in the body.
void appendContent(std::vector<uint8_t>& body, const ChatMessage& turn) {
  const bool pictures = std::any_of(turn.images.begin(), turn.images.end(),
                                    [](const ChatImage& image) { return image.bytes != nullptr; });
  if (!pictures) {
    appendJsonString(body, turn.content);
    return;
  }
  append(body, R"([{"type":"text","text":)");
  appendJsonString(body, turn.content);
  append(body, "}");
  for (const ChatImage& image : turn.images) {
    if (!image.bytes) continue;  // lost at launch: the turn's page says so
    append(body, kImagePartOpen);
    append(body, mediaType(image.type));
    append(body, ";base64,");
    appendBase64(body, *image.bytes);
    append(body, R"("}})");
  }
  append(body, "]");
}

}  // namespace

platform::HttpClientRequest makeCompletionRequest(const platform::HttpClientRequest& urlTemplate,
                                                  const std::string& model,
                                                  const std::string& systemPrompt,
                                                  std::vector<ChatMessage> history) {
  if (!systemPrompt.empty()) history.insert(history.begin(), {"system", systemPrompt});
  // Many models' chat templates refuse two turns of one role in a row, which a failed answer, two
  // prompts sent at once or a pass-through answer leave behind: such turns go out as one.
  std::size_t joined = 0;
  for (std::size_t i = 1; i < history.size(); ++i) {
    if (history[i].role == history[joined].role) {
      history[joined].content += "\n\n";
      history[joined].content += history[i].content;
      for (ChatImage& image : history[i].images) history[joined].images.push_back(std::move(image));
      history[i] = {};
    } else if (++joined != i) {
      history[joined] = std::move(history[i]);
    }
  }
  if (!history.empty()) history.resize(joined + 1);
  constexpr std::string_view kTurnOpen = R"({"role":)", kContent = R"(,"content":)";
  std::size_t size = 64 + jsonStringSize(model);
  for (const ChatMessage& message : history) {
    size += kTurnOpen.size() + kContent.size() + 2 + jsonStringSize(message.role) +
            jsonStringSize(message.content);
    for (const ChatImage& image : message.images) {
      if (image.bytes) size += kImagePartOpen.size() + 48 + 4 * (image.bytes->size() + 2) / 3;
    }
  }

  std::vector<uint8_t> body;
  body.reserve(size);
  append(body, R"({"model":)");
  appendJsonString(body, model);
  append(body, R"(,"messages":[)");
  for (std::size_t i = 0; i < history.size(); ++i) {
    if (i > 0) append(body, ",");
    append(body, kTurnOpen);
    appendJsonString(body, history[i].role);
    append(body, kContent);
    appendContent(body, history[i]);
    append(body, "}");
    history[i] = {};  // written: the body and the turns still to come hold one copy together
  }
  append(body, R"(],"stream":true})");

  platform::HttpClientRequest request = urlTemplate;
  request.timeoutInterval = std::chrono::seconds(120);
  request.method = "POST";
  request.body = std::move(body);
  request.setHeader("Content-Type", "application/json");
  return request;
}

std::string stripReasoning(std::string answer, bool brokeOff) {
  for (const ReasoningTag& tag : kReasoningTags) {
    removeSections(answer, tag.open, tag.close, brokeOff);
  }
  return answer;
}

}  // namespace velmora::relay
