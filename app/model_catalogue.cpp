// The backend-address actions, the model list and its popup, and the temperature label.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/model_list.h"
#include "app/view_controller.h"
#include "platform/url.h"

namespace velmora::app {

namespace {

constexpr const char* kFetchFailed = "Failed to fetch model list";
constexpr const char* kSelectModel = "Select model, then start server";

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
  const std::string url = "http://" + host + ":" + port + "/v1/models";

  // Fetches are not cancelled; each result is applied only while its fetch is the newest, so
  // a slow answer from an earlier address cannot replace the list of the current one.
  const uint64_t generation = ++modelFetchGeneration_;
  auto apply = [weak = weak_from_this(),
                generation](std::optional<std::vector<std::string>> names) {
    auto self = weak.lock();
    if (!self || generation != self->modelFetchGeneration_) return;
    if (names) {
      self->updateModelPopup(*names);
    } else {
      self->Monitor.setText(kFetchFailed);
    }
  };

  // An address that is not a URL gets the same report as an unreachable one, in the same order
  // as every other result: through the main queue.
  if (!platform::tryParseUrl(url)) {
    mainQueue_.async([apply] { apply(std::nullopt); });
    return;
  }

  platform::HttpClientRequest request;
  request.url = url;
  // The completion runs on the request's thread. It reaches the main queue through the
  // controller, whose owner keeps the queue alive for as long as the controller lives.
  httpClient_.fetch(std::move(request),
                    [weak = weak_from_this(), apply](platform::HttpClientResult result) {
                      // No body is a failure; the status is not examined.
                      std::optional<std::vector<std::string>> names;
                      if (!result.error && !result.body.empty()) names = modelNames(result.body);
                      if (auto self = weak.lock()) {
                        self->mainQueue_.async([apply, names = std::move(names)] { apply(names); });
                      }
                    });
}

void ViewController::updateModelPopup(const std::vector<std::string>& names) {
  setModel.removeAllItems();
  setModel.addItems(names);
  bool found = false;
  if (!names.empty() && selectedModel) found = setModel.selectItemWithTitle(*selectedModel);
  if (!found) {
    // "modelName" keeps its stored value and a running relay keeps running.
    setModel.selectNoItem();
    Monitor.setText(kSelectModel);
    selectedModel = "";
  }
  keepModelTitle();
  tempBar.setEnabled(!isReasoningModel);
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
