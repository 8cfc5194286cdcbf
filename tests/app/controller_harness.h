#pragma once

#include <chrono>
#include <filesystem>
#include <latch>
#include <memory>
#include <thread>
#include <unistd.h>

#include "app/view_controller.h"
#include "platform/http_client.h"
#include "platform/run_loop.h"
#include "platform/settings_file.h"
#include "tests/app/fake_view.h"

namespace velmora::app::testing {

// A controller on fake controls, with its main queue served by a thread of its own and its
// settings in a fresh temporary file. Drive it with onMain(); settle() waits for queued blocks.
class ControllerHarness {
 public:
  explicit ControllerHarness(std::vector<std::string> hostAddresses = {"192.168.1.20", "127.0.0.1"})
      : ControllerHarness(nullptr, std::move(hostAddresses)) {}

  // The same, with the controller's requests going to `httpClient` (which must outlive it).
  explicit ControllerHarness(platform::HttpClient& httpClient,
                             std::vector<std::string> hostAddresses = {"192.168.1.20", "127.0.0.1"})
      : ControllerHarness(&httpClient, std::move(hostAddresses)) {}

 private:
  ControllerHarness(platform::HttpClient* httpClient, std::vector<std::string> hostAddresses)
      : settingsPath_(std::filesystem::temp_directory_path() /
                      ("velmora-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++)) /
                      "settings.json"),
        settings_(std::make_unique<platform::SettingsFile>(settingsPath_)) {
    std::latch started{1};
    queue.async([&] { started.count_down(); });
    mainThread_ = std::thread([this] { queue.run(); });
    started.wait();
    controller = std::make_shared<ViewController>(view_.view(), queue, *settings_,
                                                  httpClient ? *httpClient : client,
                                                  [hostAddresses] { return hostAddresses; });
  }

 public:
  ~ControllerHarness() {
    std::weak_ptr<ViewController> released = controller;
    onMain([this] { controller.reset(); });
    // A request's thread may hold the controller a moment longer while it queues its result;
    // the queue must outlive that.
    for (int i = 0; i < 20000 && !released.expired(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    queue.quit();
    mainThread_.join();
    std::filesystem::remove_all(settingsPath_.parent_path());
  }

  // Runs `work` on the main thread and waits for it.
  template <class F>
  void onMain(F work) {
    queue.sync(std::function<void()>(work));
  }
  // Waits until every block queued so far has run.
  void settle() { queue.sync([] {}); }
  // Checks `condition` on the main thread until it holds; false when it still fails after
  // `timeout` (generous: only there to end a hang).
  template <class P>
  bool waitFor(P condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      bool holds = false;
      onMain([&] { holds = condition(); });
      if (holds) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // The settings file as the next launch reads it.
  std::unique_ptr<platform::SettingsFile> settingsOfNextLaunch() const {
    return std::make_unique<platform::SettingsFile>(settingsPath_);
  }
  platform::SettingsFile& settings() { return *settings_; }
  FakeView& view() { return view_; }

  platform::RunLoopMainQueue queue;
  platform::CurlHttpClient client;
  std::shared_ptr<ViewController> controller;

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }

  FakeView view_;
  std::filesystem::path settingsPath_;
  std::unique_ptr<platform::SettingsFile> settings_;
  std::thread mainThread_;
};

}  // namespace velmora::app::testing
