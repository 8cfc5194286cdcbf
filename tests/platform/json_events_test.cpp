#include "platform/json_events.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {
namespace {

// The events in a short notation: { [ } for containers, k:NAME, s:TEXT, v for other values.
class Recorder final : public JsonEventSink {
 public:
  std::string events;
  bool beginContainer(bool isObject) override { return add(isObject ? "{" : "["); }
  bool endContainer() override { return add("}"); }
  bool key(std::string_view name) override { return add("k:" + std::string(name)); }
  bool string(std::string_view text) override { return add("s:" + std::string(text)); }
  bool scalar() override { return add("v"); }

 private:
  bool add(const std::string& event) {
    events += events.empty() ? event : " " + event;
    return true;
  }
};

std::optional<std::string> eventsOf(std::string_view text) {
  Recorder recorder;
  if (!scanJson(text, recorder)) return std::nullopt;
  return recorder.events;
}

TEST(JsonEventsTest, AcceptsWhatTheTreeParserAccepts) {
  struct Row {
    const char* name;
    std::string text;
    std::optional<std::string> events;  // nothing: refused
  };
  const std::vector<Row> rows = {
      {"object", R"( {"a": [1, -0.5e+3, true, null], "b": {}} )", "{ k:a [ v v v v } k:b { } }"},
      {"escapes", R"(["\"\\\/\b\f\n\r\t", "\u00e9\ud83d\ude00"])", "[ s:\"\\/\b\f\n\r\t s:é😀 }"},
      {"raw UTF-8", "\"caf\xc3\xa9\"", "s:café"},
      {"byte order mark", "\xef\xbb\xbf[]", "[ }"},
      {"a NUL byte ends the input", std::string("[1]\0garbage", 11), "[ v }"},
      {"top-level number", "12", "v"},
      {"long integer", "123456789012345678901234567890", "v"},
      {"underflow is zero", "1e-400", "v"},
      {"overflow", "1e400", std::nullopt},
      {"overflowing integer", std::string(400, '9'), std::nullopt},
      {"leading zero", "01", std::nullopt},
      {"bare fraction", "1.", std::nullopt},
      {"trailing comma", "[1,]", std::nullopt},
      {"missing colon", R"({"a" 1})", std::nullopt},
      {"lone high surrogate", R"("\ud800")", std::nullopt},
      {"lone low surrogate", R"("\udc00")", std::nullopt},
      {"control character", "\"a\tb\"", std::nullopt},
      {"surrogate in UTF-8", "\"\xed\xa0\x80\"", std::nullopt},
      {"overlong UTF-8", "\"\xc0\xaf\"", std::nullopt},
      {"comment", "[1] // no", std::nullopt},
      {"second value", "[] []", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(eventsOf(row.text), row.events);
  }
}

// Strings are passed over many bytes at a time: whatever ends or interrupts a run of plain
// bytes must be seen in any place of it, near the end of the input as well.
TEST(JsonEventsTest, StringsReadTheSameWhereverTheirSpecialBytesSit) {
  struct Row {
    const char* name;
    std::string raw;                    // as it stands in the document
    std::optional<std::string> decoded;  // nothing: the document is refused
  };
  const Row rows[] = {
      {"escaped quote", "\\\"", "\""},
      {"escaped backslash", "\\\\", "\\"},
      {"escaped line feed", "\\n", "\n"},
      {"DEL is plain", "\x7f", "\x7f"},
      {"two-byte character", "\xc3\xa9", "\xc3\xa9"},
      {"control byte", "\x1f", std::nullopt},
      {"NUL", std::string(1, '\0'), std::nullopt},
      {"lone continuation byte", "\x80", std::nullopt},
  };
  const std::string plain = "abcdefghijklmnopq";
  for (const Row& row : rows) {
    for (std::size_t at = 0; at <= plain.size(); ++at) {
      for (const std::string after : {"]", "  ,1]"}) {
        SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(at) + " before \"" + after + "\"");
        std::string text = plain;
        text.insert(at, row.raw);
        std::optional<std::string> expected;
        if (row.decoded) {
          expected = plain;
          expected->insert(at, *row.decoded);
          expected = "[ s:" + *expected + (after == "]" ? " }" : " v }");
        }
        EXPECT_EQ(eventsOf("[\"" + text + "\"" + after), expected);
      }
    }
  }
}

TEST(JsonEventsTest, DeepNestingNeedsNoStackAndTheSinkCanStop) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  Recorder recorder;
  EXPECT_TRUE(scanJson(deep, recorder));

  class StopAtSecondKey final : public JsonEventSink {
   public:
    int keys = 0;
    bool beginContainer(bool) override { return true; }
    bool endContainer() override { return true; }
    bool key(std::string_view) override { return ++keys < 2; }
    bool string(std::string_view) override { return true; }
    bool scalar() override { return true; }
  } stopper;
  EXPECT_FALSE(scanJson(R"({"a":1,"b":2,"c":3})", stopper));
  EXPECT_EQ(stopper.keys, 2);
}

}  // namespace
}  // namespace velmora::platform
