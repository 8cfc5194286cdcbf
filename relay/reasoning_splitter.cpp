#include "relay/reasoning_splitter.h"

#include <utility>

#include "relay/reasoning_tags.h"

namespace velmora::relay {

namespace {

enum class Match { none, partial, whole };

// Whether `text` starts with `tag`, or is a beginning of it that more text could complete.
Match matchAtStart(std::string_view text, std::string_view tag) {
  if (text.starts_with(tag)) return Match::whole;
  if (text.size() < tag.size() && tag.starts_with(text)) return Match::partial;
  return Match::none;
}

}  // namespace

void ReasoningSplitter::emit(std::vector<Segment>& out, std::string_view text) {
  if (text.empty()) return;
  const bool reasoning = !closing_.empty();
  if (reasoning) {
    unclosed_ += text;
  } else if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
    answerBegun_ = true;
  }
  if (!out.empty() && out.back().reasoning == reasoning) {
    out.back().text += text;
  } else {
    out.push_back({reasoning, std::string(text)});
  }
}

std::vector<ReasoningSplitter::Segment> ReasoningSplitter::feed(std::string_view piece) {
  // The held part is shorter than a tag, so this copies the piece once more at most.
  const std::string text = std::exchange(held_, {}) + std::string(piece);
  const std::string_view view = text;
  std::vector<Segment> out;
  std::size_t from = 0;
  for (std::size_t at = view.find('<'); at != std::string_view::npos; at = view.find('<', at)) {
    const std::string_view rest = view.substr(at);
    Match best = Match::none;
    std::string_view tag, closing;
    if (closing_.empty()) {
      for (const ReasoningTag& section : kReasoningTags) {
        const Match match = matchAtStart(rest, section.open);
        if (match > best) {
          best = match;
          tag = section.open;
          closing = section.close;
        }
      }
    } else {
      best = matchAtStart(rest, closing_);
      tag = closing_;
    }
    switch (best) {
      case Match::whole:
        emit(out, view.substr(from, at - from));
        closing_ = closing;  // empty after a closing tag: back in the answer
        unclosed_ = closing_.empty() ? "" : std::string(tag);
        opensAnswer_ = !answerBegun_;
        at += tag.size();
        from = at;
        break;
      case Match::partial:
        emit(out, view.substr(from, at - from));
        held_ = std::string(rest);
        return out;
      case Match::none:
        ++at;
        break;
    }
  }
  emit(out, view.substr(from));
  return out;
}

std::vector<ReasoningSplitter::Segment> ReasoningSplitter::finish() {
  std::vector<Segment> out;
  emit(out, std::exchange(held_, {}));
  return out;
}

}  // namespace velmora::relay
