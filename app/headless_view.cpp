#include "app/headless_view.h"

#include <algorithm>
#include <string_view>

#include "platform/console.h"

namespace velmora::app {

void HeadlessMonitor::setText(const std::string& text) {
  HeadlessTextField::setText(text);
  std::string_view rest = text;
  for (;;) {
    const auto end = rest.find('\n');
    platform::printLine("monitor: " + std::string(rest.substr(0, end)));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

void HeadlessPageAddresses::setText(const std::string& text) {
  if (text == this->text()) return;
  HeadlessTextField::setText(text);
  constexpr std::string_view kStart = "Start page: ";
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    if (line.starts_with(kStart)) {
      platform::printLine("Open " + std::string(line.substr(kStart.size())) + " in a browser");
    } else {
      platform::printLine(std::string(line));
    }
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
  if (!printsItems_) return;
  std::string line = "models:";
  if (items_.empty()) line += " (none)";
  for (std::size_t i = 0; i < items_.size(); ++i)
    line += (i == 0 ? " " : ", ") + platform::escapeTerminalControls(items_[i], false);
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
