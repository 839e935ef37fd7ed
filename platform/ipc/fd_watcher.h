#pragma once

#include <functional>
#include <system_error>

#include "platform/dispatch/serial_queue.h"
#include "platform/unique_fd.h"

namespace fenwright {

// Tells a handler on a queue's `executor` when a descriptor owned elsewhere
// (by a UniqueFd that outlives the watcher) has something to read. Never
// closes the descriptor. Neither copies nor moves.
//
// The descriptor is watched edge-triggered: wait again only after reading
// until the call reports that nothing is left, or the wait may never end.
// (Waiting on a descriptor that is already readable completes at once.)
// And watch from a context of one thread: with more, another thread may
// take an edge that comes after the read and before the wait, for nobody.
class FdWatcher {
 public:
  // Bound to the queue by type: behind asio's type-erased executor every
  // wait and completion allocated to hold the strand.
  FdWatcher(const SerialQueueExecutor& executor, const UniqueFd& fd);
  ~FdWatcher();
  FdWatcher(const FdWatcher&) = delete;
  FdWatcher& operator=(const FdWatcher&) = delete;

  // False when the descriptor could not be registered (`error()` says why).
  bool valid() const { return !error_; }
  std::error_code error() const { return error_; }

  // `handler` runs on the executor with an empty code when the descriptor is
  // readable or has hung up, or with asio::error::operation_aborted after
  // cancel() or destruction.
  void asyncWaitReadable(std::function<void(std::error_code)> handler);
  // The same for room to write. Edge-triggered too: on a Unix socket an
  // edge also comes each time the peer reads a packet of ours.
  void asyncWaitWritable(std::function<void(std::error_code)> handler);
  void cancel();

 private:
  QueueDescriptor descriptor_;
  std::error_code error_;
};

}  // namespace fenwright
