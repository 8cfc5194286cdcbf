// One target's entry point (VELMORA_FUZZ_TARGET names it) and, for the test trees, a main that
// runs it once on every file of the folders given and fails when none ran (VELMORA_FUZZ_REPLAY).
#include <filesystem>
#include <fstream>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace velmora::fuzz {
void VELMORA_FUZZ_TARGET(Bytes input);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  velmora::fuzz::VELMORA_FUZZ_TARGET({data, size});
  return 0;
}

#ifdef VELMORA_FUZZ_REPLAY
int main(int argc, char** argv) {
  int ran = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::fprintf(stderr, "replaying %s\n", entry.path().c_str());
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(file), {});
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++ran;
    }
  }
  std::printf("%d inputs ran\n", ran);
  return ran == 0 ? 1 : 0;
}
#endif
