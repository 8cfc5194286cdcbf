#include "desktop/main_window.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/view_controller.h"
#include "platform/qr_code.h"
#include "velmora/version.h"

namespace velmora::desktop {

namespace {

QString toQString(const std::string& text) {
  return QString::fromStdString(text);
}

constexpr int kInitialTemperatureSteps = 7;  // 0.7
constexpr int kMaxTemperatureSteps = 20;     // 2.0

// A read-only text view as tall as its text needs, between a few lines and a limit beyond which
// it scrolls, so that a status of several lines is shown whole.
class MonitorView final : public QTextEdit {
 public:
  static constexpr int kMinimumLines = 4;
  static constexpr int kMaximumLines = 14;

  MonitorView() {
    setReadOnly(true);
    setAcceptRichText(false);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            [this] { fitToText(); });
    fitToText();
  }

  QSize sizeHint() const override { return {QTextEdit::sizeHint().width(), minimumHeight()}; }

 private:
  void fitToText() {
    const int frame = 2 * frameWidth();
    const int margins = static_cast<int>(std::ceil(2 * document()->documentMargin()));
    const int line = fontMetrics().lineSpacing();
    const int textHeight = static_cast<int>(std::ceil(document()->size().height()));
    const int lowest = kMinimumLines * line + margins + frame;
    const int highest = kMaximumLines * line + margins + frame;
    const int wanted = std::clamp(textHeight + frame, lowest, highest);
    if (wanted != minimumHeight()) {
      setMinimumHeight(wanted);
      updateGeometry();
    }
  }
};

// A multi-line field that asks for a few lines of height and takes more when the window has it.
class LinesTextEdit final : public QPlainTextEdit {
 public:
  LinesTextEdit(int lines, const QString& placeholder) : lines_(lines) {
    setPlaceholderText(placeholder);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMinimumHeight(heightFor(std::max(2, lines_ - 1)));
  }

  QSize sizeHint() const override {
    return {QPlainTextEdit::sizeHint().width(), heightFor(lines_)};
  }

 private:
  int heightFor(int lines) const {
    return lines * fontMetrics().lineSpacing() +
           static_cast<int>(std::ceil(2 * document()->documentMargin())) + 2 * frameWidth();
  }

  const int lines_;
};

QLineEdit* makePortEdit(const QString& placeholder) {
  auto* edit = new QLineEdit;
  edit->setPlaceholderText(placeholder);
  edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + 16);
  return edit;
}

QLabel* makeHint(const QString& text) {
  auto* hint = new QLabel(text);
  hint->setWordWrap(true);
  hint->setForegroundRole(QPalette::PlaceholderText);
  return hint;
}

}  // namespace

// ---- Control adapters ----

std::string LineEditField::text() const {
  return edit_.text().toStdString();
}

void LineEditField::setText(const std::string& text) {
  edit_.setText(toQString(text));
  edit_.setModified(false);
}

std::string PlainTextField::text() const {
  return edit_.toPlainText().toStdString();
}

void PlainTextField::setText(const std::string& text) {
  edit_.setPlainText(toQString(text));
  edit_.document()->setModified(false);
}

std::string MonitorField::text() const {
  return edit_.toPlainText().toStdString();
}

void MonitorField::setText(const std::string& text) {
  edit_.setPlainText(toQString(text));
}

void PageLinksField::setText(const std::string& text) {
  text_ = text;
  QStringList lines;
  for (const QString& line : toQString(text).split(u'\n', Qt::SkipEmptyParts)) {
    const qsizetype colon = line.indexOf(QStringLiteral(": "));
    if (colon < 0) {
      lines << line.toHtmlEscaped();
      continue;
    }
    const QString url = line.mid(colon + 2).toHtmlEscaped();
    lines << line.left(colon + 2).toHtmlEscaped() + QStringLiteral("<a href=\"%1\">%1</a>").arg(url);
  }
  label_.setText(lines.join(QStringLiteral("<br>")));
  label_.setVisible(!lines.isEmpty());
}

