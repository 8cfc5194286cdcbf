#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/main_queue.h"

namespace velmora::platform {

using namespace std::chrono_literals;

// What every main queue promises, typed over drivers. A driver owns `queue`, whose main thread is
// the test's; run() turns the loop there (at least once, at most 20 s) until quit(), which ends
// the queue for good.
template <typename Driver>
struct MainQueueContract : ::testing::Test {
  Driver driver;
  decltype(driver.queue)& queue = driver.queue;
};
TYPED_TEST_SUITE_P(MainQueueContract);

TYPED_TEST_P(MainQueueContract, TasksRunInOrderOnTheMainThreadAndSyncWaitsForItsTask) {
  bool ranInline = false;
  EXPECT_TRUE(this->queue.sync([&] { ranInline = true; }) && ranInline);  // on the main thread
  std::vector<int> ran;  // main thread only; the caller reads it in its own tasks
  std::jthread caller([&] {
    for (int i = 0; i < 300; ++i) {
      this->queue.async([&, i] { ran.push_back(this->queue.isMainThread() ? i : -1); });
    }
    for (std::size_t seen = 0, i = 0; i < 20; ++i, seen = 0) {
      EXPECT_TRUE(this->queue.sync([&] { seen = ran.size(), ran.push_back(-2); }));
      EXPECT_EQ(seen, 300 + i);  // after every task queued before it, and before returning
    }
    EXPECT_THROW(this->queue.sync([] { throw std::range_error("task"); }), std::range_error);
    this->queue.async([&] { this->driver.quit(); });
  });
  this->driver.run();
  ASSERT_EQ(ran.size(), 320u);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(ran[i], i);
}

// Also: an exception escaping a task does not stop the queue.
TYPED_TEST_P(MainQueueContract, DelayedTasksRunByDueTimeThenQueuingOrderNeverEarly) {
  std::string order;
  const auto queued = std::chrono::steady_clock::now();
  auto lateAfter = 0ns;
  this->queue.after(60ms, [&] {
    order += "late", lateAfter = std::chrono::steady_clock::now() - queued, this->driver.quit();
  });
  this->queue.after(20ms, [&] { order += "soon1 "; });
  this->queue.async([&] { order += "now ", throw std::runtime_error("task failed"); });
  this->queue.after(20ms, [&] { order += "soon2 ", throw 42; });
  this->queue.after(-1s, [&] { order += "overdue "; });
  this->queue.after(std::chrono::steady_clock::duration::max(), [&] { order += "never"; });
  this->driver.run();
  EXPECT_EQ(order, "now overdue soon1 soon2 late");
  EXPECT_GE(lateAfter, 60ms);
}

TYPED_TEST_P(MainQueueContract, QuitDiscardsQueuedTasksAndFailsWaitingAndLaterSyncs) {
  std::atomic<bool> discardedRan{false}, syncing{false};
  this->queue.after(1h, [&] { discardedRan = true; });
  this->queue.async([&] {
    while (!syncing) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);  // the caller most likely waits by now; either way: false
    this->driver.quit();
  });
  this->queue.async([&] { discardedRan = true; });
  std::jthread caller(
      [&] { EXPECT_FALSE((syncing = true, this->queue.sync([&] { discardedRan = true; }))); });
  this->driver.run();
  caller.join();
  std::jthread([&] { EXPECT_FALSE(this->queue.sync([&] { discardedRan = true; })); }).join();
  this->queue.async([&] { discardedRan = true; });
  this->queue.after(0ms, [&] { discardedRan = true; });
  this->driver.run();
  EXPECT_FALSE(discardedRan);
}

REGISTER_TYPED_TEST_SUITE_P(MainQueueContract, TasksRunInOrderOnTheMainThreadAndSyncWaitsForItsTask,
                            DelayedTasksRunByDueTimeThenQueuingOrderNeverEarly,
                            QuitDiscardsQueuedTasksAndFailsWaitingAndLaterSyncs);

}  // namespace velmora::platform
