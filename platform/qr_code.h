#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// A QR code as its square of modules, without the quiet zone around it.
struct QrCode {
  int size = 0;            // modules per side
  std::vector<bool> dark;  // row by row, size * size
  bool isDark(int x, int y) const { return dark[static_cast<std::size_t>(y * size + x)]; }
};

// The QR code of `text` (bytes, error correction M, the smallest version that holds it), made by
// libqrencode; nullopt when the text is empty or too long for any version. Pure; any thread.
std::optional<QrCode> qrCodeOf(std::string_view text);

// The code as lines of text for a terminal, two rows of modules per line with the half blocks
// "▀", "▄" and "█": a block stands for a light module, so the code reads right on the dark
// background most terminals have, and a quiet zone of light modules surrounds it. Each line ends
// with "\n". Pure; any thread.
std::string terminalQrCode(const QrCode& code);

}  // namespace velmora::platform