void QrCodeField::setText(const std::string& text) {
  text_ = text;
  const std::optional<platform::QrCode> code = platform::qrCodeOf(text);
  label_.setVisible(code.has_value());
  if (!code) return label_.clear();
  // Four modules of light border, as scanners want; each module a square of whole pixels.
  constexpr int kQuietZone = 4;
  constexpr int kModulePixels = 4;
  const int side = code->size + 2 * kQuietZone;
  QImage image(side, side, QImage::Format_Mono);
  image.fill(1);
  for (int y = 0; y < code->size; ++y) {
    for (int x = 0; x < code->size; ++x) {
      if (code->isDark(x, y)) image.setPixel(x + kQuietZone, y + kQuietZone, 0);
    }
  }
  image.setColor(0, qRgb(0, 0, 0));
  image.setColor(1, qRgb(255, 255, 255));
  label_.setPixmap(QPixmap::fromImage(image.scaled(side * kModulePixels, side * kModulePixels)));
}

std::string LabelField::text() const {
  return label_.text().toStdString();
}

void LabelField::setText(const std::string& text) {
  label_.setText(toQString(text));
}

void ComboBoxPopup::removeAllItems() {
  combo_.clear();
}

void ComboBoxPopup::addItems(const std::vector<std::string>& titles) {
  const int selected = combo_.currentIndex();
  for (const auto& title : titles) combo_.addItem(toQString(title));
  // QComboBox selects the first item added to an empty list; the popup's contract does not.
  if (selected < 0) combo_.setCurrentIndex(-1);
}

bool ComboBoxPopup::selectItemWithTitle(const std::string& title) {
  const QString wanted = toQString(title);
  for (int i = 0; i < combo_.count(); ++i) {
    if (combo_.itemText(i) == wanted) {
      combo_.setCurrentIndex(i);
      return true;
    }
  }
  return false;
}

void ComboBoxPopup::selectNoItem() {
  combo_.setCurrentIndex(-1);
}

std::optional<std::string> ComboBoxPopup::titleOfSelectedItem() const {
  if (combo_.currentIndex() < 0) return std::nullopt;
  return combo_.currentText().toStdString();
}

std::vector<std::string> ComboBoxPopup::itemTitles() const {
  std::vector<std::string> titles;
  for (int i = 0; i < combo_.count(); ++i) titles.push_back(combo_.itemText(i).toStdString());
  return titles;
}

double TenthsSlider::doubleValue() const {
  return static_cast<double>(slider_.value()) / kStepsPerUnit;
}

void TenthsSlider::setEnabled(bool enabled) {
  slider_.setEnabled(enabled);
}

void PushButton::setTitle(const std::string& title) {
  button_.setText(toQString(title));
}

bool CheckBoxControl::isChecked() const {
  return box_.isChecked();
}

void CheckBoxControl::setChecked(bool checked) {
  box_.setChecked(checked);
}

