#include "app/view_controller.h"

#include <algorithm>
#include <charconv>

#include "app/backend_address.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/overloaded.h"
#include "platform/url.h"
#include "relay/completion_request.h"
#include "relay/web/chat_page.h"

namespace velmora::app {

namespace {

constexpr const char* kDefaultInitialMessage = "<h1>Velmora</h1>";
constexpr const char* kDefaultStudioIP = "localhost";
constexpr const char* kDefaultStudioPort = "1234";
constexpr const char* kDefaultServerPort = "8080";
constexpr int kFallbackRelayPort = 8080;

// Blanks around a pasted token are not part of it: no client could send them in a header.
std::string withoutSurroundingBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The "conversationImagesMiB" setting in bytes: whole MiB up to 1 TiB; anything else gives the
// default, and is said when `report`.
std::size_t conversationImageLimitIn(const platform::SettingsFile& settings, bool report) {
  const std::optional<std::string> text = settings.string("conversationImagesMiB");
  if (!text) return relay::kDefaultConversationImageBytes;
  std::size_t mebibytes = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), mebibytes);
  if (error == std::errc() && end == text->data() + text->size() && mebibytes <= (1u << 20)) {
    return mebibytes << 20;
  }
  if (report) {
    platform::printLine("⚠️ Settings file " + settings.path().string() +
                        ": conversationImagesMiB is \"" + *text +
                        "\", not a number of MiB up to 1048576; the default (64) is used");
  }
  return relay::kDefaultConversationImageBytes;
}

platform::HttpClientRequest templateFor(const std::string& url) {
  platform::HttpClientRequest request;
  request.url = url;
  request.timeoutInterval = std::chrono::seconds(60);
  return request;
}

}  // namespace

ViewController::ViewController(const View& view, platform::MainQueue& mainQueue,
                               platform::SettingsFile& settings, platform::HttpClient& httpClient,
                               HostAddressSource hostAddresses,
                               std::optional<std::filesystem::path> conversationFile)
    : monitorUnderNotices_(view.monitor),
      Monitor(monitorUnderNotices_),
      SysPrompt(view.sysPrompt),
      initMessage(view.initMessage),
      studioIP(view.studioIP),
      studioPort(view.studioPort),
      serverPort(view.serverPort),
      setModel(view.setModel),
      tempBar(view.tempBar),
      tempBarLabel(view.tempBarLabel),
      mainButton(view.mainButton),
      accessTokenField(view.accessToken),
      backendKeyField(view.backendKey),
      backendCaFileField(view.backendCaFile),
      keepConversationBox(view.keepConversation),
      allowedHostsField(view.allowedHosts),
      pageAddresses(view.pageAddresses),
      chatCode(view.chatCode),
      addressChoice(view.addressChoice),
      mainQueue_(mainQueue),
      settings_(settings),
      httpClient_(httpClient),
      hostAddresses_(std::move(hostAddresses)),
      urlRequest_(templateFor(kInitialUrl)),
      conversationStore_(
          conversationFile.value_or(relay::ConversationStore::pathFor(settings.path()))) {}

ViewController::~ViewController() {
  webServer->stop();
}

// ---- Relay settings ----

