#include "platform/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <semaphore>
#include <thread>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(WorkerPoolTest, BlockedTasksNeverDelayOthers) {
  WorkerPool pool(200ms);
  constexpr int kBlocked = 32;
  std::counting_semaphore<kBlocked> release{0};
  std::latch allStarted{kBlocked};
  for (int i = 0; i < kBlocked; ++i) {
    pool.submit([&] {
      allStarted.count_down();
      release.acquire();
    });
  }
  // Every blocked task got a thread of its own, and one more still runs at once.
  allStarted.wait();
  std::binary_semaphore ran{0};
  pool.submit([&] { ran.release(); }, QualityOfService::background);
  EXPECT_TRUE(ran.try_acquire_for(5s));
  release.release(kBlocked);
}

TEST(WorkerPoolTest, IdleThreadsAreReusedThenEnd) {
  WorkerPool pool(100ms);
  for (int round = 0; round < 20; ++round) {
    std::binary_semaphore done{0};
    pool.submit([&] { done.release(); });
    done.acquire();
    std::this_thread::sleep_for(1ms);
  }
  // Sequential work is served by the same few threads, not one per task.
  EXPECT_LE(pool.threadCount(), 2u);
  for (int i = 0; i < 100 && pool.threadCount() > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(pool.threadCount(), 0u);
}

TEST(WorkerPoolTest, ManySubmittersAllTasksRunOnce) {
  WorkerPool pool(100ms);
  std::atomic<int> count{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&] {
      for (int i = 0; i < 500; ++i) pool.submit([&] { ++count; });
    });
  }
  for (auto& thread : submitters) thread.join();
  for (int i = 0; i < 500 && count < 2000; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(count.load(), 2000);
}

}  // namespace
}  // namespace velmora::platform