// ---- The window ----

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent),
      studioIP_(new QLineEdit),
      studioPort_(makePortEdit(QStringLiteral("1234"))),
      serverPort_(makePortEdit(QStringLiteral("8080"))),
      accessToken_(new QLineEdit),
      showAccessToken_(new QToolButton),
      backendKey_(new QLineEdit),
      showBackendKey_(new QToolButton),
      backendCaFile_(new QLineEdit),
      allowedHosts_(new QLineEdit),
      refreshModels_(new QToolButton),
      sysPrompt_(
          new LinesTextEdit(4, tr("Instructions sent to the model before every chat (optional)"))),
      initMessage_(new LinesTextEdit(3, QStringLiteral("<h1>Velmora</h1>"))),
      keepConversation_(new QCheckBox(tr("Keep the conversation after Velmora quits"))),
      pageLinks_(new QLabel),
      chatCode_(new QLabel),
      addressChoice_(new QComboBox),
      monitor_(new MonitorView),
      setModel_(new QComboBox),
      tempBar_(new QSlider(Qt::Horizontal)),
      tempBarLabel_(new QLabel),
      mainButton_(new QPushButton),
      saveButton_(new QPushButton(tr("Save Settings"))) {
  setWindowTitle(QStringLiteral("Velmora"));
  // The installed icon, which an icon theme may replace; the built-in copy when not installed.
  setWindowIcon(QIcon::fromTheme(QString::fromLatin1(kApplicationId),
                                 QIcon(QStringLiteral(":/velmora/velmora.svg"))));

  studioIP_->setPlaceholderText(QStringLiteral("localhost"));
  studioIP_->setToolTip(
      tr("Name or address of the computer running the model server, or its base URL "
         "(https://models.example.org/v1)"));
  studioPort_->setToolTip(tr("Port of LM Studio's server (LM Studio shows it; usually 1234)"));
  serverPort_->setToolTip(tr("Port on which Velmora waits for browsers; 0 picks a free one"));
  accessToken_->setPlaceholderText(tr("None: anyone on the network may use the relay"));
  accessToken_->setToolTip(
      tr("When set, browsers sign in with this token once and programs send "
         "\"Authorization: Bearer TOKEN\""));
  hideUntilShown(*accessToken_, *showAccessToken_, tr("Show or hide the access token"));
  backendKey_->setPlaceholderText(tr("None"));
  backendKey_->setToolTip(
      tr("The model server's API key, sent to it as \"Authorization: Bearer KEY\""));
  hideUntilShown(*backendKey_, *showBackendKey_, tr("Show or hide the API key"));
  backendCaFile_->setPlaceholderText(tr("The system's certificate authorities"));
  backendCaFile_->setToolTip(
      tr("A PEM file of the certificate authorities that an https model server's certificate "
         "is checked against"));
  allowedHosts_->setPlaceholderText(tr("None besides this computer's names and addresses"));
  allowedHosts_->setToolTip(
      tr("Other names browsers may use to reach the relay, separated by commas (a reverse "
         "proxy's name, for example); * accepts every name"));
  refreshModels_->setText(tr("Refresh"));
  refreshModels_->setToolTip(tr("Read the model server's list of models again"));
  setModel_->setPlaceholderText(tr("Choose a model"));
  setModel_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setModel_->setMinimumContentsLength(24);
  setModel_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setModel_->setToolTip(
      tr("Models loaded in LM Studio; the list is read again when the host or port changes"));
  tempBar_->setRange(0, kMaxTemperatureSteps);
  tempBar_->setPageStep(TenthsSlider::kStepsPerUnit / 2);
  tempBar_->setValue(kInitialTemperatureSteps);
  tempBar_->setToolTip(
      tr("Shown only: the relay does not send a temperature, so the model "
         "server's own setting applies"));
  tempBarLabel_->setText(QStringLiteral("Temperature: 0.7"));
  // Wider than any value's text, so the slider does not move while it is dragged.
  tempBarLabel_->setMinimumWidth(
      tempBarLabel_->fontMetrics().horizontalAdvance(QStringLiteral("Temperature: 20.0")));
  initMessage_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  initMessage_->setToolTip(tr("HTML shown above the prompt form on the relay's start page"));
  keepConversation_->setToolTip(
      tr("Write the shared conversation to a file of your own after every change and load it at "
         "the next launch; unticking removes that file"));
  mainButton_->setText(QStringLiteral("Start Server"));
  mainButton_->setMinimumWidth(
      mainButton_->fontMetrics().horizontalAdvance(QStringLiteral("Stop Server")) + 48);
  saveButton_->setToolTip(
      tr("Keep the system prompt, the start page, both addresses, the access token and whether "
         "the conversation is kept for the next launch"));
  monitor_->setToolTip(tr("What the relay is doing"));

  auto* backend = new QGroupBox(tr("Model server (LM Studio)"));
  auto* backendForm = new QFormLayout(backend);
  backendForm->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  backendForm->addRow(tr("Host:"), studioIP_);
  backendForm->addRow(tr("Port:"), studioPort_);
  auto* keyRow = new QHBoxLayout;
  keyRow->addWidget(backendKey_, 1);
  keyRow->addWidget(showBackendKey_);
  backendForm->addRow(tr("API key:"), keyRow);
  backendForm->addRow(tr("CA file:"), backendCaFile_);
  auto* modelRow = new QHBoxLayout;
  modelRow->addWidget(setModel_, 1);
  modelRow->addWidget(refreshModels_);
  backendForm->addRow(tr("Model:"), modelRow);
  backendForm->addRow(tempBarLabel_, tempBar_);

  auto* relay = new QGroupBox(tr("Relay for browsers on your network"));
  auto* relayForm = new QFormLayout(relay);
  relayForm->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  auto* portRow = new QHBoxLayout;
  portRow->addWidget(serverPort_);
  portRow->addWidget(makeHint(tr("Browsers open http://this-computer:port/")), 1);
  relayForm->addRow(tr("Listen on port:"), portRow);
  auto* tokenRow = new QHBoxLayout;
  tokenRow->addWidget(accessToken_, 1);
  tokenRow->addWidget(showAccessToken_);
  relayForm->addRow(tr("Access token:"), tokenRow);
  relayForm->addRow(tr("Allowed host names:"), allowedHosts_);
  relayForm->addRow(tr("System prompt:"), sysPrompt_);
  relayForm->addRow(tr("Start page (HTML):"), initMessage_);
  relayForm->addRow(QString(), keepConversation_);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(saveButton_);
  buttons->addStretch(1);
  buttons->addWidget(mainButton_);

  auto* status = new QGroupBox(tr("Status"));
  auto* statusLayout = new QHBoxLayout(status);
  pageLinks_->setTextFormat(Qt::RichText);
  pageLinks_->setOpenExternalLinks(true);
  pageLinks_->setTextInteractionFlags(Qt::TextBrowserInteraction);
  pageLinks_->setVisible(false);
  chatCode_->setVisible(false);
  chatCode_->setToolTip(tr("Scan with a phone to open the chat page"));
  chatCode_->setAlignment(Qt::AlignTop);
  addressChoice_->setToolTip(
      tr("The address of this computer that the links and the QR code name; pick another when "
         "phones reach it through another network"));
  auto* addressRow = new QHBoxLayout;
  addressRow->addWidget(new QLabel(tr("Address for browsers:")));
  addressRow->addWidget(addressChoice_, 1);
  auto* statusText = new QVBoxLayout;
  statusText->addLayout(addressRow);
  statusText->addWidget(pageLinks_);
  statusText->addWidget(monitor_, 1);
  statusLayout->addLayout(statusText, 1);
  statusLayout->addWidget(chatCode_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(backend);
  layout->addWidget(relay, 2);
  layout->addLayout(buttons);
  layout->addWidget(status, 1);

  monitorField_ = std::make_unique<MonitorField>(*monitor_);
  sysPromptField_ = std::make_unique<PlainTextField>(*sysPrompt_);
  initMessageField_ = std::make_unique<PlainTextField>(*initMessage_);
  studioIPField_ = std::make_unique<LineEditField>(*studioIP_);
  studioPortField_ = std::make_unique<LineEditField>(*studioPort_);
  serverPortField_ = std::make_unique<LineEditField>(*serverPort_);
  accessTokenField_ = std::make_unique<LineEditField>(*accessToken_);
  backendKeyField_ = std::make_unique<LineEditField>(*backendKey_);
  backendCaFileField_ = std::make_unique<LineEditField>(*backendCaFile_);
  allowedHostsField_ = std::make_unique<LineEditField>(*allowedHosts_);
  setModelPopup_ = std::make_unique<ComboBoxPopup>(*setModel_);
  tempBarSlider_ = std::make_unique<TenthsSlider>(*tempBar_);
  tempBarLabelField_ = std::make_unique<LabelField>(*tempBarLabel_);
  mainButtonControl_ = std::make_unique<PushButton>(*mainButton_);
  keepConversationControl_ = std::make_unique<CheckBoxControl>(*keepConversation_);
  pageLinksField_ = std::make_unique<PageLinksField>(*pageLinks_);
  chatCodeField_ = std::make_unique<QrCodeField>(*chatCode_);
  addressChoicePopup_ = std::make_unique<ComboBoxPopup>(*addressChoice_);

  resize(sizeHint().expandedTo(QSize(620, 0)));
}

MainWindow::~MainWindow() {
  // The children outlive this object's own members; focus changes while they are deleted must
  // not reach the filter.
  for (QObject* watched :
       {static_cast<QObject*>(studioIP_), static_cast<QObject*>(studioPort_),
        static_cast<QObject*>(serverPort_), static_cast<QObject*>(accessToken_),
        static_cast<QObject*>(backendKey_), static_cast<QObject*>(backendCaFile_),
        static_cast<QObject*>(allowedHosts_),
        static_cast<QObject*>(sysPrompt_)}) {
    watched->removeEventFilter(this);
  }
}

app::View MainWindow::view() {
  return app::View{*monitorField_,       *sysPromptField_,          *initMessageField_,
                   *studioIPField_,      *studioPortField_,         *serverPortField_,
                   *setModelPopup_,      *tempBarSlider_,           *tempBarLabelField_,
                   *mainButtonControl_,  *accessTokenField_,        *backendKeyField_,
                   *backendCaFileField_, *keepConversationControl_, *allowedHostsField_,
                   *pageLinksField_,     *chatCodeField_,           *addressChoicePopup_};
}

template <typename Action>
void MainWindow::forward(Action action) {
  if (auto controller = controller_.lock()) ((*controller).*action)();
}

void MainWindow::hideUntilShown(QLineEdit& field, QToolButton& show, const QString& toolTip) {
  field.setEchoMode(QLineEdit::Password);
  show.setText(tr("Show"));
  show.setCheckable(true);
  show.setToolTip(toolTip);
  connect(&show, &QToolButton::toggled, this, [&field, &show](bool shown) {
    field.setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    show.setText(shown ? tr("Hide") : tr("Show"));
  });
}

void MainWindow::bindLineEdit(QLineEdit& edit, void (app::ViewController::*action)()) {
  // Return always sends the action; leaving the field sends it when the text was edited
  // (see eventFilter).
  connect(&edit, &QLineEdit::returnPressed, this, [this, &edit, action] {
    edit.setModified(false);
    forward(action);
  });
  edit.installEventFilter(this);
}

void MainWindow::setController(const std::shared_ptr<app::ViewController>& controller) {
  controller_ = controller;
  bindLineEdit(*studioIP_, &app::ViewController::studioIPDidChange);
  bindLineEdit(*studioPort_, &app::ViewController::studioPortDidChange);
  bindLineEdit(*serverPort_, &app::ViewController::serverPortDidChange);
  bindLineEdit(*accessToken_, &app::ViewController::accessTokenDidChange);
  bindLineEdit(*backendKey_, &app::ViewController::backendKeyDidChange);
  bindLineEdit(*backendCaFile_, &app::ViewController::backendCaFileDidChange);
  bindLineEdit(*allowedHosts_, &app::ViewController::allowedHostsDidChange);
  connect(refreshModels_, &QToolButton::clicked, this,
          [this] { forward(&app::ViewController::fetchModelList); });
  sysPrompt_->installEventFilter(this);
  connect(setModel_, &QComboBox::activated, this,
          [this] { forward(&app::ViewController::setModelChanged); });
  connect(addressChoice_, &QComboBox::activated, this,
          [this] { forward(&app::ViewController::addressChoiceDidChange); });
  connect(tempBar_, &QSlider::valueChanged, this,
          [this] { forward(&app::ViewController::sliderValueChanged); });
  connect(mainButton_, &QPushButton::clicked, this,
          [this] { forward(&app::ViewController::mainButtonClicked); });
  connect(keepConversation_, &QCheckBox::clicked, this,
          [this] { forward(&app::ViewController::keepConversationDidChange); });
  connect(saveButton_, &QPushButton::clicked, this,
          [this] { forward(&app::ViewController::savePrefs); });
  forward(&app::ViewController::viewDidLoad);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) forward(&app::ViewController::viewDidAppear);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    // Switching to another window or opening a context menu does not end the editing.
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    const bool endsEditing =
        reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
    if (endsEditing && watched == sysPrompt_ && sysPrompt_->document()->isModified()) {
      sysPrompt_->document()->setModified(false);
      forward(&app::ViewController::sysPromptDidChange);
    }
    const std::pair<QLineEdit*, void (app::ViewController::*)()> lineEdits[] = {
        {studioIP_, &app::ViewController::studioIPDidChange},
        {studioPort_, &app::ViewController::studioPortDidChange},
        {serverPort_, &app::ViewController::serverPortDidChange},
        {accessToken_, &app::ViewController::accessTokenDidChange},
        {backendKey_, &app::ViewController::backendKeyDidChange},
        {backendCaFile_, &app::ViewController::backendCaFileDidChange},
        {allowedHosts_, &app::ViewController::allowedHostsDidChange},
    };
    for (const auto& [edit, action] : lineEdits) {
      if (endsEditing && watched == edit && edit->isModified()) {
        edit->setModified(false);
        forward(action);
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velmora::desktop
