#include "relay/stream_line_parser.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/byte_scan.h"
#include "platform/json_depth.h"
#include "platform/json_events.h"

namespace velmora::relay {

namespace {

// The first of '\n', '\v', '\f' and '\r' (10 to 13) at or after `from`, or the size: eight bytes
// at a time, as a block holds a hundred or more bytes per line end.
std::size_t findLineEnd(std::string_view bytes, std::size_t from) {
  namespace scan = platform::byte_scan;
  return scan::findFirst(bytes, from, [](uint64_t word) {
    return scan::bytesBelow(word, 14) & ~scan::bytesBelow(word, 10);
  });
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

std::optional<StreamEvent> eventOfPayloadTree(std::string_view payload) {
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

std::optional<StreamFigures> figuresOfPayload(std::string_view payload) {
  const nlohmann::json value = nlohmann::json::parse(payload, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  if (!value.contains("usage") && !value.contains("timings")) return std::nullopt;
  const auto number = [&value](const char* object, const char* name) -> std::optional<double> {
    const auto found = value.find(object);
    if (found == value.end() || !found->is_object()) return std::nullopt;
    const auto member = found->find(name);
    if (member == found->end() || !member->is_number() || member->get<double>() < 0) {
      return std::nullopt;
    }
    return member->get<double>();
  };
  return StreamFigures{number("usage", "completion_tokens"), number("timings", "prompt_ms"),
                       number("timings", "predicted_n"), number("timings", "predicted_per_second")};
}

namespace {

// Reads the members eventOfPayloadTree looks at while the document is scanned, without building
// it: a stream carries thousands of lines, and the tree cost more than everything else the relay
// does with a line. Same acceptance as the tree's parser (documents nesting deeper than
// platform::kMaxJsonDepth refused as well); where a member occurs twice the last one counts, as
// in the tree.
class PieceReader final : public platform::JsonEventSink {
 public:
  // What a whole, valid document said.
  enum class Outcome { nothing, piece, error };
  Outcome outcome() const {
    if (choices_) {
      if (!choices_->isArray || choices_->count == 0 || !choices_->allObjects)
        return Outcome::nothing;
      if (!delta_.isObject) return Outcome::nothing;
      if (!delta_.content && reasoning().empty()) return Outcome::nothing;
      return Outcome::piece;
    }
    return sawError_ ? Outcome::error : Outcome::nothing;
  }
  // Whether the document has a top-level "usage" or "timings" (see figuresOfPayload).
  bool hasFigures() const { return sawFigures_; }
  TextPiece piece() {
    std::string text = delta_.content ? std::move(*delta_.content) : std::string();
    return TextPiece{std::move(text), reasoning()};
  }

  bool beginContainer(bool isObject) override {
    return value(isObject ? Kind::object : Kind::array);
  }
  bool endContainer() override { return end(); }
  bool string(std::string_view text) override { return value(Kind::string, text); }
  bool scalar() override { return value(Kind::other); }
  bool key(std::string_view name) override {
    if (depth_ == 1) {
      next_ = name == "choices" ? Member::choices : name == "error" ? Member::error : Member::none;
      sawFigures_ |= name == "usage" || name == "timings";
    } else if (depth_ == 3 && inFirstChoice_) {
      next_ = name == "delta" ? Member::delta : Member::none;
    } else if (depth_ == 4 && inDelta_) {
      next_ = name == "content"             ? Member::content
              : name == "reasoning_content" ? Member::reasoningContent
              : name == "reasoning"         ? Member::reasoning
                                            : Member::none;
    }
    return true;
  }

 private:
  enum class Kind { object, array, string, other };
  enum class Member { none, choices, error, delta, content, reasoningContent, reasoning };
  struct Choices {
    bool isArray = false;
    std::size_t count = 0;
    bool allObjects = true;
  };
  struct Delta {
    bool isObject = false;
    std::optional<std::string> content;  // set when the member is a string
    std::optional<std::string> reasoningContent;
    std::optional<std::string> reasoning;
  };

  std::string reasoning() const {
    for (const auto* member : {&delta_.reasoningContent, &delta_.reasoning}) {
      if (*member && !(*member)->empty()) return **member;
    }
    return {};
  }

  static std::optional<std::string> textOf(Kind kind, std::string_view text) {
    if (kind != Kind::string) return std::nullopt;
    return std::string(text);
  }

  bool value(Kind kind, std::string_view text = {}) {
    if (depth_ == 0 && kind != Kind::object) return false;  // not an object: nothing to read
    switch (std::exchange(next_, Member::none)) {
      case Member::none:
        if (depth_ == 2 && inChoices_) {
          ++choices_->count;
          if (kind != Kind::object) {
            choices_->allObjects = false;
          } else if (choices_->count == 1) {
            inFirstChoice_ = true;
          }
        }
        break;
      case Member::choices:
        choices_ = Choices{};
        choices_->isArray = kind == Kind::array;
        delta_ = Delta{};
        inChoices_ = kind == Kind::array;
        break;
      case Member::error:
        sawError_ = true;
        break;
      case Member::delta:
        delta_ = Delta{};
        delta_.isObject = kind == Kind::object;
        inDelta_ = kind == Kind::object;
        break;
      case Member::content:
        delta_.content = textOf(kind, text);
        break;
      case Member::reasoningContent:
        delta_.reasoningContent = textOf(kind, text);
        break;
      case Member::reasoning:
        delta_.reasoning = textOf(kind, text);
        break;
    }
    if (kind == Kind::object || kind == Kind::array) {
      if (++depth_ > platform::kMaxJsonDepth) return false;
    }
    return true;
  }

  bool end() {
    --depth_;
    if (depth_ == 1) inChoices_ = false;
    if (depth_ == 2) inFirstChoice_ = false;
    if (depth_ == 3) inDelta_ = false;
    return true;
  }

  std::size_t depth_ = 0;  // containers open around the next event
  Member next_ = Member::none;
  std::optional<Choices> choices_;  // the top-level "choices", once seen
  Delta delta_;                     // the first choice's "delta"
  bool inChoices_ = false;
  bool inFirstChoice_ = false;
  bool inDelta_ = false;
  bool sawError_ = false;
  bool sawFigures_ = false;
};

// The event of a line as eventOfLine reads it, and the figures it carries.
void readLine(std::string_view line, std::vector<StreamEvent>& events) {
  line = trimSpacesAndTabs(line);
  constexpr std::string_view kPrefix = "data:";
  if (!line.starts_with(kPrefix)) return;
  const std::string_view payload = line.substr(kPrefix.size());
  // The scanner itself refuses bytes that are not UTF-8, and the reader documents that nest too
  // deep, so neither needs a pass of its own over the line.
  PieceReader reader;
  if (!platform::scanJson(payload, reader)) return;
  switch (reader.outcome()) {
    case PieceReader::Outcome::nothing:
      break;
    case PieceReader::Outcome::piece:
      events.push_back(reader.piece());
      break;
    case PieceReader::Outcome::error:
      // Rare: the tree renders any error value.
      if (auto event = eventOfPayloadTree(payload)) events.push_back(std::move(*event));
      break;
  }
  // Rare as well: once per answer, from the servers that send them.
  if (reader.hasFigures()) {
    if (auto figures = figuresOfPayload(payload)) events.push_back(std::move(*figures));
  }
}

}  // namespace

std::optional<StreamEvent> eventOfLine(std::string_view line) {
  std::vector<StreamEvent> events;
  readLine(line, events);
  if (events.empty() || std::holds_alternative<StreamFigures>(events.front())) return std::nullopt;
  return std::move(events.front());
}

std::vector<StreamEvent> StreamLineParser::feed(std::span<const uint8_t> block) {
  std::vector<StreamEvent> events;
  const std::string_view bytes(reinterpret_cast<const char*>(block.data()), block.size());
  std::size_t start = 0;
  for (std::size_t i = findLineEnd(bytes, 0); i < bytes.size(); i = findLineEnd(bytes, i + 1)) {
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
  readLine(line, events);
}

}  // namespace velmora::relay
