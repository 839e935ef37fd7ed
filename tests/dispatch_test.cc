#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/repeating_timer.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/task_executor.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SerialQueue, NeverRunsTwoBlocksAtOnce) {
  SerialQueue queue("test.serial");
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<int> ran{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        queue.async([&] {
          int now = ++inside;
          int seen = maxInside.load();
          while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::yield();
          --inside;
          ++ran;
        });
      }
    });
  }
  for (auto& t : submitters) t.join();
  queue.sync([] {});
  EXPECT_EQ(ran.load(), 800);
  EXPECT_EQ(maxInside.load(), 1);
}

TEST(SerialQueue, RunsBlocksInSubmissionOrder) {
  SerialQueue queue("test.order");
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  queue.sync([] {});
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, SyncFromAnotherQueueReturnsAfterTheBlockRan) {
  SerialQueue first("test.first");
  SerialQueue second("test.second");
  std::atomic<bool> ranOnSecond{false};
  bool sawItDone = false;
  first.sync([&] {
    second.sync([&] {
      std::this_thread::sleep_for(10ms);
      ranOnSecond = second.isCurrent();
    });
    sawItDone = ranOnSecond.load();
  });
  EXPECT_TRUE(sawItDone);
}

TEST(SerialQueue, SyncOnItsOwnQueueRunsInline) {
  SerialQueue queue("test.inline");
  bool inner = false;
  queue.sync([&] { queue.sync([&] { inner = queue.isCurrent(); }); });
  EXPECT_TRUE(inner);
}

TEST(RepeatingTimer, CancelledTimerNeverFiresAgain) {
  SerialQueue queue("test.cancel");
  std::atomic<int> ticks{0};
  auto timer = RepeatingTimer::start(queue, 0ms, 5ms, [&] { ++ticks; });
  while (ticks.load() < 3) std::this_thread::sleep_for(1ms);
  timer->cancel();
  int atCancel = ticks.load();
  std::this_thread::sleep_for(50ms);
  queue.sync([] {});
  EXPECT_EQ(ticks.load(), atCancel);
}

TEST(RepeatingTimer, CancelWinsOverATickAlreadyDue) {
  SerialQueue queue("test.due");
  std::atomic<int> ticks{0};
  std::promise<void> blocked;
  std::promise<void> release;
  auto releaseFuture = release.get_future().share();
  // Keep the queue busy past the deadline so the tick is due but not run.
  queue.async([&] {
    blocked.set_value();
    releaseFuture.wait();
  });
  blocked.get_future().wait();
  auto timer = RepeatingTimer::start(queue, 1ms, 1ms, [&] { ++ticks; });
  std::this_thread::sleep_for(20ms);
  timer->cancel();
  release.set_value();
  queue.sync([] {});
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ticks.load(), 0);
}

TEST(RepeatingTimer, DroppingTheLastOwnerStopsIt) {
  SerialQueue queue("test.drop");
  std::atomic<int> ticks{0};
  auto timer = RepeatingTimer::start(queue, 0ms, 2ms, [&] { ++ticks; });
  while (ticks.load() < 2) std::this_thread::sleep_for(1ms);
  queue.sync([&] { timer.reset(); });
  int atDrop = ticks.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), atDrop);
}

TEST(RepeatingTimer, TicksKeepTheirPeriodWithoutDrift) {
  SerialQueue queue("test.drift");
  std::vector<Clock::time_point> ticks;
  std::promise<void> done;
  auto start = Clock::now();
  auto timer = RepeatingTimer::start(queue, 20ms, 20ms, [&] {
    ticks.push_back(Clock::now());
    // Work inside a tick must not push later deadlines back.
    std::this_thread::sleep_for(5ms);
    if (ticks.size() == 15) done.set_value();
  });
  done.get_future().wait();
  timer->cancel();
  queue.sync([] {});
  // Tick n is due at start + 20ms*(n+1); drift would accumulate 5ms a tick.
  auto last = ticks.back() - start;
  EXPECT_GE(last, 300ms);
  EXPECT_LT(last, 300ms + 40ms);
}

TEST(TaskExecutor, LaunchedTaskRunsOffTheQueues) {
  std::promise<bool> onQueue;
  launchTask([&]() -> Task<> {
    onQueue.set_value(SerialQueue::current() != nullptr);
    co_return;
  });
  EXPECT_FALSE(onQueue.get_future().get());
}

}  // namespace
}  // namespace fenwright
