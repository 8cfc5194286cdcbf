#include "app/view_controller.h"

#include <charconv>

#include "app/backend_address.h"
#include "platform/console.h"
#include "platform/url.h"
#include "relay/completion_request.h"

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

platform::HttpClientRequest templateFor(const std::string& url) {
  platform::HttpClientRequest request;
  request.url = url;
  request.timeoutInterval = std::chrono::seconds(60);
  return request;
}

}  // namespace

ViewController::ViewController(const View& view, platform::MainQueue& mainQueue,
                               platform::SettingsFile& settings, platform::HttpClient& httpClient,
                               HostAddressSource hostAddresses)
    : Monitor(view.monitor),
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
      mainQueue_(mainQueue),
      settings_(settings),
      httpClient_(httpClient),
      hostAddresses_(std::move(hostAddresses)),
      urlRequest_(templateFor(kInitialUrl)) {}

ViewController::~ViewController() { webServer->stop(); }

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
  accessTokenField.setText(settings_.string("accessToken").value_or(""));
  useAccessToken(accessTokenField.text());
  backendKeyField.setText(settings_.string("backendApiKey").value_or(""));
  backendCaFileField.setText(settings_.string("backendCaFile").value_or(""));
  keepBackendCredentials();
}

bool ViewController::applyBackendAddress(std::optional<BackendField> changed) {
  std::string host = studioIP.text();
  if (host.empty()) host = kDefaultStudioIP;
  std::string port = studioPort.text();
  if (port.empty()) port = kDefaultStudioPort;
  if (changed) {
    switch (*changed) {
      case BackendField::host: settings_.set("studioIP", host); break;
      case BackendField::port: settings_.set("studioPort", port); break;
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
  for (const std::string& address : hostAddresses_()) {
    if (address.find('.') != std::string::npos) {
      serverIP = address;
      return;
    }
  }
  serverIP = "localhost";
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
  std::lock_guard lock(urlRequestMutex_);
  backendKey_ = std::move(key);
  backendCaFile_ = std::move(caFile);
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
  return prefix + "Server is running on http://" + serverIP.value_or("localhost") + ":" +
         serverPort.text() + tokenClause + "\nModel: " + selectedModel.value_or("");
}

void ViewController::reportStartSucceeded() {
  pickServerIP();
  showServerStatus("");
}

void ViewController::reportStartFailed(const std::string& errorDescription) {
  isRunning = false;
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

std::string ViewController::accessToken() {
  std::lock_guard lock(accessTokenMutex_);
  return accessToken_;
}

void ViewController::noteHistoryReset() {
  setMonitorText("チャット履歴を初期化しました。");
  platform::printLine("Chat history reset with submitting a new request.");
}

void ViewController::resetChatHistory() { chatHistory.reset(); }

relay::ChatSnapshot ViewController::appendUserMessage(const std::string& prompt) {
  return chatHistory.appendAndSnapshot({"user", prompt});
}

void ViewController::appendAssistantMessage(relay::ChatMessage answer, uint64_t generation) {
  chatHistory.appendToGeneration(std::move(answer), generation);
}

uint64_t ViewController::chatGeneration() const { return chatHistory.generation(); }

std::vector<relay::ChatMessage> ViewController::chatMessages() const { return chatHistory.messages(); }

std::string ViewController::chatHistoryDescription() const { return chatHistory.description(); }

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
