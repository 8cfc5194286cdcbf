#include "app/headless_view.h"

#include <algorithm>
#include <string_view>

#include "platform/console.h"

namespace velmora::app {

namespace {

// Texts come from browsers and the backend: control characters are shown as \xHH so that they
// cannot move the cursor or restyle the operator's terminal.
std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void HeadlessMonitor::setText(const std::string& text) {
  HeadlessTextField::setText(text);
  std::string_view rest = text;
  for (;;) {
    const auto end = rest.find('\n');
    platform::printLine("monitor: " + printable(rest.substr(0, end)));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

void HeadlessPopupButton::removeAllItems() {
  items_.clear();
  selected_.reset();
}

void HeadlessPopupButton::addItems(const std::vector<std::string>& titles) {
  items_.insert(items_.end(), titles.begin(), titles.end());
  std::string line = "models:";
  if (items_.empty()) line += " (none)";
  for (std::size_t i = 0; i < items_.size(); ++i)
    line += (i == 0 ? " " : ", ") + printable(items_[i]);
  platform::printLine(line);
}

bool HeadlessPopupButton::selectItemWithTitle(const std::string& title) {
  const auto found = std::find(items_.begin(), items_.end(), title);
  if (found == items_.end()) return false;
  selected_ = static_cast<std::size_t>(found - items_.begin());
  return true;
}

std::optional<std::string> HeadlessPopupButton::titleOfSelectedItem() const {
  if (!selected_) return std::nullopt;
  return items_[*selected_];
}

}  // namespace velmora::app
