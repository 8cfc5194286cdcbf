#include "platform/console.h"

#include <cstdio>
#include <string>

namespace velmora::platform {

void printLine(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  // One fwrite holds the stream's lock for the whole line.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace velmora::platform
