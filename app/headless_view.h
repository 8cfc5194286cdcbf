#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/view.h"

namespace velmora::app {

// Controls of a run without a window: they hold their values, and the ones a user needs to see
// print on standard output. Main thread only, like any control.

class HeadlessTextField : public TextField {
 public:
  std::string text() const override { return text_; }
  void setText(const std::string& text) override { text_ = text; }

 private:
  std::string text_;
};

// Prints every text it is given, each of its lines as "monitor: " and the line.
class HeadlessMonitor : public HeadlessTextField {
 public:
  void setText(const std::string& text) override;
};

// Prints its titles as one "models: " line whenever items are added, so that a user can pick
// one with --model; silent when made with printsItems false.
class HeadlessPopupButton : public PopupButton {
 public:
  explicit HeadlessPopupButton(bool printsItems = true) : printsItems_(printsItems) {}
  void removeAllItems() override;
  void addItems(const std::vector<std::string>& titles) override;
  bool selectItemWithTitle(const std::string& title) override;
  void selectNoItem() override { selected_.reset(); }
  std::optional<std::string> titleOfSelectedItem() const override;
  std::vector<std::string> itemTitles() const override { return items_; }

 private:
  std::vector<std::string> items_;
  std::optional<std::size_t> selected_;  // index into items_
  bool printsItems_;
};

// Calls onChange with each text it is given, once it is set.
class HeadlessWatchedField : public HeadlessTextField {
 public:
  void setText(const std::string& text) override {
    HeadlessTextField::setText(text);
    if (onChange) onChange(text);
  }
  std::function<void(const std::string&)> onChange;
};

class HeadlessSlider : public Slider {
 public:
  double doubleValue() const override { return value_; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }

 private:
  double value_ = 0.7;
  bool enabled_ = true;
};

class HeadlessButton : public Button {
 public:
  void setTitle(const std::string& title) override { title_ = title; }
  const std::string& title() const { return title_; }

 private:
  std::string title_;
};

class HeadlessCheckBox : public CheckBox {
 public:
  bool isChecked() const override { return checked_; }
  void setChecked(bool checked) override { checked_ = checked; }

 private:
  bool checked_ = false;
};

// The Status box's page addresses ("Start page: URL", "Chat page: URL"): each new pair prints
// as "Open URL in a browser" and "Chat page: URL", so a headless run says where to go whenever
// the relay starts, also when it starts late (once the only model is known).
class HeadlessPageAddresses : public HeadlessTextField {
 public:
  void setText(const std::string& text) override;
};

// The whole window without a window.
struct HeadlessView {
  HeadlessMonitor monitor;
  HeadlessTextField sysPrompt, initMessage, studioIP, studioPort, serverPort, tempBarLabel,
      accessToken, backendKey, backendCaFile;
  HeadlessPopupButton setModel;
  HeadlessSlider tempBar;
  HeadlessButton mainButton;
  HeadlessCheckBox keepConversation;
  HeadlessPageAddresses pageAddresses;
  HeadlessTextField allowedHosts;
  HeadlessWatchedField chatCode;    // the headless run prints it as a QR code
  HeadlessPopupButton addressChoice{false};

  View view() {
    return View{monitor,     sysPrompt,    initMessage,   studioIP,         studioPort,
                serverPort,  setModel,     tempBar,       tempBarLabel,     mainButton,
                accessToken, backendKey,   backendCaFile, keepConversation, allowedHosts,
                pageAddresses, chatCode,   addressChoice};
  }
};

}  // namespace velmora::app
