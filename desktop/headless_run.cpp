#include "desktop/headless_run.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/app_services.h"
#include "app/headless_view.h"
#include "app/view_controller.h"
#include "desktop/tracked_http_client.h"
#include "platform/console.h"
#include "platform/host_addresses.h"
#include "platform/http_client.h"
#include "platform/qr_code.h"
#include "platform/run_loop.h"
#include "platform/settings_file.h"

namespace velmora::desktop {

namespace {

constexpr auto kRequestShutdownTimeout = std::chrono::seconds(5);

// The stop signals, blocked in every thread so that only sigwait() receives them.
sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void printQrCode(const std::string& text) {
  if (const auto code = platform::qrCodeOf(text)) {
    std::fputs(platform::terminalQrCode(*code).c_str(), stdout);
    std::fflush(stdout);
  }
}

// The chat page's QR code under the address lines, whenever the relay starts; a sign-in link is
// good for one phone, so the code made after its use is printed too.
void printQrCodes(app::HeadlessView& view) {
  view.chatCode.onChange = [shown = std::string()](const std::string& text) mutable {
    if (text == shown) return;
    const bool another = !shown.empty() && !text.empty();
    shown = text;
    if (text.empty()) return;
    if (another) platform::printLine("A new code for the next phone:");
    printQrCode(text);
  };
}

// Once the first start has been reported: how to choose a model when none is. Where to point a
// browser is printed by the view's page addresses whenever the relay starts.
void printStartHint(app::ViewController& controller) {
  if (!controller.isRunning && controller.selectedModel && controller.selectedModel->empty()) {
    platform::printLine("No model chosen: start again with --model NAME (see the models line)");
  }
}

}  // namespace

void storeOptions(const HeadlessOptions& options, platform::SettingsFile& settings) {
  if (options.model) settings.set("modelName", *options.model);
  if (options.relayPort) settings.set("serverPort", *options.relayPort);
  if (options.backendHost) settings.set("studioIP", *options.backendHost);
  if (options.backendPort) settings.set("studioPort", *options.backendPort);
  if (options.accessToken) settings.set("accessToken", *options.accessToken);
  if (options.backendKey) settings.set("backendApiKey", *options.backendKey);
  if (options.backendCaFile) settings.set("backendCaFile", *options.backendCaFile);
  if (!options.allowedHosts.empty()) {
    std::string names;
    for (const std::string& name : options.allowedHosts)
      names += (names.empty() ? "" : ", ") + name;
    settings.set("allowedHosts", names);
  }
  if (options.keepConversation) {
    settings.set("keepConversation", *options.keepConversation ? "true" : "false");
  }
  if (options.conversationImagesMiB) {
    settings.set("conversationImagesMiB", *options.conversationImagesMiB);
  }
}

int runHeadless(const HeadlessOptions& options) {
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A reader of standard output that went away must not end the relay.
  std::signal(SIGPIPE, SIG_IGN);

  platform::RunLoopMainQueue queue;
  platform::SettingsFile settings(
      options.settingsPath.value_or(platform::SettingsFile::defaultPath()));
  storeOptions(options, settings);

  platform::CurlHttpClient curl;
  TrackedHttpClient client(curl);
  app::HeadlessView view;
  auto controller = std::make_shared<app::ViewController>(view.view(), queue, settings, client,
                                                          platform::hostAddresses);

  std::thread signalWaiter([&queue, signals] {
    int received = 0;
    sigwait(&signals, &received);
    queue.async([&queue] {
      app::WillTerminateNotification::defaultCenter().post();
      queue.quit();
    });
  });

  // Not into the journal: a code is for eyes on a terminal.
  if (options.qrCode.value_or(::isatty(STDOUT_FILENO) == 1)) printQrCodes(view);
  queue.async([&queue, controller] {
    controller->viewDidLoad();
    // Nobody types into a headless window, so the backend request template is built from the
    // stored address now rather than waiting for a host or port action that never comes.
    controller->loadSettings();
    controller->applyBackendAddress(std::nullopt);  // a launch stores nothing
    controller->viewDidAppear();
    // The start report and the status line it queues run first.
    queue.async([&queue, controller] {
      queue.async([controller] { printStartHint(*controller); });
    });
  });

  queue.run();

  signalWaiter.join();
  // The relay has been stopped by the will-terminate notification; what is still in flight is
  // the model list and backend streams, which hold connection threads until they end.
  if (!client.cancelAllAndWait(kRequestShutdownTimeout)) {
    platform::printLine("Some backend requests did not end in time");
  }
  controller.reset();
  return 0;
}

}  // namespace velmora::desktop
