#include "platform/settings_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmora-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path file() const { return folder_ / "velmora" / "settings.json"; }

  void writeFile(const std::string& content) const {
    fs::create_directories(file().parent_path());
    std::ofstream(file(), std::ios::binary) << content;
  }

  static std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path folder_;
};

TEST_F(SettingsFileTest, StoresReadsAndRemovesAcrossInstances) {
  {
    SettingsFile settings(file());  // the folder does not exist yet
    EXPECT_EQ(settings.string("studioIP"), std::nullopt);
    EXPECT_TRUE(settings.set("studioIP", "192.168.1.5"));
    EXPECT_TRUE(settings.set("systemPrompt", ""));  // a present empty text is not absent
    EXPECT_TRUE(settings.set("initialMessage", "<h1>こんにちは \"quoted\"\n</h1>"));
    EXPECT_TRUE(settings.set("studioIP", "10.0.0.2"));
    EXPECT_TRUE(settings.set("gone", "x"));
    EXPECT_TRUE(settings.remove("gone"));
    EXPECT_TRUE(settings.remove("never there"));
  }
  const nlohmann::json document = nlohmann::json::parse(readFile(file()));
  EXPECT_EQ(document, (nlohmann::json{{"studioIP", "10.0.0.2"},
                                      {"systemPrompt", ""},
                                      {"initialMessage", "<h1>こんにちは \"quoted\"\n</h1>"}}));

  SettingsFile reloaded(file());
  EXPECT_EQ(reloaded.string("studioIP"), "10.0.0.2");
  EXPECT_EQ(reloaded.string("systemPrompt"), "");
  EXPECT_EQ(reloaded.string("gone"), std::nullopt);
  // Only the settings file is left in the folder: no temporary files.
  std::vector<fs::path> entries(fs::directory_iterator(file().parent_path()), {});
  EXPECT_EQ(entries, std::vector<fs::path>{file()});
}

