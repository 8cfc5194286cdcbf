#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velmora::update {

// A modal alert: a message, a smaller informative text below it, and buttons in the order given.
struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

// Shows modal alerts (QMessageBox on the desktop).
class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;

  // Shows `alert` and waits for the user's answer; main thread only (events keep being handled
  // meanwhile). Answers the index in `alert.buttons` of the button pressed, or nothing when the
  // alert was dismissed without one or could not be shown.
  virtual std::optional<std::size_t> runModal(const Alert& alert) = 0;
};

}  // namespace velmora::update
