// velmora --headless as a user runs it: a child process in front of the fake model server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/settings_file.h"
#include "tests/http/http_test.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_backend.h"
#include "tests/support/qr_scan.h"
#include "tests/support/test_client.h"

namespace velmora::app {
namespace {

// The half-block lines of a terminal's QR code as a picture of 4 pixels per module (a block is
// light), written to `path` as a PGM file; false when a line holds anything else.
bool drawTerminalCode(const std::vector<std::string>& lines, const std::string& path) {
  constexpr int kScale = 4;
  std::string pixels, top, bottom;  // a line holds two rows of modules
  for (const std::string& line : lines) {
    top.clear(), bottom.clear();
    for (std::size_t i = 0; i < line.size();) {
      const std::string_view rest = std::string_view(line).substr(i);
      const bool upper = rest.starts_with("█") || rest.starts_with("▀");
      const bool lower = rest.starts_with("█") || rest.starts_with("▄");
      if (!upper && !lower && line[i] != ' ') return false;
      top.append(kScale, upper ? '\xff' : '\0'), bottom.append(kScale, lower ? '\xff' : '\0');
      i += upper || lower ? std::string_view("█").size() : 1;
    }
    for (int i = 0; i < 2 * kScale; ++i) pixels += i < kScale ? top : bottom;
  }
  if (top.empty()) return false;
  return static_cast<bool>(std::ofstream(path, std::ios::binary)
                           << "P5\n"
                           << top.size() << " " << pixels.size() / top.size() << "\n255\n"
                           << pixels);
}

// The port in "Open http://ADDRESS:PORT/ in a browser": the one the relay really took.
int portOf(const std::string& openLine) {
  const std::size_t end = openLine.rfind('/'), colon = openLine.rfind(':', end);
  return std::stoi(openLine.substr(colon + 1, end - colon - 1));
}

// The relay's whole answer to a POST of `body` to `path`.
std::string posted(int port, const std::string& path, const std::string& body) {
  testing::TestClient client(port);
  client.send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body);
  return client.readUntilClose();
}

TEST(VelmoraProgramTest, HeadlessRunServesSavesItsSettingsAndEndsOnSigterm) {
  testing::FakeBackend backend;
  const http::TemporaryDirectory folder;
  const std::filesystem::path config = folder.path;
  const std::string backendPort = std::to_string(backend.port());
  const std::vector<std::string> folders = {"XDG_CONFIG_HOME=" + config.string(),
                                            "XDG_STATE_HOME=" + config.string()};
  testing::ChildProcess velmora(
      {VELMORA_BINARY, "--headless", "--model", "fake-model", "--port", "0", "--backend",
       "127.0.0.1:" + backendPort, "--keep-conversation", "--qr"},
      folders);
  EXPECT_TRUE(velmora.waitForLine("models: fake-model"));
  const int port = portOf(velmora.waitForLine("/ in a browser").value_or(":0/"));
  EXPECT_NE(posted(port, "/submit", "prompt=hi%1B&reset=1").find(">You said: hi\x1B</div>"),
            std::string::npos);
  // Console lines carry the conversation and a program's body: an escape sequence in them would
  // rewrite the operator's terminal.
  posted(port, "/api/chat", "\x1B[2J{}");
  EXPECT_TRUE(velmora.waitForLine("/api/chat:  ").value_or("").find("hi\\x1B") !=
              std::string::npos);
  for (const std::string& line : velmora.lines)
    EXPECT_EQ(line.find('\x1B'), std::string::npos) << line;
  // --qr prints the chat page's code under its line, though the output is no terminal here.
  const auto chat =
      std::find_if(velmora.lines.begin(), velmora.lines.end(),
                   [](const std::string& line) { return line.starts_with("Chat page: "); });
  ASSERT_NE(chat, velmora.lines.end());
  // Another thread's line may come between the address lines and the code.
  const auto codeLine = [](const std::string& line) {
    return !line.empty() && line.find_first_not_of(" \xe2\x96\x80\x84\x88") == std::string::npos;
  };
  const auto codeBegin = std::find_if(chat + 1, velmora.lines.end(), codeLine);
  const auto codeEnd = std::find_if_not(codeBegin, velmora.lines.end(), codeLine);
  const std::string image = (config / "code.pgm").string();
  ASSERT_TRUE(drawTerminalCode({codeBegin, codeEnd}, image));
  EXPECT_EQ(testing::scannedQrCode(image), chat->substr(std::string_view("Chat page: ").size()));

  // A second process on the same conversation file says so and leaves the file to the first.
  testing::ChildProcess second({VELMORA_BINARY, "--headless"}, folders);
  EXPECT_TRUE(second.waitForLine("Another Velmora process keeps the conversation in"));
  const int elsewhere = portOf(second.waitForLine("/ in a browser").value_or(":0/"));
  EXPECT_NE(posted(elsewhere, "/submit", "prompt=elsewhere").find("You said: elsewhere"),
            std::string::npos);
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitForExit(), 0);