TEST_F(SettingsFileTest, UnusableFilesLoadAsNoKeysWithOneLineAndAreRepairedByTheNextStore) {
  struct Row {
    const char* name;
    std::optional<std::string> content;  // nullopt: no file
    nlohmann::json kept;                 // the keys that load
  };
  const Row rows[] = {
      {"missing", std::nullopt, nlohmann::json::object()},
      {"empty", "", nlohmann::json::object()},
      {"truncated", R"({"studioIP": "10.0.0.2", "studioPo)", nlohmann::json::object()},
      {"not JSON", "studioIP=10.0.0.2", nlohmann::json::object()},
      {"array", R"(["studioIP"])", nlohmann::json::object()},
      {"string", R"("studioIP")", nlohmann::json::object()},
      {"null", "null", nlohmann::json::object()},
      {"invalid UTF-8", "{\"studioIP\": \"\xff\xfe\"}", nlohmann::json::object()},
      {"non-text members", R"({"studioIP": "h", "studioPort": 1234, "x": {}, "y": null})",
       nlohmann::json{{"studioIP", "h"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(file().parent_path());
    if (row.content) writeFile(*row.content);

    testing::internal::CaptureStdout();
    std::optional<SettingsFile> settings(std::in_place, file());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find(file().string()), std::string::npos) << output;
    for (const auto& [key, value] : row.kept.items()) {
      EXPECT_EQ(settings->string(key), value.get<std::string>());
    }
    EXPECT_EQ(settings->string("studioPort"), std::nullopt);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(settings->set("serverPort", "8080"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    nlohmann::json expected = row.kept;
    expected["serverPort"] = "8080";
    EXPECT_EQ(nlohmann::json::parse(readFile(file())), expected);
  }
}

TEST_F(SettingsFileTest, AFailedWriteIsReportedAndTheValueKeptForThisRun) {
  fs::create_directories(folder_);
  std::ofstream(folder_ / "not-a-folder") << "x";
  const fs::path impossible = folder_ / "not-a-folder" / "settings.json";
  testing::internal::CaptureStdout();
  SettingsFile settings(impossible);
  EXPECT_FALSE(settings.set("studioIP", "h"));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("Could not write settings file " + impossible.string()), std::string::npos)
      << output;
  EXPECT_EQ(settings.string("studioIP"), "h");
}

TEST_F(SettingsFileTest, DefaultPathFollowsXdgConfigHome) {
  const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> restoreXdg =
      savedXdg ? std::optional<std::string>(savedXdg) : std::nullopt;
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";

  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
  EXPECT_EQ(SettingsFile::defaultPath(), fs::path("/xdg/config/velmora/settings.json"));
  setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored: the rules want an absolute path
  EXPECT_EQ(SettingsFile::defaultPath(), fs::path("/home/someone/.config/velmora/settings.json"));
  setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(SettingsFile::defaultPath(), fs::path("/home/someone/.config/velmora/settings.json"));
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsFile::defaultPath(), fs::path("/home/someone/.config/velmora/settings.json"));

  setenv("HOME", savedHome.c_str(), 1);
  if (restoreXdg) setenv("XDG_CONFIG_HOME", restoreXdg->c_str(), 1);
}

TEST_F(SettingsFileTest, ConcurrentStoresAllReachTheFile) {
  testing::internal::CaptureStdout();  // the "does not exist yet" line
  SettingsFile settings(file());
  testing::internal::GetCapturedStdout();
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key = "k" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(settings.set(key, "v" + std::to_string(i)));
        EXPECT_EQ(settings.string(key), "v" + std::to_string(i));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  const nlohmann::json document = nlohmann::json::parse(readFile(file()));
  EXPECT_EQ(document.size(), static_cast<std::size_t>(kThreads * kKeysEach));
  EXPECT_EQ(document["k3-24"], "v24");
}

// The record the writer child stores: its number and a payload that depends on it, large enough
// that kills land in the middle of writes.
std::string record(long number) {
  return std::to_string(number) + ":" +
         std::string(64 * 1024, static_cast<char>('a' + number % 26));
}

TEST_F(SettingsFileTest, AKilledWriterLeavesTheOldOrTheNewFileNeverAHalfOne) {
  testing::internal::CaptureStdout();
  {
    SettingsFile seed(file());
    ASSERT_TRUE(seed.set("stable", "kept"));
    ASSERT_TRUE(seed.set("record", record(0)));
  }
  testing::internal::GetCapturedStdout();

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  long lastNumber = 0;
  constexpr int kKills = 50;
  for (int kill = 0; kill < kKills; ++kill) {
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The writer: continue from the stored record and store the next one, forever. After the
      // first store it tells the parent, so that every kill lands in the writing loop.
      ::close(started[0]);
      SettingsFile settings(file());
      long number = std::stol(settings.string("record").value_or("0"));
      settings.set("record", record(++number));
      const char ready = 'r';
      if (::write(started[1], &ready, 1) != 1) _exit(1);
      for (;;) settings.set("record", record(++number));
    }
    ::close(started[1]);
    char ready = 0;
    pollfd wait{started[0], POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 20000), 1) << "the writer never stored";
    ASSERT_EQ(::read(started[0], &ready, 1), 1);
    ::close(started[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    const nlohmann::json document = nlohmann::json::parse(readFile(file()), nullptr, false);
    ASSERT_TRUE(document.is_object()) << "kill " << kill;
    ASSERT_EQ(document.value("stable", ""), "kept") << "kill " << kill;
    const std::string stored = document.value("record", "");
    const long number = std::stol(stored);
    ASSERT_EQ(stored, record(number)) << "kill " << kill;
    ASSERT_GE(number, lastNumber) << "kill " << kill;
    lastNumber = number;
  }
  EXPECT_GT(lastNumber, 0);  // the writers did get to store something
  std::size_t leftovers = 0;
  for (const auto& entry : fs::directory_iterator(file().parent_path())) {
    leftovers += entry.path() != file() ? 1 : 0;
  }
  std::printf("kills in the middle of a write: %zu of %d\n", leftovers, kKills);
  // The next write clears what the killed writers left behind.
  testing::internal::CaptureStdout();
  ASSERT_TRUE(SettingsFile(file()).set("after", "the kills"));
  testing::internal::GetCapturedStdout();
  leftovers = 0;
  for (const auto& entry : fs::directory_iterator(file().parent_path())) {
    leftovers += entry.path() != file() ? 1 : 0;
  }
  EXPECT_EQ(leftovers, 0u);
}

// A write removes the temporary files of writers that died before their rename, and only
// those: a file still locked by a writer at work, and other names, stay.
TEST_F(SettingsFileTest, AWriteRemovesOnlyAbandonedTemporaryFiles) {
  writeFile("{}");
  const fs::path folder = file().parent_path();
  for (const char* name : {"settings.json.tmp-dead01", "settings.json.tmp-busy01",
                           "settings.json.tmp-long001", "other.json.tmp-dead02"}) {
    std::ofstream(folder / name) << "{\"half\":";
  }
  const int busy = ::open((folder / "settings.json.tmp-busy01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  ASSERT_EQ(::flock(busy, LOCK_EX), 0);

  testing::internal::CaptureStdout();
  SettingsFile settings(file());
  ASSERT_TRUE(settings.set("key", "value"));
  testing::internal::GetCapturedStdout();
  ::close(busy);

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"other.json.tmp-dead02", "settings.json",
                                      "settings.json.tmp-busy01", "settings.json.tmp-long001"}));
  EXPECT_EQ(SettingsFile(file()).string("key"), "value");
}

}  // namespace
}  // namespace velmora::platform
