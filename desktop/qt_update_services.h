#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "update/alert_presenter.h"
#include "update/url_opener.h"

namespace velmora::desktop {

// Alerts as QMessageBox dialogs, modal over the application. The first button is the default
// (Return); when there are several, the last one also answers Escape, as a cancel button does.
// Needs a QApplication; main thread only.
class QtAlertPresenter final : public update::AlertPresenter {
 public:
  // Nothing (and no dialog) without a QApplication, or when the dialog was closed otherwise.
  std::optional<std::size_t> runModal(const update::Alert& alert) override;
};

// Opens addresses with QDesktopServices::openUrl (the user's browser for web pages). Main thread.
class QtUrlOpener final : public update::UrlOpener {
 public:
  // False for an address that is not a valid URL, or when no handler took it.
  bool open(const std::string& url) override;
};

}  // namespace velmora::desktop
