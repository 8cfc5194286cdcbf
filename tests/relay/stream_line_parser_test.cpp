#include "relay/stream_line_parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/json_depth.h"
#include "relay/answer_escaper.h"

namespace velmora::relay {

void PrintTo(const TextPiece& piece, std::ostream* out) {
  *out << "piece \"" << piece.text << "\" reasoning \"" << piece.reasoning << "\"";
}
void PrintTo(const StreamFailure& failure, std::ostream* out) {
  *out << "failure \"" << failure.description << "\"";
}

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string contentLine(const std::string& piece) {
  return "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"" + piece +
         "\"},\"finish_reason\":null}]}";
}

// Every event of `body` fed in blocks of the given sizes (the rest as one last block).
std::vector<StreamEvent> eventsOf(const std::string& body, const std::vector<std::size_t>& cuts,
                                  StreamLineParser parser = StreamLineParser()) {
  std::vector<StreamEvent> events;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    const auto more = parser.feed(bytesOf(body.substr(from, cut - from)));
    events.insert(events.end(), more.begin(), more.end());
    from = cut;
  }
  const auto more = parser.feed(bytesOf(body.substr(from)));
  events.insert(events.end(), more.begin(), more.end());
  const auto last = parser.finish();
  events.insert(events.end(), last.begin(), last.end());
  return events;
}

