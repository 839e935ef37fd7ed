#pragma once

#include <cassert>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include <chrono>

#include <asio/basic_waitable_timer.hpp>
#include <asio/defer.hpp>
#include <asio/dispatch.hpp>
#include <asio/posix/basic_stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/dispatch/queue_executor.h"
#include "platform/dispatch/shared_executor.h"

namespace fenwright {

// A serial queue: blocks run one at a time, in submission order, as a strand
// of the shared executor. State that belongs to a queue is touched only from
// blocks on it, so it needs no lock. A queue that goes drops the blocks it
// had not started.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // A queue on a context other than the shared one.
  SerialQueue(std::string label, asio::io_context& context);
  // A queue of its own name whose blocks take turns with `target`'s: a
  // block here may do the target's work in place, with no hop and no wait.
  SerialQueue(std::string label, const SerialQueue& target);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // True when called from a block running on this queue.
  bool isCurrent() const;
  // True inside a block of this queue or of one that targets it.
  bool isExclusive() const { return executor_.runningInThisThread(); }
  // The queue whose block is running on this thread, if any.
  static const SerialQueue* current();

  template <class Block>
  void async(Block&& block) {
    asio::post(executor_, std::forward<Block>(block));
  }
  // As async, for a block that carries on the running block's work: it
  // waits for this thread to be free rather than waking another one.
  template <class Block>
  void carryOn(Block&& block) {
    asio::defer(executor_, std::forward<Block>(block));
  }

  // Runs `block` on the queue and returns after it ran. Called from the
  // queue itself it runs inline instead of deadlocking. Only for threads
  // outside the shared executor (start-up, tests): a pool thread waiting
  // here could leave no thread to run the block.
  template <class Block>
  void sync(Block&& block) {
    if (isCurrent()) {
      block();
      return;
    }
    assert(!onSharedExecutorThread() && "sync from the shared executor");
    std::packaged_task<void()> task(std::forward<Block>(block));
    auto done = task.get_future();
    asio::post(executor_, [&task] { task(); });
    done.get();
  }

  // `co_await queue.enter();` carries on inside a block of this queue,
  // until the task next waits.
  auto enter() { return asio::dispatch(executor_, asio::use_awaitable); }

  // For timers and descriptors whose handlers must run on this queue.
  const SerialQueueExecutor& executor() const { return executor_; }

 private:
  std::string label_;
  std::shared_ptr<QueueIdentity> identity_;
  SerialQueueExecutor executor_;
};

// A timer and a descriptor watch bound to one queue by type, not behind
// asio's type-erased executor, which allocates to hold a strand: on the
// frame path they wait and fire without touching the heap.
using QueueTimer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                              asio::wait_traits<std::chrono::steady_clock>,
                                              SerialQueueExecutor>;
using QueueDescriptor = asio::posix::basic_stream_descriptor<SerialQueueExecutor>;

}  // namespace fenwright
