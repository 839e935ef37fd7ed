#pragma once

#include <atomic>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include <asio/execution.hpp>
#include <asio/io_context.hpp>
#include <asio/prefer.hpp>
#include <asio/query.hpp>
#include <asio/require.hpp>
#include <asio/strand.hpp>

namespace fenwright {

class SerialQueue;

// What a queue's blocks share with the queue: who it is, whether it still
// runs blocks (a queue that is gone drops what it had not started), and how
// many of its blocks are running, so that it can wait for them as it goes.
struct QueueIdentity {
  QueueIdentity(const SerialQueue* q, std::string_view l) : queue(q), label(l) {}
  const SerialQueue* queue;
  std::string_view label;  // the queue's, which outlives its running blocks
  std::atomic<bool> open{true};
  std::atomic<int> running{0};
};

// The queue whose block runs on this thread, for SerialQueue::current().
class CurrentQueue {
 public:
  explicit CurrentQueue(const QueueIdentity* identity) : saved_(slot()) { slot() = identity; }
  ~CurrentQueue() { slot() = saved_; }
  CurrentQueue(const CurrentQueue&) = delete;
  CurrentQueue& operator=(const CurrentQueue&) = delete;
  static const QueueIdentity* get() { return slot(); }

 private:
  // Behind a function of one file: a thread_local class member reached
  // from other files goes through a wrapper that UBSan reads as null.
  static const QueueIdentity*& slot();
  const QueueIdentity* saved_;
};

// Counts a block as running for as long as it is in scope.
class Running {
 public:
  explicit Running(QueueIdentity& identity) : identity_(identity) {
    identity_.running.fetch_add(1);  // seq_cst: pairs with the closing queue
  }
  ~Running() {
    if (identity_.running.fetch_sub(1, std::memory_order_acq_rel) == 1)
      identity_.running.notify_all();
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  QueueIdentity& identity_;
};

// A queue's strand that marks the thread with the queue while each of its
// functions runs, timer and descriptor completions included, so labels and
// isCurrent() hold wherever a block comes from.
template <class Inner>
class QueueExecutor {
 public:
  QueueExecutor(Inner inner, std::shared_ptr<QueueIdentity> identity) noexcept
      : inner_(std::move(inner)), identity_(std::move(identity)) {}

  template <class Function>
  void execute(Function&& function) const {
    inner_.execute(Marked<std::decay_t<Function>>{identity_, std::forward<Function>(function)});
  }

  template <class Property>
    requires asio::can_query<const Inner&, Property>::value
  decltype(auto) query(const Property& property) const noexcept {
    return asio::query(inner_, property);
  }

  template <class Property>
    requires asio::can_require<const Inner&, Property>::value
  auto require(const Property& property) const {
    using Required = std::decay_t<decltype(asio::require(inner_, property))>;
    return QueueExecutor<Required>(asio::require(inner_, property), identity_);
  }

  template <class Property>
    requires asio::can_prefer<const Inner&, Property>::value
  auto prefer(const Property& property) const {
    using Preferred = std::decay_t<decltype(asio::prefer(inner_, property))>;
    return QueueExecutor<Preferred>(asio::prefer(inner_, property), identity_);
  }

  bool runningInThisThread() const noexcept { return inner_.running_in_this_thread(); }
  const Inner& inner() const noexcept { return inner_; }

  friend bool operator==(const QueueExecutor& a, const QueueExecutor& b) noexcept {
    return a.identity_ == b.identity_ && a.inner_ == b.inner_;
  }
  friend bool operator!=(const QueueExecutor& a, const QueueExecutor& b) noexcept {
    return !(a == b);
  }

 private:
  template <class Function>
  struct Marked {
    std::shared_ptr<QueueIdentity> identity;
    Function function;
    void operator()() {
      Running running(*identity);
      if (!identity->open.load()) return;
      CurrentQueue mark(identity.get());
      std::move(function)();
    }
  };

  Inner inner_;
  std::shared_ptr<QueueIdentity> identity_;
};

using StrandExecutor = asio::strand<asio::io_context::executor_type>;
using SerialQueueExecutor = QueueExecutor<StrandExecutor>;

}  // namespace fenwright
