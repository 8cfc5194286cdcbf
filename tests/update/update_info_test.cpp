#include "update/update_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/named_rows.h"

namespace velmora::update {
namespace {

using velmora::testing::operator<<;

std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

struct VersionCase {
  const char* name;
  const char* latest;
  const char* current;
  bool newer;
};

class IsNewerVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(IsNewerVersionTest, ComparesNumbersPositionByPosition) {
  const auto& row = GetParam();
  EXPECT_EQ(isNewerVersion(row.latest, row.current), row.newer)
      << row.latest << " against " << row.current;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, IsNewerVersionTest,
    ::testing::Values(VersionCase{"TenAfterNine", "1.10", "1.9", true},
                    VersionCase{"NineBeforeTen", "1.9", "1.10", false},
                    VersionCase{"MissingPositionIsZero", "1.2", "1.2.0", false},
                    VersionCase{"ExtraPositionIsNewer", "1.2.1", "1.2", true},
                    VersionCase{"UnreadableComponentDropped", "2.0b1", "1.9", true},
                    VersionCase{"EqualTexts", "1.2.3", "1.2.3", false},
                    VersionCase{"EarlierPositionDecides", "2.0", "1.99", true},
                    VersionCase{"EmptyComponentsDropped", "1..3", "1.2", true},
                    VersionCase{"BothEmpty", "", "", false},
                    VersionCase{"NothingReadableAgainstZero", "abc", "0", false},
                    VersionCase{"LeadingPlus", "+2", "1", true},
                    VersionCase{"NegativeBelowMissing", "1.-1", "1", false},
                    VersionCase{"LeadingZeros", "1.02", "1.2", false},
                    VersionCase{"OverflowDropped", "1.99999999999999999999", "1.0", false},
                    VersionCase{"LargestNumber", "9223372036854775807", "9223372036854775806",
                                true},
                    VersionCase{"PlusThenMinusDropped", "1.+-5", "1.-4", true},
                    VersionCase{"BlankInsideDropped", "1. 2", "1.1", false},
                    VersionCase{"DroppedComponentMovesNextUp", "1.x.3", "1.2", true}),
    [](const ::testing::TestParamInfo<VersionCase>& row) { return std::string(row.param.name); });

TEST(VersionNumbersTest, KeepsOnlyReadableComponents) {
  EXPECT_EQ(versionNumbers("2.0b1"), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(versionNumbers("1..2."), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(versionNumbers("+3.-4.+.-"), (std::vector<std::int64_t>{3, -4}));
  EXPECT_EQ(versionNumbers("-9223372036854775808"), (std::vector<std::int64_t>{INT64_MIN}));
  EXPECT_TRUE(versionNumbers("").empty());
}

TEST(ParseUpdateInfoTest, ReadsEveryEntryAndIgnoresOtherMembers) {
  const auto map = parseUpdateInfo(bytes(R"({
    "Velmora": {"latestVersion": "1.3.0", "downloadURL": "https://velmora.example/dl",
                "notes": ["ignored", {"deep": null}]},
    "Other": {"downloadURL": "https://other.example/", "latestVersion": "7"}
  })"));
  const UpdateInfoMap expected{
      {"Velmora", {"1.3.0", "https://velmora.example/dl"}},
      {"Other", {"7", "https://other.example/"}},
  };
  EXPECT_EQ(map, expected);
  EXPECT_TRUE(parseUpdateInfo(bytes(" {} ")).empty());
}

struct RejectCase {
  const char* name;
  std::string document;
  // Empty for dataCorrupted, whose text is the JSON parser's.
  std::optional<DecodingError::Case> error;
};

class RejectedDocumentTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectedDocumentTest, RaisesDecodingError) {
  const auto& row = GetParam();
  try {
    parseUpdateInfo(bytes(row.document));
    FAIL() << "decoded";
  } catch (const DecodingError& error) {
    if (row.error) {
      EXPECT_EQ(error.value(), *row.error) << error.description();
    } else {
      EXPECT_TRUE(std::holds_alternative<DecodingError::DataCorrupted>(error.value()))
          << error.description();
    }
    EXPECT_EQ(std::string(error.description()).find('\n'), std::string::npos);
  }
}

const std::string kGoodEntry = R"({"latestVersion": "1.3", "downloadURL": "https://v.example/"})";

INSTANTIATE_TEST_SUITE_P(
    Documents, RejectedDocumentTest,
    ::testing::Values(
        RejectCase{"OwnEntryWithoutDownloadURL", R"({"Velmora": {"latestVersion": "1.3"}})",
                   DecodingError::KeyNotFound{"downloadURL", {"Velmora"}}},
        RejectCase{"OtherEntryWithoutDownloadURL",
                   R"({"Velmora": )" + kGoodEntry + R"(, "Zed": {"latestVersion": "1"}})",
                   DecodingError::KeyNotFound{"downloadURL", {"Zed"}}},
        RejectCase{"EntryWithoutVersion", R"({"Velmora": {"downloadURL": "u"}})",
                   DecodingError::KeyNotFound{"latestVersion", {"Velmora"}}},
        RejectCase{"VersionAsNumber", R"({"Velmora": {"latestVersion": 1.3, "downloadURL": "u"}})",
                   DecodingError::TypeMismatch{{"Velmora", "latestVersion"}, "string", "number"}},
        RejectCase{"URLAsNull", R"({"Velmora": {"latestVersion": "1", "downloadURL": null}})",
                   DecodingError::TypeMismatch{{"Velmora", "downloadURL"}, "string", "null"}},
        RejectCase{"EntryAsString", R"({"Velmora": "1.3"})",
                   DecodingError::TypeMismatch{{"Velmora"}, "object", "string"}},
        RejectCase{"TopLevelArray", R"([)" + kGoodEntry + "]",
                   DecodingError::TypeMismatch{{}, "object", "array"}},
        RejectCase{"TopLevelString", R"("Velmora")",
                   DecodingError::TypeMismatch{{}, "object", "string"}},
        RejectCase{"Truncated", R"({"Velmora": {"latestVersion": "1.)", std::nullopt},
        RejectCase{"Empty", "", std::nullopt}, RejectCase{"TrailingGarbage", "{} {}", std::nullopt},
        RejectCase{"InvalidUtf8", "{\"Velmora\xff\": {}}", std::nullopt},
        RejectCase{"NumberBeyondDouble",
                   R"({"Velmora": {"latestVersion": "1", "downloadURL": "u", "n": 1e999}})",
                   std::nullopt},
        RejectCase{"Html", "<html><body>502 Bad Gateway</body></html>", std::nullopt}),
    [](const ::testing::TestParamInfo<RejectCase>& row) { return std::string(row.param.name); });

TEST(ParseUpdateInfoTest, SurvivesDeepNesting) {
  const std::string open(200000, '[');
  const std::string close(200000, ']');
  const std::string prefix = R"({"Velmora": {"latestVersion": "1", "downloadURL": "u", "x": )";
  EXPECT_EQ(parseUpdateInfo(bytes(prefix + open + close + "}}")).size(), 1u);
  EXPECT_THROW(parseUpdateInfo(bytes(prefix + open)), DecodingError);
}

TEST(DecodingErrorTest, PrintedFormQuotesMemberNames) {
  try {
    parseUpdateInfo(bytes(R"({"Evil\nApp": {"latestVersion": "1"}})"));
    FAIL() << "decoded";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.description(), R"(keyNotFound: "downloadURL" at ["Evil\nApp"])");
  }
}

TEST(DecodeUpdateInfoTest, LogsOneLineAndGivesNoMapOnFailure) {
  ::testing::internal::CaptureStdout();
  const auto map = decodeUpdateInfo(bytes(R"({"Velmora": {"latestVersion": 2}})"));
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(map.has_value());
  EXPECT_EQ(output,
            "JSONのパースエラー: typeMismatch: expected string, found number at [\"Velmora\", "
            "\"latestVersion\"]\n");

  ::testing::internal::CaptureStdout();
  const auto good = decodeUpdateInfo(bytes(R"({"Velmora": )" + kGoodEntry + "}"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(good->at("Velmora").latestVersion, "1.3");
}

}  // namespace
}  // namespace velmora::update
