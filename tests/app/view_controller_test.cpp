// The window controller on headless controls: settings, the relay port, the start/stop toggle and
// the model popup.
#include "app/view_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/app/controller_rig.h"
#include "tests/support/test_client.h"

namespace velmora::app {
namespace {

// Model-list fetches whose answers the test hands out, in any order.
struct HeldFetches final : platform::HttpClient {
  std::shared_ptr<platform::HttpClientTask> start(
      platform::HttpClientRequest, std::shared_ptr<platform::HttpClientDelegate>) override {
    throw std::logic_error("only model lists here");
  }
  std::shared_ptr<platform::HttpClientTask> fetch(platform::HttpClientRequest,
                                                  platform::HttpClientCompletion done) override {
    completions.push_back(std::move(done));
    return nullptr;
  }
  // Completes fetch `index` on the calling thread, as a request's own would; "" fails it.
  void answer(std::size_t index, const std::string& body) {
    platform::HttpClientResult result{200, {}, {body.begin(), body.end()}, std::nullopt};
    if (body.empty()) result.error = "Couldn't connect to server";
    completions.at(index)(std::move(result));
  }
  std::vector<platform::HttpClientCompletion> completions;  // main thread; the test after a sync
};

class ViewControllerTest : public ::testing::Test {
 protected:
  HeldFetches client;
  ControllerRig rig{client};
};

TEST_F(ViewControllerTest, SettingsLoadWithDefaultsForWhatIsAbsent) {
  rig.settings->set("studioIP", "10.0.0.9");
  rig.settings->set("SysPrompt", "older key");
  rig.settings->set("accessToken", " t0k \n");
  rig.onMain([&] {
    rig.controller->loadSettings();
    EXPECT_EQ(rig.view.studioIP.text() + " " + rig.view.studioPort.text() + " " +
                  rig.view.serverPort.text() + " " + rig.view.sysPrompt.text(),
              "10.0.0.9 1234 8080 older key");
  });
  EXPECT_EQ(rig.controller->accessToken(), "t0k");
}

TEST_F(ViewControllerTest, BackendAddressForms) {
  const std::pair<std::string, std::string> rows[] = {
      {"gpu-box", "http://gpu-box:4000/v1/chat/completions"},
      {"http://gpu-box:4000", "http://gpu-box:4000/v1/chat/completions"},
      {"https://models.example.org/v1", "https://models.example.org/v1/chat/completions"},
      {"https://r.example/openai/v1/", "https://r.example/openai/v1/chat/completions"},
      {"ftp://gpu-box/v1", ""},
      {"https://r.example/v1?x=1", ""},
      {"gpu box", ""},
  };
  for (const auto& [host, url] : rows) {
    SCOPED_TRACE(host);
    rig.onMain([&] {
      rig.view.studioIP.setText("localhost");
      rig.view.studioPort.setText("4000");
      rig.controller->applyBackendAddress(ViewController::BackendField::port);
      rig.view.studioIP.setText(host);
      EXPECT_EQ(rig.controller->applyBackendAddress(std::nullopt), !url.empty());
    });
    EXPECT_EQ(rig.controller->urlRequestTemplate().url,
              url.empty() ? "http://localhost:4000/v1/chat/completions" : url);
  }
}

TEST_F(ViewControllerTest, RelayPortField) {
  const std::pair<std::string, std::optional<int>> rows[] = {
      {"65535", 65535},  {"65536", {}},       {"0", 0},   {"+80", 80}, {"-0", 0},     {"-1", {}},
      {"065535", 65535}, {"99999999999", {}}, {"", 8080}, {"-", 8080}, {" 80", 8080}, {"80a", 8080},
  };
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE("\"" + text + "\"");
    std::optional<int> port;
    rig.onMain([&] {
      rig.view.serverPort.setText(text);
      port = rig.controller->relayPortNumber();
      if (!expected) rig.controller->startWebServer();
    });
    EXPECT_EQ(port, expected);
    if (expected) continue;
    EXPECT_EQ(rig.monitor(), "Failed to start server: port " + text + " is outside 0 to 65535");
    EXPECT_FALSE(rig.controller->webServer->isServing());
  }
}

TEST_F(ViewControllerTest, StartStopAndARestartOnAPortChange) {
  ViewController& controller = *rig.controller;
  const auto click = [&] {
    rig.onMain([&] { controller.mainButtonClicked(); });
    std::string title;
    rig.onMain([&] { title = rig.view.mainButton.title(); });
    return title;
  };
  rig.onMain([&] {
    controller.viewDidLoad();
    rig.view.serverPort.setText("0");
    controller.selectedModel = "";
  });
  click();
  EXPECT_EQ(rig.monitor(), "Select model, then start server");
  EXPECT_FALSE(controller.webServer->isServing());

  rig.onMain([&] { controller.selectedModel = "m"; });
  EXPECT_EQ(click(), "Stop Server");
  EXPECT_EQ(rig.monitor(), "Server is running on http://192.0.2.7:0\nModel: m");
  const int port = controller.webServer->port();
  EXPECT_NO_THROW(testing::TestClient{port});
  EXPECT_EQ(click(), "Start Server");
  EXPECT_EQ(rig.monitor(), "Server stopped");
  EXPECT_THROW(testing::TestClient{port}, std::runtime_error);

  click();
  bool stoppedAtOnce = false;
  rig.onMain([&] {
    rig.view.serverPort.setText("+0");
    controller.serverPortDidChange();
    stoppedAtOnce = !controller.isRunning && !controller.webServer->isServing();
  });
  EXPECT_TRUE(stoppedAtOnce);
  EXPECT_EQ(rig.monitor(), "Restarting server...");
  EXPECT_EQ(platform::SettingsFile(rig.settings->path()).string("serverPort"), "+0");
  // The restart comes a second later, on the new port text.
  const std::string restarted = "Server is running on http://192.0.2.7:+0\nModel: m";
  for (int i = 0; i < 2000 && rig.monitor() != restarted; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(rig.monitor(), restarted);
  EXPECT_TRUE(controller.webServer->isServing());
}

TEST_F(ViewControllerTest, ModelPopupFollowsTheNewestFetch) {
  const auto fetch = [&] { rig.onMain([&] { rig.controller->fetchModelList(); }); };
  using Popup = std::pair<std::vector<std::string>, std::optional<std::string>>;
  const auto answer = [&](std::size_t index, const std::string& body) {
    client.answer(index, body);
    Popup popup;
    rig.onMain([&] {
      popup = {rig.view.setModel.itemTitles(), rig.view.setModel.titleOfSelectedItem()};
    });
    return popup;
  };
  rig.settings->set("modelName", "m");
  fetch();
  EXPECT_EQ(answer(0, R"({"data":[{"id":"a"},{"id":"m"}]})"), Popup({"a", "m"}, "m"));
  fetch();
  EXPECT_EQ(answer(1, R"({"data":[{"id":"x"}]})"), Popup({"x"}, "x"));  // the only one is used
  fetch();
  EXPECT_EQ(answer(2, R"({"data":[{"id":"x"},{"id":"y"}]})"), Popup({"x", "y"}, std::nullopt));
  EXPECT_EQ(rig.monitor(), "Select model, then start server");
  fetch();
  answer(3, "");
  EXPECT_EQ(
      rig.monitor(),
      "Waiting for the model server at http://127.0.0.1:1234/v1… (Couldn't connect to server)");

  // Fetched again a second later without being asked; the saved model comes back with the list.
  std::size_t fetches = 0;
  for (int i = 0; i < 500 && fetches < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rig.onMain([&] { fetches = client.completions.size(); });
  }
  EXPECT_EQ(answer(4, R"({"data":[{"id":"z"},{"id":"m"}]})"), Popup({"z", "m"}, "m"));

  // Two fetches answering out of order: the newest list stays.
  fetch();
  fetch();
  answer(6, R"({"data":[{"id":"new"}]})");
  EXPECT_EQ(answer(5, R"({"data":[{"id":"old"}]})"), Popup({"new"}, "new"));
}

}  // namespace
}  // namespace velmora::app
