#include "platform/console.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/utf8.h"

namespace velmora::platform {

namespace {

std::mutex hiddenMutex;
std::string hiddenSecret;   // guarded by hiddenMutex
std::string hiddenShownAs;  // guarded by hiddenMutex

}  // namespace

void hideInConsole(std::string secret, std::string shownAs) {
  std::lock_guard lock(hiddenMutex);
  hiddenSecret = std::move(secret);
  hiddenShownAs = std::move(shownAs);
}

std::string withSecretHidden(std::string text, std::string_view secret, std::string_view shownAs) {
  if (secret.empty()) return text;
  for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
    text.replace(at, secret.size(), shownAs);
    at += shownAs.size();
  }
  return text;
}

std::string escapeTerminalControls(std::string_view text, bool keepLineFeeds) {
  const auto isControl = [keepLineFeeds](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t' && !(keepLineFeeds && c == '\n')) || byte >= 0x7F;
  };
  if (std::none_of(text.begin(), text.end(), isControl)) return std::string(text);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 8);
  const auto escape = [&](std::string_view prefix, unsigned char byte) {
    out += prefix;
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!isControl(text[i])) {
      out += text[i++];
    } else if (byte < 0x80) {
      escape("\\x", byte);
      ++i;
    } else if (const std::size_t length = utf8SequenceLength(text.substr(i)); length == 0) {
      escape("\\x", byte);  // not UTF-8: a terminal could read it as anything
      ++i;
    } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // C1 controls (U+0080 to U+009F): some terminals obey them as escape sequences.
      escape("\\u00", static_cast<unsigned char>(text[i + 1]));
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string consoleExcerpt(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t cut = maxBytes;
  // Back to the first byte of the character the cut falls in.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "… (" + std::to_string(text.size() - cut) +
         " more bytes)";
}

void printLine(std::string_view line) {
  // Lines carry prompts and answers from the network: an escape sequence from a browser or a
  // model must not rewrite the operator's terminal.
  std::string text;
  {
    std::lock_guard lock(hiddenMutex);
    text = escapeTerminalControls(withSecretHidden(std::string(line), hiddenSecret, hiddenShownAs),
                                  true);
  }
  text.push_back('\n');
  // One fwrite holds the stream's lock for the whole line.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace velmora::platform
