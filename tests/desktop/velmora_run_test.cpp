// The velmora program picks the window when a display is there and the headless run otherwise,
// and a windowed run ends on SIGINT and SIGTERM with status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/child_process.h"
#include "tests/support/fake_backend_process.h"

namespace velmora::desktop {
namespace {

using app::testing::ChildProcess;
using velmora::testing::FakeBackendProcess;

// Sets an environment variable for the programs started meanwhile; restores it afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class VelmoraRunTest : public ::testing::Test {
 protected:
  std::vector<std::string> command(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {VELMORA_BINARY,
                                          "--settings",
                                          settings_.string(),
                                          "--model",
                                          "fake-model-1",
                                          "--port",
                                          "0",
                                          "--backend",
                                          "127.0.0.1:" + std::to_string(backend_.port())};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

  static bool printedMonitorLines(const ChildProcess& velmora) {
    for (const auto& line : velmora.lines) {
      if (line.starts_with("monitor: ")) return true;
    }
    return false;
  }

  FakeBackendProcess backend_;
  std::filesystem::path settings_ = std::filesystem::temp_directory_path() /
                                    ("velmora-run-test-" + std::to_string(::getpid()) + ".json");
  ~VelmoraRunTest() override { std::filesystem::remove(settings_); }
};

TEST_F(VelmoraRunTest, AWindowedRunEndsOnStopSignalsWithStatusZero) {
  // main() of these tests chose the offscreen platform; the program inherits it.
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
    ChildProcess velmora(command());
    ASSERT_TRUE(velmora.waitForLineStartingWith("✅ startWebServer() succeeded"));
    velmora.signal(signal);
    const auto status = velmora.waitForExit(std::chrono::seconds(60));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    velmora.readToEnd();
    // The window showed the status; the headless run would have printed it.
    EXPECT_FALSE(printedMonitorLines(velmora));
  }
}

TEST_F(VelmoraRunTest, WithoutADisplayOrWithHeadlessItRunsWithoutAWindow) {
  struct Row {
    const char* name;
    bool unsetDisplay;
    std::vector<std::string> extra;
  };
  const Row rows[] = {
      {"no display", true, {}},
      {"--headless", false, {"--headless"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedEnvironment platform("QT_QPA_PLATFORM", row.unsetDisplay ? nullptr : "offscreen");
    ScopedEnvironment x11("DISPLAY", row.unsetDisplay ? nullptr : std::getenv("DISPLAY"));
    ScopedEnvironment wayland("WAYLAND_DISPLAY",
                              row.unsetDisplay ? nullptr : std::getenv("WAYLAND_DISPLAY"));
    ChildProcess velmora(command(row.extra));
    ASSERT_TRUE(velmora.waitForLineStartingWith("monitor: Server is running on http://"));
    velmora.signal(SIGTERM);
    const auto status = velmora.waitForExit(std::chrono::seconds(60));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  }
}

}  // namespace
}  // namespace velmora::desktop
