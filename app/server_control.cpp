// The window's set-up and appearance, the start/stop toggle, the relay-port action and the stop
// at termination.
#include <chrono>

#include "app/app_services.h"
#include "app/view_controller.h"
#include "platform/console.h"

namespace velmora::app {

namespace {

constexpr auto kRestartDelay = std::chrono::milliseconds(1000);

}  // namespace

void ViewController::viewDidLoad() {
  Monitor.setText("Ready");
  mainButton.setTitle("Start Server");
  // The front end binds the SysPrompt field to sysPromptDidChange when it builds the window.
  WillTerminateNotification::defaultCenter().addObserver(weak_from_this(),
                                                         [weak = weak_from_this()] {
                                                           if (auto self = weak.lock())
                                                             self->stopServerOnTerminate();
                                                         });
}

void ViewController::viewDidAppear() {
  loadSettings();
  fetchModelList();
  // Loading leaves selectedModel present: without a model this only asks for one; with one it
  // starts the relay before the list has arrived, or stops it when it already runs.
  mainButtonClicked();
}

void ViewController::mainButtonClicked() {
  if (!isRunning) {
    if (selectedModel && selectedModel->empty()) {
      // The start comes once a model is known: the only one a list names (updateModelPopup).
      startWaitsForModel_ = true;
      setMonitorText("Select model, then start server");
      return;
    }
    startWaitsForModel_ = false;
    platform::printLine("Starting server...");
    // Starts synchronously and queues its outcome report, which therefore runs before the
    // title below; a failure report clears isRunning again.
    startWebServer();
    isRunning = true;
    mainQueue_.async([weak = weak_from_this()] {
      if (auto self = weak.lock())
        self->mainButton.setTitle(self->isRunning ? "Stop Server" : "Start Server");
    });
  } else {
    platform::printLine("Stopping server...");
    webServer->stop();
    isRunning = false;
    boundPort_.reset();
    mainQueue_.async([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        self->Monitor.setText("Server stopped");
        self->mainButton.setTitle("Start Server");
        self->showPageAddresses();
      }
    });
  }
}

void ViewController::serverPortDidChange() {
  settings_.set("serverPort", serverPort.text());
  if (!isRunning) return;
  mainButtonClicked();
  setMonitorText("Restarting server...");
  mainQueue_.after(kRestartDelay, [weak = weak_from_this()] {
    auto self = weak.lock();
    // The restart is a start: when the relay was started again meanwhile (a click, another
    // appearance), toggling would stop it instead.
    if (self && !self->isRunning) self->mainButtonClicked();
  });
}

std::optional<ViewController::RelayPages> ViewController::relayPages() const {
  // The port kept at the start: asking the server could raise once it has stopped meanwhile.
  if (!isRunning || !boundPort_ || !webServer->isServing()) return std::nullopt;
  const std::string origin =
      "http://" + serverIP.value_or("localhost") + ":" + std::to_string(*boundPort_);
  return RelayPages{origin + "/", origin + "/chat"};
}

void ViewController::showPageAddresses() {
  const std::optional<RelayPages> pages = relayPages();
  pageAddresses.setText(pages ? "Start page: " + pages->start + "\nChat page: " + pages->chat : "");
  // Each showing has a code of its own, and the code shown before can no longer be used.
  signInLinks.revoke();
  if (!pages) return chatCode.setText("");
  if (accessToken().empty()) return chatCode.setText(pages->chat);
  chatCode.setText(pages->start + std::string(relay::web::kSignInLinkPrefix).substr(1) +
                   signInLinks.issue());
}

void ViewController::stopServerOnTerminate() {
  if (!isRunning) return;
  webServer->stop();
  isRunning = false;
  boundPort_.reset();
}

}  // namespace velmora::app
