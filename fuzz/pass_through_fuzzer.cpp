// A program's "/api/chat" body, changed to ask the backend for a stream before it is forwarded.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "relay/pass_through.h"

namespace {

// Bodies nested deeper than this may be refused (forwarded unchanged, with a reason) rather than
// changed; real chat requests stay far below it.
constexpr int kRefusableDepth = 64;

// The deepest nesting of arrays and objects in the text, strings skipped.
int nestingDepth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> body(data, data + size);
  std::string failure;
  const std::vector<uint8_t> forwarded = velmora::relay::forwardedBody(body, &failure);

  const auto original = nlohmann::ordered_json::parse(body, nullptr, false);
  if (original.is_discarded() || !original.is_object()) {
    // Not an object: forwarded as sent, with a reason unless it is an array.
    FUZZ_CHECK(forwarded == body);
    if (!original.is_discarded() && original.is_array()) FUZZ_CHECK(failure.empty());
    if (original.is_discarded()) FUZZ_CHECK(!failure.empty());
    return 0;
  }

  const bool deep = nestingDepth(velmora::fuzz::asText(body)) > kRefusableDepth;
  if (deep && !failure.empty()) {
    FUZZ_CHECK(forwarded == body);
    return 0;
  }
  FUZZ_CHECK(failure.empty());
  const auto changed = nlohmann::ordered_json::parse(forwarded, nullptr, false);
  FUZZ_CHECK(!changed.is_discarded() && changed.is_object());
  FUZZ_CHECK(changed.size() == original.size() + (original.contains("stream") ? 0 : 1));
  FUZZ_CHECK(changed.contains("stream") && changed.at("stream") == true);
  // Every other member keeps its place and (compared where the comparison's recursion is safe)
  // its value.
  auto left = original.begin();
  auto right = changed.begin();
  for (; left != original.end(); ++left, ++right) {
    FUZZ_CHECK(left.key() == right.key());
    if (!deep && left.key() != "stream") FUZZ_CHECK(left.value() == right.value());
  }
  // Forwarding again changes nothing.
  std::string again;
  FUZZ_CHECK(velmora::relay::forwardedBody(forwarded, &again) == forwarded);
  FUZZ_CHECK(again.empty());
  return 0;
}
