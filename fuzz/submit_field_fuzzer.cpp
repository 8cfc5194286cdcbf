// The "/submit" form body: every piece between "&"s is decoded as a field, as the handler does.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "relay/relay_routes.h"

namespace {

void checkPiece(std::string_view piece) {
  const auto field = velmora::relay::decodeSubmitField(piece);
  if (!field) return;
  // Exactly two non-empty parts around the "="s: the name is the first, as sent.
  FUZZ_CHECK(piece.find('=') != std::string_view::npos);
  FUZZ_CHECK(!field->name.empty());
  FUZZ_CHECK(field->name.find('=') == std::string::npos);
  FUZZ_CHECK(piece.find(field->name) != std::string_view::npos);
  // The value is decoded text, or "" when it does not decode.
  FUZZ_CHECK(velmora::fuzz::isUtf8(field->value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view body = velmora::fuzz::asText({data, size});
  checkPiece(body);
  for (;;) {
    const std::size_t amp = body.find('&');
    checkPiece(body.substr(0, amp));
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return 0;
}
