// A backend's streamed chat completion, cut into blocks anywhere. The events must not depend on
// where the blocks end: they are compared with those of the whole body split into lines here,
// each line read from its parsed document tree (the slow reading the relay's own is checked by).
//
// Input: one byte for the line limit (0: the default, else that many bytes), one byte that seeds
// the block sizes, then the body.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/json_depth.h"
#include "relay/stream_line_parser.h"

namespace {

using velmora::relay::StreamEvent;
using velmora::relay::StreamLineParser;

bool isLineEnd(char c) {
  return c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Every line of the body, the last one without its end included, unless it is over the limit.
std::vector<StreamEvent> expectedEvents(std::string_view body, std::size_t maxLineBytes) {
  std::vector<StreamEvent> events;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= body.size(); ++i) {
    if (i < body.size() && !isLineEnd(body[i])) continue;
    const std::string_view whole = body.substr(start, i - start);
    start = i + 1;
    if (whole.size() > maxLineBytes) continue;
    const std::string_view line = trimmed(whole);
    if (!line.starts_with("data:")) continue;
    // The JSON parser takes a NUL byte for the end of the document, so what follows one does not
    // count, whatever it holds.
    std::string_view payload = line.substr(5);
    payload = payload.substr(0, payload.find('\0'));
    if (!velmora::fuzz::isUtf8(payload) || velmora::platform::jsonNestsDeeperThan(payload)) continue;
    if (auto event = velmora::relay::eventOfPayloadTree(payload)) events.push_back(std::move(*event));
  }
  return events;
}

void append(std::vector<StreamEvent>& into, std::vector<StreamEvent> events) {
  for (auto& event : events) into.push_back(std::move(event));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t maxLineBytes = data[0] == 0 ? StreamLineParser::kDefaultMaxLineBytes : data[0];
  uint32_t seed = data[1];
  const std::span<const uint8_t> body(data + 2, size - 2);

  const std::vector<StreamEvent> expected =
      expectedEvents(velmora::fuzz::asText(body), maxLineBytes);
  for (const StreamEvent& event : expected) {
    std::visit(
        [](const auto& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, velmora::relay::TextPiece>) {
            FUZZ_CHECK(velmora::fuzz::isUtf8(value.text));
          } else {
            FUZZ_CHECK(velmora::fuzz::isUtf8(value.description));
          }
        },
        event);
  }

  // Whole, then in blocks of 1 to 16 bytes, on the same parser (finish starts it afresh).
  StreamLineParser parser(maxLineBytes);
  std::vector<StreamEvent> whole = parser.feed(body);
  append(whole, parser.finish());
  FUZZ_CHECK(whole == expected);

  std::vector<StreamEvent> chunked;
  for (std::size_t at = 0; at < body.size();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t length = std::min<std::size_t>(1 + (seed >> 16) % 16, body.size() - at);
    append(chunked, parser.feed(body.subspan(at, length)));
    at += length;
  }
  append(chunked, parser.finish());
  FUZZ_CHECK(chunked == expected);
  return 0;
}
