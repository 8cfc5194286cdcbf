// The update document from the maker's server, and the version texts it carries.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "update/update_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace velmora::update;
  const std::span<const uint8_t> body(data, size);
  std::optional<UpdateInfoMap> parsed;
  try {
    parsed = parseUpdateInfo(body);
  } catch (const DecodingError& error) {
    // Printed as one line whatever the document holds.
    FUZZ_CHECK(error.description().find_first_of("\r\n") == std::string::npos);
  }
  FUZZ_CHECK(decodeUpdateInfo(body).has_value() == parsed.has_value());
  if (!parsed) return 0;

  for (const auto& [name, info] : *parsed) {
    FUZZ_CHECK(velmora::fuzz::isUtf8(name));
    // A strict order: never newer than itself, never newer both ways.
    for (const std::string_view other :
         {std::string_view("1.0.0"), std::string_view(name), std::string_view(info.downloadURL)}) {
      FUZZ_CHECK(!(isNewerVersion(info.latestVersion, other) &&
                   isNewerVersion(other, info.latestVersion)));
    }
    FUZZ_CHECK(!isNewerVersion(info.latestVersion, info.latestVersion));
  }
  return 0;
}
