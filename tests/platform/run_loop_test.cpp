#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopMainQueue, TasksFromSeveralThreadsRunOnTheMainThreadInEachSendersOrder) {
  RunLoopMainQueue queue;
  constexpr int kSenders = 4;
  constexpr int kTasksEach = 300;
  std::vector<std::pair<int, int>> ran;  // touched only on the main thread
  bool allOnMainThread = true;
  std::vector<std::thread> senders;
  for (int sender = 0; sender < kSenders; ++sender) {
    senders.emplace_back([&, sender] {
      for (int i = 0; i < kTasksEach; ++i) {
        queue.async([&, sender, i] {
          allOnMainThread = allOnMainThread && queue.isMainThread();
          ran.emplace_back(sender, i);
        });
      }
    });
  }
  std::thread closer([&] {
    for (auto& sender : senders) sender.join();
    queue.async([&] { queue.quit(); });
  });
  queue.run();
  closer.join();

  ASSERT_EQ(ran.size(), static_cast<std::size_t>(kSenders * kTasksEach));
  EXPECT_TRUE(allOnMainThread);
  std::vector<int> next(kSenders, 0);
  for (const auto& [sender, i] : ran) {
    EXPECT_EQ(i, next[sender]) << "sender " << sender;
    next[sender] = i + 1;
  }
}

TEST(RunLoopMainQueue, SyncRunsOnTheMainThreadAndWaitsForTheTask) {
  RunLoopMainQueue queue;
  std::thread mainThread([&] { queue.run(); });

  int counter = 0;  // touched only on the main thread, read by callers after sync returns
  std::vector<std::thread> callers;
  std::atomic<int> wrongThread{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        int seen = -1;
        EXPECT_FALSE(queue.isMainThread());
        const bool ran = queue.sync([&] {
          if (!queue.isMainThread()) ++wrongThread;
          seen = ++counter;
        });
        EXPECT_TRUE(ran);
        EXPECT_GT(seen, 0);  // the task's effect is visible as soon as sync returns
      }
    });
  }
  for (auto& caller : callers) caller.join();

  int total = 0;
  EXPECT_TRUE(queue.sync([&] { total = counter; }));
  EXPECT_EQ(total, 400);
  EXPECT_EQ(wrongThread.load(), 0);

  // An exception of the task reaches the caller.
  EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);

  // On the main thread itself sync runs inline instead of waiting for itself.
  std::vector<std::string> steps;
  queue.sync([&] {
    steps.push_back("outer");
    queue.sync([&] { steps.push_back("inner"); });
    steps.push_back("after inner");
  });
  EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after inner"}));

  queue.quit();
  mainThread.join();
}

TEST(RunLoopMainQueue, DelayedTasksRunByDueTimeThenQueuingOrderAndNeverEarly) {
  RunLoopMainQueue queue;
  std::vector<std::string> order;
  const auto queuedAt = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lateRanAt;
  queue.after(60ms, [&] {
    lateRanAt = std::chrono::steady_clock::now();
    order.push_back("late");
    queue.quit();
  });
  queue.after(20ms, [&] { order.push_back("soon 1"); });
  queue.async([&] { order.push_back("now"); });
  queue.after(20ms, [&] { order.push_back("soon 2"); });
  queue.after(-5s, [&] { order.push_back("negative delay"); });  // counts as no delay
  queue.run();

  EXPECT_EQ(order, (std::vector<std::string>{"now", "negative delay", "soon 1", "soon 2", "late"}));
  EXPECT_GE(lateRanAt - queuedAt, 60ms);
}

TEST(RunLoopMainQueue, QuitDropsQueuedTasksAndReleasesWaitingSyncCallers) {
  RunLoopMainQueue queue;
  std::atomic<bool> release{false};
  std::atomic<bool> blockerStarted{false};
  std::atomic<bool> droppedRan{false};
  queue.async([&] {
    blockerStarted = true;
    while (!release) std::this_thread::sleep_for(1ms);
  });
  queue.async([&] { droppedRan = true; });
  queue.after(1h, [&] { droppedRan = true; });
  std::thread mainThread([&] { queue.run(); });
  while (!blockerStarted) std::this_thread::sleep_for(1ms);

  std::atomic<int> syncAnswer{-1};
  std::thread caller([&] { syncAnswer = queue.sync([&] { droppedRan = true; }) ? 1 : 0; });
  std::this_thread::sleep_for(20ms);  // give the caller time to queue its task (not required)
  queue.quit();
  release = true;
  mainThread.join();
  caller.join();

  EXPECT_EQ(syncAnswer.load(), 0);
  EXPECT_FALSE(droppedRan.load());

  // After quit nothing runs and nothing waits.
  queue.async([&] { droppedRan = true; });
  std::thread late([&] { EXPECT_FALSE(queue.sync([&] { droppedRan = true; })); });
  late.join();
  queue.run();  // returns at once
  EXPECT_FALSE(droppedRan.load());
}

TEST(RunLoopMainQueue, AFailingTaskDoesNotStopTheLoop) {
  RunLoopMainQueue queue;
  bool ranAfter = false;
  queue.async([] { throw std::runtime_error("task failed"); });
  queue.async([&] {
    ranAfter = true;
    queue.quit();
  });
  testing::internal::CaptureStdout();
  queue.run();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ranAfter);
  EXPECT_NE(output.find("task failed"), std::string::npos);
}

}  // namespace
}  // namespace velmora::platform
