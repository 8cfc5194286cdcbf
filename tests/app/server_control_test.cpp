// The start/stop toggle, the relay-port restart, the appearance and the stop at termination, on a
// real relay server on a free port of this machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/app_services.h"
#include "app/view_controller.h"
#include "http/server.h"
#include "tests/app/controller_harness.h"
#include "tests/support/fake_backend_process.h"
#include "tests/support/test_client.h"

namespace velmora::app {
namespace {

using testing::ControllerHarness;
using Journal = std::vector<std::string>;

constexpr const char* kStatus0 = "monitor=Server is running on http://192.168.1.20:0\nModel: m";

// The console lines printed while `work` runs and the blocks it queued settle.
template <class F>
std::vector<std::string> consoleLines(ControllerHarness& harness, F work) {
  ::testing::internal::CaptureStdout();
  work();
  harness.settle();
  harness.settle();
  const std::string out = ::testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < out.size()) {
    const auto end = out.find('\n', start);
    lines.push_back(out.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// A harness whose window has loaded, with a model chosen and the relay port left to the system.
struct LoadedWindow {
  LoadedWindow() {
    harness.view().keepJournal();
    harness.onMain([&] {
      harness.controller->viewDidLoad();
      harness.view().serverPort.setText("0");
      harness.controller->selectedModel = "m";
    });
  }
  Journal journal() {
    Journal copy;
    harness.onMain([&] { copy = harness.view().journal; });
    return copy;
  }
  void click() {
    harness.onMain([&] { harness.controller->mainButtonClicked(); });
    harness.settle();  // the start report
    harness.settle();  // the status line it queued
  }
  bool serving() { return harness.controller->webServer->isServing(); }

  ControllerHarness harness;
};

bool refusesConnections(int port) {
  try {
    velmora::testing::TestClient client(port);
    return false;
  } catch (const std::exception&) {
    return true;
  }
}

TEST(ServerControlTest, StartThenStopThenStartAgainOnTheSamePort) {
  LoadedWindow window;
  auto& controller = *window.harness.controller;

  const auto startLines = consoleLines(window.harness, [&] { window.click(); });
  EXPECT_EQ(startLines,
            (std::vector<std::string>{"Starting server...", "✅ startWebServer() succeeded"}));
  EXPECT_EQ(window.journal(), (Journal{"monitor=Ready", "mainButton=Start Server",
                                       "mainButton=Stop Server", kStatus0}));
  EXPECT_TRUE(controller.isRunning);
  ASSERT_TRUE(window.serving());
  const int port = controller.webServer->port();
  {
    velmora::testing::TestClient browser(port);
    browser.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(browser.readResponse().find("<title>Velmora</title>"), std::string::npos);
  }

  const auto stopLines = consoleLines(window.harness, [&] { window.click(); });
  EXPECT_EQ(stopLines, std::vector<std::string>{"Stopping server..."});
  EXPECT_EQ(window.journal().size(), 6u);
  EXPECT_EQ(window.journal()[4], "monitor=Server stopped");
  EXPECT_EQ(window.journal()[5], "mainButton=Start Server");
  EXPECT_FALSE(controller.isRunning);
  EXPECT_FALSE(window.serving());
  EXPECT_TRUE(refusesConnections(port));

  // The same port again at once: the listening socket reuses the address.
  window.harness.onMain([&] { window.harness.view().serverPort.setText(std::to_string(port)); });
  window.click();
  EXPECT_TRUE(controller.isRunning);
  ASSERT_TRUE(window.serving());
  EXPECT_EQ(controller.webServer->port(), port);
}

TEST(ServerControlTest, StartOnABusyPortFailsAndTheNextClickTriesAgain) {
  auto occupant = std::make_shared<http::HttpServer>();
  occupant->start(0, true);
  const int busy = occupant->port();

  LoadedWindow window;
  auto& controller = *window.harness.controller;
  window.harness.onMain([&] { window.harness.view().serverPort.setText(std::to_string(busy)); });
  const auto lines = consoleLines(window.harness, [&] { window.click(); });
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Starting server...");
  EXPECT_EQ(lines[1].rfind("WebServer failed to start: ", 0), 0u) << lines[1];

  const Journal journal = window.journal();
  ASSERT_EQ(journal.size(), 4u);
  // The failure report runs before the title block: the button says "Stop Server" although
  // nothing runs, and the next click starts rather than stops.
  EXPECT_EQ(journal[2].rfind("monitor=Failed to start server: ", 0), 0u) << journal[2];
  EXPECT_NE(journal[2].find("Address already in use"), std::string::npos) << journal[2];
  EXPECT_EQ(journal[3], "mainButton=Stop Server");
  EXPECT_FALSE(controller.isRunning);
  EXPECT_FALSE(window.serving());

  occupant->stop();
  const auto retry = consoleLines(window.harness, [&] { window.click(); });
  EXPECT_EQ(retry.front(), "Starting server...");
  EXPECT_TRUE(controller.isRunning);
  EXPECT_TRUE(window.serving());
}

TEST(ServerControlTest, StartRefusedWithoutAModel) {
  LoadedWindow window;
  window.harness.onMain([&] { window.harness.controller->selectedModel = ""; });
  const auto lines = consoleLines(window.harness, [&] { window.click(); });
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(window.journal(), (Journal{"monitor=Ready", "mainButton=Start Server",
                                       "monitor=Select model, then start server"}));
  EXPECT_FALSE(window.harness.controller->isRunning);
  EXPECT_FALSE(window.serving());
}

TEST(ServerControlTest, RelayPortChangeRestartsARunningRelay) {
  LoadedWindow window;
  auto& controller = *window.harness.controller;
  auto& view = window.harness.view();

  // Stopped: the text is stored and nothing else happens.
  window.harness.onMain([&] {
    view.serverPort.setText("+0");
    controller.serverPortDidChange();
  });
  EXPECT_EQ(window.harness.settingsOfNextLaunch()->string("serverPort"),
            std::optional<std::string>("+0"));
  window.click();
  ASSERT_TRUE(window.serving());
  const std::size_t before = window.journal().size();

  bool stoppedAtOnce = false;
  window.harness.onMain([&] {
    view.serverPort.setText("0");
    controller.serverPortDidChange();
    stoppedAtOnce = !controller.webServer->isServing() && !controller.isRunning;
  });
  EXPECT_TRUE(stoppedAtOnce);
  EXPECT_EQ(window.harness.settingsOfNextLaunch()->string("serverPort"),
            std::optional<std::string>("0"));
  ASSERT_TRUE(window.harness.waitFor([&] { return view.journal.size() >= before + 5; }));
  const Journal journal = window.journal();
  EXPECT_EQ(Journal(journal.begin() + static_cast<long>(before), journal.end()),
            (Journal{"monitor=Server stopped", "mainButton=Start Server",
                     "monitor=Restarting server...", "mainButton=Stop Server", kStatus0}));
  EXPECT_TRUE(controller.isRunning);
  EXPECT_TRUE(window.serving());
}

TEST(ServerControlTest, DelayedRestartDoesNotStopARelayStartedMeanwhile) {
  LoadedWindow window;
  auto& controller = *window.harness.controller;
  window.click();
  window.harness.onMain([&] {
    controller.serverPortDidChange();  // stops, restart due in a second
    controller.mainButtonClicked();    // the user starts it again at once
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  window.harness.settle();
  EXPECT_TRUE(controller.isRunning);
  EXPECT_TRUE(window.serving());
}

TEST(ServerControlTest, ModelChangeWhileStopped) {
  LoadedWindow window;
  window.harness.onMain([&] {
    window.harness.view().serverPort.setText("8080");
    window.harness.view().setModel.addItems({"a", "b"});
    window.harness.view().setModel.selectItemWithTitle("b");
    window.harness.controller->setModelChanged();
  });
  window.harness.settle();
  EXPECT_EQ(window.journal().back(),
            "monitor=New model is selected.\nServer is running on http://localhost:8080\nModel: b");
  EXPECT_FALSE(window.serving());
}

// Each appearance: settings, model list, toggle.
TEST(ServerControlTest, AppearanceStartsWithASavedModelAndStopsTheSecondTime) {
  velmora::testing::FakeBackendProcess backend(nlohmann::json{{"models", {"a", "m"}}});
  LoadedWindow window;
  auto& controller = *window.harness.controller;
  auto& settings = window.harness.settings();
  settings.set("modelName", "m");
  settings.set("serverPort", "0");
  settings.set("studioIP", "127.0.0.1");
  settings.set("studioPort", std::to_string(backend.port()));

  window.harness.onMain([&] { controller.viewDidAppear(); });
  EXPECT_TRUE(window.serving());
  ASSERT_TRUE(window.harness.waitFor([&] {
    return window.harness.view().setModel.itemTitles() == std::vector<std::string>{"a", "m"};
  }));
  window.harness.settle();
  // The saved model is in the list: it is selected and the monitor keeps the start's status.
  EXPECT_EQ(window.harness.view().setModel.titleOfSelectedItem(), std::optional<std::string>("m"));
  EXPECT_EQ(window.journal().back(), kStatus0);

  window.harness.onMain([&] { controller.viewDidAppear(); });
  window.harness.settle();
  EXPECT_FALSE(controller.isRunning);
  EXPECT_FALSE(window.serving());
  const Journal journal = window.journal();
  EXPECT_NE(std::find(journal.begin(), journal.end(), "monitor=Server stopped"), journal.end());
}

TEST(ServerControlTest, SavedModelMissingFromTheListLeavesTheRelayRunning) {
  velmora::testing::FakeBackendProcess backend(nlohmann::json{{"models", {"a", "b"}}});
  LoadedWindow window;
  auto& controller = *window.harness.controller;
  auto& settings = window.harness.settings();
  settings.set("modelName", "gone");
  settings.set("serverPort", "0");
  settings.set("studioIP", "127.0.0.1");
  settings.set("studioPort", std::to_string(backend.port()));

  window.harness.onMain([&] { controller.viewDidAppear(); });
  // The list may arrive before or after the start's status line; either way the notice is shown.
  ASSERT_TRUE(window.harness.waitFor([&] {
    const auto& shown = window.harness.view().monitor.history;
    return std::find(shown.begin(), shown.end(), "Select model, then start server") != shown.end() &&
           window.harness.view().setModel.itemTitles().size() == 2;
  }));
  EXPECT_EQ(window.harness.view().setModel.itemTitles(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(window.harness.view().setModel.titleOfSelectedItem(), std::nullopt);
  EXPECT_EQ(controller.selectedModel, std::optional<std::string>(""));
  EXPECT_TRUE(controller.isRunning);
  EXPECT_TRUE(window.serving());
  EXPECT_EQ(window.harness.settingsOfNextLaunch()->string("modelName"),
            std::optional<std::string>("gone"));
}

TEST(ServerControlTest, FirstLaunchAsksForAModel) {
  velmora::testing::FakeBackendProcess backend(nlohmann::json{{"models", nlohmann::json::array()}});
  LoadedWindow window;
  window.harness.settings().set("studioPort", std::to_string(backend.port()));
  window.harness.onMain([&] { window.harness.controller->viewDidAppear(); });
  // The toggle asks for a model, and so does the empty list when it arrives.
  ASSERT_TRUE(window.harness.waitFor([&] { return window.harness.view().journal.size() >= 4; }));
  EXPECT_EQ(window.journal(), (Journal{"monitor=Ready", "mainButton=Start Server",
                                       "monitor=Select model, then start server",
                                       "monitor=Select model, then start server"}));
  EXPECT_FALSE(window.serving());
}

TEST(ServerControlTest, TerminationStopsARunningRelayQuietly) {
  LoadedWindow window;
  auto& controller = *window.harness.controller;
  window.click();
  ASSERT_TRUE(window.serving());
  const int port = controller.webServer->port();
  // A kept-alive connection, served once, must end too.
  velmora::testing::TestClient idle(port);
  idle.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_NE(idle.readResponse().find("200"), std::string::npos);
  const std::size_t before = window.journal().size();

  const auto lines = consoleLines(window.harness, [&] {
    window.harness.onMain([] { WillTerminateNotification::defaultCenter().post(); });
  });
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(controller.isRunning);
  EXPECT_FALSE(window.serving());
  EXPECT_EQ(window.journal().size(), before);
  EXPECT_TRUE(idle.closedWithoutData());
  EXPECT_TRUE(refusesConnections(port));

  // Stopped already: a second notice does nothing.
  window.harness.onMain([&] { controller.stopServerOnTerminate(); });
  EXPECT_FALSE(controller.isRunning);
}

}  // namespace
}  // namespace velmora::app
