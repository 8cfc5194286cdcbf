// The access token setting: its field, its key, the copy the relay asks for, and the status line.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "app/view_controller.h"
#include "tests/app/controller_harness.h"

namespace velmora::app {
namespace {

using testing::ControllerHarness;

TEST(AccessTokenSettingTest, LoadsStoresAndReachesTheRelay) {
  ControllerHarness harness;
  auto& view = harness.view();
  auto& controller = *harness.controller;
  harness.onMain([&] { controller.loadSettings(); });
  EXPECT_EQ(view.accessToken.text(), "");  // first launch: no token
  EXPECT_EQ(controller.accessToken(), "");

  harness.settings().set("accessToken", "stored");
  harness.onMain([&] { controller.loadSettings(); });
  EXPECT_EQ(view.accessToken.text(), "stored");
  EXPECT_EQ(controller.accessToken(), "stored");

  // Typing alone changes nothing; the end of the editing stores the text as typed and the relay
  // asks for it without the blanks around it.
  harness.onMain([&] { view.accessToken.setText("  typed token\t"); });
  EXPECT_EQ(controller.accessToken(), "stored");
  harness.onMain([&] { controller.accessTokenDidChange(); });
  EXPECT_EQ(controller.accessToken(), "typed token");
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("accessToken"),
            std::optional<std::string>("  typed token\t"));

  harness.onMain([&] {
    view.accessToken.setText("");
    controller.accessTokenDidChange();
  });
  EXPECT_EQ(controller.accessToken(), "");
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("accessToken"), std::optional<std::string>(""));

  harness.onMain([&] {
    view.accessToken.setText("saved");
    controller.savePrefs();
  });
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("accessToken"),
            std::optional<std::string>("saved"));
}

TEST(AccessTokenSettingTest, StatusLineSaysWhenATokenIsRequired) {
  ControllerHarness harness;
  auto& view = harness.view();
  auto& controller = *harness.controller;
  harness.onMain([&] {
    view.serverPort.setText("8080");
    controller.selectedModel = "m";
    controller.showServerStatus("");
  });
  harness.settle();
  EXPECT_EQ(view.monitor.text(), "Server is running on http://localhost:8080\nModel: m");

  // While stopped a new token only changes the next status line.
  harness.onMain([&] {
    view.accessToken.setText("t");
    controller.accessTokenDidChange();
  });
  harness.settle();
  EXPECT_EQ(view.monitor.text(), "Server is running on http://localhost:8080\nModel: m");
  harness.onMain([&] { controller.showServerStatus("New model is selected.\n"); });
  harness.settle();
  EXPECT_EQ(view.monitor.text(),
            "New model is selected.\nServer is running on http://localhost:8080 (access token "
            "required)\nModel: m");

  // While running the status line follows the token at once.
  harness.onMain([&] {
    controller.isRunning = true;
    view.accessToken.setText("");
    controller.accessTokenDidChange();
  });
  harness.settle();
  EXPECT_EQ(view.monitor.text(), "Server is running on http://localhost:8080\nModel: m");
  harness.onMain([&] { controller.isRunning = false; });
}

TEST(AccessTokenSettingTest, RequestThreadsReadTheTokenWhileTheMainThreadChangesIt) {
  ControllerHarness harness;
  auto& controller = *harness.controller;
  std::atomic<bool> done{false};
  std::latch readersStarted{2};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      readersStarted.count_down();
      while (!done) {
        const std::string token = controller.accessToken();
        // Only whole tokens are ever seen.
        EXPECT_TRUE(token.empty() || token == std::string(64, 'a') || token == "b") << token;
      }
    });
  }
  readersStarted.wait();
  for (int i = 0; i < 60; ++i) {
    harness.onMain([&] {
      harness.view().accessToken.setText(i % 3 == 0 ? "" : i % 3 == 1 ? std::string(64, 'a') : "b");
      controller.accessTokenDidChange();
    });
  }
  done = true;
  for (auto& reader : readers) reader.join();
}

}  // namespace
}  // namespace velmora::app
