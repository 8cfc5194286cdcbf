#include "desktop/qt_main_queue.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/desktop/qt_wait.h"

namespace velmora::desktop {
namespace {

using namespace std::chrono_literals;
using testing::spin;
using testing::waitUntil;

// What the queued tasks saw, in order; filled on the main thread, read there too.
struct Journal {
  std::vector<std::string> entries;
  void add(std::string entry) { entries.push_back(std::move(entry)); }
};

TEST(QtMainQueueTest, AsyncTasksRunOnTheMainThreadInQueuingOrder) {
  QtMainQueue queue;
  Journal journal;
  std::atomic<bool> allOnMain = true;
  // From a worker thread, so that the order is the queue's and not a call stack's.
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      queue.async([&, i] {
        if (!queue.isMainThread()) allOnMain = false;
        journal.add(std::to_string(i));
      });
    }
  });
  worker.join();
  ASSERT_TRUE(waitUntil([&] { return journal.entries.size() == 200; }));
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(journal.entries[static_cast<std::size_t>(i)], std::to_string(i));
  EXPECT_TRUE(allOnMain);
}

TEST(QtMainQueueTest, AsyncNeverRunsInsideTheCall) {
  QtMainQueue queue;
  bool ran = false;
  queue.async([&] { ran = true; });
  EXPECT_FALSE(ran);
  ASSERT_TRUE(waitUntil([&] { return ran; }));
}

TEST(QtMainQueueTest, SyncRunsInlineOnTheMainThreadAndWaitsFromOthers) {
  QtMainQueue queue;
  EXPECT_TRUE(queue.isMainThread());

  // Inline on the main thread, even while the event loop is not turning.
  bool ranInline = false;
  EXPECT_TRUE(queue.sync([&] { ranInline = true; }));
  EXPECT_TRUE(ranInline);

  // From another thread: after the tasks queued before it, and the caller waits for it.
  Journal journal;
  std::atomic<bool> syncReturned = false;
  std::atomic<bool> sawItsEffect = false;
  std::atomic<bool> workerOnMain = true;
  std::thread worker([&] {
    workerOnMain = queue.isMainThread();
    queue.async([&] { journal.add("async"); });
    const bool ran = queue.sync([&] { journal.add("sync"); });
    sawItsEffect = ran;
    syncReturned = true;
  });
  ASSERT_TRUE(waitUntil([&] { return syncReturned.load(); }));
  worker.join();
  EXPECT_FALSE(workerOnMain);
  EXPECT_TRUE(sawItsEffect);
  EXPECT_EQ(journal.entries, (std::vector<std::string>{"async", "sync"}));
}

TEST(QtMainQueueTest, SyncHandsTheTasksExceptionToTheCaller) {
  QtMainQueue queue;
  std::atomic<bool> caught = false;
  std::atomic<bool> done = false;
  std::thread worker([&] {
    try {
      queue.sync([] { throw std::runtime_error("from the task"); });
    } catch (const std::runtime_error& error) {
      caught = std::string(error.what()) == "from the task";
    }
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(caught);
  // The loop goes on after a throwing async task as well.
  bool after = false;
  queue.async([] { throw std::runtime_error("ignored"); });
  queue.async([&] { after = true; });
  EXPECT_TRUE(waitUntil([&] { return after; }));
}

TEST(QtMainQueueTest, QuitDiscardsQueuedWorkAndReleasesWaitingCallers) {
  QtMainQueue queue;
  bool queuedRan = false;
  bool delayedRan = false;
  queue.async([&] { queuedRan = true; });
  queue.after(0ms, [&] { delayedRan = true; });

  // A caller already waiting when the queue quits, while the loop is not turning.
  std::atomic<bool> syncResult = true;
  std::atomic<bool> syncTaskRan = false;
  std::atomic<bool> done = false;
  std::thread waiter([&] {
    syncResult = queue.sync([&] { syncTaskRan = true; });
    done = true;
  });
  while (!done) {
    queue.quit();  // until the waiter has registered and been released
    std::this_thread::sleep_for(1ms);
  }
  waiter.join();
  EXPECT_FALSE(syncResult);

  // Later work is dropped at once, and nothing queued before runs when the loop turns again.
  bool laterRan = false;
  queue.async([&] { laterRan = true; });
  std::atomic<bool> lateSync = true;
  std::thread([&] { lateSync = queue.sync([] {}); }).join();
  EXPECT_FALSE(lateSync);
  spin(100ms);
  EXPECT_FALSE(queuedRan);
  EXPECT_FALSE(delayedRan);
  EXPECT_FALSE(syncTaskRan);
  EXPECT_FALSE(laterRan);
}

TEST(QtMainQueueTest, DelayedTasksRunWhenDueInDueThenQueuingOrder) {
  QtMainQueue queue;
  Journal journal;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration firstRanAfter{};
  queue.after(150ms, [&] {
    firstRanAfter = std::chrono::steady_clock::now() - start;
    journal.add("150 a");
  });
  queue.after(50ms, [&] { journal.add("50"); });
  queue.after(150ms, [&] { journal.add("150 b"); });
  queue.after(-5ms, [&] { journal.add("negative"); });
  queue.async([&] { journal.add("async"); });
  ASSERT_TRUE(waitUntil([&] { return journal.entries.size() == 5; }));
  EXPECT_EQ(journal.entries,
            (std::vector<std::string>{"async", "negative", "50", "150 a", "150 b"}));
  // Not before it was due (this is the contract, not a speed figure).
  EXPECT_GE(firstRanAfter, 150ms);
}

TEST(QtMainQueueTest, ADelayedTaskThatOpensANestedLoopDoesNotHoldUpTheNextOne) {
  QtMainQueue queue;
  bool secondRan = false;
  bool secondRanInsideFirst = false;
  queue.after(10ms, [&] {
    // Like a modal dialog: turns the loop until the next delayed task has run.
    secondRanInsideFirst = waitUntil([&] { return secondRan; }, 5s);
  });
  queue.after(20ms, [&] { secondRan = true; });
  ASSERT_TRUE(waitUntil([&] { return secondRan; }));
  EXPECT_TRUE(secondRanInsideFirst);
}

TEST(QtMainQueueTest, DestroyingTheQueueDropsWhatIsStillQueued) {
  auto tracker = std::make_shared<int>(0);
  std::weak_ptr<int> weak = tracker;
  {
    QtMainQueue queue;
    queue.async([tracker] { ++*tracker; });
    queue.after(1h, [tracker] { ++*tracker; });
    tracker.reset();
    spin(20ms);  // lets the delayed task reach its timer
  }
  EXPECT_TRUE(weak.expired());
}

TEST(QtMainQueueTest, RefusesToBeCreatedOffTheApplicationsThread) {
  bool threw = false;
  std::thread([&] {
    try {
      QtMainQueue queue;
    } catch (const std::logic_error&) {
      threw = true;
    }
  }).join();
  EXPECT_TRUE(threw);
}

}  // namespace
}  // namespace velmora::desktop
