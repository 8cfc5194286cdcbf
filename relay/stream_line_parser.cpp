#include "relay/stream_line_parser.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "http/body_decoding.h"
#include "platform/json_depth.h"

namespace velmora::relay {

namespace {

bool isLineEnd(char c) {
  return c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> errorDescription(const nlohmann::json& error) {
  if (error.is_string()) return error.get<std::string>();
  if (error.is_object()) {
    const auto message = error.find("message");
    if (message != error.end() && message->is_string()) return message->get<std::string>();
  }
  if (error.is_null()) return std::nullopt;
  return error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::optional<StreamEvent> eventOfLine(std::string_view line) {
  line = trimSpacesAndTabs(line);
  constexpr std::string_view kPrefix = "data:";
  if (!line.starts_with(kPrefix)) return std::nullopt;
  const std::string_view payload = line.substr(kPrefix.size());
  if (!http::isWellFormedUtf8(payload) || platform::jsonNestsDeeperThan(payload))
    return std::nullopt;
  const nlohmann::json value = nlohmann::json::parse(payload, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;

  const auto choices = value.find("choices");
  if (choices != value.end()) {
    if (!choices->is_array() || choices->empty()) return std::nullopt;
    if (!std::all_of(choices->begin(), choices->end(),
                     [](const auto& c) { return c.is_object(); })) {
      return std::nullopt;
    }
    const auto& first = choices->front();
    const auto delta = first.find("delta");
    if (delta == first.end() || !delta->is_object()) return std::nullopt;
    std::string reasoning;
    for (const char* member : {"reasoning_content", "reasoning"}) {
      const auto found = delta->find(member);
      if (found != delta->end() && found->is_string() &&
          !found->get_ref<const std::string&>().empty()) {
        reasoning = found->get<std::string>();
        break;
      }
    }
    const auto content = delta->find("content");
    const bool hasContent = content != delta->end() && content->is_string();
    if (!hasContent && reasoning.empty()) return std::nullopt;
    return TextPiece{hasContent ? content->get<std::string>() : "", std::move(reasoning)};
  }
  // A backend that fails after it has answered 200 says so in the stream.
  const auto error = value.find("error");
  if (error == value.end()) return std::nullopt;
  if (auto description = errorDescription(*error)) return streamFailure(std::move(*description));
  return std::nullopt;
}

std::vector<StreamEvent> StreamLineParser::feed(std::span<const uint8_t> block) {
  std::vector<StreamEvent> events;
  const std::string_view bytes(reinterpret_cast<const char*>(block.data()), block.size());
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!isLineEnd(bytes[i])) continue;
    const std::string_view rest = bytes.substr(start, i - start);
    if (discarding_) {
      discarding_ = false;
    } else if (pending_.empty()) {
      takeLine(rest, events);
    } else if (pending_.size() + rest.size() <= maxLineBytes_) {
      pending_.append(rest);
      takeLine(pending_, events);
    }
    pending_.clear();
    start = i + 1;
  }
  if (!discarding_ && start < bytes.size()) {
    const std::string_view rest = bytes.substr(start);
    if (pending_.size() + rest.size() > maxLineBytes_) {
      pending_.clear();
      pending_.shrink_to_fit();
      discarding_ = true;
    } else {
      pending_.append(rest);
    }
  }
  return events;
}

std::vector<StreamEvent> StreamLineParser::finish() {
  std::vector<StreamEvent> events;
  if (!discarding_ && !pending_.empty()) takeLine(pending_, events);
  pending_.clear();
  discarding_ = false;
  return events;
}

void StreamLineParser::takeLine(std::string_view line, std::vector<StreamEvent>& events) {
  if (line.size() > maxLineBytes_) return;
  if (auto event = eventOfLine(line)) events.push_back(std::move(*event));
}

}  // namespace velmora::relay
