// The launch sequence: update checker, permission, the check on the main queue.
#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/run_loop.h"
#include "tests/app/controller_harness.h"

namespace velmora::app {
namespace {

class CountingChecker final : public UpdateCheckStarter {
 public:
  explicit CountingChecker(platform::MainQueue& queue) : queue_(queue) {}
  void checkForUpdate() override {
    onMainThread = queue_.isMainThread();
    ++checks;
  }
  std::atomic<int> checks{0};
  std::atomic<bool> onMainThread{false};

 private:
  platform::MainQueue& queue_;
};

// Answers the permission request on a thread of its own, as the notification service does.
class AnsweringRequester final : public NotificationPermissionRequester {
 public:
  AnsweringRequester(bool grant, std::optional<std::string> error)
      : grant_(grant), error_(std::move(error)) {}
  void requestAuthorization(unsigned options, Answer answer) override {
    askedOptions = options;
    ++requests;
    std::thread([this, answer] { answer(grant_, error_); }).join();
  }
  unsigned askedOptions = 0;
  int requests = 0;

 private:
  bool grant_;
  std::optional<std::string> error_;
};

struct Launch {
  Launch(bool grant, std::optional<std::string> error) : requester(grant, std::move(error)) {}

  // Runs the launch on the main thread; the console lines it printed.
  std::string run() {
    delegate = std::make_shared<AppDelegate>(harness.queue, requester, [this] {
      ++factoryCalls;
      checker = std::make_shared<CountingChecker>(harness.queue);
      return checker;
    });
    ::testing::internal::CaptureStdout();
    harness.onMain([&] { delegate->applicationDidFinishLaunching(); });
    harness.settle();
    return ::testing::internal::GetCapturedStdout();
  }

  testing::ControllerHarness harness;
  AnsweringRequester requester;
  std::shared_ptr<CountingChecker> checker;
  std::shared_ptr<AppDelegate> delegate;
  int factoryCalls = 0;
};

TEST(AppDelegateTest, GrantedPermissionRunsTheCheckOnceOnTheMainQueue) {
  Launch launch(true, std::nullopt);
  EXPECT_EQ(launch.run(), "");
  EXPECT_EQ(launch.factoryCalls, 1);
  EXPECT_EQ(launch.delegate->updateChecker, launch.checker);
  EXPECT_EQ(launch.requester.requests, 1);
  EXPECT_EQ(launch.requester.askedOptions, 6u);  // alert and sound
  EXPECT_EQ(launch.checker->checks, 1);
  EXPECT_TRUE(launch.checker->onMainThread);
}

TEST(AppDelegateTest, RefusalsRunNoCheck) {
  struct Row {
    const char* name;
    std::optional<std::string> error;
    std::string log;
  };
  const std::vector<Row> rows = {
      {"with an error", "org.freedesktop.DBus.Error.ServiceUnknown",
       "通知許可のリクエストエラー: org.freedesktop.DBus.Error.ServiceUnknown\n"},
      {"without an error", std::nullopt, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Launch launch(false, row.error);
    EXPECT_EQ(launch.run(), row.log);
    EXPECT_EQ(launch.checker->checks, 0);
    EXPECT_EQ(launch.delegate->updateChecker, launch.checker);  // kept all the same
  }
}

TEST(AppDelegateTest, AnswersOfTheLifeCycle) {
  Launch launch(true, std::nullopt);
  launch.run();
  EXPECT_TRUE(launch.delegate->applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_TRUE(launch.delegate->applicationSupportsSecureRestorableState());
  launch.delegate->applicationWillTerminate();
  EXPECT_EQ(launch.checker->checks, 1);
}

TEST(AppDelegateTest, AnswerAfterTheDelegateIsGoneIsDropped) {
  testing::ControllerHarness harness;
  NotificationPermissionRequester::Answer pending;
  class KeepingRequester final : public NotificationPermissionRequester {
   public:
    explicit KeepingRequester(Answer& slot) : slot_(slot) {}
    void requestAuthorization(unsigned, Answer answer) override { slot_ = std::move(answer); }

   private:
    Answer& slot_;
  } requester(pending);
  auto checker = std::make_shared<CountingChecker>(harness.queue);
  auto delegate = std::make_shared<AppDelegate>(harness.queue, requester, [&] { return checker; });
  harness.onMain([&] { delegate->applicationDidFinishLaunching(); });
  delegate.reset();
  ASSERT_TRUE(pending);
  std::thread([&] { pending(true, std::nullopt); }).join();
  harness.settle();
  EXPECT_EQ(checker->checks, 0);
}

}  // namespace
}  // namespace velmora::app
