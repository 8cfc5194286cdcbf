#pragma once

#include <QObject>
#include <QUrl>
#include <string>
#include <vector>

namespace velmora::desktop::testing {

// Receives the addresses QDesktopServices would hand to the browser, once registered with
// QDesktopServices::setUrlHandler(scheme, &catcher, "catchUrl"). Main thread.
class UrlCatcher final : public QObject {
  Q_OBJECT

 public:
  std::vector<std::string> caught;

 public Q_SLOTS:
  void catchUrl(const QUrl& url) { caught.push_back(url.toString().toStdString()); }
};

}  // namespace velmora::desktop::testing
