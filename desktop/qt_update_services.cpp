#include "desktop/qt_update_services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <vector>

namespace velmora::desktop {

std::optional<std::size_t> QtAlertPresenter::runModal(const update::Alert& alert) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return std::nullopt;

  QMessageBox box(QApplication::activeWindow());
  box.setIcon(QMessageBox::Information);
  box.setWindowTitle(QStringLiteral("Velmora"));
  box.setText(QString::fromStdString(alert.messageText));
  box.setInformativeText(QString::fromStdString(alert.informativeText));
  std::vector<QPointer<QAbstractButton>> buttons;
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    const bool last = i + 1 == alert.buttons.size();
    const QMessageBox::ButtonRole role = i == 0 ? QMessageBox::AcceptRole
                                         : last ? QMessageBox::RejectRole
                                                : QMessageBox::ActionRole;
    QPushButton* button = box.addButton(QString::fromStdString(alert.buttons[i]), role);
    if (i == 0) box.setDefaultButton(button);
    if (last && i > 0) box.setEscapeButton(button);
    buttons.emplace_back(button);
  }
  box.exec();

  const QAbstractButton* clicked = box.clickedButton();
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (clicked != nullptr && buttons[i] == clicked) return i;
  }
  return std::nullopt;
}

bool QtUrlOpener::open(const std::string& url) {
  const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid() || address.isRelative()) return false;
  return QDesktopServices::openUrl(address);
}

}  // namespace velmora::desktop
