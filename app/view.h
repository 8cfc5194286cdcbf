#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmora::app {

// The window's controls as the controller sees them. The desktop front end implements them with
// Qt widgets, the headless front end and the tests with plain values. Every call is made on the
// main thread.

class TextField {
 public:
  virtual ~TextField() = default;
  virtual std::string text() const = 0;  // never absent, may be empty
  virtual void setText(const std::string& text) = 0;
};

class PopupButton {
 public:
  virtual ~PopupButton() = default;
  virtual void removeAllItems() = 0;
  virtual void addItems(const std::vector<std::string>& titles) = 0;
  // Selects the first item with this title; false (selection unchanged) when there is none.
  virtual bool selectItemWithTitle(const std::string& title) = 0;
  virtual void selectNoItem() = 0;
  virtual std::optional<std::string> titleOfSelectedItem() const = 0;
  virtual std::vector<std::string> itemTitles() const = 0;
};

class Slider {
 public:
  virtual ~Slider() = default;
  virtual double doubleValue() const = 0;
  virtual void setEnabled(bool enabled) = 0;
};

class Button {
 public:
  virtual ~Button() = default;
  virtual void setTitle(const std::string& title) = 0;
};

class CheckBox {
 public:
  virtual ~CheckBox() = default;
  virtual bool isChecked() const = 0;
  // Not a click by the user, so it sends no action.
  virtual void setChecked(bool checked) = 0;
};

// The controls of the one window, by the names the controller gives them.
struct View {
  TextField& monitor;
  TextField& sysPrompt;
  TextField& initMessage;
  TextField& studioIP;
  TextField& studioPort;
  TextField& serverPort;
  PopupButton& setModel;
  Slider& tempBar;
  TextField& tempBarLabel;
  Button& mainButton;
  TextField& accessToken;      // the token the relay asks for; empty: none
  TextField& backendKey;       // the key the relay gives the backend; empty: none
  TextField& backendCaFile;    // the CA file for an https backend; empty: the system's store
  CheckBox& keepConversation;  // the shared conversation is kept across launches while checked
  // Host names, besides this machine's, under which the relay answers; separated by commas or
  // blanks, "*" for every name.
  TextField& allowedHosts;
  // Where browsers open the relay's pages, one "Name: URL" per line; empty while it does not serve.
  TextField& pageAddresses;
  // What the chat page's QR code holds (its address, or a one-time sign-in link to it while an
  // access token is set); empty while the relay does not serve.
  TextField& chatCode;
  // The machine's addresses that browsers may use, the one the addresses show selected; picking
  // another sends addressChoiceDidChange.
  PopupButton& addressChoice;
};

}  // namespace velmora::app
