#include "app/view_controller.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/app/controller_harness.h"

namespace velmora::app {
namespace {

using testing::ControllerHarness;

TEST(RelaySettingsTest, FirstLaunchShowsTheDefaults) {
  ControllerHarness harness;
  auto& view = harness.view();
  harness.onMain([&] { harness.controller->loadSettings(); });
  EXPECT_EQ(view.initMessage.text(), "<h1>Velmora</h1>");
  EXPECT_EQ(view.sysPrompt.text(), "");
  EXPECT_EQ(view.studioIP.text(), "localhost");
  EXPECT_EQ(view.studioPort.text(), "1234");
  EXPECT_EQ(view.serverPort.text(), "8080");
  EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>(""));
  EXPECT_EQ(harness.controller->urlRequestTemplate().url, "http://127.0.0.1:1234/v1/chat/completions");
  EXPECT_EQ(harness.controller->urlRequestTemplate().timeoutInterval, std::chrono::seconds(60));
}

TEST(RelaySettingsTest, StoredTextsWinOverDefaultsEvenWhenEmpty) {
  ControllerHarness harness;
  auto& settings = harness.settings();
  settings.set("initialMessage", "");
  settings.set("studioIP", "");
  settings.set("serverPort", "9000");
  settings.set("modelName", "qwen");
  settings.set("SysPrompt", "old prompt");  // read because "systemPrompt" is absent
  harness.onMain([&] { harness.controller->loadSettings(); });
  auto& view = harness.view();
  EXPECT_EQ(view.initMessage.text(), "");
  EXPECT_EQ(view.studioIP.text(), "");
  EXPECT_EQ(view.serverPort.text(), "9000");
  EXPECT_EQ(view.sysPrompt.text(), "old prompt");
  EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>("qwen"));

  settings.set("systemPrompt", "");  // empty: still falls back
  harness.onMain([&] { harness.controller->loadSettings(); });
  EXPECT_EQ(view.sysPrompt.text(), "old prompt");
  settings.set("systemPrompt", "new prompt");
  harness.onMain([&] { harness.controller->loadSettings(); });
  EXPECT_EQ(view.sysPrompt.text(), "new prompt");
}

TEST(RelaySettingsTest, SavePrefsStoresTheTextsAsTheyStand) {
  ControllerHarness harness;
  auto& view = harness.view();
  harness.onMain([&] {
    harness.controller->loadSettings();
    view.studioIP.setText("");
    view.sysPrompt.setText("be brief");
    view.serverPort.setText("+80");
    harness.controller->savePrefs();
  });
  const auto next = harness.settingsOfNextLaunch();
  EXPECT_EQ(next->string("studioIP"), std::optional<std::string>(""));
  EXPECT_EQ(next->string("systemPrompt"), std::optional<std::string>("be brief"));
  EXPECT_EQ(next->string("serverPort"), std::optional<std::string>("+80"));
  EXPECT_EQ(next->string("initialMessage"), std::optional<std::string>("<h1>Velmora</h1>"));
  EXPECT_EQ(next->string("modelName"), std::nullopt);  // only the model popup writes it
}

TEST(RelaySettingsTest, BackendAddressRules) {
  ControllerHarness harness;
  auto& view = harness.view();
  auto& controller = *harness.controller;
  harness.onMain([&] {
    controller.loadSettings();
    view.studioIP.setText("");
    EXPECT_TRUE(controller.applyBackendAddress(ViewController::BackendField::host));
    EXPECT_EQ(controller.urlRequestTemplate().url, "http://localhost:1234/v1/chat/completions");

    view.studioIP.setText("10.0.0.5");
    view.studioPort.setText("");
    EXPECT_TRUE(controller.applyBackendAddress(ViewController::BackendField::port));
    EXPECT_EQ(controller.urlRequestTemplate().url, "http://10.0.0.5:1234/v1/chat/completions");

    // A host with a blank does not form a URL: nothing changes but the stored text.
    view.studioIP.setText("bad host");
    EXPECT_FALSE(controller.applyBackendAddress(ViewController::BackendField::host));
    EXPECT_EQ(controller.urlRequestTemplate().url, "http://10.0.0.5:1234/v1/chat/completions");
  });
  const auto next = harness.settingsOfNextLaunch();
  EXPECT_EQ(next->string("studioIP"), std::optional<std::string>("bad host"));
  EXPECT_EQ(next->string("studioPort"), std::optional<std::string>("1234"));  // default, not ""
}

TEST(RelaySettingsTest, RelayPortTexts) {
  struct Row {
    const char* text;
    std::optional<int> port;
  };
  const std::vector<Row> rows = {
      {"", 8080},      {"abc", 8080},  {" 80", 8080},         {"80 ", 8080},
      {"+80", 80},     {"0", 0},       {"65535", 65535},      {"-0", 0},
      {"70000", std::nullopt},         {"-1", std::nullopt},  {"99999999999999999999", std::nullopt},
      {"+", 8080},     {"8o8o", 8080},
  };
  ControllerHarness harness;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    harness.onMain([&] {
      harness.view().serverPort.setText(row.text);
      EXPECT_EQ(harness.controller->relayPortNumber(), row.port);
    });
  }
}

