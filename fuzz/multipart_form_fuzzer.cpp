// "multipart/form-data" bodies. The input's first line is the request's Content-Type (with its
// boundary), the rest its body.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "http/body_decoding.h"
#include "http/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace velmora;
  const auto [contentType, body] = fuzz::splitFirstLine({data, size});
  http::HttpRequest request;
  request.headers["content-type"] = std::string(contentType);
  request.body.assign(body.begin(), body.end());

  const std::vector<http::MultiPart> parts = http::multipartFormParts(request);
  const std::string mediaType = http::trimSpaces(contentType.substr(0, contentType.find(';')));
  if (mediaType != "multipart/form-data") FUZZ_CHECK(parts.empty());

  // Every part's content is a piece of the body, and no two pieces overlap.
  std::size_t contentBytes = 0;
  for (const http::MultiPart& part : parts) {
    contentBytes += part.body.size();
    for (const auto& [name, value] : part.headers) {
      for (const char c : name) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
      FUZZ_CHECK(fuzz::isUtf8(name));
      FUZZ_CHECK(fuzz::isUtf8(value));
    }
    if (const auto name = part.fieldName()) FUZZ_CHECK(fuzz::isUtf8(*name));
    if (const auto file = part.fileName()) FUZZ_CHECK(fuzz::isUtf8(*file));
  }
  FUZZ_CHECK(contentBytes <= body.size());
  return 0;
}
