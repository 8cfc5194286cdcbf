#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "relay/chat_history.h"
#include "tests/app/controller_harness.h"
#include "tests/support/fake_backend_process.h"
#include "tests/support/test_client.h"

namespace velmora::relay {
inline void PrintTo(const ChatMessage& message, std::ostream* out) {
  *out << "{" << message.role << ": \"" << message.content << "\"}";
}
}  // namespace velmora::relay

namespace velmora::relay::testing {

// A controller on fake controls whose backend is the fake model server, with the model "m"
// selected. start() runs the relay on a free port.
class RelayFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake.running());
    harness.onMain([&] {
      auto& view = harness.view();
      view.studioIP.setText("127.0.0.1");
      view.studioPort.setText(std::to_string(fake.port()));
      ASSERT_TRUE(harness.controller->applyBackendAddress(app::ViewController::BackendField::port));
      view.serverPort.setText("0");
      view.setModel.addItems({"m"});
      view.setModel.selectItemWithTitle("m");
      harness.controller->selectedModel = "m";
    });
  }

  // Starts the relay; its port.
  int start() {
    harness.onMain([&] { harness.controller->startWebServer(); });
    harness.settle();
    return harness.controller->webServer->port();
  }

  std::vector<ChatMessage> history() { return harness.controller->chatMessages(); }

  std::string monitorText() {
    std::string text;
    harness.onMain([&] { text = harness.view().monitor.text(); });
    return text;
  }
  std::vector<std::string> monitorHistory() {
    std::vector<std::string> texts;
    harness.onMain([&] { texts = harness.view().monitor.history; });
    return texts;
  }

  // Waits (bounded) until the conversation has `count` messages, then lets queued blocks run.
  bool waitForHistorySize(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (harness.controller->chatHistory.size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    harness.settle();
    return true;
  }

  velmora::testing::FakeBackendProcess fake;
  app::testing::ControllerHarness harness;
};

// A raw request with a body.
inline std::string postRequest(const std::string& path, const std::string& body,
                               const std::string& extraHeaders = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: relay\r\n" + extraHeaders +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Reads from `fd` into `received` until it holds `wanted` (true), the peer closes or `timeout`
// passes (false).
inline bool readUntilContains(int fd, std::string& received, const std::string& wanted,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received.find(wanted) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

// The message list of a recorded chat request, as (role, content) pairs.
inline std::vector<ChatMessage> sentMessages(const nlohmann::json& record) {
  std::vector<ChatMessage> messages;
  for (const auto& message : record.at("json").at("messages")) {
    messages.push_back(
        {message.at("role").get<std::string>(), message.at("content").get<std::string>()});
  }
  return messages;
}

}  // namespace velmora::relay::testing
