#include "platform/console.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace velmora::platform {

namespace {

// Control characters that would move the cursor or restyle a terminal; line feeds and tabs only
// lay the text out.
bool isTerminalControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F;
}

}  // namespace

void printLine(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  if (std::none_of(line.begin(), line.end(), isTerminalControl)) {
    text = line;
  } else {
    // Lines carry prompts and answers from the network: shown as \xHH, an escape sequence from
    // a browser or a model cannot rewrite the operator's terminal.
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : line) {
      if (!isTerminalControl(c)) {
        text += c;
        continue;
      }
      const auto byte = static_cast<unsigned char>(c);
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  text.push_back('\n');
  // One fwrite holds the stream's lock for the whole line.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace velmora::platform
