// GET /chat with a long kept conversation: 200 turns, each answer 4 KiB of Markdown (a list, a
// code block, a table, links, emphasis), asked for over loopback by a raw-socket client.
//
//   bench-chat-page [REQUESTS]   (default 50 per mode)
//
// "before": the answers joined without their rendering, as every answer did before each was
// rendered once when it joined, so that every request renders all 100 of them again, as the
// page always did then. "after": the answers joined as they do now. Prints the milliseconds per
// request (median, 90th percentile) and the page's size for each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/headless_view.h"
#include "app/view_controller.h"
#include "platform/http_client.h"
#include "platform/run_loop.h"
#include "platform/settings_file.h"

namespace {

using namespace velmora;

constexpr int kTurns = 200;
constexpr std::size_t kAnswerBytes = 4096;

std::string markdownAnswer(int number) {
  const std::string block =
      "Here is **one way** to do it, with `code` and a [link](https://example.org/" +
      std::to_string(number) +
      ").\n\n1. First *step*, which says a little more than it must\n2. Second step\n"
      "   - a nested point\n\n```cpp\nint main() { return 0; }\n```\n\n| a | b |\n| --- | --- |\n"
      "| 1 | 2 |\n\n> A quoted line, and <b>raw html</b> that stays text.\n\n";
  std::string answer;
  while (answer.size() + block.size() <= kAnswerBytes) answer += block;
  answer.append(kAnswerBytes - answer.size(), '.');
  return answer;
}

// One GET /chat on a fresh connection; the bytes received.
std::size_t getChat(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  const std::string request = "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n";
  if (::send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    std::perror("send");
    std::exit(1);
  }
  std::size_t received = 0;
  char buffer[65536];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    received += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return received;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  std::string folder = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
  const std::filesystem::path dir = ::mkdtemp(folder.data());

  platform::RunLoopMainQueue queue;  // never run: the chat page needs no main thread
  platform::SettingsFile settings(dir / "settings.json");
  platform::CurlHttpClient curl;
  app::HeadlessView view;
  auto controller = std::make_shared<app::ViewController>(
      view.view(), queue, settings, curl, [] { return std::vector<std::string>{"127.0.0.1"}; },
      dir / "conversation.json");
  view.serverPort.setText("0");
  controller->startWebServer();
  const int port = controller->webServer->port();

  std::printf("GET /chat, %d turns (answers of %zu bytes of Markdown), %d requests each\n", kTurns,
              kAnswerBytes, requests);
  for (const bool renderedOnJoining : {false, true}) {
    controller->resetChatHistory();
    for (int i = 0; i < kTurns / 2; ++i) {
      controller->chatHistory.append({"user", "Question " + std::to_string(i)});
      relay::ChatMessage answer{"assistant", markdownAnswer(i)};
      if (renderedOnJoining) {
        controller->appendAssistantMessage(std::move(answer), controller->chatGeneration());
      } else {
        controller->chatHistory.append(std::move(answer));
      }
    }
    getChat(port);  // warm-up
    std::vector<double> milliseconds;
    std::size_t bytes = 0;
    for (int r = 0; r < requests; ++r) {
      const auto start = std::chrono::steady_clock::now();
      bytes = getChat(port);
      milliseconds.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("%-7s median %.2f ms, p90 %.2f ms, page %zu bytes\n",
                renderedOnJoining ? "after" : "before", milliseconds[milliseconds.size() / 2],
                milliseconds[milliseconds.size() * 9 / 10], bytes);
  }
  controller->webServer->stop();
  std::filesystem::remove_all(dir);
  return 0;
}
