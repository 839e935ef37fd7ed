#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/repeating_timer.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/task_executor.h"
#include "platform/fake/fake_time_source.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A queue that targets another takes turns with it; tasks entering it and
// a sync from inside run as its own blocks; a launched task runs off every
// queue.
TEST(SerialQueue, RunsBlocksTasksAndNestedSyncsOneAtATimeInSubmissionOrder) {
  SerialQueue queue("test.serial");
  SerialQueue sibling("test.sibling", queue);
  std::atomic<int> inside{0}, overlaps{0}, ran{0};
  std::array<int, 4> last{-1, -1, -1, -1};  // per submitter, on the queues
  bool inOrder = true;
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        (t % 2 ? sibling : queue).async([&, t, i] {
          inOrder = inOrder && last[t] == i - 1;
          last[t] = i;
          overlaps += ++inside > 1;
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
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_TRUE(inOrder);

  std::promise<const SerialQueue*> entered, launched;
  launchTask([&]() -> Task<> {
    launched.set_value(SerialQueue::current());
    co_await queue.enter();
    entered.set_value(SerialQueue::current());
  });
  EXPECT_EQ(launched.get_future().get(), nullptr);
  EXPECT_EQ(entered.get_future().get(), &queue);

  bool inner = false;
  queue.sync([&] { queue.sync([&] { inner = queue.isCurrent(); }); });
  EXPECT_TRUE(inner);
}

// Timers on a clock that moves only when the test says, so each tick's time
// is known exactly.
class RepeatingTimerTest : public ::testing::Test {
 protected:
  std::shared_ptr<RepeatingTimer> start(Clock::duration first, Clock::duration interval) {
    return RepeatingTimer::start(
        queue, first, interval, [this] { ticks.push_back(clock.now() - origin); }, clock);
  }
  void advance(Clock::duration by, int steps = 1) {
    for (int i = 0; i < steps; ++i) {
      clock.advance(by);
      queue.sync([] {});
    }
  }

  SerialQueue queue{"test.timer"};
  FakeTimeSource clock{queue};
  Clock::time_point origin = clock.now();
  std::vector<Clock::duration> ticks;  // on `queue`; read after a sync
};

// A late tick keeps the deadlines; a long stall gives one tick, then the
// period resumes from it.
TEST_F(RepeatingTimerTest, LateOrStalledTicksDoNotDrift) {
  auto timer = start(20ms, 20ms);
  advance(25ms);
  advance(1ms, 75);
  EXPECT_EQ(ticks, (std::vector<Clock::duration>{25ms, 40ms, 60ms, 80ms, 100ms}));
  timer.reset();
  ticks.clear();
  origin = clock.now();
  timer = start(33ms, 33ms);
  advance(500ms);
  advance(1ms, 66);
  EXPECT_EQ(ticks, (std::vector<Clock::duration>{500ms, 533ms, 566ms}));
}

TEST_F(RepeatingTimerTest, CancelOrLettingGoWinsOverATickAlreadyDue) {
  auto cancelled = start(10ms, 10ms);
  auto dropped = start(10ms, 10ms);
  advance(10ms);
  std::promise<void> release;
  queue.async([done = release.get_future().share()] { done.wait(); });
  clock.advance(10ms);  // both due, queued behind the blocked queue
  cancelled->cancel();
  dropped.reset();
  release.set_value();
  advance(1s);
  EXPECT_EQ(ticks, (std::vector<Clock::duration>{10ms, 10ms}));
}

}  // namespace
}  // namespace fenwright