  // An answer cut by quitting is kept, marked stopped.
  backend.respond([](const testing::BackendRequest&) {
    return testing::BackendAnswer{.writes = {testing::streamEvent(R"({"content":"half"})")},
                                  .end = testing::BackendAnswer::End::hang};
  });
  testing::TestClient cut(port);
  cut.send("POST /submit HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\nprompt=cut");
  EXPECT_NE(cut.readUntil("half").find("half"), std::string::npos);
  velmora.signal(SIGTERM);
  EXPECT_EQ(velmora.waitForExit(), 0);
  std::ifstream file(config / "velmora" / "conversation.json");
  const std::string kept(std::istreambuf_iterator<char>(file), {});
  EXPECT_TRUE(kept.ends_with(R"({"role":"assistant","content":"half","stopped":true}]})"
                             "\n"))
      << kept;
  EXPECT_EQ(kept.find("elsewhere"), std::string::npos);

  const platform::SettingsFile saved(config / "velmora" / "settings.json");
  EXPECT_EQ(saved.string("modelName"), "fake-model");
  EXPECT_EQ(saved.string("studioIP").value_or("") + ":" + saved.string("studioPort").value_or(""),
            "127.0.0.1:" + backendPort);

  // A launch without options serves from the stored settings and writes nothing: the file is
  // the same one (a rewrite renames a new file over it).
  struct stat before {
  }, after{};
  ::stat((config / "velmora" / "settings.json").c_str(), &before);
  testing::ChildProcess again({VELMORA_BINARY, "--headless"}, folders);
  EXPECT_TRUE(again.waitForLine("velmora/conversation.json is loaded ("));
  EXPECT_TRUE(again.waitForLine("/ in a browser"));
  again.signal(SIGTERM);
  EXPECT_EQ(again.waitForExit(), 0);
  ::stat((config / "velmora" / "settings.json").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(VelmoraProgramTest, AKeyedHttpsBackendThatStartsTenSecondsLate) {
  const testing::TestCertificate tls;
  const int backendPort = testing::FakeBackend().port();  // free again once the probe is gone
  const http::TemporaryDirectory folder;
  const std::filesystem::path config = folder.path;
  const std::string key = "sk-never-printed";
  const std::string base = "https://127.0.0.1:" + std::to_string(backendPort) + "/v1";
  const auto started = std::chrono::steady_clock::now();
  testing::ChildProcess velmora(
      {VELMORA_BINARY, "--headless", "--model", "fake-model", "--port", "0", "--backend", base,
       "--backend-ca", tls.certificate},
      {"XDG_CONFIG_HOME=" + config.string(), "VELMORA_BACKEND_KEY=" + key});
  EXPECT_TRUE(velmora.waitForLine("monitor: Waiting for the model server at " + base + "…"));
  const std::string open = velmora.waitForLine("/ in a browser").value_or(":0/");
  std::this_thread::sleep_until(started + std::chrono::seconds(10));
  testing::FakeBackend backend(backendPort, &tls);
  backend.requireKey(key);
  EXPECT_TRUE(velmora.waitForLine("models: fake-model"));
  EXPECT_NE(posted(portOf(open), "/submit", "prompt=hi").find(">You said: hi</div>"),
            std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(backend.requests().back().body).at("model"), "fake-model");
  // A server that quotes the key it refuses: the page, the monitor and the console hide it.
  backend.requireKey("another");
  EXPECT_NE(
      posted(portOf(open), "/submit", "prompt=hi").find("Invalid API key: Bearer [backend key]]"),
      std::string::npos);
  EXPECT_TRUE(
      velmora.waitForLine("monitor: [Error: HTTP 401: Invalid API key: Bearer [backend key]]"));
  velmora.signal(SIGTERM);
  EXPECT_EQ(velmora.waitForExit(), 0);
  for (const std::string& line : velmora.lines)
    EXPECT_EQ(line.find(key), std::string::npos) << line;
  struct stat file {};
  ::stat((config / "velmora" / "settings.json").c_str(), &file);
  EXPECT_EQ(file.st_mode & 0777, 0600u);  // it holds the key
}

}  // namespace
}  // namespace velmora::app
