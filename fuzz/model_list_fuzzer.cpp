// The backend's model list, as the window's model popup reads it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/model_list.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> body(data, data + size);
  const auto names = velmora::app::modelNames(body);
  if (!names) return 0;
  // Every name came out of a JSON string of the input, so it is shorter than the input and
  // well-formed text for the popup.
  for (const auto& name : *names) {
    FUZZ_CHECK(name.size() < size);
    FUZZ_CHECK(velmora::fuzz::isUtf8(name));
  }
  return 0;
}
