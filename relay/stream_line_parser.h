#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmora::relay {

// What one line of a streamed chat completion carries for the relay.
struct TextPiece {
  std::string text;  // choices[0].delta.content, may be empty
  // The reasoning that some servers send beside the content, in delta.reasoning_content or
  // delta.reasoning (the first that holds a non-empty text); may be empty.
  std::string reasoning = {};
  bool operator==(const TextPiece&) const = default;
};
// An error event inside a stream that began well ('data: {"error": ...}').
struct StreamFailure {
  std::string description;
  bool operator==(const StreamFailure&) const = default;
};
// The backend's own figures of its answer, where its stream carries them (usually in its last
// line): OpenAI's "usage" and llama.cpp's "timings". Each figure is absent when not given as a
// number of at least 0.
struct StreamFigures {
  std::optional<double> completionTokens;    // usage.completion_tokens
  std::optional<double> promptMs;            // timings.prompt_ms: until the first token
  std::optional<double> predictedTokens;     // timings.predicted_n
  std::optional<double> predictedPerSecond;  // timings.predicted_per_second
  bool operator==(const StreamFigures&) const = default;
};
using StreamEvent = std::variant<TextPiece, StreamFailure, StreamFigures>;

inline StreamEvent textPiece(std::string text) {
  return TextPiece{std::move(text), {}};
}
inline StreamEvent reasoningPiece(std::string reasoning) {
  return TextPiece{"", std::move(reasoning)};
}
inline StreamEvent streamFailure(std::string description) {
  return StreamFailure{std::move(description)};
}

// The event of one complete line (without its line end), or nothing: the line is trimmed of
// spaces and tabs, must start with "data:", and the rest must be JSON whose
// choices[0].delta.content is a string or whose delta carries reasoning (choices: a non-empty
// array of objects; delta: an object), or an object with an "error" member (a text, or an object
// with a "message" text).
// Lines that are not UTF-8, not JSON or of another shape give nothing. Pure; any thread.
std::optional<StreamEvent> eventOfLine(std::string_view line);
// The figures of a line's JSON after "data:" when its object has a "usage" or "timings" member
// (see StreamFigures); nothing otherwise. Pure; any thread.
std::optional<StreamFigures> figuresOfPayload(std::string_view payload);
// The same reading of the JSON after "data:", from the parsed document tree: slower, and the
// measure that eventOfLine, which reads while it parses, is checked against. The payload must be
// UTF-8 and nest no deeper than platform::kMaxJsonDepth.
std::optional<StreamEvent> eventOfPayloadTree(std::string_view payload);

// Splits the body of a streamed chat completion into lines and reads their events. Blocks may
// end anywhere, inside a line or inside a UTF-8 character: the unfinished line is kept as bytes
// and joined with the next block, and only complete lines are decoded, so no line of a
// well-formed stream is lost however it is chunked.
//
// A line ends at a line feed, a carriage return, a vertical tab or a form feed (none of them can
// stand unescaped inside JSON). A line longer than maxLineBytes is dropped whole, so a backend
// that never ends its line cannot make the relay hold unbounded memory.
//
// One instance reads one body; it is not thread-safe (the client delivers blocks one at a time).
class StreamLineParser {
 public:
  static constexpr std::size_t kDefaultMaxLineBytes = 16 * 1024 * 1024;

  explicit StreamLineParser(std::size_t maxLineBytes = kDefaultMaxLineBytes)
      : maxLineBytes_(maxLineBytes) {}

  // The events of the lines this block completes, in order; a line with the backend's figures
  // gives a StreamFigures after its own event.
  std::vector<StreamEvent> feed(std::span<const uint8_t> block);
  // The end of the body: a last line without a line end is read now. Later feeds start afresh.
  std::vector<StreamEvent> finish();

 private:
  void takeLine(std::string_view line, std::vector<StreamEvent>& events);

  const std::size_t maxLineBytes_;
  std::string pending_;      // the unfinished line's bytes
  bool discarding_ = false;  // the unfinished line outgrew maxLineBytes_: skip to its end
};

}  // namespace velmora::relay
