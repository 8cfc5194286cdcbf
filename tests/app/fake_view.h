#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/view.h"

namespace velmora::app::testing {

// Controls that hold plain values, for driving the controller without a window. Main thread only,
// like the real ones.
class FakeTextField : public TextField {
 public:
  std::string text() const override { return text_; }
  void setText(const std::string& text) override {
    text_ = text;
    history.push_back(text);
    if (journal) journal->push_back(name + "=" + text);
  }
  std::vector<std::string> history;  // every text set, in order
  // When set, every change is also recorded there as "name=text", in order across controls.
  std::vector<std::string>* journal = nullptr;
  std::string name;

 private:
  std::string text_;
};

class FakePopupButton : public PopupButton {
 public:
  void removeAllItems() override {
    items_.clear();
    selected_.reset();
  }
  void addItems(const std::vector<std::string>& titles) override {
    items_.insert(items_.end(), titles.begin(), titles.end());
  }
  bool selectItemWithTitle(const std::string& title) override {
    const auto found = std::find(items_.begin(), items_.end(), title);
    if (found == items_.end()) return false;
    selected_ = static_cast<std::size_t>(found - items_.begin());
    return true;
  }
  void selectNoItem() override { selected_.reset(); }
  std::optional<std::string> titleOfSelectedItem() const override {
    if (!selected_) return std::nullopt;
    return items_[*selected_];
  }
  std::vector<std::string> itemTitles() const override { return items_; }

 private:
  std::vector<std::string> items_;
  std::optional<std::size_t> selected_;
};

class FakeSlider : public Slider {
 public:
  double doubleValue() const override { return value; }
  void setEnabled(bool isEnabled) override { enabled = isEnabled; }
  double value = 0.7;
  bool enabled = false;
};

class FakeButton : public Button {
 public:
  void setTitle(const std::string& newTitle) override {
    title = newTitle;
    if (journal) journal->push_back(name + "=" + newTitle);
  }
  std::string title;
  std::vector<std::string>* journal = nullptr;  // as for FakeTextField
  std::string name;
};

struct FakeView {
  FakeTextField monitor, sysPrompt, initMessage, studioIP, studioPort, serverPort, tempBarLabel,
      accessToken;
  FakePopupButton setModel;
  FakeSlider tempBar;
  FakeButton mainButton;

  // Records the monitor's texts and the button's titles in `journal`, in the order they change.
  void keepJournal() {
    monitor.journal = &journal;
    monitor.name = "monitor";
    mainButton.journal = &journal;
    mainButton.name = "mainButton";
  }
  std::vector<std::string> journal;  // main thread

  View view() {
    return View{monitor,  sysPrompt, initMessage,  studioIP,   studioPort, serverPort,
                setModel, tempBar,   tempBarLabel, mainButton, accessToken};
  }
};

}  // namespace velmora::app::testing
