// The scanners that meet outside bytes: JSON, UTF-8, word-at-a-time searches, console escapes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/byte_scan.h"
#include "platform/console.h"
#include "platform/json_depth.h"
#include "platform/json_events.h"
#include "platform/utf8.h"

namespace velmora::platform {
namespace {

// Events as "{ k:NAME [ v s:TEXT ] ]"; the scan is told to stop after `stopAfter` events.
struct Recorder final : JsonEventSink {
  std::string events;
  int stopAfter = -1;
  bool beginContainer(bool isObject) override { return add(isObject ? "{" : "["); }
  bool endContainer() override { return add("]"); }
  bool key(std::string_view name) override { return add("k:" + std::string(name)); }
  bool string(std::string_view text) override { return add("s:" + std::string(text)); }
  bool scalar() override { return add("v"); }
  bool add(const std::string& event) {
    return events += (events.empty() ? "" : " ") + event, stopAfter-- != 0;
  }
};

TEST(JsonTest, ScanAgreesWithTheTreeParserReportsInOrderAndDepthIsCountedToTheLimit) {
  const std::string deep(100000, '[');  // too large for a seed of the fuzz target's corpus
  for (const std::string& text : {deep + std::string(deep.size(), ']'), deep}) {
    Recorder recorder;
    EXPECT_EQ(scanJson(text, recorder), nlohmann::json::accept(text));
  }
  const std::string document = R"({"b": [1, "x\"\u00e9\n", {}], "a": null, "c\\": {"d": []}})";
  Recorder recorder, stopper;
  stopper.stopAfter = 3;
  ASSERT_TRUE(scanJson(document, recorder));
  EXPECT_EQ(recorder.events, "{ k:b [ v s:x\"\xC3\xA9\n { ] ] k:a v k:c\\ { k:d [ ] ] ]");
  EXPECT_FALSE(scanJson(document, stopper));
  EXPECT_EQ(stopper.events, "{ k:b [ v");
  const auto nested = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_FALSE(jsonNestsDeeperThan(nested(kMaxJsonDepth)));
  EXPECT_TRUE(jsonNestsDeeperThan(nested(kMaxJsonDepth + 1)));
  EXPECT_FALSE(jsonNestsDeeperThan(R"(["[[\"[[", "\\", {"{{": 1}])", 2));
  EXPECT_TRUE(jsonNestsDeeperThan(R"(["\\", [[]]])", 2));
}

// Strings are passed over eight bytes at a time: a byte that ends or breaks a run of plain ones
// must count wherever it sits, near the end of the input too. UTF-8 at its bounds (overlong,
// surrogates, beyond U+10FFFF, truncated) and escapes of each length meet the same comparison.
TEST(JsonTest, ScanDecodesStringsAsTheTreeParserDoes) {
  // clang-format off
  for (const char* special : {"\\\"", "\\\\", "\\u0041", "\\u00e9", "\\uffff", "\\ud83d\\ude00", "\\ud800", "\x7f",
           "\x1f", "", "\xC2\x80", "\xC1\xBF", "\xE0\xA0\x80", "\xE0\x9F\xBF", "\xED\x9F\xBF", "\xED\xA0\x80",
           "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80",
           "\xF5\x80\x80\x80", "\x80", "\xE2\x82", "\xFF"}) {
    // clang-format on
    for (std::size_t at = 1; at <= 18; ++at) {
      std::string text = "\"" + std::string(17, 'a') + "\"";
      text.insert(at, *special ? std::string(special) : std::string(1, '\0'));
      Recorder recorder;
      const auto tree = nlohmann::json::parse(text, nullptr, false);
      ASSERT_EQ(scanJson(text, recorder), !tree.is_discarded()) << ::testing::PrintToString(text);
      EXPECT_EQ(recorder.events, tree.is_discarded() ? "" : "s:" + tree.get<std::string>());
      EXPECT_TRUE(static_cast<uint8_t>(*special) < 0x7f ||
                  isWellFormedUtf8(text) == !tree.is_discarded());
    }
  }
}

// Every parameter, and every byte value at every position among neighbours on either side of
// the bounds: a borrow or carry between bytes marks a wrong neighbour or hides a match.
TEST(ByteScanTest, MasksMarkExactlyTheMatchingBytes) {
  using namespace byte_scan;
  int failures = 0;
  const auto check = [&](const char* name, unsigned p, auto mask, auto matches) {
    for (const unsigned neighbour : {0u, 1u, 127u, 128u, 255u, p - 1, p, p + 1}) {
      for (std::size_t at = 0; at < 8; ++at) {
        std::array<uint8_t, 8> bytes, marks;
        bytes.fill(static_cast<uint8_t>(neighbour));
        for (unsigned value = 0; value < 256; ++value) {
          bytes[at] = static_cast<uint8_t>(value);
          for (std::size_t i = 0; i < 8; ++i) marks[i] = matches(bytes[i], p) ? 0x80 : 0;
          if (mask(loadWord(bytes.data()), p) != loadWord(marks.data()) && ++failures <= 3) {
            ADD_FAILURE() << name << "(" << p << "): " << value << " at " << at << " among "
                          << neighbour;
          }
        }
      }
    }
  };
  for (unsigned p = 1; p <= 128; ++p) check("bytesBelow", p, bytesBelow, std::less<unsigned>());
  for (unsigned p = 0; p <= 255; ++p) check("bytesEqual", p, bytesEqual, std::equal_to<unsigned>());
  check(
      "bytesFrom128", 0, [](uint64_t word, unsigned) { return bytesFrom128(word); },
      [](unsigned byte, unsigned) { return byte >= 128; });
}

TEST(ConsoleTest, ControlsAndBytesThatAreNotUtf8AreShownEscaped) {
  const std::pair<std::string, std::string> rows[] = {
      {"tab\tline\n\x1B[2J\x7F", "tab\tline\n\\x1B[2J\\x7F"},
      {"C1 \u009B31m \u0085", "C1 \\u009B31m \\u0085"},
      {"kept \xC2\xA0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80",
       "kept \xC2\xA0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
      {"\xFF parser \xC3 \xED\xA0\x80", "\\xFF parser \\xC3 \\xED\\xA0\\x80"},
  };
  for (const auto& [text, shown] : rows) EXPECT_EQ(escapeTerminalControls(text, true), shown);
  // Long turns and bodies show their beginning, never half a character.
  const std::string limit(kConsoleExcerptBytes, 'a');
  EXPECT_EQ(consoleExcerpt(limit), limit);
  EXPECT_EQ(consoleExcerpt(limit.substr(1) + "é!"), limit.substr(1) + "… (3 more bytes)");
}

}  // namespace
}  // namespace velmora::platform
