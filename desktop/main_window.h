#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/view.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QShowEvent;
class QSlider;
class QTextEdit;
class QToolButton;

namespace velmora::app {
class ViewController;
}

namespace velmora::desktop {

// The controls of the window as app::View sees them. Each adapter wraps one widget that the
// window owns; main thread only, like the widgets.

class LineEditField final : public app::TextField {
 public:
  explicit LineEditField(QLineEdit& edit) : edit_(edit) {}
  std::string text() const override;
  // Replaces the text; this is not an edit by the user, so it sends no action.
  void setText(const std::string& text) override;

 private:
  QLineEdit& edit_;
};

class PlainTextField final : public app::TextField {
 public:
  explicit PlainTextField(QPlainTextEdit& edit) : edit_(edit) {}
  std::string text() const override;
  void setText(const std::string& text) override;

 private:
  QPlainTextEdit& edit_;
};

// The monitor: read-only text, taller when the text needs it (up to a limit, then it scrolls).
class MonitorField final : public app::TextField {
 public:
  explicit MonitorField(QTextEdit& edit) : edit_(edit) {}
  std::string text() const override;
  void setText(const std::string& text) override;

 private:
  QTextEdit& edit_;
};

// Shows "Name: URL" lines with each URL a link that opens in the desktop's browser; hidden while
// empty. text() is the plain text last set.
class PageLinksField final : public app::TextField {
 public:
  explicit PageLinksField(QLabel& label) : label_(label) {}
  std::string text() const override { return text_; }
  void setText(const std::string& text) override;

 private:
  QLabel& label_;
  std::string text_;
};

// Shows its text as a QR code to scan with a phone; hidden while empty. text() is the text last
// set.
class QrCodeField final : public app::TextField {
 public:
  explicit QrCodeField(QLabel& label) : label_(label) {}
  std::string text() const override { return text_; }
  void setText(const std::string& text) override;

 private:
  QLabel& label_;
  std::string text_;
};

class LabelField final : public app::TextField {
 public:
  explicit LabelField(QLabel& label) : label_(label) {}
  std::string text() const override;
  void setText(const std::string& text) override;

 private:
  QLabel& label_;
};

// Programmatic changes of the items or the selection send no action: only a choice by the user
// (QComboBox::activated) does.
class ComboBoxPopup final : public app::PopupButton {
 public:
  explicit ComboBoxPopup(QComboBox& combo) : combo_(combo) {}
  void removeAllItems() override;
  // Appends the titles; the selection stays as it was (none after removeAllItems).
  void addItems(const std::vector<std::string>& titles) override;
  bool selectItemWithTitle(const std::string& title) override;
  void selectNoItem() override;
  std::optional<std::string> titleOfSelectedItem() const override;
  std::vector<std::string> itemTitles() const override;

 private:
  QComboBox& combo_;
};

// A QSlider counts in whole steps; this one in tenths, from 0.0 to 2.0.
class TenthsSlider final : public app::Slider {
 public:
  static constexpr int kStepsPerUnit = 10;
  explicit TenthsSlider(QSlider& slider) : slider_(slider) {}
  double doubleValue() const override;
  void setEnabled(bool enabled) override;

 private:
  QSlider& slider_;
};

class PushButton final : public app::Button {
 public:
  explicit PushButton(QPushButton& button) : button_(button) {}
  void setTitle(const std::string& title) override;

 private:
  QPushButton& button_;
};

// Programmatic changes send no action: only a click by the user (QCheckBox::clicked) does.
class CheckBoxControl final : public app::CheckBox {
 public:
  explicit CheckBoxControl(QCheckBox& box) : box_(box) {}
  bool isChecked() const override;
  void setChecked(bool checked) override;

 private:
  QCheckBox& box_;
};

// The application's one window. It builds and lays out the controls and forwards each user
// action to the controller; it decides nothing itself. Main thread only.
class MainWindow final : public QWidget {
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The controls for the controller; they live as long as the window.
  app::View view();

  // Binds every control's action to `controller`, which is held weakly (it must not outlive the
  // window: it holds the controls), and runs its viewDidLoad.
  void setController(const std::shared_ptr<app::ViewController>& controller);

