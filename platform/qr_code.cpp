#include "platform/qr_code.h"

#include <qrencode.h>

#include <memory>

namespace velmora::platform {

namespace {

// Scanners want four modules of light border; two do in practice and keep the code small in a
// terminal of 80 columns.
constexpr int kTerminalQuietZone = 2;

}  // namespace

std::optional<QrCode> qrCodeOf(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::unique_ptr<QRcode, decltype(&QRcode_free)> encoded(
      QRcode_encodeData(static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M),
      &QRcode_free);
  if (!encoded) return std::nullopt;
  QrCode code;
  code.size = encoded->width;
  code.dark.resize(static_cast<std::size_t>(code.size) * code.size);
  // libqrencode marks a dark module in the lowest bit of its byte.
  for (std::size_t i = 0; i < code.dark.size(); ++i) code.dark[i] = (encoded->data[i] & 1) != 0;
  return code;
}

std::string terminalQrCode(const QrCode& code) {
  const int first = -kTerminalQuietZone;
  const int last = code.size + kTerminalQuietZone;  // one past the end
  const auto light = [&](int x, int y) {
    return x < 0 || y < 0 || x >= code.size || y >= code.size || !code.isDark(x, y);
  };
  std::string text;
  for (int y = first; y < last; y += 2) {
    for (int x = first; x < last; ++x) {
      const bool top = light(x, y);
      const bool bottom = y + 1 < last && light(x, y + 1);
      text += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
    }
    text += '\n';
  }
  return text;
}

}  // namespace velmora::platform
