// The platform's services that run threads: settings file, HTTP client, run loop.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/http_client.h"
#include "platform/run_loop.h"
#include "platform/settings_file.h"
#include "tests/platform/main_queue_contract.h"
#include "tests/support/fake_backend.h"

// The link wraps fsync and rename (see CMakeLists.txt): what each call named, in order.
namespace {
std::mutex fileCallsMutex;
std::vector<std::string> fileCalls;  // guarded by fileCallsMutex
void note(const std::string& call) {
  std::lock_guard lock(fileCallsMutex);
  fileCalls.push_back(call);
}
std::vector<std::string> takeFileCalls() {
  std::lock_guard lock(fileCallsMutex);
  return std::exchange(fileCalls, {});
}
}  // namespace
extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);
extern "C" int __wrap_fsync(int fd) {
  note("fsync " + std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
  return __real_fsync(fd);
}
extern "C" int __wrap_rename(const char* from, const char* to) {
  note("rename " + std::string(from) + " " + to);
  return __real_rename(from, to);
}

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

struct SettingsFileTest : ::testing::Test {
  std::vector<fs::path> entries() const { return {fs::directory_iterator(folder.path), {}}; }
  nlohmann::json stored() const { return nlohmann::json::parse(std::ifstream(file())); }
  const testing::TemporaryDirectory folder;
  std::string file() const { return folder.path + "/settings.json"; }
};

TEST_F(SettingsFileTest, LoadsWhatItCanAndEachChangeReplacesTheWholeFile) {
  const auto none = nlohmann::json::object();
  // clang-format off
  const std::tuple<const char*, std::optional<std::string>, nlohmann::json> rows[] = {
      {"missing", std::nullopt, none}, {"empty", "", none}, {"truncated", R"({"a": "1", "b": "2)", none},
      {"not an object", R"(["a", "1"])", none}, {"invalid UTF-8", "{\"a\": \"\xff\"}", none},
      {"non-string members", R"({"a":"1","n":2,"o":{},"z":null,"e":""})", {{"a", "1"}, {"e", ""}}},
      {"byte order mark, a switch", "\xEF\xBB\xBF{\"a\": \"1\", \"t\": true}", {{"a", "1"}, {"t", "true"}}}};
  // clang-format on
  for (const auto& [name, content, loaded] : rows) {
    SCOPED_TRACE(name);
    fs::remove(file());
    if (content) std::ofstream(file(), std::ios::binary) << *content;
    SettingsFile settings(file());
    std::ifstream before(file(), std::ios::binary);
    takeFileCalls();
    ASSERT_TRUE(settings.set("new", "\"quoted\" \xC3\xA9\n"));
    // The new file reaches the disk before it replaces the old one; then the folder does.
    const std::vector<std::string> calls = takeFileCalls();
    const std::string temporary = calls.empty() ? "" : calls[0].substr(6);
    EXPECT_TRUE(temporary.starts_with(file() + ".tmp-")) << temporary;
    EXPECT_EQ(calls,
              (std::vector<std::string>{"fsync " + temporary, "rename " + temporary + " " + file(),
                                        "fsync " + folder.path}));
    nlohmann::json expected = loaded;
    expected["new"] = "\"quoted\" \xC3\xA9\n";
    EXPECT_EQ(stored(), expected);
    // A reader of the old file still reads all of it: the new file was renamed over it.
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(before), {}), content.value_or(""));
    EXPECT_EQ(entries(), std::vector<fs::path>{file()});  // no temporary file left behind
    SettingsFile reloaded(file());
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(reloaded.string(key), value);
    EXPECT_TRUE(reloaded.remove("new") && !SettingsFile(file()).string("new"));
  }
  SettingsFile switches(file());  // the last row's
  switches.set("odd", "yes");
  EXPECT_EQ(switches.flag("t"), true);
  EXPECT_EQ(switches.flag("odd"), std::nullopt);  // said once; the caller's default applies
}

TEST_F(SettingsFileTest, KeysSetFromSeveralThreadsAllReachTheFileAndFailedWritesKeepThem) {
  SettingsFile settings(file());
  std::vector<std::jthread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, &settings, t] {  // each key is on disk once set() returned
      for (int i = t * 100; i < t * 100 + 20; ++i) {
        EXPECT_TRUE(settings.set(std::to_string(i), "v") && stored().contains(std::to_string(i)));
      }
    });
  }
  writers.clear();
  EXPECT_EQ(stored().size(), 80u);
  EXPECT_EQ(entries(), std::vector<fs::path>{file()});
  SettingsFile unwritable(file() + "/settings.json");  // below a plain file
  EXPECT_FALSE(unwritable.set("a", "1"));
  EXPECT_EQ(unwritable.string("a"), "1");
}

