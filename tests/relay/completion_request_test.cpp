#include "relay/completion_request.h"

#include <gtest/gtest.h>

namespace velmora::relay {
namespace {

TEST(StripReasoningTest, RemovesShortestSectionsInOrder) {
  struct Row {
    const char* name;
    std::string answer;
    std::string stripped;
  };
  const std::vector<Row> rows = {
      {"across lines", "x<think>plan\nmore</think>y", "xy"},
      {"two sections", "<think>a</think>b<think>c</think>", "b"},
      {"unclosed stays", "<think>open", "<think>open"},
      {"case-sensitive", "<THINK>a</THINK>", "<THINK>a</THINK>"},
      {"nested: shortest from the first opening", "<think>a<think>b</think>c</think>", "c</think>"},
      {"only reasoning", "<think>all of it</think>", ""},
      {"thought after think", "<thought><think>x</think></thought>", ""},
      {"reason last", "a<reason>r</reason>\n<thought>t</thought>b", "a\nb"},
      {"line breaks around stay", "\n<think>x</think>\nanswer\n", "\n\nanswer\n"},
      {"closing before opening", "</think>a<think>b</think>", "</think>a"},
      {"second opening unclosed", "<think>a</think>b<think>c", "b<think>c"},
      {"utf-8 untouched", "é<think>ü</think>日本", "é日本"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(stripReasoning(row.answer), row.stripped);
  }
}

TEST(StripReasoningTest, FiveMegabyteAnswerDoesNotExhaustTheStack) {
  std::string answer = "<think>";
  answer.append(5 * 1024 * 1024, 'x');
  answer += "</think>answer";
  answer.append(1024 * 1024, '\n');
  EXPECT_EQ(stripReasoning(answer), "answer" + std::string(1024 * 1024, '\n'));
  const std::string unclosed = "<think>" + std::string(5 * 1024 * 1024, 'y');
  EXPECT_EQ(stripReasoning(unclosed), unclosed);
}

}  // namespace
}  // namespace velmora::relay
