#include "desktop/main_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "app/view_controller.h"
#include "desktop/qt_main_queue.h"
#include "desktop/tracked_http_client.h"
#include "platform/http_client.h"
#include "platform/settings_file.h"
#include "tests/desktop/qt_wait.h"
#include "tests/support/fake_backend_process.h"
#include "tests/support/test_client.h"

namespace velmora::desktop {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;
using velmora::testing::FakeBackendProcess;

std::string text(const QLineEdit& edit) {
  return edit.text().toStdString();
}
std::string text(const QTextEdit& edit) {
  return edit.toPlainText().toStdString();
}
std::string text(const QPushButton& button) {
  return button.text().toStdString();
}

// The window and its controller on the Qt main queue, the model list from a fake backend, the
// settings in a fresh file.
class WindowHarness {
 public:
  // `stored` is written to the settings before the window appears; the backend's address is
  // the fake's unless `stored` names one.
  explicit WindowHarness(const std::map<std::string, std::string>& stored = {})
      : settingsPath_(std::filesystem::temp_directory_path() /
                      ("velmora-window-test-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter()++)) /
                      "settings.json"),
        settings_(settingsPath_),
        client_(curl_) {
    settings_.set("studioIP", "127.0.0.1");
    settings_.set("studioPort", std::to_string(backend.port()));
    for (const auto& [key, value] : stored) settings_.set(key, value);
    window = std::make_unique<MainWindow>();
    controller =
        std::make_shared<app::ViewController>(window->view(), queue, settings_, client_, [] {
          return std::vector<std::string>{"192.168.1.20", "127.0.0.1"};
        });
    window->setController(controller);
  }

  ~WindowHarness() {
    client_.cancelAllAndWait(std::chrono::seconds(20));
    controller.reset();
    window.reset();
    std::filesystem::remove_all(settingsPath_.parent_path());
  }

  // Shows the window, makes it the active one, and waits for the model list's answer.
  void showAndSettle() {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_TRUE(waitUntil([&] { return window->modelPopup().count() > 0; }))
        << "monitor: " << text(window->monitorView());
    QCoreApplication::processEvents();
  }

  std::optional<std::string> stored(const std::string& key) const {
    return platform::SettingsFile(settingsPath_).string(key);
  }

  FakeBackendProcess backend;
  QtMainQueue queue;
  std::unique_ptr<MainWindow> window;
  std::shared_ptr<app::ViewController> controller;

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }

  std::filesystem::path settingsPath_;
  platform::SettingsFile settings_;
  platform::CurlHttpClient curl_;
  TrackedHttpClient client_;
};

// Replaces the whole text of a line edit as a user does: select all, type, then `finish`.
void retype(QLineEdit& edit, const QString& typed) {
  edit.setFocus(Qt::MouseFocusReason);
  QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(&edit, typed);
}

TEST(MainWindowTest, AfterLaunchTheWindowShowsTheSettingsAndTheBackendsModels) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;

  EXPECT_EQ(text(window.studioIPEdit()), "127.0.0.1");
  EXPECT_EQ(text(window.serverPortEdit()), "8080");
  EXPECT_EQ(window.initMessageEdit().toPlainText().toStdString(), "<h1>Velmora</h1>");
  EXPECT_EQ(window.windowTitle().toStdString(), "Velmora");
  // The fake's models, in its order, none chosen: nothing was saved.
  ASSERT_EQ(window.modelPopup().count(), 2);
  EXPECT_EQ(window.modelPopup().itemText(0).toStdString(), "fake-model-1");
  EXPECT_EQ(window.modelPopup().itemText(1).toStdString(), "fake-model-2");
  EXPECT_EQ(window.modelPopup().currentIndex(), -1);
  EXPECT_EQ(text(window.monitorView()), "Select model, then start server");
  EXPECT_EQ(text(window.startStopButton()), "Start Server");
  EXPECT_EQ(window.temperatureLabel().text().toStdString(), "Temperature: 0.7");
}

TEST(MainWindowTest, ClickingStartWithoutAModelAsksForOne) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  window.monitorView().setPlainText("something else");

  QTest::mouseClick(&window.startStopButton(), Qt::LeftButton);
  EXPECT_TRUE(
      waitUntil([&] { return text(window.monitorView()) == "Select model, then start server"; }));
  EXPECT_EQ(text(window.startStopButton()), "Start Server");
  EXPECT_FALSE(harness.controller->isRunning);
  EXPECT_FALSE(harness.controller->webServer->isServing());
}

