// "application/x-www-form-urlencoded" bodies. The input's first line is the request's
// Content-Type, the rest its body.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "http/body_decoding.h"
#include "http/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace velmora;
  const auto [contentType, body] = fuzz::splitFirstLine({data, size});
  http::HttpRequest request;
  request.headers["content-type"] = std::string(contentType);
  request.body.assign(body.begin(), body.end());

  const std::string_view text = fuzz::asText(body);
  FUZZ_CHECK(http::isWellFormedUtf8(text) == fuzz::isUtf8(text));
  FUZZ_CHECK(http::isWellFormedUtf8(contentType) == fuzz::isUtf8(contentType));

  const http::FormFields fields = http::urlencodedFormFields(request);
  const std::string mediaType = http::trimSpaces(contentType.substr(0, contentType.find(';')));
  if (mediaType != "application/x-www-form-urlencoded" || !fuzz::isUtf8(text)) {
    FUZZ_CHECK(fields.empty());
    return 0;
  }
  // One field for every piece between "&"s, empty pieces and undecodable ones included.
  FUZZ_CHECK(fields.size() ==
             static_cast<std::size_t>(std::count(text.begin(), text.end(), '&')) + 1);
  for (const auto& [name, value] : fields) {
    FUZZ_CHECK(fuzz::isUtf8(name));
    FUZZ_CHECK(fuzz::isUtf8(value));
  }
  return 0;
}