using testing::BackendAnswer;
constexpr auto kHang = BackendAnswer::End::hang;

// What a request delivered ("status 200, body BLOCKS JOINED, end ok") and on which thread it ended.
struct Recorder final : HttpClientDelegate {
  void didReceiveResponse(int s, const HttpClientHeaders&) override {
    add("status " + std::to_string(s));
  }
  void didReceiveData(std::span<const uint8_t> b) override {
    add("body " + std::string(b.begin(), b.end()));
  }
  void didCompleteWithError(const std::optional<std::string>& e) override {
    add("end " + e.value_or("ok"));
  }
  void add(const std::string& event) {
    std::lock_guard lock(mutex);
    const bool joined = event.starts_with("body ") && last == "body";
    events += joined ? event.substr(5) : (events.empty() ? "" : ", ") + event;
    last = event.substr(0, event.find(' ')), thread = std::this_thread::get_id();
    changed.notify_all();
  }
  std::string waitFor(const std::string& kind) {  // once `kind` came last, or after 20 s
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 20s, [&] { return last == kind; });
    return events;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::string events, last;  // guarded by mutex
  std::thread::id thread;    // guarded by mutex
};

// Two seconds of pieces 50 ms apart: only a timeout that counts the whole answer ends it.
TEST(CurlHttpClientTest, DeliversBlocksAsTheyArriveTimesOutOnSilenceOnlyAndCancelCloses) {
  testing::FakeBackend backend;
  backend.respond([](const testing::BackendRequest& request) {
    if (request.target != "/streaming") return BackendAnswer{.writes = {"first"}, .end = kHang};
    return BackendAnswer{.writes = std::vector<std::string>(40, "b"), .pause = 50ms};
  });
  auto recorder = std::make_shared<Recorder>();
  auto task = CurlHttpClient().start({.url = backend.url() + "/x"}, recorder);
  EXPECT_EQ(recorder->waitFor("body"), "status 200, body first");  // while the backend is silent
  EXPECT_FALSE(task->isFinished());
  task->cancel();
  ASSERT_TRUE(task->waitUntilFinished(20s));
  task->cancel();  // nothing more once ended
  EXPECT_TRUE(backend.waitForOpenConnections(0));
  EXPECT_EQ(recorder->waitFor("end"), "status 200, body first, end cancelled");
  auto streaming = std::make_shared<Recorder>(), silent = std::make_shared<Recorder>();
  CurlHttpClient().start({.url = backend.url() + "/streaming", .timeoutInterval = 1s}, streaming);
  CurlHttpClient().start({.url = backend.url() + "/silent", .timeoutInterval = 1s}, silent);
  EXPECT_EQ(streaming->waitFor("end"), "status 200, body " + std::string(40, 'b') + ", end ok");
  EXPECT_TRUE(silent->waitFor("end").starts_with("status 200, body first, end Operation too slow"));
}

TEST(CurlHttpClientTest, RunDeliversOnTheCallingThreadFetchCollectsAndRefusalsFail) {
  testing::FakeBackend backend, gone;
  CurlHttpClient client;
  auto ran = std::make_shared<Recorder>(), refused = std::make_shared<Recorder>();
  std::shared_ptr<HttpClientTask> started;
  client.run({.url = backend.url() + "/v1/models"}, ran, [&](auto& task) { started = task; });
  EXPECT_TRUE(started && started->isFinished() && ran->thread == std::this_thread::get_id());
  EXPECT_TRUE(ran->waitFor("end").starts_with("status 200, body {\"object\":\"list\""));

  backend.respond([](const auto&) { return testing::jsonAnswer(404, "{}"); });
  std::promise<HttpClientResult> promise;
  client.fetch(
      {.url = backend.url() + "/p", .method = "PUT", .body = std::vector<uint8_t>{'h', 'i'}},
      [&promise](HttpClientResult result) { promise.set_value(std::move(result)); });
  const HttpClientResult r = promise.get_future().get();  // an error status is no failure
  EXPECT_EQ(
      std::to_string(r.status) + std::string(r.body.begin(), r.body.end()) + r.error.value_or(""),
      "404{}");
  EXPECT_EQ(backend.requests().back().method + backend.requests().back().body, "PUThi");
  gone.stop();  // its port now refuses connections
  client.start({.url = gone.url()}, refused);
  EXPECT_TRUE(refused->waitFor("end").starts_with("end Failed to connect to 127.0.0.1 port"));
}

struct RunLoopDriver {
  RunLoopMainQueue queue;
  void run() {
    queue.after(20s, [this] { quit(); }), queue.run();
  }  // the delay only ends a hang
  void quit() { queue.quit(); }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(RunLoop, MainQueueContract, ::testing::Types<RunLoopDriver>);

}  // namespace velmora::platform
