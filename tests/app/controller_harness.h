#pragma once

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
      : settingsPath_(std::filesystem::temp_directory_path() /
                      ("velmora-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++)) /
                      "settings.json"),
        settings_(std::make_unique<platform::SettingsFile>(settingsPath_)) {
    std::latch started{1};
    queue.async([&] { started.count_down(); });
    mainThread_ = std::thread([this] { queue.run(); });
    started.wait();
    controller = std::make_shared<ViewController>(
        view_.view(), queue, *settings_, client, [hostAddresses] { return hostAddresses; });
  }

  ~ControllerHarness() {
    onMain([this] { controller.reset(); });
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
