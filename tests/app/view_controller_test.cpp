// The window controller on headless controls: settings, the relay port, the start/stop toggle,
// the model popup and the kept conversation.
#include "app/view_controller.h"

#include <gtest/gtest.h>

#include <barrier>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "app/model_list.h"
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
  // The check box as a person ticks or unticks it.
  void keep(bool on) {
    rig.onMain([&] {
      rig.view.keepConversation.setChecked(on);
      rig.controller->keepConversationDidChange();
    });
  }
  void launch() {
    rig.relaunch();
    rig.onMain([&] { rig.controller->loadSettings(); });
  }
};

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

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
  // A list naming one model starts the relay that was asked for.
  rig.onMain([&] { controller.fetchModelList(); });
  client.answer(0, R"({"data":[{"id":"solo"}]})");
  rig.onMain([] {});
  EXPECT_TRUE(controller.webServer->isServing());
  EXPECT_EQ(click(), "Start Server");

  rig.onMain([&] { controller.selectedModel = "m"; });
  EXPECT_EQ(click(), "Stop Server");
  const int port = controller.webServer->port();
  EXPECT_EQ(rig.monitor(), "Server is running on http://192.0.2.7:" + std::to_string(port) +
                               "\nModel: m");  // the port taken, not the field's 0
  const auto addresses = [&] {
    std::string text;
    rig.onMain([&] { text = rig.view.pageAddresses.text(); });
    return text;
  };
  const std::string origin = "http://192.0.2.7:" + std::to_string(port);
  EXPECT_EQ(addresses(), "Start page: " + origin + "/\nChat page: " + origin + "/chat");
  EXPECT_NO_THROW(testing::TestClient{port});
  EXPECT_EQ(click(), "Start Server");
  EXPECT_EQ(rig.monitor(), "Server stopped");
  EXPECT_EQ(addresses(), "");
  EXPECT_THROW(testing::TestClient{port}, std::runtime_error);

  // While stopped a port change is stored and starts nothing; a port in use fails the start.
  const auto occupant = std::make_shared<http::HttpServer>();
  occupant->start(0, true);
  const auto changePort = [&](const std::string& text) {
    rig.onMain([&] {
      rig.view.serverPort.setText(text);
      controller.serverPortDidChange();
    });
    EXPECT_EQ(platform::SettingsFile(rig.settings->path()).string("serverPort"), text);
  };
  changePort(std::to_string(occupant->port()));
  EXPECT_EQ(rig.monitor(), "Server stopped");
  EXPECT_FALSE(controller.webServer->isServing());
  click();
  EXPECT_TRUE(rig.monitor().starts_with("Failed to start server: ")) << rig.monitor();
  rig.onMain([&] { EXPECT_FALSE(controller.isRunning); });
  changePort("0");

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
  for (int i = 0; i < 2000 && !rig.monitor().starts_with("Server is running"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(controller.webServer->isServing());
  EXPECT_EQ(rig.monitor(), "Server is running on http://192.0.2.7:" +
                               std::to_string(controller.webServer->port()) + "\nModel: m");

  // The server may stop on another thread while the main thread asks for its addresses.
  for (int round = 0; round < 200; ++round)
    rig.onMain([&] {
      std::jthread stopper([&] { controller.webServer->stop(); });
      while (controller.webServer->isServing()) EXPECT_NO_THROW(controller.relayPages());
      controller.webServer->start(0, true);
    });
  rig.onMain([&] { controller.viewDidAppear(); });  // the window shown again stops it
  EXPECT_EQ(rig.monitor(), "Server stopped");
  EXPECT_FALSE(controller.webServer->isServing());
  rig.onMain([&] { rig.view.serverPort.setText("65536"); });
  EXPECT_EQ(click(), "Start Server");  // after a failed start
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
  const auto fetchedAgain = [&](std::size_t fetches) {
    std::size_t made = 0;
    for (int i = 0; i < 500 && made < fetches; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      rig.onMain([&] { made = client.completions.size(); });
    }
    return made == fetches;
  };
  ASSERT_TRUE(fetchedAgain(5));
  EXPECT_EQ(answer(4, R"({"data":[{"id":"z"},{"id":"m"}]})"), Popup({"z", "m"}, "m"));

  // Two fetches answering out of order: the newest list stays.
  fetch();
  fetch();
  answer(6, R"({"data":[{"id":"new"}]})");
  EXPECT_EQ(answer(5, R"({"data":[{"id":"old"}]})"), Popup({"new"}, "new"));

  // The pause grows while one address fails (1, 2, 4 s); a new address starts again at 1 s.
  for (std::size_t i = 7; i < 10; ++i) fetch(), answer(i, "");
  rig.onMain([&] { rig.view.studioIP.setText("127.0.0.2"); });
  fetch();
  answer(10, "");
  EXPECT_TRUE(fetchedAgain(12));
}

TEST(ModelListTest, NamesAreTheStringIdsOfAListOfObjectsOnly) {
  using Names = std::optional<std::vector<std::string>>;
  const std::pair<std::string, Names> rows[] = {
      {R"({"data":[{"id":"a"},{"id":7},{"name":"b"},{"id":"a"}]})", Names({"a", "a"})},
      {R"({"data":[{"id":"a"},"b"]})", std::nullopt},
      {R"({"data":{"id":"a"}})", std::nullopt},
      {R"([{"id":"a"}])", std::nullopt},
  };
  for (const auto& [body, names] : rows)
    EXPECT_EQ(modelNames({body.begin(), body.end()}), names) << body;
}

TEST_F(ViewControllerTest, AKeptConversationLoadsOrIsSetAsideWholeWithANoticeThatStays) {
  const std::string valid =
      R"({"messages":[{"role":"user","content":"hi"},)"
      R"({"role":"assistant","content":"half","stopped":true,"speed":{"firstPieceSeconds":0.5,)"
      R"("tokensPerSecond":20,"tokens":9,"estimated":true}}]})";
  const std::tuple<const char*, std::optional<std::string>, std::vector<relay::ChatMessage>>
      rows[] = {
          {"missing", std::nullopt, {}},
          {"a stopped answer",
           valid,
           {{"user", "hi"}, {"assistant", "half", true, relay::AnswerSpeed{0.5, 20, 9, true}}}},
          {"not JSON", "hi", {}},
          {"truncated", valid.substr(0, valid.size() - 2), {}},
          {"a system turn", R"({"messages":[{"role":"system","content":"x"}]})", {}},
          {"content not text", R"({"messages":[{"role":"user","content":["x"]}]})", {}},
          {"stopped not a boolean",
           R"({"messages":[{"role":"user","content":"","stopped":1}]})",
           {}},
          {"a negative speed",
           R"({"messages":[{"role":"assistant","content":"","speed":)"
           R"({"firstPieceSeconds":1,"tokens":-1}}]})",
           {}}};
  rig.settings->set("keepConversation", "true");
  const fs::path file = rig.conversationFile();
  fs::create_directories(file.parent_path());
  std::set<fs::path> aside;  // every file set aside so far, most of them in the same second
  for (const auto& [name, bytes, loaded] : rows) {
    SCOPED_TRACE(name);
    fs::remove(file);
    if (bytes) std::ofstream(file, std::ios::binary) << *bytes;
    launch();
    rig.controller->showServerStatus("");
    EXPECT_EQ(rig.controller->chatMessages(), loaded);
    std::vector<fs::path> added;
    for (const fs::path& entry : fs::directory_iterator(file.parent_path()))
      if (entry != file && entry.extension() != ".lock" && aside.insert(entry).second)
        added.push_back(entry);
    ASSERT_EQ(added.size(), bytes && loaded.empty() ? 1u : 0u);
    if (added.empty()) continue;
    EXPECT_EQ(bytesOf(added[0]), *bytes);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NE(rig.monitor().find(added[0].string()), std::string::npos) << rig.monitor();
    EXPECT_NE(rig.monitor().find("Server is running"), std::string::npos) << rig.monitor();
  }
}

TEST_F(ViewControllerTest, TheConversationOutlivesARestartWhileKeptAndItsFileGoesWhenNot) {
  // Each profile has a file of its own; the default one keeps the usual place.
  EXPECT_EQ(relay::ConversationStore::pathFor("/p/work.json"), "/p/work.conversation.json");
  EXPECT_EQ(relay::ConversationStore::pathFor(platform::SettingsFile::defaultPath()),
            relay::ConversationStore::defaultPath());
  const fs::path file = rig.conversationFile();
  rig.onMain([&] { rig.controller->loadSettings(); });
  rig.controller->appendUserMessage("before");
  EXPECT_FALSE(fs::exists(file.parent_path()));  // off until asked for
  keep(true);
  EXPECT_NE(bytesOf(file).find("before"), std::string::npos);  // written at once
  rig.controller->resetChatHistory();
  // A photo that cannot be written first keeps its turn out of the file until it can.
  const std::string png = "\x89PNG\r\n\x1A\nkept";
  const relay::ChatImage picture =
      relay::makeChatImage(relay::ImageType::png, {png.begin(), png.end()});
  const fs::path photo = file.parent_path() / "conversation.images" / (picture.sha256 + ".png");
  fs::create_directories(photo);
  rig.controller->appendUserMessage("look", {picture});
  EXPECT_EQ(bytesOf(file).find("look"), std::string::npos);
  fs::remove(photo);
  rig.controller->appendUserMessage("hi");
  EXPECT_EQ(bytesOf(photo), png);
  EXPECT_EQ(fs::status(photo).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const uint64_t generation = rig.controller->chatGeneration();
  rig.controller->appendAssistantMessage({"assistant", "half", true}, generation);
  rig.controller->appendAssistantMessage({"assistant", "from before the reset"}, generation - 1);
  const std::vector<relay::ChatMessage> kept = rig.controller->chatMessages();
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  launch();  // no orderly end came first: as after kill -9
  EXPECT_EQ(rig.controller->chatMessages(), kept);
  const auto shown = rig.controller->chatImage(rig.controller->chatMessages()[0].images.at(0).id);
  ASSERT_TRUE(shown);
  EXPECT_EQ(*shown->bytes, std::vector<uint8_t>(png.begin(), png.end()));
  std::ofstream(photo) << "\x89PNG\r\n\x1A\ndamaged";
  launch();  // the turn stays, without its photo, and says so
  EXPECT_EQ(rig.controller->chatMessages(), kept);
  EXPECT_FALSE(rig.controller->chatMessages()[0].images[0].bytes);
  EXPECT_NE(rig.monitor().find("missing or damaged: 1"), std::string::npos) << rig.monitor();
  std::ofstream(file) << R"({"messages":[]})";
  rig.onMain([&] { rig.controller->loadSettings(); });  // read at launch only
  EXPECT_EQ(rig.controller->chatMessages(), kept);
  std::ofstream(file) << "{";
  launch();  // set aside with its photos, which the next write would remove as named by nothing
  std::size_t moved = 0;
  for (const fs::path& entry : fs::directory_iterator(file.parent_path()))
    moved += entry.string().find(".unreadable-") != std::string::npos &&
             fs::exists(entry / photo.filename());
  EXPECT_EQ(moved, 1u);
  rig.controller->resetChatHistory();
  EXPECT_FALSE(fs::exists(photo));

  keep(false);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(photo.parent_path()));
  rig.controller->appendUserMessage("after");
  EXPECT_FALSE(fs::exists(file));
  keep(true);
  rig.settings->set("keepConversation", "false");  // as --no-keep-conversation stores it
  launch();
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(ViewControllerTest, AFailingWriteIsSaidOncePerOutageAndLosesNothing) {
  const fs::path file = rig.conversationFile();
  std::ofstream(file.parent_path()) << "a file where the folder belongs";
  keep(true);
  rig.controller->showServerStatus("");
  EXPECT_NE(rig.monitor().find(file.string()), std::string::npos) << rig.monitor();
  rig.onMain([&] { rig.view.monitor.HeadlessTextField::setText("unchanged"); });
  rig.controller->appendUserMessage("one");
  EXPECT_EQ(rig.monitor(), "unchanged");
  fs::remove(file.parent_path());
  rig.controller->appendUserMessage("two");
  EXPECT_EQ(rig.monitor().find(file.string()), std::string::npos) << rig.monitor();
  launch();
  EXPECT_EQ(rig.controller->chatMessages().size(), 2u);
}

TEST_F(ViewControllerTest, TurnsFromSeveralThreadsAtOnceLeaveTheFileWithTheNewestState) {
  keep(true);
  int stale = 0;  // rounds after which the file held fewer turns than memory
  std::barrier round(4, [&]() noexcept {
    const auto file = nlohmann::json::parse(bytesOf(rig.conversationFile()), nullptr, false);
    stale +=
        file.is_discarded() || file["messages"].size() != rig.controller->chatMessages().size();
  });
  std::vector<std::jthread> browsers;
  for (int t = 0; t < 4; ++t) {
    browsers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        round.arrive_and_wait();
        rig.controller->appendUserMessage(std::to_string(t));
        round.arrive_and_wait();
      }
    });
  }
  browsers.clear();
  EXPECT_EQ(stale, 0);
}

}  // namespace
}  // namespace velmora::app
