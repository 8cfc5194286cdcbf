#include "http/body_decoding.h"

#include <gtest/gtest.h>

namespace velmora::http {
namespace {

// Each decoder reads its own media type only, so a row's text is what one of them found: fields
// as "name=value&", parts as "field|file|type|body;" ("-" for what is absent).
TEST(BodyDecodingTest, UrlencodedAndMultipartForms) {
  const std::string form = "application/x-www-form-urlencoded";
  const std::string type = "multipart/form-data; boundary=XY";
  const std::string field = "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\none\r\n";
  const std::string binary("\0\r\n--X\xFF", 8);  // a line break and most of a marker inside
  const std::string file =
      "--XY\r\nContent-Disposition: form-data; name=f; filename=\"b.bin\"\r\n"
      "Content-Type: image/png\r\n\r\n" +
      binary + "\r\n";
  const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
      {"in order, duplicates kept", form + "; charset=utf-8", "a=1&b=&a=3", "a=1&b=&a=3&"},
      {"plus and escapes", form, "q=a+b%26c%3D&%C3%A9=%20", "q=a b&c=&\xC3\xA9= &"},
      {"pieces that do not decode", form, "a&b=1=2&c=%zz&d=%FF&e=5", "=&=&=&=&e=5&"},
      {"body that is not UTF-8", form, "a=\xFF", ""},
      {"other media type", "text/plain", "a=1", ""},
      {"field and binary file", type, field + file + "--XY--\r\n",
       "a|-|-|one;f|b.bin|image/png|" + binary + ";"},
      {"quoted boundary", "multipart/form-data; charset=x; boundary=\"XY\"", field + "--XY--",
       "a|-|-|one;"},
      {"bare line feeds, no headers", type, "--XY\n\nv\n--XY--\n", "-|-|-|v;"},
      {"cut short: the parts before", type, field + "--XY\r\nX: y\r\n\r\ncut", "a|-|-|one;"},
      {"preamble", type, "hello\r\n" + field + "--XY--", ""},
      {"no boundary", "multipart/form-data", field + "--XY--", ""},
  };
  for (const auto& [row, contentType, body, expected] : rows) {
    SCOPED_TRACE(row);
    HttpRequest request;
    request.headers["content-type"] = contentType;
    request.body.assign(body.begin(), body.end());
    std::string found;
    for (const auto& [name, value] : urlencodedFormFields(request))
      found += name + "=" + value + "&";
    for (const MultiPart& part : multipartFormParts(request)) {
      const auto partType = part.headers.find("content-type");
      found += part.fieldName().value_or("-") + "|" + part.fileName().value_or("-") + "|" +
               (partType == part.headers.end() ? "-" : partType->second) + "|" +
               std::string(part.body.begin(), part.body.end()) + ";";
    }
    EXPECT_EQ(found, expected);
  }
}

}  // namespace
}  // namespace velmora::http
