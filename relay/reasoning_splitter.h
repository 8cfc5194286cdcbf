#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::relay {

// Splits a streamed answer into what the model meant as its answer and the reasoning it wrote
// inside the reasoning tags ("<think>" … "</think>", "<thought>" … "</thought>", "<reason>" …
// "</reason>"). The tags themselves are dropped. Inside a section only its own closing tag ends
// it; a section never closed runs to the end. A piece that ends with the beginning of a tag is
// held back until the next piece (or the end) tells whether the tag is complete, so a tag split
// across pieces is still recognised.
//
// One instance follows one answer; not thread-safe.
class ReasoningSplitter {
 public:
  struct Segment {
    bool reasoning = false;
    std::string text;
    bool operator==(const Segment&) const = default;
  };

  // The segments of this piece that are known now, in order, never empty, neighbours of
  // different kinds.
  std::vector<Segment> feed(std::string_view piece);
  // The held-back rest, as text of the section it stands in.
  std::vector<Segment> finish();
  // After finish(): a section still open, as written (its tag first), unless it opened the answer
  // (nothing but blanks before it); "" when none. A finished answer keeps this as its text: a lone
  // tag in the middle of an answer is something the answer says, not reasoning.
  std::string unclosedText() const { return opensAnswer_ ? "" : unclosed_; }

 private:
  void emit(std::vector<Segment>& out, std::string_view text);

  std::string held_;          // a possible tag's beginning, "<" first
  std::string_view closing_;  // the tag that ends the reasoning being read; empty in the answer
  std::string unclosed_;      // the section being read, its tag first; empty in the answer
  bool answerBegun_ = false;  // answer text other than blanks has come
  bool opensAnswer_ = false;  // the section being read came before any such text
};

}  // namespace velmora::relay
