#include "http/body_decoding.h"

#include <gtest/gtest.h>

namespace {

using namespace velmora::http;

HttpRequest requestWith(std::optional<std::string> contentType, std::string_view body) {
  HttpRequest request;
  if (contentType) request.headers["content-type"] = *contentType;
  request.body.assign(body.begin(), body.end());
  return request;
}

const std::string kForm = "application/x-www-form-urlencoded";

TEST(UrlencodedFormFields, DecodesEachPieceOnItsOwn) {
  struct Row {
    const char* name;
    std::optional<std::string> contentType;
    std::string body;
    FormFields expected;
  };
  const std::vector<Row> rows = {
      {"two fields and a charset",
       kForm + "; charset=UTF-8",
       "user=ann&password=x",
       {{"user", "ann"}, {"password", "x"}}},
      {"capitalised media type", "Application/x-www-form-urlencoded", "user=ann", {}},
      {"no content type", std::nullopt, "user=ann", {}},
      {"multipart media type", "multipart/form-data; boundary=x", "user=ann", {}},
      {"empty body", kForm, "", {{"", ""}}},
      {"repeated name", kForm, "a=1&a=2", {{"a", "1"}, {"a", "2"}}},
      {"empty piece between", kForm, "a=1&&b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"trailing ampersand", kForm, "a=1&", {{"a", "1"}, {"", ""}}},
      {"no equals sign", kForm, "flag&a=1", {{"", ""}, {"a", "1"}}},
      {"two equals signs", kForm, "a=1=2&b=2", {{"", ""}, {"b", "2"}}},
      {"empty value", kForm, "user=&b=2", {{"user", ""}, {"b", "2"}}},
      {"plus and escapes", kForm, "first+name=a%2Bb%20c+d", {{"first name", "a+b c d"}}},
      {"lower-case hex and UTF-8", kForm, "n=%c3%a9t%C3%A9", {{"n", "été"}}},
      {"bad escapes", kForm, "a=%4&b=%zz&c=%&d=ok", {{"", ""}, {"", ""}, {"", ""}, {"d", "ok"}}},
      {"escape that is not UTF-8", kForm, "a=%FF&b=2", {{"", ""}, {"b", "2"}}},
      {"body that is not UTF-8", kForm, "a=\xFF&b=2", {}},
      {"body with a surrogate", kForm, "a=\xED\xA0\x80", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HttpRequest request = requestWith(row.contentType, row.body);
    EXPECT_EQ(urlencodedFormFields(request), row.expected);
    EXPECT_EQ(urlencodedFormFields(request), row.expected);  // decoding twice changes nothing
  }
}

struct ExpectedPart {
  std::optional<std::string> fieldName;
  std::optional<std::string> fileName;
  std::string body;
};

void expectParts(const std::vector<MultiPart>& parts, const std::vector<ExpectedPart>& expected) {
  ASSERT_EQ(parts.size(), expected.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parts[i].fieldName(), expected[i].fieldName);
    EXPECT_EQ(parts[i].fileName(), expected[i].fileName);
    EXPECT_EQ(std::string(parts[i].body.begin(), parts[i].body.end()), expected[i].body);
  }
}

TEST(MultipartFormParts, ReadsFieldsAndAFileByteForByte) {
  const std::string file("line one\r\nline two\r\n\x00\xFF\r", 23);
  const std::string body =
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"user\"\r\n"
      "\r\n"
      "ann\r\n"
      "--XyZ\r\n"
      "content-disposition: form-data; name=note\r\n"
      "\r\n"
      "two\nlines\r\n"
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"upload\"; filename=\"report.bin\"\r\n"
      "Content-Type:   application/octet-stream  \r\n"
      "\r\n" +
      file +
      "\r\n"
      "--XyZ--\r\n";
  const std::vector<MultiPart> parts =
      multipartFormParts(requestWith("multipart/form-data; boundary=XyZ", body));
  expectParts(parts, {{"user", std::nullopt, "ann"},
                      {"note", std::nullopt, "two\nlines"},
                      {"upload", "report.bin", file}});
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[2].headers.at("content-type"), "application/octet-stream");
}

TEST(MultipartFormParts, StopsAtWhatItCannotRead) {
  struct Row {
    const char* name;
    std::string contentType;
    std::string body;
    std::vector<ExpectedPart> expected;
  };
  const std::string part = "--b\r\nContent-Disposition: form-data; name=a\r\n\r\n";
  const std::vector<Row> rows = {
      {"quoted boundary", "multipart/form-data; boundary=\"b\"", part + "1\r\n--b--\r\n", {{"a", std::nullopt, "1"}}},
      {"later boundary wins",
       "multipart/form-data; boundary=x; boundary=b",
       part + "1\r\n--b--\r\n",
       {{"a", std::nullopt, "1"}}},
      {"empty boundary", "multipart/form-data; boundary=", part + "1\r\n--b--\r\n", {}},
      {"no boundary", "multipart/form-data", part + "1\r\n--b--\r\n", {}},
      {"capitalised media type", "Multipart/form-data; boundary=b", part + "1\r\n--b--\r\n", {}},
      {"preamble", "multipart/form-data; boundary=b", "hello\r\n" + part + "1\r\n--b--\r\n", {}},
      {"missing closing marker",
       "multipart/form-data; boundary=b",
       part + "1\r\n" + part + "2 never ends\r\n",
       {{"a", std::nullopt, "1"}}},
      {"bare LF before the marker",
       "multipart/form-data; boundary=b",
       part + "1\n\n--b--",
       {{"a", std::nullopt, "1\n"}}},
      {"CR alone before the marker",
       "multipart/form-data; boundary=b",
       part + "1\r--b--",
       {{"a", std::nullopt, "1\r"}}},
      {"marker inside a line",
       "multipart/form-data; boundary=b",
       part + "x--b--",
       {{"a", std::nullopt, "x"}}},
      {"colon inside a file name",
       "multipart/form-data; boundary=b",
       "--b\r\nContent-Disposition: form-data; name=f; filename=\"c:x.txt\"\r\n\r\nz\r\n--b--",
       {{std::nullopt, std::nullopt, "z"}}},
      {"header that is not UTF-8",
       "multipart/form-data; boundary=b",
       "--b\r\nContent-Disposition: form-data; name=\xFF\r\n\r\nz\r\n--b--",
       {{std::nullopt, std::nullopt, "\r\nz"}}},  // the headers end at the bad line
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectParts(multipartFormParts(requestWith(row.contentType, row.body)), row.expected);
  }
}

TEST(MultiPartDispositionParameters, TakeTheTextAfterTheLastEqualsSign) {
  struct Row {
    const char* name;
    std::string disposition;
    std::optional<std::string> fieldName;
    std::optional<std::string> fileName;
  };
  const std::vector<Row> rows = {
      {"quoted", "form-data; name=\"a\"; filename=\"b.txt\"", "a", "b.txt"},
      {"unquoted", "form-data; name=a", "a", std::nullopt},
      {"names compare exactly", "form-data; Name=a; FILENAME=b", std::nullopt, std::nullopt},
      {"equals inside a value", "form-data; name=\"a=b\"", "b\"", std::nullopt},
      {"semicolon inside a quoted value", "form-data; name=\"a;b\"", "\"a", std::nullopt},
      {"bare parameter word", "form-data; name; filename=f", std::nullopt, "f"},
      {"first of two", "form-data; name=a; name=b", "a", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MultiPart part;
    part.headers["content-disposition"] = row.disposition;
    EXPECT_EQ(part.fieldName(), row.fieldName);
    EXPECT_EQ(part.fileName(), row.fileName);
  }
  EXPECT_EQ(MultiPart{}.fieldName(), std::nullopt);
}

TEST(Unquoted, RemovesOnePairOfQuotes) {
  EXPECT_EQ(unquoted("\"a\""), "a");
  EXPECT_EQ(unquoted("\"\""), "");
  EXPECT_EQ(unquoted("\"\"a\"\""), "\"a\"");
  EXPECT_EQ(unquoted("\""), "\"");
  EXPECT_EQ(unquoted("\"a"), "\"a");
  EXPECT_EQ(unquoted("a\""), "a\"");
  EXPECT_EQ(unquoted("\"é\""), "é");
}

}  // namespace
