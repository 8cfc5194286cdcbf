// The velmora program without a window: its command line, its console, a chat turn through it,
// and its end on SIGINT and SIGTERM. VELMORA_BINARY comes from the build.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "tests/app/child_process.h"
#include "tests/support/fake_backend_process.h"
#include "tests/support/test_client.h"

namespace velmora::app {
namespace {

using testing::ChildProcess;
using velmora::testing::FakeBackendProcess;

class TempFolder {
 public:
  TempFolder()
      : path_(
            std::filesystem::temp_directory_path() /
            ("velmora-headless-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

bool exitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// Whether `lines` holds `expected` in this order, other lines allowed between them.
::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& expected) {
  std::size_t next = 0;
  for (const auto& line : lines) {
    if (next < expected.size() && line == expected[next]) ++next;
  }
  if (next == expected.size()) return ::testing::AssertionSuccess();
  std::string all;
  for (const auto& line : lines) all += "  " + line + "\n";
  return ::testing::AssertionFailure() << "missing \"" << expected[next] << "\" in order in:\n"
                                       << all;
}

bool refusesConnections(int port) {
  try {
    velmora::testing::TestClient client(port);
    return false;
  } catch (const std::exception&) {
    return true;
  }
}

// A running `velmora --headless` in front of a fake backend, on a free relay port.
struct Relay {
  explicit Relay(FakeBackendProcess& backend,
                 std::vector<std::string> extra = {"--model", "fake-model-2"})
      : process(arguments(backend, std::move(extra))) {}

  std::vector<std::string> arguments(FakeBackendProcess& backend, std::vector<std::string> extra) {
    std::vector<std::string> all = {
        VELMORA_BINARY, "--headless", "--settings", folder.file("settings.json"),
        "--port",       "0",          "--backend",  "127.0.0.1:" + std::to_string(backend.port())};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  // The relay's real port, from the browser line.
  int waitForBrowserLine() {
    const auto line = process.readLineStartingWith("Open http://");
    if (!line) return -1;
    std::smatch match;
    static const std::regex pattern(R"(^Open http://[^ ]+:(\d+)/ in a browser$)");
    if (!std::regex_match(*line, match, pattern)) return -1;
    return std::stoi(match[1]);
  }

  TempFolder folder;
  ChildProcess process;
};

TEST(HeadlessRunTest, VersionHelpAndBadOptions) {
  {
    ChildProcess version({VELMORA_BINARY, "--version"});
    EXPECT_EQ(version.readLine(), std::optional<std::string>("Velmora 1.0.0"));
    EXPECT_TRUE(exitedWith(version.waitForExit(), 0));
  }
  {
    ChildProcess help({VELMORA_BINARY, "--help"});
    help.readToEnd();
    EXPECT_TRUE(exitedWith(help.waitForExit(), 0));
    ASSERT_FALSE(help.lines.empty());
    EXPECT_EQ(help.lines[0].rfind("Usage: velmora", 0), 0u);
    std::string text;
    for (const auto& line : help.lines) text += line + "\n";
    for (const char* option :
         {"--headless", "--model", "--port", "--backend", "--settings", "--access-token"}) {
      EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    EXPECT_NE(text.find("stored"), std::string::npos);
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--frobnicate"},
                                              {"--port", "65536"},
                                              {"--port", "-1"},
                                              {"--port"},
                                              {"--backend", "nohost"},
                                              {"--backend", ":1234"},
                                              {"--access-token"},
                                              {"--help=yes"}}) {
    std::vector<std::string> arguments = {VELMORA_BINARY};
    arguments.insert(arguments.end(), bad.begin(), bad.end());
    SCOPED_TRACE(arguments.back());
    ChildProcess run(arguments);
    run.readToEnd();
    EXPECT_TRUE(exitedWith(run.waitForExit(), 2));
    EXPECT_TRUE(run.lines.empty());  // the complaint goes to standard error
  }
}

TEST(HeadlessRunTest, ServesAChatTurnAndEndsOnSigterm) {
  FakeBackendProcess backend;
  Relay relay(backend);
  const int port = relay.waitForBrowserLine();
  ASSERT_GT(port, 0);
  EXPECT_TRUE(inOrder(relay.process.lines,
                      {"monitor: Ready", "Starting server...", "✅ startWebServer() succeeded"}));
  // The status line shows the port text; the browser line the port the system chose.
  const auto& lines = relay.process.lines;
  const auto status = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("monitor: Server is running on http://", 0) == 0;
  });
  ASSERT_NE(status, lines.end());
  EXPECT_EQ(status->substr(status->size() - 2), ":0");
  // The model list's console print comes from the fetch thread and may land in between.
  const auto next = std::find_if(status + 1, lines.end(), [](const std::string& line) {
    return line.rfind("monitor: ", 0) == 0;
  });
  ASSERT_NE(next, lines.end());
  EXPECT_EQ(*next, "monitor: Model: fake-model-2");
  EXPECT_EQ(lines.back().rfind("Open http://", 0), 0u);

  // The popup holds the fetched models.
  ASSERT_TRUE(relay.process.waitForLineStartingWith("models: "));
  EXPECT_TRUE(inOrder(relay.process.lines, {"models: fake-model-1, fake-model-2"}));

  {
    velmora::testing::TestClient browser(port);
    browser.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(browser.readResponse().find("<h1>Velmora</h1>"), std::string::npos);
  }
  {
    velmora::testing::TestClient browser(port);
    const std::string form = "prompt=hi&reset=1";
    browser.send(
        "POST /submit HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        std::to_string(form.size()) + "\r\n\r\n" + form);
    EXPECT_NE(browser.readUntilClose().find("Hello, world!"), std::string::npos);
  }
  // The chat went to the backend given on the command line, with the chosen model.
  const auto requests = backend.requests();
  const auto chat = std::find_if(requests.begin(), requests.end(), [](const nlohmann::json& r) {
    return r["path"] == "/v1/chat/completions";
  });
  ASSERT_NE(chat, requests.end());
  EXPECT_EQ((*chat)["json"]["model"], "fake-model-2");

  relay.process.signal(SIGTERM);
  EXPECT_TRUE(exitedWith(relay.process.waitForExit(), 0));
  EXPECT_TRUE(refusesConnections(port));
  // The options were stored like edits in the window.
  std::ifstream file(relay.folder.file("settings.json"));
  const auto stored = nlohmann::json::parse(file);
  EXPECT_EQ(stored["modelName"], "fake-model-2");
  EXPECT_EQ(stored["serverPort"], "0");
  EXPECT_EQ(stored["studioIP"], "127.0.0.1");
  EXPECT_EQ(stored["studioPort"], std::to_string(backend.port()));
}

TEST(HeadlessRunTest, AccessTokenIsStoredAndGuardsTheRelay) {
  FakeBackendProcess backend;
  Relay relay(backend, {"--model", "fake-model-2", "--access-token=s3cret"});
  const int port = relay.waitForBrowserLine();
  ASSERT_GT(port, 0);
  // The status line's first line says that the relay asks for a token.
  const auto& lines = relay.process.lines;
  const auto status = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("monitor: Server is running on http://", 0) == 0;
  });
  ASSERT_NE(status, lines.end());
  const std::string clause = ":0 (access token required)";
  ASSERT_GT(status->size(), clause.size());
  EXPECT_EQ(status->substr(status->size() - clause.size()), clause);
  const auto get = [port](const std::string& headers) {
    velmora::testing::TestClient client(port);
    client.send("GET / HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
    return velmora::testing::parseResponse(client.readUntilClose());
  };
  EXPECT_EQ(get("").statusLine, "HTTP/1.1 401 Unauthorized");
  const auto allowed = get("Authorization: Bearer s3cret\r\n");
  EXPECT_EQ(allowed.statusLine, "HTTP/1.1 200 OK");
  EXPECT_NE(allowed.body.find("<h1>Velmora</h1>"), std::string::npos);

  relay.process.signal(SIGTERM);
  EXPECT_TRUE(exitedWith(relay.process.waitForExit(), 0));
  std::ifstream file(relay.folder.file("settings.json"));
  EXPECT_EQ(nlohmann::json::parse(file)["accessToken"], "s3cret");
}

// A stop signal while an answer streams: the relay, the browser's connection and the backend
// request all end, and the program exits 0 without waiting for the backend.
TEST(HeadlessRunTest, StopSignalEndsEverythingInFlight) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    FakeBackendProcess backend(nlohmann::json{{"hang", true}});
    Relay relay(backend);
    const int port = relay.waitForBrowserLine();
    ASSERT_GT(port, 0);