TEST(StreamLineTest, WhatEachLineYields) {
  struct Row {
    const char* name;
    std::string line;
    std::optional<StreamEvent> event;
  };
  const std::vector<Row> rows = {
      {"content", contentLine("Hel"), textPiece("Hel")},
      {"no space after the colon", R"(data:{"choices":[{"delta":{"content":"x"}}]})",
       textPiece("x")},
      {"leading blanks", " \t data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]} \t",
       textPiece("x")},
      {"empty content", contentLine(""), textPiece("")},
      {"escapes decoded", contentLine(R"(a\nb \u00e9 \"q\")"), textPiece("a\nb é \"q\"")},
      {"done marker", "data: [DONE]", std::nullopt},
      {"event line", "event: message", std::nullopt},
      {"comment", ": comment", std::nullopt},
      {"empty", "", std::nullopt},
      {"role only", R"(data: {"choices":[{"delta":{"role":"assistant"}}]})", std::nullopt},
      {"null content", R"(data: {"choices":[{"delta":{"content":null}}]})", std::nullopt},
      {"number content", R"(data: {"choices":[{"delta":{"content":7}}]})", std::nullopt},
      {"empty choices", R"(data: {"choices":[]})", std::nullopt},
      {"a choice that is no object", R"(data: {"choices":[{"delta":{"content":"x"}},1]})",
       std::nullopt},
      {"delta not an object", R"(data: {"choices":[{"delta":"x"}]})", std::nullopt},
      {"top level array", R"(data: [{"choices":[]}])", std::nullopt},
      {"not JSON", "data: {\"choices\":", std::nullopt},
      {"capital prefix", R"(Data: {"choices":[{"delta":{"content":"x"}}]})", std::nullopt},
      {"reasoning_content",
       R"(data: {"choices":[{"delta":{"content":null,"reasoning_content":"hm"}}]})",
       reasoningPiece("hm")},
      {"reasoning", R"(data: {"choices":[{"delta":{"reasoning":"hm"}}]})", reasoningPiece("hm")},
      {"reasoning_content first",
       R"(data: {"choices":[{"delta":{"reasoning":"b","reasoning_content":"a"}}]})",
       reasoningPiece("a")},
      {"empty reasoning_content gives way",
       R"(data: {"choices":[{"delta":{"reasoning_content":"","reasoning":"b"}}]})",
       reasoningPiece("b")},
      {"reasoning beside content",
       R"(data: {"choices":[{"delta":{"content":"x","reasoning":"r"}}]})",
       StreamEvent(TextPiece{"x", "r"})},
      {"empty reasoning, empty content",
       R"(data: {"choices":[{"delta":{"content":"","reasoning":""}}]})", textPiece("")},
      {"empty reasoning, no content", R"(data: {"choices":[{"delta":{"reasoning_content":""}}]})",
       std::nullopt},
      {"reasoning not a text", R"(data: {"choices":[{"delta":{"reasoning":{"text":"r"}}}]})",
       std::nullopt},
      {"error text", R"(data: {"error":"model crashed"})", streamFailure("model crashed")},
      {"error object", R"(data: {"error":{"message":"Context overflow","type":"x"}})",
       streamFailure("Context overflow")},
      {"error object without message", R"(data: {"error":{"code":5}})",
       streamFailure(R"({"code":5})")},
      {"choices win over an error", R"(data: {"error":"e","choices":[{"delta":{"content":"x"}}]})",
       textPiece("x")},
      // Where a member occurs twice the last one counts, as in any parsed document.
      {"second choices", R"(data: {"choices":[{"delta":{"content":"a"}}],"choices":[{"delta":{"content":"b"}}]})",
       textPiece("b")},
      {"second choices not an array", R"(data: {"choices":[{"delta":{"content":"a"}}],"choices":{}})",
       std::nullopt},
      {"second delta", R"(data: {"choices":[{"delta":{"content":"a","reasoning":"r"},"delta":{"content":"b"}}]})",
       textPiece("b")},
      {"second content not a text", R"(data: {"choices":[{"delta":{"content":"a","content":1}}]})",
       std::nullopt},
      {"members of other choices and deeper objects do not count",
       R"(data: {"x":{"choices":[]},"choices":[{"d":{"delta":{}},"delta":{"content":"a","n":{"content":"z"}}},)"
       R"({"delta":{"content":"c"}}]})",
       textPiece("a")},
      {"garbage after the document", contentLine("a") + " x", std::nullopt},
      {"a NUL byte ends the document", contentLine("a") + std::string("\0\xff{", 3), textPiece("a")},
      {"a NUL byte inside a text", contentLine(std::string("a\0b", 3)), std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(eventOfLine(row.line), row.event);
    // The reading from the parsed tree must agree.
    if (row.line.starts_with("data:") && !row.line.ends_with(' ')) {
      EXPECT_EQ(eventOfPayloadTree(std::string_view(row.line).substr(5)), row.event);
    }
  }
}

TEST(StreamLineTest, DeeplyNestedLinesAreSkipped) {
  const auto nestedError = [](std::size_t levels) {
    return "data: {\"error\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  EXPECT_FALSE(eventOfLine(nestedError(100000)).has_value());
  // The document's own object counts as one level.
  EXPECT_FALSE(eventOfLine(nestedError(platform::kMaxJsonDepth)).has_value());
  const auto deepest = eventOfLine(nestedError(platform::kMaxJsonDepth - 1));
  ASSERT_TRUE(deepest.has_value());
  EXPECT_EQ(std::get<StreamFailure>(*deepest).description.size(), 2 * (platform::kMaxJsonDepth - 1));
}

TEST(StreamLineTest, NoPieceIsLostWhereverTheBlocksEnd) {
  // Two-, three- and four-byte characters, CRLF and LF line ends, a comment and the end marker.
  const std::string body = contentLine("Hé") + "\r\n\r\n: keep-alive\n" + contentLine("日本") +
                           "\n\n" + contentLine("🙂!") + "\n\ndata: [DONE]\n\n";
  const std::vector<StreamEvent> whole = {textPiece("Hé"), textPiece("日本"), textPiece("🙂!")};
  ASSERT_EQ(eventsOf(body, {}), whole);
  for (std::size_t cut = 1; cut < body.size(); ++cut) {
    ASSERT_EQ(eventsOf(body, {cut}), whole) << "cut at byte " << cut;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 1; cut < body.size(); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(eventsOf(body, everyByte), whole);
}

TEST(StreamLineTest, LineEndsAndTheLastLineWithoutOne) {
  struct Row {
    const char* name;
    std::string body;
    std::vector<StreamEvent> events;
  };
  const std::vector<Row> rows = {
      {"carriage returns only",
       contentLine("a") + "\r" + contentLine("b") + "\r",
       {textPiece("a"), textPiece("b")}},
      {"form feed and vertical tab end lines",
       contentLine("a") + "\f" + contentLine("b") + "\v",
       {textPiece("a"), textPiece("b")}},
      // The bytes on either side of 10 to 13 do not end a line: a tab is JSON whitespace, and
      // 14 after the document makes the line no JSON.
      {"a tab is no line end", "data:\t" + contentLine("a").substr(6) + "\n", {textPiece("a")}},
      {"byte 14 is no line end", contentLine("a") + "\x0e\n" + contentLine("b"), {textPiece("b")}},
      {"last line without a line end is read at the end",
       contentLine("a") + "\n" + contentLine("b"),
       {textPiece("a"), textPiece("b")}},
      // U+2028 may stand unescaped inside a JSON string: it must not cut the line.
      {"line separator inside the text", contentLine("x\u2028y"), {textPiece("x\u2028y")}},
      {"a line that is not UTF-8 is skipped alone",
       "data: {\"choices\":[{\"delta\":{\"content\":\"\xff\"}}]}\n" + contentLine("ok") + "\n",
       {textPiece("ok")}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(eventsOf(row.body, {}), row.events);
  }
}

TEST(StreamLineTest, ALineBeyondTheLimitIsDroppedAndTheNextOneRead) {
  const std::string longLine = contentLine(std::string(200, 'x'));
  const std::string body = longLine + "\n" + contentLine("after") + "\n";
  const std::vector<StreamEvent> expected = {textPiece("after")};
  // Whole, and in small blocks so that the long line outgrows the limit while it is pending.
  EXPECT_EQ(eventsOf(body, {}, StreamLineParser(100)), expected);
  EXPECT_EQ(eventsOf(body, {10, 60, 150, 230}, StreamLineParser(100)), expected);
  // A pending line that never ends is not kept either.
  EXPECT_TRUE(eventsOf(longLine, {50, 120}, StreamLineParser(100)).empty());
}

std::string escapedInPieces(const std::vector<std::string>& pieces) {
  AnswerEscaper escaper;
  std::string out;
  for (const auto& piece : pieces) out += escaper.feed(piece);
  return out + escaper.finish();
}

TEST(AnswerEscaperTest, EscapesMarkupButKeepsReasoningTags) {
  struct Row {
    const char* name;
    std::string answer;
    std::string page;
  };
  const std::vector<Row> rows = {
      {"plain", "Hello, world", "Hello, world"},
      {"markup", "<script>alert('x')</script> & <b>",
       "&lt;script&gt;alert('x')&lt;/script&gt; &amp; &lt;b&gt;"},
      {"reasoning tags pass", "<think>plan</think><thought>t</thought><reason>r</reason>A",
       "<think>plan</think><thought>t</thought><reason>r</reason>A"},
      {"markup inside reasoning", "<think>a<b</think>", "<think>a&lt;b</think>"},
      {"tag-like but different", "<thinking> <Think> </think >",
       "&lt;thinking&gt; &lt;Think&gt; &lt;/think &gt;"},
      {"unfinished tag at the end", "a <thi", "a &lt;thi"},
      {"lone angle brackets", "1 < 2 > 0 <", "1 &lt; 2 &gt; 0 &lt;"},
      {"utf-8 untouched", "é<think>日本</think>", "é<think>日本</think>"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(escapedInPieces({row.answer}), row.page);
    // The same text cut into two pieces at every byte gives the same page.
    for (std::size_t cut = 1; cut < row.answer.size(); ++cut) {
      EXPECT_EQ(escapedInPieces({row.answer.substr(0, cut), row.answer.substr(cut)}), row.page)
          << "cut at " << cut;
    }
  }
}

TEST(AnswerEscaperTest, HoldsBackOnlyAPossibleTag) {
  AnswerEscaper escaper;
  EXPECT_EQ(escaper.feed("a<"), "a");
  EXPECT_EQ(escaper.feed("/th"), "");
  EXPECT_EQ(escaper.feed("ink>b"), "</think>b");
  EXPECT_EQ(escaper.feed("<x"), "&lt;x");
  EXPECT_EQ(escaper.feed("<reas"), "");
  EXPECT_EQ(escaper.finish(), "&lt;reas");
  EXPECT_EQ(escaper.finish(), "");
}

}  // namespace
}  // namespace velmora::relay
