#include "update/update_checker.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/named_rows.h"
#include "velmora/version.h"

namespace velmora::update {
namespace {

using velmora::testing::operator<<;

const std::string kUpdateURL = "https://updates.test/bin/update_info_macOS.json";
const std::string kDownloadURL = "https://velmora.example/download";

std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<std::string> lines(const std::string& output) {
  std::vector<std::string> result;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

// The console lines written while `action` runs.
template <typename Action>
std::vector<std::string> logged(Action&& action) {
  ::testing::internal::CaptureStdout();
  action();
  return lines(::testing::internal::GetCapturedStdout());
}

class FakeFetcher : public DocumentFetcher {
 public:
  void get(const std::string& url, Completion completion) override {
    urls.push_back(url);
    pending.push_back(std::move(completion));
  }
  // Answers the oldest request.
  void complete(FetchResult result) {
    auto completion = std::move(pending.front());
    pending.erase(pending.begin());
    completion(std::move(result));
  }
  std::vector<std::string> urls;
  std::vector<Completion> pending;
};

class FakeNotifications : public NotificationService {
 public:
  void requestAuthorization(AuthorizationOptions options, AuthorizationHandler handler) override {
    std::lock_guard lock(mutex);
    authorizations.push_back({options, std::move(handler)});
  }
  void add(NotificationRequest request, AddCompletion completion) override {
    std::lock_guard lock(mutex);
    added.push_back({std::move(request), std::move(completion)});
  }
  void setDelegate(std::weak_ptr<NotificationDelegate> value) override { delegate = value; }

  std::mutex mutex;
  std::vector<std::pair<AuthorizationOptions, AuthorizationHandler>> authorizations;
  std::vector<std::pair<NotificationRequest, AddCompletion>> added;
  std::weak_ptr<NotificationDelegate> delegate;
};

class FakeAlerts : public AlertPresenter {
 public:
  std::optional<std::size_t> runModal(const Alert& alert) override {
    shown.push_back(alert);
    threads.push_back(std::this_thread::get_id());
    return answer;
  }
  std::optional<std::size_t> answer;
  std::vector<Alert> shown;
  std::vector<std::thread::id> threads;
};

class FakeOpener : public UrlOpener {
 public:
  bool open(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  std::vector<std::string> opened;
};

// Holds queued tasks until the test runs them on its own thread, the main thread here.
class FakeMainQueue : public platform::MainQueue {
 public:
  void async(Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  bool sync(Task task) override {
    task();
    return true;
  }
  void after(std::chrono::steady_clock::duration, Task task) override { async(std::move(task)); }
  bool isMainThread() const override { return std::this_thread::get_id() == main_; }

  void clear() {
    std::lock_guard lock(mutex_);
    tasks_.clear();
  }
  std::size_t queued() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  void drain() {
    std::vector<Task> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }

 private:
  const std::thread::id main_ = std::this_thread::get_id();
  mutable std::mutex mutex_;
  std::vector<Task> tasks_;  // guarded by mutex_
};

class UpdateCheckerTest : public ::testing::Test {
 protected:
  // Unanswered callbacks hold the checker, which holds the fakes.
  void TearDown() override {
    fetcher->pending.clear();
    notifications->authorizations.clear();
    notifications->added.clear();
    mainQueue->clear();
  }

  std::shared_ptr<UpdateChecker> makeChecker(nlohmann::json info = {
                                                 {"CFBundleName", "Velmora"},
                                                 {"CFBundleShortVersionString", "1.2.0"}}) {
    return std::make_shared<UpdateChecker>(
        UpdateCheckerServices{fetcher, notifications, alerts, opener, mainQueue}, kUpdateURL,
        std::move(info));
  }

  NotificationResponse responseWith(nlohmann::json userInfo) {
    NotificationResponse response;
    response.request.identifier = "updateNotification";
    response.request.content.userInfo = std::move(userInfo);
    response.actionIdentifier = "default";
    return response;
  }

  std::shared_ptr<FakeFetcher> fetcher = std::make_shared<FakeFetcher>();
  std::shared_ptr<FakeNotifications> notifications = std::make_shared<FakeNotifications>();
  std::shared_ptr<FakeAlerts> alerts = std::make_shared<FakeAlerts>();
  std::shared_ptr<FakeOpener> opener = std::make_shared<FakeOpener>();
  std::shared_ptr<FakeMainQueue> mainQueue = std::make_shared<FakeMainQueue>();
};

TEST_F(UpdateCheckerTest, BuildSettingsNameTheDocumentAndThisApplication) {
  const std::string suffix = "/bin/update_info_macOS.json";
  const auto& url = defaultUpdateURL();
  EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
  ASSERT_GT(url.size(), suffix.size());
  EXPECT_EQ(url.substr(url.size() - suffix.size()), suffix);

  const auto checker = std::make_shared<UpdateChecker>(
      UpdateCheckerServices{fetcher, notifications, alerts, opener, mainQueue});
  EXPECT_EQ(checker->updateURL(), url);
  EXPECT_EQ(checker->bundleInfoString("CFBundleName"), "Velmora");
  EXPECT_EQ(checker->bundleInfoString("CFBundleShortVersionString"),
            std::string(kApplicationVersion));
  EXPECT_EQ(checker->bundleInfoString("CFBundleIdentifier"), std::nullopt);

  EXPECT_THROW(UpdateChecker(UpdateCheckerServices{fetcher, notifications, alerts, opener, {}}),
               std::invalid_argument);
}

TEST_F(UpdateCheckerTest, LogsNameAndVersionThenReadsTheDocument) {
  const auto checker = makeChecker();
  EXPECT_EQ(logged([&] { checker->checkForUpdate(); }),
            (std::vector<std::string>{"Velmora", "1.2.0"}));
  EXPECT_EQ(fetcher->urls, std::vector<std::string>{kUpdateURL});
}

TEST_F(UpdateCheckerTest, MissingNameOrVersionStopsBeforeReading) {
  const std::vector<nlohmann::json> dictionaries = {
      {{"CFBundleShortVersionString", "1.2.0"}},
      {{"CFBundleName", "Velmora"}},
      {{"CFBundleName", "Velmora"}, {"CFBundleShortVersionString", 12}},
      nlohmann::json::array(),
  };
  for (const auto& info : dictionaries) {
    const auto checker = makeChecker(info);
    EXPECT_EQ(logged([&] { checker->checkForUpdate(); }),
              std::vector<std::string>{"アプリ名またはバージョン番号の取得に失敗しました。"})
        << info.dump();
  }
  EXPECT_TRUE(fetcher->urls.empty());
}

struct FetchCase {
  const char* name;
  FetchResult result;
  std::string line;     // the one line logged; empty when none
  bool prefix = false;  // `line` is only the start of it
  bool asksPermission = false;
};

FetchResult answer(int status, std::string_view body) {
  return {status, bytes(body), {}};
}

const std::string kNewer =
    R"({"Velmora": {"latestVersion": "1.3", "downloadURL": "https://velmora.example/download"}})";

class DocumentOutcomeTest : public UpdateCheckerTest,
                            public ::testing::WithParamInterface<FetchCase> {};

TEST_P(DocumentOutcomeTest, EndsWithOneLineOrAsksPermission) {
  const auto& row = GetParam();
  const auto checker = makeChecker();
  logged([&] { checker->checkForUpdate(); });
  const auto output = logged([&] { fetcher->complete(row.result); });
  if (row.line.empty()) {
    EXPECT_TRUE(output.empty()) << output.front();
  } else {
    ASSERT_EQ(output.size(), 1u);
    if (row.prefix) {
      EXPECT_EQ(output[0].rfind(row.line, 0), 0u) << output[0];
    } else {
      EXPECT_EQ(output[0], row.line);
    }
  }
  if (row.asksPermission) {
    ASSERT_EQ(notifications->authorizations.size(), 1u);
    EXPECT_EQ(notifications->authorizations[0].first, 6u);
  } else {
    EXPECT_TRUE(notifications->authorizations.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DocumentOutcomeTest,
    ::testing::Values(
        FetchCase{"TransportError",
                  {0, std::nullopt, "Could not resolve host: updates.test"},
                  "アップデート情報の取得エラー: Could not resolve host: updates.test"},
        FetchCase{"ErrorDespiteBody",
                  {200, bytes(kNewer), "Operation timed out"},
                  "アップデート情報の取得エラー: Operation timed out"},
        FetchCase{"NoBodyNoError",
                  {200, std::nullopt, std::nullopt},
                  "アップデート情報の取得エラー: 不明なエラー"},
        FetchCase{"ErrorStatusWithDecodableBody", answer(503, kNewer), "", false, true},
        FetchCase{"NewerVersion", answer(200, kNewer), "", false, true},
        FetchCase{"SameVersion",
                  answer(200, R"({"Velmora": {"latestVersion": "1.2", "downloadURL": "u"}})"),
                  "アプリは最新の状態です。"},
        FetchCase{"NoEntryForThisApplication",
                  answer(200, R"({"Other": {"latestVersion": "9", "downloadURL": "u"}})"),
                  "JSONにVelmoraの更新情報が見つかりませんでした。"},
        FetchCase{"EmptyDocument", answer(200, "{}"),
                  "JSONにVelmoraの更新情報が見つかりませんでした。"},
        FetchCase{"OwnEntryWithoutDownloadURL",
                  answer(200, R"({"Velmora": {"latestVersion": "1.3"}})"),
                  "JSONのパースエラー: keyNotFound: \"downloadURL\" at [\"Velmora\"]"},
        FetchCase{"OtherEntryMalformed",
                  answer(200, R"({"Velmora": {"latestVersion": "1.3", "downloadURL": "u"},
                                  "Other": {"latestVersion": "9"}})"),
                  "JSONのパースエラー: keyNotFound: \"downloadURL\" at [\"Other\"]"},
        FetchCase{"Truncated", answer(200, R"({"Velmora": {"latestVer)"),
                  "JSONのパースエラー: ", true},
        FetchCase{"ErrorPage", answer(404, "<h1>Not Found</h1>"), "JSONのパースエラー: ", true}),
    [](const ::testing::TestParamInfo<FetchCase>& row) { return std::string(row.param.name); });

TEST_F(UpdateCheckerTest, GrantedPermissionSchedulesTheNotification) {
  const auto checker = makeChecker();
  logged([&] { checker->checkForUpdate(); });
  fetcher->complete(answer(200, kNewer));
  ASSERT_EQ(notifications->authorizations.size(), 1u);
  EXPECT_EQ(logged([&] { notifications->authorizations[0].second(true, std::nullopt); }),
            std::vector<std::string>{});

  ASSERT_EQ(notifications->added.size(), 1u);
  NotificationRequest expected;
  expected.identifier = "updateNotification";
  expected.content.title = "アップデートのお知らせ";
  expected.content.body = "新しいバージョン 1.3 が利用可能です。タップして詳細を確認してください。";
  expected.content.userInfo = {{"downloadURL", kDownloadURL}};
  expected.trigger.timeInterval = std::chrono::duration<double>(1.0);
  expected.trigger.repeats = false;
  EXPECT_EQ(notifications->added[0].first, expected);

  auto& completion = notifications->added[0].second;
  EXPECT_TRUE(logged([&] { completion(std::nullopt); }).empty());
  EXPECT_EQ(logged([&] { completion("Connection refused"); }),
            std::vector<std::string>{"通知のスケジュールに失敗: Connection refused"});
}

TEST_F(UpdateCheckerTest, RefusedPermissionIsLoggedAndNothingIsScheduled) {
  const auto checker = makeChecker();
  const AppUpdateInfo info{"1.3", kDownloadURL};
  EXPECT_EQ(
      logged(
          [&] { checker->scheduleUpdateNotification(false, "The name is not activatable", info); }),
      std::vector<std::string>{"通知の許可が得られませんでした: The name is not activatable"});
  EXPECT_EQ(logged([&] { checker->scheduleUpdateNotification(false, std::nullopt, info); }),
            std::vector<std::string>{"通知の許可が得られませんでした: エラー不明"});
  EXPECT_TRUE(notifications->added.empty());
}

TEST_F(UpdateCheckerTest, PendingRequestKeepsTheCheckerAlive) {
  auto checker = makeChecker();
  logged([&] { checker->checkForUpdate(); });
  checker.reset();
  fetcher->complete(answer(200, kNewer));
  ASSERT_EQ(notifications->authorizations.size(), 1u);
  notifications->authorizations[0].second(true, std::nullopt);
  EXPECT_EQ(notifications->added.size(), 1u);
}

struct ActivationCase {
  const char* name;
  nlohmann::json userInfo;
  bool showsAlert;
};

class ActivationTest : public UpdateCheckerTest,
                       public ::testing::WithParamInterface<ActivationCase> {};

TEST_P(ActivationTest, QueuesTheAlertOnlyForAStringAddress) {
  const auto& row = GetParam();
  const auto checker = makeChecker();
  alerts->answer = 0;
  int completions = 0;
  checker->didReceiveNotificationResponse(responseWith(row.userInfo), [&] {
    ++completions;
    // Called before the alert, which waits for the main queue.
    EXPECT_TRUE(alerts->shown.empty());
  });
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(mainQueue->queued(), row.showsAlert ? 1u : 0u);
  EXPECT_TRUE(alerts->shown.empty());

  mainQueue->drain();
  EXPECT_EQ(alerts->shown.size(), row.showsAlert ? 1u : 0u);
  EXPECT_EQ(opener->opened,
            row.showsAlert ? std::vector<std::string>{kDownloadURL} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    UserInfo, ActivationTest,
    ::testing::Values(ActivationCase{"StringAddress", {{"downloadURL", kDownloadURL}}, true},
                    ActivationCase{"NoAddress", nlohmann::json::object(), false},
                    ActivationCase{"OtherKeyCase", {{"downloadUrl", kDownloadURL}}, false},
                    ActivationCase{"NumberAddress", {{"downloadURL", 42}}, false},
                    ActivationCase{"NullAddress", {{"downloadURL", nullptr}}, false},
                    ActivationCase{"ListAddress", {{"downloadURL", {kDownloadURL}}}, false},
                    ActivationCase{"UserInfoNotAnObject", nlohmann::json::array({"downloadURL"}),
                                   false},
                    ActivationCase{"UserInfoNull", nullptr, false}),
    [](const ::testing::TestParamInfo<ActivationCase>& row) { return std::string(row.param.name); });

struct AlertCase {
  const char* name;
  std::optional<std::size_t> answer;
  std::string address;
  bool opens;
};

class AlertAnswerTest : public UpdateCheckerTest, public ::testing::WithParamInterface<AlertCase> {};

TEST_P(AlertAnswerTest, OpensOnlyAWebAddressOnOpen) {
  const auto& row = GetParam();
  const auto checker = makeChecker();
  alerts->answer = row.answer;
  checker->showUpdateAlert(row.address);

  ASSERT_EQ(alerts->shown.size(), 1u);
  EXPECT_EQ(alerts->shown[0].messageText, "アップデート確認");
  EXPECT_EQ(alerts->shown[0].informativeText,
            "新しいバージョンが利用可能です。ダウンロードページを開きますか？");
  EXPECT_EQ(alerts->shown[0].buttons, (std::vector<std::string>{"開く", "キャンセル"}));
  EXPECT_EQ(opener->opened,
            row.opens ? std::vector<std::string>{row.address} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AlertAnswerTest,
    ::testing::Values(AlertCase{"OpenHttps", 0, kDownloadURL, true},
                    AlertCase{"OpenHttpWithQuery", 0, "http://velmora.example/dl?v=1.3", true},
                    AlertCase{"Cancel", 1, kDownloadURL, false},
                    AlertCase{"Dismissed", std::nullopt, kDownloadURL, false},
                    AlertCase{"OpenNotAnAddress", 0, "not an address", false},
                    AlertCase{"OpenWithoutHost", 0, "https://", false},
                    AlertCase{"OpenFileAddress", 0, "file:///usr/bin/xterm", false},
                    AlertCase{"OpenCustomScheme", 0, "javascript:alert(1)", false}),
    [](const ::testing::TestParamInfo<AlertCase>& row) { return std::string(row.param.name); });

// Every service answers on a thread of its own, as the real ones do; the alert still appears on
// the main thread only.
TEST_F(UpdateCheckerTest, WholeRoundWithServicesOnOtherThreads) {
  const auto checker = makeChecker();
  notifications->setDelegate(checker);
  alerts->answer = 0;
  logged([&] { checker->checkForUpdate(); });

  std::thread([&] { fetcher->complete(answer(200, kNewer)); }).join();
  std::pair<AuthorizationOptions, NotificationService::AuthorizationHandler> authorization;
  {
    std::lock_guard lock(notifications->mutex);
    ASSERT_EQ(notifications->authorizations.size(), 1u);
    authorization = notifications->authorizations[0];
  }
  std::thread([&] { authorization.second(true, std::nullopt); }).join();
  NotificationRequest request;
  {
    std::lock_guard lock(notifications->mutex);
    ASSERT_EQ(notifications->added.size(), 1u);
    request = notifications->added[0].first;
  }

  std::thread activation([&, request] {
    const auto delegate = notifications->delegate.lock();
    ASSERT_TRUE(delegate);
    delegate->didReceiveNotificationResponse({request, "default"}, [] {});
  });
  activation.join();
  EXPECT_TRUE(alerts->shown.empty());

  mainQueue->drain();
  ASSERT_EQ(alerts->threads.size(), 1u);
  EXPECT_EQ(alerts->threads[0], std::this_thread::get_id());
  EXPECT_EQ(opener->opened, std::vector<std::string>{kDownloadURL});
}

}  // namespace
}  // namespace velmora::update
