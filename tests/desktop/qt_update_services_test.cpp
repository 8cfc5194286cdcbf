#include "desktop/qt_update_services.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>

#include "tests/desktop/url_catcher.h"

namespace velmora::desktop {

namespace {

const update::Alert kAlert{
    "アップデート確認",
    "新しいバージョンが利用可能です。ダウンロードページを開きますか？",
    {"開く", "キャンセル"},
};

// Runs the alert and, once it is on screen, lets `answer` act on it.
std::optional<std::size_t> runAnswering(const update::Alert& alert,
                                        std::function<void(QMessageBox&)> answer) {
  bool answered = false;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || answered) return;
    answered = true;
    answer(*box);
  });
  poll.start();
  return QtAlertPresenter().runModal(alert);
}

QAbstractButton* buttonTitled(QMessageBox& box, const QString& title) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == title) return button;
  }
  return nullptr;
}

TEST(QtAlertPresenterTest, ShowsTheTextsAndAnswersTheIndexOfTheButtonPressed) {
  struct Row {
    const char* name;
    std::function<void(QMessageBox&)> answer;
    std::optional<std::size_t> expected;
  };
  const Row rows[] = {
      {"first button", [](QMessageBox& box) { buttonTitled(box, "開く")->click(); }, 0},
      {"second button", [](QMessageBox& box) { buttonTitled(box, "キャンセル")->click(); }, 1},
      {"return takes the first", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); },
       0},
      {"escape takes the last", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string message, informative;
    std::vector<std::string> titles;
    const auto result = runAnswering(kAlert, [&](QMessageBox& box) {
      message = box.text().toStdString();
      informative = box.informativeText().toStdString();
      for (QAbstractButton* button : box.buttons()) titles.push_back(button->text().toStdString());
      row.answer(box);
    });
    EXPECT_EQ(result, row.expected);
    EXPECT_EQ(message, kAlert.messageText);
    EXPECT_EQ(informative, kAlert.informativeText);
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, (std::vector<std::string>{"キャンセル", "開く"}));
  }
}

TEST(QtUrlOpenerTest, HandsValidAbsoluteAddressesToTheDesktop) {
  testing::UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "catchUrl");
  QtUrlOpener opener;
  EXPECT_TRUE(opener.open("https://velmora.example/download?v=2"));
  EXPECT_FALSE(opener.open("not an address"));
  EXPECT_FALSE(opener.open("https://exa mple.com/"));
  QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  EXPECT_EQ(catcher.caught, (std::vector<std::string>{"https://velmora.example/download?v=2"}));
}

}  // namespace
}  // namespace velmora::desktop
