// velmora-fake-backend [--port N]: the tests' fake model server as a program, for the browser
// test and the fault-and-load suite. Prints "listening on PORT" once it accepts; ends on SIGINT
// or SIGTERM. Besides the fake's echo, a prompt asking for "markdown" gets a Markdown answer, and
// one asking to answer "slowly" gets a few pieces and then hangs, printing "client left" once
// the relay closes that connection; one asking to "take your time" starts after 1.5 s, takes as
// long between its pieces and ends with llama.cpp's timings. Every request prints
// "request METHOD TARGET: " and its last message, then "image URL" for each image of that message.
#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/fake_backend.h"

int main(int argc, char** argv) {
  int port = 0;
  if (argc == 3 && std::string(argv[1]) == "--port") port = std::stoi(argv[2]);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the fake's threads inherit the mask
  using namespace velmora::testing;
  FakeBackend backend(port);
  backend.respond([](const BackendRequest& request) {
    // What reached it, for a test to learn that nothing else did.
    std::printf("request %s %s: %s\n", request.method.c_str(), request.target.c_str(),
                lastMessage(request).c_str());
    const auto sent = nlohmann::json::parse(request.body, nullptr, false);
    const auto last = sent.is_object() ? sent.value("messages", nlohmann::json()) : nullptr;
    if (last.is_array() && !last.empty() && last.back().is_object()) {
      for (const auto& part : last.back().value("content", nlohmann::json::array())) {
        if (part.is_object() && part.value("type", "") == "image_url")
          std::printf("image %s\n", part["image_url"].value("url", "").c_str());
      }
    }
    std::fflush(stdout);
    if (lastMessage(request).find("markdown") != std::string::npos) {
      return streamedAnswer({"Here is **the plan**:\n\n- first <script>alert(1)</script>\n- sec",
                             "ond\n\n```cpp\nint main() { return 0; }  // a long line that must "
                             "scroll sideways on a phone rather than widen the page\n```\n\n",
                             "| step | time |\n| --- | --- |\n| build | 5 min |\n"});
    }
    if (lastMessage(request).find("slowly") != std::string::npos) {
      BackendAnswer answer = streamedAnswer({"Counting:", " one,", " two,"});
      answer.writes.pop_back();  // no end: the answer stops only when the relay lets go
      answer.end = BackendAnswer::End::hang;
      return answer;
    }
    if (lastMessage(request).find("take your time") != std::string::npos) {
      BackendAnswer answer = streamedAnswer({"Slow", " but", " sure."});
      answer.writes.insert(answer.writes.begin(), streamEvent(R"({"role":"assistant"})"));
      answer.writes.insert(answer.writes.end() - 1,
                           R"(data: {"choices":[{"delta":{},"finish_reason":"stop"}],)"
                           R"("timings":{"prompt_ms":1234.5,"predicted_n":3,)"
                           R"("predicted_per_second":12.5}})"
                           "\n\n");
      answer.pause = std::chrono::milliseconds(1500);
      return answer;
    }
    return FakeBackend::defaultAnswer(request);
  });
  backend.onHangingAnswerLeft([] {
    std::printf("client left\n");
    std::fflush(stdout);
  });
  std::printf("listening on %d\n", backend.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