TEST(MainWindowTest, ChoosingAModelInThePopupSelectsAndStoresIt) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;

  window.modelPopup().setFocus(Qt::TabFocusReason);
  QTest::keyClick(&window.modelPopup(), Qt::Key_Down);  // the first model
  QTest::keyClick(&window.modelPopup(), Qt::Key_Down);  // the second
  ASSERT_TRUE(waitUntil([&] {
    return text(window.monitorView()) ==
           "New model is selected.\nServer is running on http://localhost:8080\nModel: "
           "fake-model-2";
  })) << text(window.monitorView());
  EXPECT_EQ(harness.stored("modelName"), "fake-model-2");
  EXPECT_EQ(harness.controller->selectedModelTitle(), "fake-model-2");
}

TEST(MainWindowTest, ReturnInAFieldSendsItsActionAndLeavingSendsItOnlyAfterAnEdit) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;

  retype(window.serverPortEdit(), "9090");
  EXPECT_EQ(harness.stored("serverPort"), std::nullopt);  // typing alone stores nothing
  QTest::keyClick(&window.serverPortEdit(), Qt::Key_Return);
  EXPECT_EQ(harness.stored("serverPort"), "9090");

  // Leaving an edited field ends the editing: the backend port is stored and the list fetched.
  harness.backend.setScenario({{"models", {"other-model"}}});
  retype(window.studioPortEdit(), QString::number(harness.backend.port()));
  window.studioIPEdit().setFocus(Qt::TabFocusReason);
  EXPECT_TRUE(waitUntil([&] {
    return window.modelPopup().count() == 1 &&
           window.modelPopup().itemText(0).toStdString() == "other-model";
  }));

  // Leaving a field that was not edited sends nothing: the host is not stored again.
  harness.backend.setScenario({{"models", {"third-model"}}});
  window.studioIPEdit().setFocus(Qt::TabFocusReason);
  window.serverPortEdit().setFocus(Qt::TabFocusReason);
  testing::spin(300ms);
  EXPECT_EQ(window.modelPopup().itemText(0).toStdString(), "other-model");

  // The multi-line system prompt is stored when the user leaves it after typing.
  window.sysPromptEdit().setFocus(Qt::MouseFocusReason);
  QTest::keyClicks(&window.sysPromptEdit(), "Answer briefly.");
  QTest::keyClick(&window.sysPromptEdit(), Qt::Key_Return);
  QTest::keyClicks(&window.sysPromptEdit(), "In English.");
  EXPECT_EQ(harness.stored("systemPrompt"), std::nullopt);
  window.initMessageEdit().setFocus(Qt::TabFocusReason);
  EXPECT_EQ(harness.stored("systemPrompt"), "Answer briefly.\nIn English.");
}

TEST(MainWindowTest, SaveStoresTheFieldsAsTheyStand) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  window.sysPromptEdit().setPlainText("Be kind.");
  window.initMessageEdit().setPlainText("<h1>Hello</h1>\n<p>Ask away</p>");
  window.studioIPEdit().setText("");
  window.serverPortEdit().setText("8181");

  QTest::mouseClick(&window.saveButton(), Qt::LeftButton);
  EXPECT_EQ(harness.stored("systemPrompt"), "Be kind.");
  EXPECT_EQ(harness.stored("initialMessage"), "<h1>Hello</h1>\n<p>Ask away</p>");
  EXPECT_EQ(harness.stored("studioIP"), "");
  EXPECT_EQ(harness.stored("studioPort"), std::to_string(harness.backend.port()));
  EXPECT_EQ(harness.stored("serverPort"), "8181");
}

TEST(MainWindowTest, TheSliderMovesItsLabel) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  window.temperatureSlider().setFocus(Qt::TabFocusReason);
  QTest::keyClick(&window.temperatureSlider(), Qt::Key_Right);
  EXPECT_EQ(window.temperatureLabel().text().toStdString(), "Temperature: 0.8");
  QTest::keyClick(&window.temperatureSlider(), Qt::Key_End);
  EXPECT_EQ(window.temperatureLabel().text().toStdString(), "Temperature: 2.0");
  QTest::keyClick(&window.temperatureSlider(), Qt::Key_Home);
  EXPECT_EQ(window.temperatureLabel().text().toStdString(), "Temperature: 0.0");
}

