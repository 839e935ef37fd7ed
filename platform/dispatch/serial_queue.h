#pragma once

#include <exception>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace fenwright {

// A serial queue: blocks run one at a time, in submission order, on the
// queue's own thread. State that belongs to a queue is touched only from
// blocks on it, so it needs no lock.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // True when called from a block running on this queue.
  bool isCurrent() const;
  // The queue whose block is running on this thread, if any.
  static const SerialQueue* current();

  template <class Block>
  void async(Block&& block) {
    asio::post(io_, std::forward<Block>(block));
  }

  // Runs `block` on the queue and returns after it ran. Called from the
  // queue itself it runs inline instead of deadlocking.
  template <class Block>
  void sync(Block&& block) {
    if (isCurrent()) {
      block();
      return;
    }
    std::packaged_task<void()> task(std::forward<Block>(block));
    auto done = task.get_future();
    asio::post(io_, [&task] { task(); });
    done.get();
  }

  // For timers and descriptors whose handlers must run on this queue.
  asio::io_context& context() { return io_; }

 private:
  std::string label_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace fenwright