void ViewController::loadSettings() {
  initMessage.setText(settings_.string("initialMessage").value_or(kDefaultInitialMessage));
  SysPrompt.setText(settings_.string("systemPrompt").value_or(""));
  // An older key, read only as a fallback and never written.
  if (SysPrompt.text().empty()) SysPrompt.setText(settings_.string("SysPrompt").value_or(""));
  keepSystemPrompt();
  studioIP.setText(settings_.string("studioIP").value_or(kDefaultStudioIP));
  studioPort.setText(settings_.string("studioPort").value_or(kDefaultStudioPort));
  serverPort.setText(settings_.string("serverPort").value_or(kDefaultServerPort));
  selectedModel = settings_.string("modelName").value_or("");
  {
    // Until a list has been read, submissions name the model the person chose.
    std::lock_guard lock(submissionFieldsMutex_);
    if (!listedModels_) modelTitle_ = *selectedModel;
  }
  accessTokenField.setText(settings_.string("accessToken").value_or(""));
  useAccessToken(accessTokenField.text());
  backendKeyField.setText(settings_.string("backendApiKey").value_or(""));
  backendCaFileField.setText(settings_.string("backendCaFile").value_or(""));
  keepBackendCredentials();
  allowedHostsField.setText(settings_.string("allowedHosts").value_or(""));
  keepAllowedHosts();
  // Said at the first reading only: this runs again each time the window appears.
  conversationImageLimit_ = conversationImageLimitIn(settings_, !conversationLoaded_);
  const std::optional<bool> keep = settings_.flag("keepConversation");
  keepConversationBox.setChecked(keep.value_or(false));
  // Once per launch: this runs again each time the window appears (and twice headless), and
  // reading again would replace what browsers have said since.
  if (!conversationLoaded_ && keep == true) {
    reportConversationLoad(
        conversationStore_.loadAndKeep(chatHistory, relay::web::chat_page::renderOnce));
  } else if (!conversationLoaded_ && keep == false) {
    // Switched off where nothing could remove the file (the command line), or its removal failed.
    reportConversationStop(conversationStore_.stopKeeping());
  }
  conversationLoaded_ = true;
}

bool ViewController::applyBackendAddress(std::optional<BackendField> changed) {
  std::string host = studioIP.text();
  if (host.empty()) host = kDefaultStudioIP;
  std::string port = studioPort.text();
  if (port.empty()) port = kDefaultStudioPort;
  if (changed) {
    switch (*changed) {
      case BackendField::host:
        settings_.set("studioIP", host);
        break;
      case BackendField::port:
        settings_.set("studioPort", port);
        break;
    }
  }
  const std::optional<BackendBase> base = backendBase(host, port);
  if (!base) return false;
  std::lock_guard lock(urlRequestMutex_);
  urlRequest_ = templateFor(base->url + "/chat/completions");
  return true;
}

std::optional<int> ViewController::relayPortNumber() const {
  const std::string text = serverPort.text();
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return kFallbackRelayPort;
  }
  // Anything past five digits is out of range however it continues.
  if (digits.size() > 6) return std::nullopt;
  int value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (negative) value = -value;
  if (value < 0 || value > 65535) return std::nullopt;
  return value;
}

void ViewController::pickServerIP() {
  std::vector<std::string> choices;
  for (const std::string& address : hostAddresses_()) {
    if (address.find('.') != std::string::npos) choices.push_back(address);
  }
  // A choice made earlier stays while the machine still has that address.
  const bool keep =
      serverIP && std::find(choices.begin(), choices.end(), *serverIP) != choices.end();
  if (!keep) serverIP = choices.empty() ? "localhost" : choices.front();
  addressChoice.removeAllItems();
  addressChoice.addItems(choices.empty() ? std::vector<std::string>{"localhost"} : choices);
  addressChoice.selectItemWithTitle(*serverIP);
}

void ViewController::addressChoiceDidChange() {
  const std::optional<std::string> picked = addressChoice.titleOfSelectedItem();
  if (!picked || picked == serverIP) return;
  serverIP = picked;
  showPageAddresses();
  if (isRunning) showServerStatus("");
}

void ViewController::sysPromptDidChange() {
  settings_.set("systemPrompt", SysPrompt.text());
  keepSystemPrompt();
}

void ViewController::keepSystemPrompt() {
  std::string text = SysPrompt.text();
  std::lock_guard lock(submissionFieldsMutex_);
  systemPrompt_ = std::move(text);
}

void ViewController::keepModelTitle() {
  std::string title = setModel.titleOfSelectedItem().value_or("");
  std::lock_guard lock(submissionFieldsMutex_);
  modelTitle_ = std::move(title);
}

void ViewController::accessTokenDidChange() {
  settings_.set("accessToken", accessTokenField.text());
  const bool changed = useAccessToken(accessTokenField.text());
  if (!changed) return;
  platform::printLine(accessToken().empty() ? "The relay no longer asks for an access token"
                                            : "The relay asks for the new access token");
  if (isRunning) showServerStatus("");
  showPageAddresses();  // the QR code holds a sign-in link only with a token
}

