#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::relay {

// Escapes a model's answer for the answer page as it streams: & < > become entities, except the
// six reasoning tags "<think>", "</think>", "<thought>", "</thought>", "<reason>", "</reason>",
// which pass unchanged so that the page's style shows reasoning in gray. A piece that ends with
// the beginning of a tag is held back until the next piece (or the end) tells whether the tag is
// complete, so a tag split across pieces is still recognised.
//
// One instance follows one answer; not thread-safe.
class AnswerEscaper {
 public:
  // The page text for this piece that can be written now.
  std::string feed(std::string_view piece);
  // The held-back rest at the end of the answer, escaped.
  std::string finish();
  // The closing tags of the reasoning elements the answer opened and left open, innermost
  // first, so that what follows the answer (its page's end, an error) is not shown inside them.
  std::string closeOpenElements();

 private:
  void track(std::string_view tag);  // a reasoning tag that passed

  std::string held_;                        // a possible tag's beginning, "<" first
  std::vector<std::string_view> unclosed_;  // closing tags of the open elements, outermost first
};

}  // namespace velmora::relay
