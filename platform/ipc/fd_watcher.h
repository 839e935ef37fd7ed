#pragma once

#include <functional>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "platform/unique_fd.h"

namespace fenwright {

// Tells a handler on `executor` when a descriptor owned elsewhere (by a
// UniqueFd that outlives the watcher) has something to read. Never closes
// the descriptor. Neither copies nor moves.
//
// The descriptor is watched edge-triggered: wait again only after reading
// until the call reports that nothing is left, or the wait may never end.
// (Waiting on a descriptor that is already readable completes at once.)
// And watch from a context of one thread: with more, another thread may
// take an edge that comes after the read and before the wait, for nobody.
class FdWatcher {
 public:
  FdWatcher(const asio::any_io_executor& executor, const UniqueFd& fd);
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
  asio::posix::stream_descriptor descriptor_;
  std::error_code error_;
};

}  // namespace fenwright
