#include "platform/ascii.h"

#include <gtest/gtest.h>

namespace velmora::platform {
namespace {

TEST(AsciiTest, OnlyAsciiLettersChangeCase) {
  struct Row {
    const char* name;
    std::string a;
    std::string b;
    bool equal;
  };
  const Row rows[] = {
      {"same", "Content-Length", "Content-Length", true},
      {"other case", "content-LENGTH", "Content-Length", true},
      {"different length", "Connection", "Connections", false},
      {"different letter", "Connection", "Connectiom", false},
      {"punctuation is not a letter", "[", "{", false},
      {"bytes beyond ASCII compare as they are", "\xc3\x89", "\xc3\xa9", false},
      {"empty", "", "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(equalsIgnoringAsciiCase(row.a, row.b), row.equal);
  }
  EXPECT_EQ(lowercaseAscii("Keep-Alive \xc3\x89 [Z]"), "keep-alive \xc3\x89 [z]");
}

}  // namespace
}  // namespace velmora::platform