bool ViewController::useAccessToken(const std::string& text) {
  std::string token = withoutSurroundingBlanks(text);
  std::lock_guard lock(accessTokenMutex_);
  if (token == accessToken_) return false;
  accessToken_ = std::move(token);
  return true;
}

void ViewController::backendKeyDidChange() {
  settings_.set("backendApiKey", backendKeyField.text());
  keepBackendCredentials();
  fetchModelList();
}

void ViewController::backendCaFileDidChange() {
  settings_.set("backendCaFile", backendCaFileField.text());
  keepBackendCredentials();
  fetchModelList();
}

void ViewController::keepBackendCredentials() {
  std::string key = withoutSurroundingBlanks(backendKeyField.text());
  std::string caFile = withoutSurroundingBlanks(backendCaFileField.text());
  // A backend's error message may quote the key it was given.
  platform::hideInConsole(key, std::string(relay::kBackendKeyShownAs));
  monitorUnderNotices_.hide(key, std::string(relay::kBackendKeyShownAs));
  std::lock_guard lock(urlRequestMutex_);
  backendKey_ = std::move(key);
  backendCaFile_ = std::move(caFile);
}

std::string ViewController::withoutBackendKey(std::string text) const {
  std::lock_guard lock(urlRequestMutex_);
  return platform::withSecretHidden(std::move(text), backendKey_, relay::kBackendKeyShownAs);
}

void ViewController::allowedHostsDidChange() {
  settings_.set("allowedHosts", allowedHostsField.text());
  keepAllowedHosts();
}

void ViewController::keepAllowedHosts() {
  std::vector<std::string> names;
  const std::string text = platform::lowercaseAscii(allowedHostsField.text());
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto start = rest.find_first_not_of(", \t\n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const auto end = rest.find_first_of(", \t\n");
    names.emplace_back(rest.substr(0, end));
    rest.remove_prefix(std::min(end, rest.size()));
  }
  std::lock_guard lock(accessTokenMutex_);
  allowedHosts_ = std::move(names);
}

std::vector<std::string> ViewController::allowedHosts() {
  std::lock_guard lock(accessTokenMutex_);
  return allowedHosts_;
}

void ViewController::keepConversationDidChange() {
  const bool keep = keepConversationBox.isChecked();
  settings_.set("keepConversation", keep ? "true" : "false");
  if (keep == conversationStore_.isKeeping()) return;
  const std::string path = conversationStore_.path().string();
  if (keep) {
    platform::printLine("The conversation is kept in " + path + " from now on");
    reportConversationWrite(conversationStore_.startKeeping(chatHistory));
    return;
  }
  showNotice(NoticeMonitor::Notice::conversationWrite, "");
  const relay::StopReport report = conversationStore_.stopKeeping();
  if (std::holds_alternative<relay::NoKeptFile>(report)) {
    platform::printLine("The conversation is no longer kept");
  }
  reportConversationStop(report);
}

void ViewController::savePrefs() {
  settings_.set("systemPrompt", SysPrompt.text());
  keepSystemPrompt();
  settings_.set("initialMessage", initMessage.text());
  settings_.set("studioIP", studioIP.text());
  settings_.set("studioPort", studioPort.text());
  settings_.set("serverPort", serverPort.text());
  settings_.set("accessToken", accessTokenField.text());
  settings_.set("backendApiKey", backendKeyField.text());
  settings_.set("backendCaFile", backendCaFileField.text());
  keepBackendCredentials();
  settings_.set("allowedHosts", allowedHostsField.text());
  keepAllowedHosts();
  settings_.set("keepConversation", keepConversationBox.isChecked() ? "true" : "false");
}

// ---- Monitor and start reports ----

void ViewController::setMonitorText(const std::string& text) {
  mainQueue_.async([weak = weak_from_this(), text] {
    if (auto self = weak.lock()) self->Monitor.setText(text);
  });
}

void ViewController::showServerStatus(const std::string& prefix) {
  // The line is built when the block runs, from the values of that moment.
  mainQueue_.async([weak = weak_from_this(), prefix] {
    if (auto self = weak.lock()) self->Monitor.setText(self->serverStatusLine(prefix));
  });
}

