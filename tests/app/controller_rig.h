#pragma once

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <latch>
#include <thread>

#include "app/headless_view.h"
#include "app/view_controller.h"
#include "platform/run_loop.h"
#include "platform/settings_file.h"

namespace velmora::app {

// A ViewController on headless controls, its main queue served by a thread of its own and its
// settings and kept conversation in a fresh folder. Touch the controls only through onMain().
struct ControllerRig {
  explicit ControllerRig(platform::HttpClient& httpClient) : client(httpClient) {
    std::string folder = (std::filesystem::temp_directory_path() / "velmora-rig-XXXXXX").string();
    dir = ::mkdtemp(folder.data());
    settings = std::make_unique<platform::SettingsFile>(dir / "settings.json");
    mainThread = std::thread([this] { queue.run(); });
    // Until run() has begun, this thread counts as the main one and would run tasks itself.
    std::latch running(1);
    queue.async([&] { running.count_down(); });
    running.wait();
    controller = launch();
  }
  // A fresh controller on the same settings and files, as after a restart.
  void relaunch() {
    onMain([&] { controller = launch(); });
  }
  std::shared_ptr<ViewController> launch() {
    return std::make_shared<ViewController>(
        view.view(), queue, *settings, client,
        [] { return std::vector<std::string>{"192.0.2.7", "127.0.0.1"}; }, conversationFile());
  }
  std::filesystem::path conversationFile() const { return dir / "state" / "conversation.json"; }
  ~ControllerRig() {
    std::weak_ptr<ViewController> gone = controller;
    onMain([&] { controller.reset(); });
    // A connection or request thread may hold it a moment longer and still queue work.
    for (int i = 0; i < 10000 && !gone.expired(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    queue.quit();
    mainThread.join();
    std::filesystem::remove_all(dir);
  }
  void onMain(const std::function<void()>& work) { queue.sync(work); }
  std::string monitor() {
    std::string text;
    onMain([&] { text = view.monitor.text(); });
    return text;
  }

  platform::HttpClient& client;
  platform::RunLoopMainQueue queue;
  std::filesystem::path dir;
  std::unique_ptr<platform::SettingsFile> settings;
  HeadlessView view;
  std::shared_ptr<ViewController> controller;
  std::thread mainThread;
};

}  // namespace velmora::app
