// The backend-address actions, the model list and its popup, and the temperature label.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/backend_address.h"
#include "app/model_list.h"
#include "app/view_controller.h"
#include "platform/overloaded.h"

namespace velmora::app {

namespace {

constexpr const char* kFetchFailed = "Failed to fetch model list";
constexpr const char* kSelectModel = "Select model, then start server";
constexpr std::chrono::milliseconds kFirstRetryPause = std::chrono::seconds(1);
constexpr std::chrono::milliseconds kLongestRetryPause = std::chrono::seconds(30);

// What one fetch of the model list gave.
struct ListRead {
  std::vector<std::string> names;
};
struct NoList {
  std::string reason;  // curl's description, or the status of an answer that was no list
};
using ListOutcome = std::variant<ListRead, NoList>;

}  // namespace

void ViewController::studioIPDidChange() {
  if (applyBackendAddress(BackendField::host)) fetchModelList();
}

void ViewController::studioPortDidChange() {
  if (applyBackendAddress(BackendField::port)) fetchModelList();
}

void ViewController::fetchModelList() {
  std::string host = studioIP.text();
  if (host.empty()) host = "127.0.0.1";
  std::string port = studioPort.text();
  if (port.empty()) port = "1234";
  const std::optional<BackendBase> base = backendBase(host, port);

  // Fetches are not cancelled; each result is applied only while its fetch is the newest, so
  // a slow answer from an earlier address cannot replace the list of the current one.
  const uint64_t generation = ++modelFetchGeneration_;
  auto apply = [weak = weak_from_this(), generation,
                address = base ? base->display : host](const ListOutcome& outcome) {
    auto self = weak.lock();
    if (!self || generation != self->modelFetchGeneration_) return;
    std::visit(platform::Overloaded{[&](const ListRead& list) {
                                      const bool wasWaiting = self->modelRetryPause_.count() > 0;
                                      self->modelRetryPause_ = {};
                                      self->updateModelPopup(list.names);
                                      if (wasWaiting && self->isRunning &&
                                          !self->selectedModel.value_or("").empty())
                                        self->showServerStatus("");
                                    },
                                    [&](const NoList& failure) {
                                      self->retryModelList(generation, address, failure.reason);
                                    }},
               outcome);
  };

  // An address that is not a URL cannot come right by waiting: it is reported once, through
  // the main queue like every other result.
  if (!base) {
    mainQueue_.async([weak = weak_from_this(), generation] {
      auto self = weak.lock();
      if (self && generation == self->modelFetchGeneration_) self->Monitor.setText(kFetchFailed);
    });
    return;
  }

  // The template carries the backend's key and CA file.
  platform::HttpClientRequest request = urlRequestTemplate();
  request.url = base->url + "/models";
  request.method = "GET";
  request.body.reset();
  // The completion runs on the request's thread. It reaches the main queue through the
  // controller, whose owner keeps the queue alive for as long as the controller lives.
  httpClient_.fetch(std::move(request), [weak = weak_from_this(),
                                         apply](platform::HttpClientResult result) {
    // The status is not examined: a usable list is a list.
    ListOutcome outcome = NoList{result.error.value_or("HTTP " + std::to_string(result.status))};
    if (!result.error && !result.body.empty()) {
      if (auto names = modelNames(result.body)) outcome = ListRead{*names};
    }
    if (auto self = weak.lock()) {
      self->mainQueue_.async([apply, outcome = std::move(outcome)] { apply(outcome); });
    }
  });
}

void ViewController::retryModelList(uint64_t generation, const std::string& address,
                                    const std::string& reason) {
  // A new address is a new server: its first retry comes after the shortest pause again.
  const bool sameAddress = std::exchange(modelRetryAddress_, address) == address;
  modelRetryPause_ =
      modelRetryPause_.count() == 0 || !sameAddress
          ? kFirstRetryPause
          : std::min<std::chrono::milliseconds>(2 * modelRetryPause_, kLongestRetryPause);
  // A headless monitor prints every text: the same one is not repeated at every try.
  const std::string text = "Waiting for the model server at " + address + "… (" + reason + ")";
  if (Monitor.text() != text) Monitor.setText(text);
  mainQueue_.after(modelRetryPause_, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (self && generation == self->modelFetchGeneration_) self->fetchModelList();
  });
}

void ViewController::updateModelPopup(const std::vector<std::string>& names) {
  setModel.removeAllItems();
  setModel.addItems(names);
  // The saved choice comes back whenever the server lists it again.
  std::string wanted = settings_.string("modelName").value_or("");
  if (wanted.empty()) wanted = selectedModel.value_or("");
  const bool found = !names.empty() && !wanted.empty() && setModel.selectItemWithTitle(wanted);
  if (found) {
    selectedModel = wanted;
  } else if (names.size() == 1) {
    // Only one model to use: it is used, and shown, without becoming the saved choice.
    setModel.selectItemWithTitle(names.front());
    selectedModel = names.front();
    Monitor.setText("Model: " + names.front() + " (the only one the model server lists)");
  } else {
    // "modelName" keeps its stored value and a running relay keeps running.
    setModel.selectNoItem();
    Monitor.setText(kSelectModel);
    selectedModel = "";
  }
  keepModelTitle();
  {
    std::lock_guard lock(submissionFieldsMutex_);
    listedModels_ = names.size();
  }
  tempBar.setEnabled(!isReasoningModel);
  // A start asked for without a model (the window's appearance, a headless launch) goes ahead
  // with the only one there is.
  if (names.size() == 1 && !found && startWaitsForModel_ && !isRunning) mainButtonClicked();
}

void ViewController::setModelChanged() {
  const std::optional<std::string> title = setModel.titleOfSelectedItem();
  if (!title) return;
  selectedModel = *title;
  keepModelTitle();
  settings_.set("modelName", *title);
  showServerStatus("New model is selected.\n");
}

void ViewController::sliderValueChanged() {
  const double value = tempBar.doubleValue();
  const int length = std::snprintf(nullptr, 0, "%.1f", value);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.1f", value);
  tempBarLabel.setText("Temperature: " + text);
}

}  // namespace velmora::app
