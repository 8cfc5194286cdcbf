#pragma once

#include <array>
#include <mutex>
#include <string>

#include "app/view.h"

namespace velmora::app {

// The view's monitor as the controller writes it: each text is shown under the notices that
// must stay visible for a while (a kept conversation set aside, writes of it failing), which the
// next status line would otherwise replace.
class NoticeMonitor final : public TextField {
 public:
  enum class Notice { conversationFile, conversationWrite };

  explicit NoticeMonitor(TextField& field) : field_(field) {}

  // The text last set, without the notices. Main thread.
  std::string text() const override { return text_; }
  // Shows `text` under the notices. Main thread.
  void setText(const std::string& text) override;
  // Sets the notice of `kind` ("" removes it); it shows from the next setText() or refresh() on.
  // False when it was that already. Any thread.
  bool setNotice(Notice kind, std::string notice);
  // Shows the last text again, under the notices of now. Main thread.
  void refresh() { setText(text_); }
  // From now on shows `shownAs` wherever `secret` stands ("" hides nothing). Any thread.
  void hide(std::string secret, std::string shownAs);

 private:
  TextField& field_;
  std::string text_;  // main thread
  std::mutex mutex_;
  std::array<std::string, 2> notices_;  // guarded by mutex_; by Notice
  std::string secret_, shownAs_;        // guarded by mutex_
};

}  // namespace velmora::app
