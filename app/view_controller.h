#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/notice_monitor.h"
#include "app/view.h"
#include "http/server.h"
#include "platform/http_client.h"
#include "platform/main_queue.h"
#include "platform/settings_file.h"
#include "relay/chat_history.h"
#include "relay/conversation_store.h"
#include "relay/relay_host.h"
#include "relay/web/sign_in_links.h"

namespace velmora::app {

// The one window's controller: the relay's server, the shared conversation, the backend request
// template, the settings and the controls. Built without any toolkit: the controls come through
// View, the main queue and the services through small interfaces.
//
// Must be owned by a std::shared_ptr (the relay's handlers hold it weakly). Actions and reports
// run on the main thread; the calls of RelayHost may come from any thread.
class ViewController final : public relay::RelayHost,
                             public std::enable_shared_from_this<ViewController> {
  // Declared before Monitor, which refers to it.
  NoticeMonitor monitorUnderNotices_;

 public:
  using HostAddressSource = std::function<std::vector<std::string>()>;

  // The conversation is kept in `conversationFile` while the keepConversation setting is on; by
  // default in the file of the settings' profile (ConversationStore::pathFor).
  ViewController(const View& view, platform::MainQueue& mainQueue, platform::SettingsFile& settings,
                 platform::HttpClient& httpClient, HostAddressSource hostAddresses,
                 std::optional<std::filesystem::path> conversationFile = std::nullopt);
  ~ViewController() override;

  // ---- Relay settings ----
  enum class BackendField { host, port };

  // Fills the fields from the settings, with the defaults for absent keys. The first call also
  // loads the kept conversation when the setting is on; a file that cannot be read is set aside
  // and a notice stays in the monitor. Main thread.
  void loadSettings();
  // Rebuilds the backend request template from the host and port fields after one of them
  // changed, storing the changed one (an empty field stores its default); with none changed (at
  // launch) nothing is stored. False, and nothing rebuilt, when the address does not form a URL.
  // Main thread.
  bool applyBackendAddress(std::optional<BackendField> changed);
  // The relay port from the serverPort field: decimal with an optional sign, 8080 when empty or
  // not a number; nullopt when the number lies outside 0 to 65535. Main thread.
  std::optional<int> relayPortNumber() const;
  // Lists the host addresses holding a "." in addressChoice and selects serverIP: the one chosen
  // before while the machine still has it, else the first (the default route's), else
  // "localhost". Main thread.
  void pickServerIP();
  // The person picked another address: the page addresses and the QR code show it. Main thread.
  void addressChoiceDidChange();
  void sysPromptDidChange();
  // Stores the access token field's text and makes the relay ask for it from the next request
  // on (none when empty). Main thread.
  void accessTokenDidChange();
  // Store the backend key or CA file field and use it from the next backend request on; the
  // model list is fetched again. The key is never printed. Main thread.
  void backendKeyDidChange();
  void backendCaFileDidChange();
  // Stores the allowed host names field and answers to those names from the next request on.
  // Main thread.
  void allowedHostsDidChange();
  // Stores the check box's state. Checked: writes the conversation at once and after every
  // change. Unchecked: stops writing and removes the file. Main thread.
  void keepConversationDidChange();
  void savePrefs();

  // ---- Monitor and start reports ----
  void setMonitorText(const std::string& text) override;
  void showServerStatus(const std::string& prefix) override;
  // The status line as it reads now. Main thread.
  std::string serverStatusLine(const std::string& prefix) const;
  // Where browsers find the start page and the chat page, with the port the relay really listens
  // on (the field may say 0); nullopt while it does not serve. Main thread.
  struct RelayPages {
    std::string start, chat;
  };
  std::optional<RelayPages> relayPages() const;
  // Shows relayPages() in the pageAddresses field, or empties it; and in chatCode the chat page's
  // address, or with an access token a sign-in link with a new code. Main thread.
  void showPageAddresses();
  void reportStartSucceeded();                                  // main thread
  void reportStartFailed(const std::string& errorDescription);  // main thread

  // ---- Relay endpoints ----
  // Registers the relay's routes and starts the server on the relay port; the outcome report is
  // queued on the main queue. Main thread.
  void startWebServer();

  // ---- Model catalogue ----
  void studioIPDidChange();
  void studioPortDidChange();
  // Fetches the backend's model list; the result reaches the popup through the main queue, and
  // only when no newer fetch has started meanwhile. While no list can be read, fetches again
  // after a pause that doubles from 1 s to 30 s, and the monitor says it is waiting. Main thread.
  void fetchModelList();
  // Fills the popup and selects the saved model, or the only one listed; in that case a start
  // refused earlier for want of a model happens now. Main thread.
  void updateModelPopup(const std::vector<std::string>& names);
  void setModelChanged();
  void sliderValueChanged();

  // ---- Server control ----
  void viewDidLoad();
  void viewDidAppear();
  void mainButtonClicked();
  void serverPortDidChange();
  // Stops a running relay at termination; no monitor text. The thread that ends the application.
  void stopServerOnTerminate();

  // ---- RelayHost ----
  std::string initialMessageText() override;
  std::string systemPromptText() override;
  relay::ModelChoice modelChoice() override;
  std::string accessToken() override;
  bool redeemSignInCode(std::string_view code) override;
  std::vector<std::string> allowedHosts() override;
  std::string withoutBackendKey(std::string text) const override;
  void noteHistoryReset() override;
  void resetChatHistory() override;
  relay::ChatSnapshot appendUserMessage(const std::string& prompt) override;
  std::optional<relay::ChatSnapshot> appendUserMessage(
      const std::string& prompt, std::vector<relay::ChatImage> images) override;
  std::size_t conversationImageLimit() override { return conversationImageLimit_; }
  std::optional<relay::ChatImage> chatImage(std::string_view id) const override;
  void appendAssistantMessage(relay::ChatMessage answer, uint64_t generation) override;
  uint64_t chatGeneration() const override;
  std::vector<relay::ChatMessage> chatMessages() const override;
  std::string chatHistoryDescription() const override;
  platform::HttpClientRequest makeCompletionRequest(
      const std::string& model, const std::string& systemPrompt,
      std::vector<relay::ChatMessage> history) override;
  platform::HttpClientRequest urlRequestTemplate() const override;
  platform::MainQueue& mainQueue() override { return mainQueue_; }
  platform::HttpClient& backendClient() override { return httpClient_; }
  void setActiveStream(std::shared_ptr<relay::StreamingDelegate> delegate,
                       std::shared_ptr<platform::HttpClientTask> session) override;

  // ---- State ----
  const std::shared_ptr<http::HttpServer> webServer = std::make_shared<http::HttpServer>();
  bool isRunning = false;                    // main thread
  relay::ChatHistory chatHistory;            // locks itself
  std::optional<std::string> serverIP;       // main thread
  std::optional<std::string> selectedModel;  // main thread; "" means no model chosen
  bool isReasoningModel = false;             // main thread

  TextField& Monitor;  // the view's monitor under the standing notices
  TextField& SysPrompt;
  TextField& initMessage;
  TextField& studioIP;
  TextField& studioPort;
  TextField& serverPort;
  PopupButton& setModel;
  Slider& tempBar;
  TextField& tempBarLabel;
  Button& mainButton;
  TextField& accessTokenField;  // the View's accessToken
  TextField& backendKeyField;
  TextField& backendCaFileField;
  CheckBox& keepConversationBox;  // the View's keepConversation
  TextField& allowedHostsField;
  TextField& pageAddresses;
  TextField& chatCode;
  PopupButton& addressChoice;
  relay::web::SignInLinks signInLinks;  // locks itself

  static constexpr const char* kInitialUrl = "http://127.0.0.1:1234/v1/chat/completions";

 private:
  // Runs `read` on the main thread and waits; "" when the main queue no longer runs.
  std::string readOnMain(std::function<std::string()> read);
  // Makes the relay ask for the token in `text` (blanks around it dropped); false when that was
  // the token already.
  bool useAccessToken(const std::string& text);
  // Copy the system prompt field and the popup's selection for submissions. Main thread.
  void keepSystemPrompt();
  void keepModelTitle();
  // Copies the backend key and CA file fields for the request template. Main thread.
  void keepBackendCredentials();
  void keepAllowedHosts();
  // Write the conversation after a change, and say what the store has to say. Any thread.
  void saveConversation();
  void reportConversationWrite(const relay::WriteReport& report);
  void reportConversationLoad(const relay::ConversationLoad& load);  // main thread
  void reportKeptElsewhere();                                        // any thread
  void reportConversationStop(const relay::StopReport& report);      // main thread
  // Prints `text` and keeps it above the monitor's texts ("" removes it). Any thread.
  void showNotice(NoticeMonitor::Notice kind, const std::string& text);
  // The model list's fetch `generation` failed for `reason`: says so and tries again after the
  // next pause.
  void retryModelList(uint64_t generation, const std::string& address, const std::string& reason);

  platform::MainQueue& mainQueue_;
  platform::SettingsFile& settings_;
  platform::HttpClient& httpClient_;
  HostAddressSource hostAddresses_;

  // A copy of the access token field as last stored, so that a request never waits for the
  // main thread to learn it. Set on the main thread by loadSettings and accessTokenDidChange.
  mutable std::mutex accessTokenMutex_;
  std::string accessToken_;                // guarded by accessTokenMutex_
  std::vector<std::string> allowedHosts_;  // guarded by accessTokenMutex_

  // The same for the system prompt field and the model popup's selection, as last applied (at
  // launch, when editing ends, when a model is picked or the list is replaced).
  mutable std::mutex submissionFieldsMutex_;
  std::string systemPrompt_;  // guarded by submissionFieldsMutex_
  std::string modelTitle_;    // guarded by submissionFieldsMutex_
  // The number of models in the last list read; nullopt while none has been read.
  std::optional<std::size_t> listedModels_;  // guarded by submissionFieldsMutex_

  // The "conversationImagesMiB" setting in bytes; set by loadSettings.
  std::atomic<std::size_t> conversationImageLimit_ = relay::kDefaultConversationImageBytes;

  mutable std::mutex urlRequestMutex_;
  platform::HttpClientRequest urlRequest_;  // guarded by urlRequestMutex_
  std::string backendKey_;                  // guarded by urlRequestMutex_
  std::string backendCaFile_;               // guarded by urlRequestMutex_

  std::mutex activeStreamMutex_;
  std::shared_ptr<relay::StreamingDelegate> activeStreamDelegate_;  // guarded by activeStreamMutex_
  std::shared_ptr<platform::HttpClientTask>
      activeStreamingSession_;  // guarded by activeStreamMutex_

  // The file written while the setting is on; see ConversationStore for its locks.
  relay::ConversationStore conversationStore_;
  bool conversationLoaded_ = false;  // main thread; the file is read at the first loadSettings only

  // The port the relay listens on, kept at its start (the field may say 0); none while stopped.
  std::optional<int> boundPort_;       // main thread
  bool startWaitsForModel_ = false;    // main thread; a start was refused for want of a model
  uint64_t modelFetchGeneration_ = 0;  // main thread; the newest fetch's number
  std::chrono::milliseconds modelRetryPause_{0};  // main thread; 0 until a fetch failed
  std::string modelRetryAddress_;                 // main thread; the address that pause is for
};

}  // namespace velmora::app