  // The widgets, for tests and screenshots.
  QLineEdit& studioIPEdit() const { return *studioIP_; }
  QLineEdit& studioPortEdit() const { return *studioPort_; }
  QLineEdit& serverPortEdit() const { return *serverPort_; }
  QLineEdit& accessTokenEdit() const { return *accessToken_; }
  QToolButton& showAccessTokenButton() const { return *showAccessToken_; }
  QLineEdit& backendKeyEdit() const { return *backendKey_; }
  QLineEdit& backendCaFileEdit() const { return *backendCaFile_; }
  QLineEdit& allowedHostsEdit() const { return *allowedHosts_; }
  QToolButton& refreshModelsButton() const { return *refreshModels_; }
  QPlainTextEdit& sysPromptEdit() const { return *sysPrompt_; }
  QPlainTextEdit& initMessageEdit() const { return *initMessage_; }
  QCheckBox& keepConversationBox() const { return *keepConversation_; }
  QTextEdit& monitorView() const { return *monitor_; }
  QLabel& pageLinksLabel() const { return *pageLinks_; }
  QLabel& chatCodeLabel() const { return *chatCode_; }
  QComboBox& addressPopup() const { return *addressChoice_; }
  QComboBox& modelPopup() const { return *setModel_; }
  QSlider& temperatureSlider() const { return *tempBar_; }
  QLabel& temperatureLabel() const { return *tempBarLabel_; }
  QPushButton& startStopButton() const { return *mainButton_; }
  QPushButton& saveButton() const { return *saveButton_; }

 protected:
  // Each time the window is shown (not when it is merely restored from being minimised), the
  // controller's viewDidAppear runs.
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  template <typename Action>
  void forward(Action action);
  void bindLineEdit(QLineEdit& edit, void (app::ViewController::*action)());
  // Shows `field` as dots until `show` is checked; the button says what pressing it does.
  void hideUntilShown(QLineEdit& field, QToolButton& show, const QString& toolTip);

  // Owned by the window through Qt's parent chain.
  QLineEdit* studioIP_;
  QLineEdit* studioPort_;
  QLineEdit* serverPort_;
  QLineEdit* accessToken_;
  QToolButton* showAccessToken_;  // shows the token while checked
  QLineEdit* backendKey_;
  QToolButton* showBackendKey_;  // shows the key while checked
  QLineEdit* backendCaFile_;
  QLineEdit* allowedHosts_;
  QToolButton* refreshModels_;
  QPlainTextEdit* sysPrompt_;
  QPlainTextEdit* initMessage_;
  QCheckBox* keepConversation_;
  QLabel* pageLinks_;  // where browsers open the relay's pages, above the monitor
  QLabel* chatCode_;   // the chat page's QR code, beside them
  QComboBox* addressChoice_;
  QTextEdit* monitor_;
  QComboBox* setModel_;
  QSlider* tempBar_;
  QLabel* tempBarLabel_;
  QPushButton* mainButton_;
  QPushButton* saveButton_;

  std::unique_ptr<MonitorField> monitorField_;
  std::unique_ptr<PlainTextField> sysPromptField_;
  std::unique_ptr<PlainTextField> initMessageField_;
  std::unique_ptr<LineEditField> studioIPField_;
  std::unique_ptr<LineEditField> studioPortField_;
  std::unique_ptr<LineEditField> serverPortField_;
  std::unique_ptr<LineEditField> accessTokenField_;
  std::unique_ptr<LineEditField> backendKeyField_;
  std::unique_ptr<LineEditField> backendCaFileField_;
  std::unique_ptr<LineEditField> allowedHostsField_;
  std::unique_ptr<ComboBoxPopup> setModelPopup_;
  std::unique_ptr<TenthsSlider> tempBarSlider_;
  std::unique_ptr<LabelField> tempBarLabelField_;
  std::unique_ptr<PushButton> mainButtonControl_;
  std::unique_ptr<QrCodeField> chatCodeField_;
  std::unique_ptr<ComboBoxPopup> addressChoicePopup_;
  std::unique_ptr<CheckBoxControl> keepConversationControl_;
  std::unique_ptr<PageLinksField> pageLinksField_;

  std::weak_ptr<app::ViewController> controller_;
};

}  // namespace velmora::desktop
