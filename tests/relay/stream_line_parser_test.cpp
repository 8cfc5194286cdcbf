#include "relay/stream_line_parser.h"

#include <gtest/gtest.h>

#include <ostream>

namespace velmora::relay {

void PrintTo(const StreamEvent& event, std::ostream* out) {
  if (const auto* piece = std::get_if<TextPiece>(&event))
    *out << "text \"" << piece->text << "\" reasoning \"" << piece->reasoning << "\"";
  else if (const auto* failure = std::get_if<StreamFailure>(&event))
    *out << "failure \"" << failure->description << "\"";
  else
    *out << "figures";
}

namespace {

using Events = std::vector<StreamEvent>;

const auto delta = [](std::string j) { return R"(data: {"choices":[{"delta":)" + j + "}]}"; };
const auto content = [](std::string t) { return delta(R"({"content":")" + t + "\"}"); };

// Feeds the blocks one after the other, then finishes.
Events eventsOf(const std::vector<std::string>& blocks,
                std::size_t limit = StreamLineParser::kDefaultMaxLineBytes) {
  StreamLineParser parser(limit);
  Events events;
  for (const std::string& block : blocks) {
    for (auto& event : parser.feed({reinterpret_cast<const uint8_t*>(block.data()), block.size()}))
      events.push_back(std::move(event));
  }
  for (auto& event : parser.finish()) events.push_back(std::move(event));
  return events;
}

TEST(StreamLineTest, WhatEachLineYields) {
  struct Row {
    const char* name;
    std::string line;
    std::optional<StreamEvent> event;
  };
  const auto text = textPiece;
  const auto reasoning = reasoningPiece;
  const auto failure = streamFailure;
  constexpr std::nullopt_t none = std::nullopt;
  const Row rows[] = {
      {"content", content("Hel"), text("Hel")},
      {"escapes decoded", content(R"(a\nb \u00e9 \"q\")"), text("a\nb é \"q\"")},
      {"blanks around", " \t" + content("x") + "\t ", text("x")},
      {"no space after data:", "data:" + content("x").substr(6), text("x")},
      {"reasoning_content", delta(R"({"content":null,"reasoning_content":"r"})"), reasoning("r")},
      {"reasoning", delta(R"({"reasoning":"r"})"), reasoning("r")},
      {"reasoning_content first", delta(R"({"reasoning":"b","reasoning_content":"a"})"),
       reasoning("a")},
      {"empty one yields", delta(R"({"reasoning_content":"","reasoning":"b"})"), reasoning("b")},
      {"reasoning and content", delta(R"({"content":"x","reasoning":"r"})"), TextPiece{"x", "r"}},
      {"error text", R"(data: {"error":"model crashed"})", failure("model crashed")},
      {"error object", R"(data: {"error":{"message":"Too long","n":1}})", failure("Too long")},
      {"error without message", R"(data: {"error":{"code":5}})", failure(R"({"code":5})")},
      {"last duplicate counts", delta(R"({"content":"a"},"delta":{"content":"b"})"), text("b")},
      {"done marker", "data: [DONE]", none},
      {"not data:", "Data" + content("x").substr(4), none},
      {"bad JSON", content("x").substr(0, 30), none},
      {"garbage after the document", content("a") + " x", none},
      {"content not a text", delta(R"({"content":7})"), none},
      {"empty reasoning alone", delta(R"({"reasoning_content":""})"), none},
      {"empty choices", R"(data: {"choices":[]})", none},
      {"a choice not an object", R"(data: {"choices":[{"delta":{"content":"x"}},1]})", none},
      {"delta not an object", delta(R"("x")"), none},
      {"invalid UTF-8", content("a\xff"), none},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(eventOfLine(row.line), row.event);
    // The reading that builds the tree must agree wherever the line is a bare payload.
    if (row.line.starts_with("data:") && !row.line.ends_with(' ')) {
      EXPECT_EQ(eventOfPayloadTree(std::string_view(row.line).substr(5)), row.event);
    }
  }
}

TEST(StreamLineTest, EveryBlockSplitGivesTheSameEvents) {
  // Multi-byte characters, every kind of line end, and a last line without one.
  const std::string body =
      content("Hé") + "\r\n\r\n: ping\n" + content("日本") + "\r" + content("🙂") + "\v" +
      content("f\u2028") + "\f" + R"(data: {"error":"late"})" + "\n" +
      R"(data: {"choices":[],"usage":)" +
      R"({"completion_tokens":7},"timings":{"prompt_ms":-1,"predicted_per_second":9.5}})" + "\n" +
      content("end");
  const Events whole = {textPiece("Hé"),       textPiece("日本"),
                        textPiece("🙂"),     textPiece("f\u2028"),
                        streamFailure("late"), StreamFigures{7, std::nullopt, std::nullopt, 9.5},
                        textPiece("end")};
  ASSERT_EQ(eventsOf({body}), whole);
  for (std::size_t cut = 1; cut < body.size(); ++cut)
    ASSERT_EQ(eventsOf({body.substr(0, cut), body.substr(cut)}), whole) << "cut at " << cut;
  std::vector<std::string> bytes;
  for (const char c : body) bytes.emplace_back(1, c);
  EXPECT_EQ(eventsOf(bytes), whole);
}

TEST(StreamLineTest, LineLimitHoldsAtItsExactBoundary) {
  const std::string line = content(std::string(40, 'x'));
  const Events kept = {textPiece(std::string(40, 'x')), textPiece("next")};
  // Whole, and split anywhere in the long line (up to its line end arriving alone).
  for (std::size_t cut = 0; cut <= line.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const std::vector<std::string> blocks = {line.substr(0, cut),
                                             line.substr(cut) + "\n" + content("next") + "\n"};
    EXPECT_EQ(eventsOf(blocks, line.size()), kept);
    EXPECT_EQ(eventsOf(blocks, line.size() - 1), Events{textPiece("next")});
  }
  // A long line that never ends is not read at the end either.
  EXPECT_EQ(eventsOf({line.substr(0, 9), line.substr(9)}, line.size() - 1), Events{});
}

}  // namespace
}  // namespace velmora::relay
