#pragma once

#include <cstdio>
#include <string>

namespace velmora::testing {

// The text of the QR code in the image file at `path` as zbarimg (Debian's zbar-tools) reads it;
// "" when it finds none.
inline std::string scannedQrCode(const std::string& path) {
  std::string text;
  if (FILE* out = ::popen(("zbarimg --raw -q '" + path + "'").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
      text.append(buffer, n);
    ::pclose(out);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace velmora::testing
