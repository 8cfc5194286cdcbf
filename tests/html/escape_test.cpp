#include "html/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::html {
namespace {

struct EscapeCase {
  const char* name;
  std::string input;
  std::string text;       // escapeHtmlText
  std::string attribute;  // escapeHtmlAttribute
};

void PrintTo(const EscapeCase& row, std::ostream* out) {
  *out << row.name;
}

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, EscapesMarkupCharacters) {
  EXPECT_EQ(escapeHtmlText(GetParam().input), GetParam().text);
  EXPECT_EQ(escapeHtmlAttribute(GetParam().input), GetParam().attribute);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeTest,
    ::testing::Values(EscapeCase{"empty", "", "", ""},
                      EscapeCase{"plain", "abc 123", "abc 123", "abc 123"},
                      EscapeCase{"tag", "<script>", "&lt;script&gt;", "&lt;script&gt;"},
                      EscapeCase{"ampersandFirst", "&lt;", "&amp;lt;", "&amp;lt;"},
                      EscapeCase{"quotes", "a\"b'c", "a\"b'c", "a&quot;b&#39;c"},
                      EscapeCase{"breakOutOfAttribute", "x\" onload=\"alert(1)",
                                 "x\" onload=\"alert(1)", "x&quot; onload=&quot;alert(1)"},
                      EscapeCase{"utf8Kept", "caf\xC3\xA9 \xE2\x9C\x85", "caf\xC3\xA9 \xE2\x9C\x85",
                                 "caf\xC3\xA9 \xE2\x9C\x85"},
                      EscapeCase{"nulKept", std::string("a\0b", 3), std::string("a\0b", 3),
                                 std::string("a\0b", 3)}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

struct PercentCase {
  const char* name;
  std::string input;
  std::string expected;
};

void PrintTo(const PercentCase& row, std::ostream* out) {
  *out << row.name;
}

class PercentEncodeTest : public ::testing::TestWithParam<PercentCase> {};

TEST_P(PercentEncodeTest, EncodesAllButUnreserved) {
  EXPECT_EQ(percentEncodePathSegment(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PercentEncodeTest,
    ::testing::Values(PercentCase{"empty", "", ""},
                      PercentCase{"unreserved", "AZaz09-._~", "AZaz09-._~"},
                      PercentCase{"space", "my file.txt", "my%20file.txt"},
                      PercentCase{"separators", "a/b?c#d", "a%2Fb%3Fc%23d"},
                      PercentCase{"percentItself", "100%", "100%25"},
                      PercentCase{"markupAndQuotes", "<\"'&>", "%3C%22%27%26%3E"},
                      PercentCase{"utf8BytesUpperHex", "\xC3\xA9", "%C3%A9"},
                      PercentCase{"controlAndHighBytes", std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
                      PercentCase{"dotSegmentKept", "..", ".."}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
}  // namespace velmora::html
