#include "app/notice_monitor.h"

#include "platform/console.h"

namespace velmora::app {

void NoticeMonitor::setText(const std::string& text) {
  text_ = text;
  std::string shown;
  std::lock_guard lock(mutex_);
  for (const std::string& notice : notices_) {
    if (!notice.empty()) shown += (shown.empty() ? "" : "\n") + notice;
  }
  if (!shown.empty() && !text.empty()) shown += "\n";
  field_.setText(platform::withSecretHidden(shown + text, secret_, shownAs_));
}

void NoticeMonitor::hide(std::string secret, std::string shownAs) {
  std::lock_guard lock(mutex_);
  secret_ = std::move(secret);
  shownAs_ = std::move(shownAs);
}

bool NoticeMonitor::setNotice(Notice kind, std::string notice) {
  std::lock_guard lock(mutex_);
  std::string& slot = notices_[static_cast<std::size_t>(kind)];
  if (slot == notice) return false;
  slot = std::move(notice);
  return true;
}

}  // namespace velmora::app
