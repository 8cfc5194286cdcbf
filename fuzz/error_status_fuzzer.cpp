// A backend's error answer (status 400 and up): the body becomes the description on the answer
// page and in the monitor.
//
// Input: one byte that picks the status (400 + byte % 200), then the body.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "fuzz/fuzz_support.h"
#include "relay/streaming_delegate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int status = 400 + data[0] % 200;
  const std::span<const uint8_t> body(data + 1, size - 1);
  const std::string description = velmora::relay::errorStatusDescription(status, body);

  const std::string prefix = "HTTP " + std::to_string(status);
  FUZZ_CHECK(description.starts_with(prefix));
  FUZZ_CHECK(velmora::fuzz::isUtf8(description));
  if (!velmora::fuzz::isUtf8(velmora::fuzz::asText(body))) FUZZ_CHECK(description == prefix);
  if (description == prefix) return 0;
  FUZZ_CHECK(description.starts_with(prefix + ": "));

  // Unless it is the backend's own message from a JSON error, the text is the body's, on one
  // line and cut short ("…" is three bytes).
  const auto document = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  const bool jsonError =
      !document.is_discarded() && document.is_object() && document.contains("error");
  if (!jsonError) {
    FUZZ_CHECK(description.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(description.size() <= prefix.size() + 2 + velmora::relay::kMaxErrorBodyText + 3);
  }
  return 0;
}
