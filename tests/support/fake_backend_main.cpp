// velmora-fake-backend [--port N]: the tests' fake model server as a program, for the browser
// test and the fault-and-load suite. Prints "listening on PORT" once it accepts; ends on SIGINT
// or SIGTERM. Besides the fake's echo, a prompt asking for "markdown" gets a Markdown answer, and
// one asking to answer "slowly" gets a few pieces and then hangs, printing "client left" once
// the relay closes that connection; one asking to "take your time" starts after 1.5 s, takes as
// long between its pieces and ends with llama.cpp's timings. Every request prints
// "request METHOD TARGET: " and its last message, then "image TYPE SHA256HEX" for each image of
// that message (TYPE from its data: URL, the hash of its decoded bytes).
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "tests/support/fake_backend.h"

namespace {

// Each "image_url" part of the last message as "TYPE SHA256HEX"; a URL that is not Base64 data
// yields "undecodable".
std::vector<std::string> lastMessageImages(const std::string& body) {
  const auto request = nlohmann::json::parse(body, nullptr, false);
  if (!request.is_object() || !request.contains("messages") || request["messages"].empty())
    return {};
  const auto content = request["messages"].back().value("content", nlohmann::json());
  std::vector<std::string> images;
  for (const auto& part : content.is_array() ? content : nlohmann::json::array()) {
    if (part.value("type", "") != "image_url") continue;
    const std::string url = part.value("image_url", nlohmann::json::object()).value("url", "");
    const std::size_t comma = url.find(";base64,");
    const std::string data = comma == std::string::npos ? "" : url.substr(comma + 8);
    std::vector<unsigned char> bytes(data.size() / 4 * 3);
    const int length =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
    // EVP_DecodeBlock counts the padding as bytes.
    const std::size_t padding = data.size() - 1 - data.find_last_not_of('=');
    if (!url.starts_with("data:") || data.empty() || length < 0 || padding > 2) {
      images.push_back("undecodable");
      continue;
    }
    bytes.resize(static_cast<std::size_t>(length) - padding);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(bytes.data(), bytes.size(), digest);
    images.push_back(url.substr(5, comma - 5) + " " + velmora::platform::lowerHex(digest));
  }
  return images;
}

}  // namespace

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
    for (const std::string& image : lastMessageImages(request.body)) {
      std::printf("image %s\n", image.c_str());
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
