#include "relay/answer_escaper.h"

#include <utility>

#include "html/escape.h"
#include "relay/reasoning_tags.h"

namespace velmora::relay {

namespace {

// The length of the reasoning tag, opening or closing, that starts `text`, or 0.
std::size_t tagAtStart(std::string_view text) {
  for (const ReasoningTag& tag : kReasoningTags) {
    if (text.starts_with(tag.open)) return tag.open.size();
    if (text.starts_with(tag.close)) return tag.close.size();
  }
  return 0;
}

// Whether `text` is shorter than some tag and could still grow into it.
bool couldBecomeTag(std::string_view text) {
  const auto grows = [text](std::string_view tag) {
    return text.size() < tag.size() && tag.starts_with(text);
  };
  for (const ReasoningTag& tag : kReasoningTags) {
    if (grows(tag.open) || grows(tag.close)) return true;
  }
  return false;
}

}  // namespace

void AnswerEscaper::track(std::string_view tag) {
  if (tag[1] != '/') {
    for (const ReasoningTag& known : kReasoningTags) {
      if (known.open == tag) unclosed_.push_back(known.close);
    }
    return;
  }
  for (auto open = unclosed_.rbegin(); open != unclosed_.rend(); ++open) {
    if (*open == tag) {
      unclosed_.erase(std::next(open).base());
      return;
    }
  }
}

std::string AnswerEscaper::closeOpenElements() {
  std::string closing;
  for (auto open = unclosed_.rbegin(); open != unclosed_.rend(); ++open) closing += *open;
  unclosed_.clear();
  return closing;
}

std::string AnswerEscaper::feed(std::string_view piece) {
  std::string out;
  std::size_t i = 0;
  if (!held_.empty()) {
    // Only the held-back beginning meets the piece, never the whole piece: a tag is short.
    std::string start = std::exchange(held_, {});
    const std::size_t heldSize = start.size();
    start.append(piece.substr(0, kLongestReasoningTag));
    if (const std::size_t length = tagAtStart(start)) {
      out.append(start, 0, length);
      track(std::string_view(start).substr(0, length));
      i = length - heldSize;
    } else if (couldBecomeTag(start)) {
      held_ = std::move(start);
      return out;
    } else {
      // No "<" follows the held one within it, so the rest of it is plain text.
      out = "&lt;" + html::escapeHtmlText(std::string_view(start).substr(1, heldSize - 1));
    }
  }

  out.reserve(out.size() + piece.size() - i);
  std::size_t plainFrom = i;
  const std::string_view view = piece;
  while (i < view.size()) {
    if (view[i] != '<') {
      ++i;
      continue;
    }
    out += html::escapeHtmlText(view.substr(plainFrom, i - plainFrom));
    const std::string_view rest = view.substr(i);
    if (const std::size_t length = tagAtStart(rest)) {
      const std::string_view tag = rest.substr(0, length);
      out.append(tag);
      i += length;
      track(tag);
    } else if (couldBecomeTag(rest)) {
      held_ = std::string(rest);
      return out;
    } else {
      out += "&lt;";
      ++i;
    }
    plainFrom = i;
  }
  out += html::escapeHtmlText(view.substr(plainFrom));
  return out;
}

std::string AnswerEscaper::finish() {
  std::string rest = html::escapeHtmlText(held_);
  held_.clear();
  return rest;
}

}  // namespace velmora::relay