std::string ViewController::serverStatusLine(const std::string& prefix) const {
  bool tokenRequired = false;
  {
    std::lock_guard lock(accessTokenMutex_);
    tokenRequired = !accessToken_.empty();
  }
  const std::string tokenClause = tokenRequired ? " (access token required)" : "";
  const std::string port = boundPort_ ? std::to_string(*boundPort_) : serverPort.text();
  return prefix + "Server is running on http://" + serverIP.value_or("localhost") + ":" + port +
         tokenClause + "\nModel: " + selectedModel.value_or("");
}

void ViewController::reportStartSucceeded() {
  pickServerIP();
  showPageAddresses();
  showServerStatus("");
}

void ViewController::reportStartFailed(const std::string& errorDescription) {
  isRunning = false;
  showPageAddresses();
  Monitor.setText("Failed to start server: " + errorDescription);
}

// ---- RelayHost ----

std::string ViewController::readOnMain(std::function<std::string()> read) {
  std::string value;
  if (!mainQueue_.sync([&] { value = read(); })) return "";
  return value;
}

std::string ViewController::initialMessageText() {
  return readOnMain([this] { return initMessage.text(); });
}

std::string ViewController::systemPromptText() {
  std::lock_guard lock(submissionFieldsMutex_);
  return systemPrompt_;
}

relay::ModelChoice ViewController::modelChoice() {
  std::lock_guard lock(submissionFieldsMutex_);
  if (!modelTitle_.empty() || !listedModels_) return relay::ModelToSend{modelTitle_};
  return relay::NoModelChosen{};
}

bool ViewController::redeemSignInCode(std::string_view code) {
  if (!signInLinks.redeem(code)) return false;
  // The code shown is used up: the next phone needs a new one.
  mainQueue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->showPageAddresses();
  });
  return true;
}

std::string ViewController::accessToken() {
  std::lock_guard lock(accessTokenMutex_);
  return accessToken_;
}

void ViewController::noteHistoryReset() {
  setMonitorText("チャット履歴を初期化しました。");
  platform::printLine("Chat history reset with submitting a new request.");
}

void ViewController::resetChatHistory() {
  chatHistory.reset();
  saveConversation();
}

relay::ChatSnapshot ViewController::appendUserMessage(const std::string& prompt) {
  return *appendUserMessage(prompt, {});  // words only: never refused
}

std::optional<relay::ChatSnapshot> ViewController::appendUserMessage(
    const std::string& prompt, std::vector<relay::ChatImage> images) {
  relay::ChatMessage turn{"user", prompt};
  turn.images = std::move(images);
  std::optional<relay::ChatSnapshot> snapshot =
      chatHistory.appendWithinImageLimit(std::move(turn), conversationImageLimit_);
  if (snapshot) saveConversation();
  return snapshot;
}

std::optional<relay::ChatImage> ViewController::chatImage(std::string_view id) const {
  return chatHistory.image(id);
}

void ViewController::appendAssistantMessage(relay::ChatMessage answer, uint64_t generation) {
  relay::web::chat_page::renderOnce(answer);  // here, not at every visit of the chat page
  if (chatHistory.appendToGeneration(std::move(answer), generation)) saveConversation();
}

uint64_t ViewController::chatGeneration() const {
  return chatHistory.generation();
}

std::vector<relay::ChatMessage> ViewController::chatMessages() const {
  return chatHistory.messages();
}

std::string ViewController::chatHistoryDescription() const {
  return chatHistory.description();
}

// ---- The kept conversation ----

void ViewController::saveConversation() {
  reportConversationWrite(conversationStore_.save(chatHistory));
}

void ViewController::reportKeptElsewhere() {
  showNotice(NoticeMonitor::Notice::conversationFile,
             "⚠️ Another Velmora process keeps the conversation in " +
                 conversationStore_.path().string() +
                 "; this one keeps its conversation in memory only");
}

