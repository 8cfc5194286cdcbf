#include <gtest/gtest.h>

#include <future>

#include "tests/support/fake_backend.h"
#include "update/curl_document_fetcher.h"
#include "update/update_checker.h"

namespace velmora::update {
namespace {

using platform::MainQueue;
const auto bytes = [](const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
};

TEST(UpdateInfoTest, DecodesEntriesOrNamesWhatIsWrongOnOneLine) {
  // clang-format off
  const std::pair<std::string, std::string> rows[] = {  // body, entries or error; "...: " a prefix
      {R"({"V": {"latestVersion": "1.3", "downloadURL": "https://d", "x": 1}, "A": {"latestVersion": "", "downloadURL": ""}})", "A  ;V 1.3 https://d;"},
      {"{\"\xFF\": {}}", "dataCorrupted: "}, {"[]", "typeMismatch: expected object, found array at []"},
      {R"({"V": {"latestVersion": 2, "downloadURL": ""}})", R"(typeMismatch: expected string, found number at ["V", "latestVersion"])"},
      {R"({"a\nb": {"latestVersion": ""}})", R"(keyNotFound: "downloadURL" at ["a\nb"])"}};
  // clang-format on
  for (const auto& [body, expected] : rows) {
    std::string got;
    try {
      for (const auto& [name, info] : parseUpdateInfo(bytes(body))) {
        got += name + " " + info.latestVersion + " " + info.downloadURL + ";";
      }
    } catch (const DecodingError& error) {
      got = error.description();
    }
    EXPECT_EQ(expected.ends_with(": ") ? got.substr(0, expected.size()) : got, expected);
  }
}

// Every service of the checker: it holds the permission request, schedules and answers the alert
// with `answer`.
struct Fakes : DocumentFetcher, NotificationService, AlertPresenter, UrlOpener, MainQueue {
  void get(const std::string& url, Completion done) override { fetched = url, fetch = done; }
  void requestAuthorization(AuthorizationOptions, AuthorizationHandler f) override {
    authorize = f;
  }
  void add(NotificationRequest r, AddCompletion f) override { added.push_back(r), f({}); }
  void setDelegate(std::weak_ptr<NotificationDelegate>) override {}
  std::optional<std::size_t> runModal(const Alert&) override { return ++alerts, answer; }
  bool open(const std::string& url) override { return opened.push_back(url), true; }
  void async(Task task) override { queued.push_back(std::move(task)); }
  bool sync(Task task) override { return task(), true; }
  void after(std::chrono::steady_clock::duration, Task task) override { async(task); }
  bool isMainThread() const override { return true; }
  std::string fetched;
  Completion fetch;
  AuthorizationHandler authorize;
  std::vector<NotificationRequest> added;
  std::vector<Task> queued;
  std::vector<std::string> opened;
  int alerts = 0;
  std::optional<std::size_t> answer = 0;
};

TEST(UpdateCheckerTest, ANewerVersionIsAnnouncedAndItsActivationOffersTheDownloadPage) {
  const std::string entry = R"({"Velmora": {"downloadURL": "https://d", "latestVersion": ")";
  // clang-format off
  // The latest version or a whole body ("" for a failed fetch), the running version, announced.
  const std::tuple<std::string, const char*, bool> rows[] = {
      {"1.10", "1.9", true}, {"1.9", "1.10", false}, {"1.2", "1.2.0", false}, {"1.2.0", "1.2", false},
      {"1.2.1", "1.2", true}, {"2.0b1", "1.9", true}, {"2.0b1", "2.0", false}, {"+3", "2.9", true},
      {"-1", "0", false}, {"99999999999999999999", "1", false}, {"1.1.9", "1.2", false}, {"", "1", false},
      {"{", "1", false}, {R"({"Other": {"latestVersion": "9", "downloadURL": ""}})", "1", false}};
  // clang-format on
  for (const auto& [latest, running, announced] : rows) {
    const std::string body = latest.empty() || latest[0] == '{' ? latest : entry + latest + "\"}}";
    auto f = std::make_shared<Fakes>();
    const auto checker = std::make_shared<UpdateChecker>(
        UpdateCheckerServices{f, f, f, f, f}, "https://u/doc",
        nlohmann::json{{"CFBundleName", "Velmora"}, {"CFBundleShortVersionString", running}});
    checker->checkForUpdate();
    ASSERT_EQ(f->fetched, "https://u/doc");
    const FetchResult result =
        body.empty() ? FetchResult{0, {}, "refused"} : FetchResult{200, bytes(body), {}};
    std::exchange(f->fetch, nullptr)(result);                     // dropped: it holds the checker
    const auto authorize = std::exchange(f->authorize, nullptr);  // it holds the checker
    ASSERT_EQ(bool(authorize), announced) << body;
    if (!announced) continue;
    authorize(false, "refused");  // nothing without the permission
    EXPECT_TRUE(f->added.empty());
    authorize(true, {});
    const std::string text =
        "新しいバージョン " + latest + " が利用可能です。タップして詳細を確認してください。";
    EXPECT_EQ(f->added, std::vector<NotificationRequest>(
                            {{"updateNotification",
                              {"アップデートのお知らせ", text, {{"downloadURL", "https://d"}}},
                              {std::chrono::duration<double>(1.0), false}}}));
    bool completed = false;
    checker->didReceiveNotificationResponse({}, [&] { completed = true; });  // no address
    ASSERT_TRUE(completed && f->queued.empty());
    completed = false;
    checker->didReceiveNotificationResponse({f->added[0], "default"}, [&] { completed = true; });
    ASSERT_TRUE(completed && f->queued.size() == 1 && f->alerts == 0);
    std::exchange(f->queued, {})[0]();  // the alert, on the main queue
    for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "ftp://d/"})
      checker->showUpdateAlert(url);
    f->answer = 1;  // the second button
    checker->showUpdateAlert("https://d");
    EXPECT_EQ(f->alerts, 5);
    EXPECT_EQ(f->opened, std::vector<std::string>{"https://d"});
  }
}

TEST(CurlDocumentFetcherTest, RefusesAnOversizedDocumentButNotAnErrorStatus) {
  testing::FakeBackend backend;
  backend.respond([](const testing::BackendRequest& request) {
    testing::BackendAnswer answer{.status = request.target == "/missing" ? 404 : 200, .writes = {}};
    answer.writes.assign(16, std::string(CurlDocumentFetcher::kMaxDocumentBytes / 16, 'x'));
    if (request.target == "/over") answer.writes.push_back("x");
    return answer;
  });
  for (const std::string target : {"/limit", "/over", "/missing"}) {
    std::promise<FetchResult> promise;
    CurlDocumentFetcher().get(backend.url() + target, [&](FetchResult r) { promise.set_value(r); });
    const FetchResult r = promise.get_future().get();
    EXPECT_EQ(
        std::to_string(r.status) + (r.error ? " error" : " " + std::to_string(r.body->size())),
        target == "/over" ? "200 error" : (target == "/limit" ? "200 1048576" : "404 1048576"));
  }
}

}  // namespace
}  // namespace velmora::update