TEST(MonitorTest, StatusLineBeforeAndAfterTheFirstStart) {
  ControllerHarness harness;
  auto& view = harness.view();
  auto& controller = *harness.controller;
  harness.onMain([&] {
    view.serverPort.setText("+80");
    controller.selectedModel = "m";
    controller.showServerStatus("");
  });
  harness.settle();
  EXPECT_EQ(view.monitor.text(), "Server is running on http://localhost:+80\nModel: m");

  harness.onMain([&] {
    controller.selectedModel.reset();
    controller.reportStartSucceeded();
  });
  harness.settle();
  EXPECT_EQ(controller.serverIP, std::optional<std::string>("192.168.1.20"));
  EXPECT_EQ(view.monitor.text(), "Server is running on http://192.168.1.20:+80\nModel: ");

  harness.onMain([&] {
    controller.isRunning = true;
    controller.reportStartFailed("bindFailed(\"Address already in use\")");
  });
  EXPECT_FALSE(controller.isRunning);
  EXPECT_EQ(view.monitor.text(), "Failed to start server: bindFailed(\"Address already in use\")");
}

TEST(MonitorTest, ServerIPFallsBackToLocalhostWithoutAnIPv4Address) {
  ControllerHarness harness({"fe80::1", "::1"});
  harness.onMain([&] { harness.controller->pickServerIP(); });
  EXPECT_EQ(harness.controller->serverIP, std::optional<std::string>("localhost"));
}

TEST(MonitorTest, ReplacementsFromManyThreadsLandInQueueOrder) {
  ControllerHarness harness;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) harness.controller->setMonitorText(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  harness.controller->setMonitorText("last");
  harness.settle();
  const auto& history = harness.view().monitor.history;
  ASSERT_EQ(history.size(), 201u);
  EXPECT_EQ(history.back(), "last");
  // Each thread's own texts keep their order.
  for (int t = 0; t < 4; ++t) {
    int expected = 0;
    for (const auto& text : history) {
      if (text.rfind(std::to_string(t) + ":", 0) == 0) {
        EXPECT_EQ(text, std::to_string(t) + ":" + std::to_string(expected++));
      }
    }
    EXPECT_EQ(expected, 50);
  }
}

TEST(ChatSessionTest, CompletionRequestCarriesSystemPromptAndWholeHistory) {
  ControllerHarness harness;
  auto& controller = *harness.controller;
  controller.appendUserMessage("");
  controller.appendAssistantMessage("a1");
  controller.appendUserMessage("q2");

  const platform::HttpClientRequest request = controller.makeCompletionRequest("model-x", " ");
  EXPECT_EQ(request.url, "http://127.0.0.1:1234/v1/chat/completions");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.timeoutInterval, std::chrono::seconds(120));
  EXPECT_EQ(request.headers, (platform::HttpClientHeaders{{"Content-Type", "application/json"}}));
  ASSERT_TRUE(request.body);
  const auto body = nlohmann::json::parse(request.body->begin(), request.body->end());
  EXPECT_EQ(body, nlohmann::json::parse(R"({"model":"model-x","stream":true,"messages":[
      {"role":"system","content":" "},{"role":"user","content":""},
      {"role":"assistant","content":"a1"},{"role":"user","content":"q2"}]})"));

  // No system prompt: the list starts with the oldest turn.
  const auto plain = controller.makeCompletionRequest("", "");
  const auto plainBody = nlohmann::json::parse(plain.body->begin(), plain.body->end());
  EXPECT_EQ(plainBody["messages"][0], (nlohmann::json{{"role", "user"}, {"content", ""}}));
  EXPECT_EQ(plainBody["model"], "");

  controller.resetChatHistory();
  EXPECT_TRUE(controller.chatMessages().empty());
}

TEST(ChatSessionTest, HistoryResetNoticeKeepsTheHistory) {
  ControllerHarness harness;
  harness.controller->appendUserMessage("kept");
  harness.controller->noteHistoryReset();
  harness.settle();
  EXPECT_EQ(harness.view().monitor.text(), "チャット履歴を初期化しました。");
  EXPECT_EQ(harness.controller->chatMessages().size(), 1u);
}

TEST(ChatSessionTest, ConcurrentAppendsLoseNothing) {
  ControllerHarness harness;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        harness.controller->appendUserMessage("u");
        (void)harness.controller->makeCompletionRequest("m", "s");
        harness.controller->appendAssistantMessage("a");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(harness.controller->chatMessages().size(), 8u * 100u);
}

}  // namespace
}  // namespace velmora::app