void ViewController::reportConversationWrite(const relay::WriteReport& report) {
  const std::string path = conversationStore_.path().string();
  std::visit(platform::Overloaded{
                 [](const relay::WriteAsUsual&) {},
                 [&](const relay::KeptElsewhere&) { reportKeptElsewhere(); },
                 [&](const relay::WriteFailed& failed) {
                   showNotice(NoticeMonitor::Notice::conversationWrite,
                              "⚠️ Could not write the conversation to " + path + " (" +
                                  failed.reason +
                                  "); it stays in memory and is written with the next change");
                 },
                 [&](const relay::WritingAgain&) {
                   showNotice(NoticeMonitor::Notice::conversationWrite, "");
                   platform::printLine("The conversation is written to " + path + " again");
                 }},
             report);
}

void ViewController::reportConversationLoad(const relay::ConversationLoad& load) {
  const std::string path = conversationStore_.path().string();
  std::visit(platform::Overloaded{
                 [&](const relay::ConversationLoaded& loaded) {
                   platform::printLine("The conversation kept in " + path + " is loaded (" +
                                       std::to_string(loaded.turns) + " turns)");
                   if (loaded.lostImages == 0) return;
                   showNotice(NoticeMonitor::Notice::conversationFile,
                              "⚠️ Images of the kept conversation missing or damaged: " +
                                  std::to_string(loaded.lostImages) + "; their turns say so");
                 },
                 [](const relay::NoConversationKept&) {},
                 [&](const relay::KeptElsewhere&) { reportKeptElsewhere(); },
                 [&](const relay::ConversationSetAside& aside) {
                   showNotice(NoticeMonitor::Notice::conversationFile,
                              "⚠️ The kept conversation could not be read (" + aside.reason +
                                  "); it is set aside as " + aside.setAsideAs.string() +
                                  " and the conversation starts empty");
                 },
                 [&](const relay::ConversationLeftInPlace& left) {
                   showNotice(
                       NoticeMonitor::Notice::conversationFile,
                       "⚠️ The kept conversation " + path + " could not be read (" +
                           left.reason + ") nor set aside (" + left.setAsideFailure +
                           "); the conversation starts empty and that file is not written over "
                           "until Velmora quits");
                 }},
             load);
}

void ViewController::reportConversationStop(const relay::StopReport& report) {
  const std::string path = conversationStore_.path().string();
  std::visit(
      platform::Overloaded{[&](const relay::KeptFileRemoved&) {
                             platform::printLine("The conversation is no longer kept; " + path +
                                                 " is removed");
                           },
                           [](const relay::NoKeptFile&) {},
                           [&](const relay::KeptFileStays& stays) {
                             platform::printLine("⚠️ The conversation is no longer kept, but " +
                                                 path + " stays: " + stays.reason);
                           }},
      report);
}

void ViewController::showNotice(NoticeMonitor::Notice kind, const std::string& text) {
  if (!text.empty()) platform::printLine(text);
  if (!monitorUnderNotices_.setNotice(kind, text)) return;
  mainQueue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->monitorUnderNotices_.refresh();
  });
}

platform::HttpClientRequest ViewController::makeCompletionRequest(
    const std::string& model, const std::string& systemPrompt,
    std::vector<relay::ChatMessage> history) {
  return relay::makeCompletionRequest(urlRequestTemplate(), model, systemPrompt,
                                      std::move(history));
}

platform::HttpClientRequest ViewController::urlRequestTemplate() const {
  std::lock_guard lock(urlRequestMutex_);
  platform::HttpClientRequest request = urlRequest_;
  if (!backendKey_.empty()) request.setHeader("Authorization", "Bearer " + backendKey_);
  request.caFile = backendCaFile_;
  return request;
}

void ViewController::setActiveStream(std::shared_ptr<relay::StreamingDelegate> delegate,
                                     std::shared_ptr<platform::HttpClientTask> session) {
  std::shared_ptr<relay::StreamingDelegate> oldDelegate;
  std::shared_ptr<platform::HttpClientTask> oldSession;
  {
    std::lock_guard lock(activeStreamMutex_);
    oldDelegate = std::exchange(activeStreamDelegate_, std::move(delegate));
    oldSession = std::exchange(activeStreamingSession_, std::move(session));
  }
  // The previous objects are released outside the lock.
}

}  // namespace velmora::app