    velmora::testing::TestClient browser(port, std::chrono::seconds(30));
    const std::string form = "prompt=hi";
    browser.send(
        "POST /submit HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        std::to_string(form.size()) + "\r\n\r\n" + form);
    // The backend holds the request open.
    const auto chatArrived = [&] {
      for (const auto& request : backend.requests()) {
        if (request["path"] == "/v1/chat/completions") return true;
      }
      return false;
    };
    bool arrived = false;
    for (int i = 0; i < 400 && !(arrived = chatArrived()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(arrived);

    relay.process.signal(signal);
    EXPECT_TRUE(exitedWith(relay.process.waitForExit(), 0));
    relay.process.readToEnd();
    for (const auto& line : relay.process.lines) {
      EXPECT_EQ(line.find("did not end in time"), std::string::npos) << line;
    }
    browser.readUntilClose();  // ends rather than timing out
    // The only connection left open is the one asking.
    bool backendReleased = false;
    for (int i = 0; i < 400 && !backendReleased; ++i) {
      backendReleased = backend.call("GET", "/_control/connections").body["open"] == 1;
      if (!backendReleased) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(backendReleased);
  }
}

TEST(HeadlessRunTest, WithoutAModelListsTheModelsAndWaits) {
  FakeBackendProcess backend;
  Relay relay(backend, {});
  ASSERT_TRUE(relay.process.waitForLineStartingWith("No model chosen"));
  ASSERT_TRUE(relay.process.waitForLineStartingWith("models: "));
  EXPECT_TRUE(
      inOrder(relay.process.lines, {"monitor: Ready", "monitor: Select model, then start server"}));
  EXPECT_TRUE(inOrder(relay.process.lines, {"models: fake-model-1, fake-model-2"}));
  for (const auto& line : relay.process.lines) EXPECT_NE(line, "Starting server...");
  relay.process.signal(SIGINT);
  EXPECT_TRUE(exitedWith(relay.process.waitForExit(), 0));
}

}  // namespace
}  // namespace velmora::app