TEST(MainWindowTest, TheButtonStartsAndStopsTheRelayAndServesTheStartPage) {
  WindowHarness harness({{"modelName", "fake-model-2"}, {"serverPort", "0"}});
  harness.showAndSettle();
  MainWindow& window = *harness.window;

  // A saved model starts the relay as the window appears.
  ASSERT_TRUE(waitUntil([&] { return text(window.startStopButton()) == "Stop Server"; }));
  EXPECT_TRUE(harness.controller->webServer->isServing());
  EXPECT_EQ(text(window.monitorView()),
            "Server is running on http://192.168.1.20:0\nModel: fake-model-2");
  EXPECT_EQ(window.modelPopup().currentText().toStdString(), "fake-model-2");

  // The start page reads the start-page field on the main thread, through the Qt main queue,
  // while a browser (another thread here) waits.
  window.initMessageEdit().setPlainText("<h1>From the window</h1>");
  const int port = harness.controller->webServer->port();
  std::atomic<bool> answered = false;
  std::string page;
  std::thread browser([&] {
    velmora::testing::TestClient client(port);
    client.send("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    page = client.readUntilClose();
    answered = true;
  });
  const bool gotPage = waitUntil([&] { return answered.load(); });
  browser.join();
  ASSERT_TRUE(gotPage);
  EXPECT_NE(page.find("<h1>From the window</h1>"), std::string::npos) << page;

  // Leaving the relay-port field without an edit does not restart the relay.
  window.serverPortEdit().setFocus(Qt::TabFocusReason);
  window.studioIPEdit().setFocus(Qt::TabFocusReason);
  testing::spin(100ms);
  EXPECT_EQ(text(window.monitorView()),
            "Server is running on http://192.168.1.20:0\nModel: fake-model-2");

  QTest::mouseClick(&window.startStopButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil([&] { return text(window.startStopButton()) == "Start Server"; }));
  EXPECT_EQ(text(window.monitorView()), "Server stopped");
  EXPECT_FALSE(harness.controller->webServer->isServing());

  QTest::mouseClick(&window.startStopButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil([&] { return text(window.startStopButton()) == "Stop Server"; }));
  EXPECT_TRUE(harness.controller->webServer->isServing());
}

TEST(MainWindowTest, TheAccessTokenFieldGuardsTheRelayOnceItsEditingEnds) {
  WindowHarness harness({{"modelName", "fake-model-2"}, {"serverPort", "0"}});
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  ASSERT_TRUE(waitUntil([&] { return harness.controller->webServer->isServing(); }));
  const int port = harness.controller->webServer->port();
  // The start page is answered through the Qt main queue, so the browser runs on another thread.
  const auto statusOfStartPage = [&](const std::string& headers) {
    std::atomic<bool> answered = false;
    std::string status;
    std::thread browser([&] {
      velmora::testing::TestClient client(port);
      client.send("GET / HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
      status = velmora::testing::parseResponse(client.readUntilClose()).statusLine;
      answered = true;
    });
    const bool done = waitUntil([&] { return answered.load(); });
    browser.join();
    return done ? status : "no answer";
  };

  // The field's label, and a token hidden until asked for.
  const auto labels = window.findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                          [](const QLabel* label) { return label->text() == "Access token:"; }));
  EXPECT_EQ(window.accessTokenEdit().echoMode(), QLineEdit::Password);
  QTest::mouseClick(&window.showAccessTokenButton(), Qt::LeftButton);
  EXPECT_EQ(window.accessTokenEdit().echoMode(), QLineEdit::Normal);
  QTest::mouseClick(&window.showAccessTokenButton(), Qt::LeftButton);
  EXPECT_EQ(window.accessTokenEdit().echoMode(), QLineEdit::Password);

  // Typing alone changes nothing; leaving the field ends the editing.
  retype(window.accessTokenEdit(), "let me in");
  EXPECT_EQ(statusOfStartPage(""), "HTTP/1.1 200 OK");
  window.studioIPEdit().setFocus(Qt::TabFocusReason);
  EXPECT_EQ(harness.stored("accessToken"), "let me in");
  EXPECT_EQ(statusOfStartPage(""), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(statusOfStartPage("Authorization: Bearer let me in\r\n"), "HTTP/1.1 200 OK");
  EXPECT_TRUE(waitUntil([&] {
    return text(window.monitorView()) ==
           "Server is running on http://192.168.1.20:0 (access token required)\nModel: "
           "fake-model-2";
  })) << text(window.monitorView());

  // Emptied with Return: open again.
  retype(window.accessTokenEdit(), "");
  QTest::keyClick(&window.accessTokenEdit(), Qt::Key_Backspace);
  QTest::keyClick(&window.accessTokenEdit(), Qt::Key_Return);
  EXPECT_EQ(harness.stored("accessToken"), "");
  EXPECT_EQ(statusOfStartPage(""), "HTTP/1.1 200 OK");
}

// Every control lies inside the window and no two overlap, at the default size, at the
// smallest size the layout allows and at a large one; the monitor shows its whole text.
TEST(MainWindowTest, LayoutKeepsEveryControlWholeAtAnySize) {
  WindowHarness harness;
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  window.monitorView().setPlainText("one\ntwo\nthree\nfour\nfive\nsix\nseven");
  QCoreApplication::processEvents();  // the layout takes in the monitor's new height

  const QWidget* controls[] = {
      &window.studioIPEdit(),          &window.studioPortEdit(),    &window.modelPopup(),
      &window.temperatureLabel(),      &window.temperatureSlider(), &window.serverPortEdit(),
      &window.sysPromptEdit(),         &window.initMessageEdit(),   &window.saveButton(),
      &window.startStopButton(),       &window.monitorView(),       &window.accessTokenEdit(),
      &window.showAccessTokenButton(),
  };
  const QSize sizes[] = {window.size(), window.minimumSizeHint(), QSize(1400, 1000)};
  for (const QSize& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
    window.resize(size);
    QCoreApplication::processEvents();
    std::vector<QRect> placed;
    for (const QWidget* control : controls) {
      const QRect rect(control->mapTo(&window, QPoint(0, 0)), control->size());
      EXPECT_TRUE(window.rect().contains(rect)) << control->metaObject()->className();
      EXPECT_GT(rect.width(), 20);
      EXPECT_GT(rect.height(), 10);
      for (const QRect& other : placed) EXPECT_FALSE(rect.intersects(other));
      placed.push_back(rect);
    }
    EXPECT_EQ(window.monitorView().verticalScrollBar()->maximum(), 0);
  }
}

TEST(MainWindowTest, ScreenshotOfTheRunningWindow) {
  // A port the system chose, so that the status line reads like a real one.
  WindowHarness harness(
      {{"modelName", "qwen2.5-7b-instruct"},
       {"serverPort", std::to_string(velmora::testing::unusedLoopbackPort())},
       {"systemPrompt", "You are a helpful assistant. Answer briefly, in plain words."}});
  harness.backend.setScenario(
      {{"models", {"qwen2.5-7b-instruct", "llama-3.2-3b-instruct", "mistral-7b-instruct-v0.3"}}});
  harness.showAndSettle();
  MainWindow& window = *harness.window;
  // Another test may take the port between its choice and the start: then the next one.
  const auto startOutcome = [&] {
    return harness.controller->webServer->isServing() ||
           text(window.monitorView()).starts_with("Failed to start server");
  };
  ASSERT_TRUE(waitUntil(startOutcome));
  for (int attempt = 0; attempt < 5 && !harness.controller->webServer->isServing(); ++attempt) {
    window.serverPortEdit().setText(QString::number(velmora::testing::unusedLoopbackPort()));
    window.monitorView().clear();
    QTest::mouseClick(&window.startStopButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil(startOutcome));
  }
  ASSERT_TRUE(harness.controller->webServer->isServing()) << text(window.monitorView());
  ASSERT_TRUE(waitUntil([&] {
    return text(window.startStopButton()) == "Stop Server" &&
           text(window.monitorView()).starts_with("Server is running");
  }));
  window.startStopButton().setFocus(Qt::TabFocusReason);
  QCoreApplication::processEvents();

  const QImage image = window.grab().toImage();
  ASSERT_FALSE(image.isNull());
  // Not an empty frame: the controls drew something.
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 4) {
    for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 8u);
  const std::filesystem::path folder = VELMORA_ARTIFACTS_DIR;
  std::filesystem::create_directories(folder);
  const auto file = folder / "window.png";
  ASSERT_TRUE(image.save(QString::fromStdString(file.string()))) << file;
  EXPECT_GT(std::filesystem::file_size(file), 1000u);
}

}  // namespace
}  // namespace velmora::desktop
