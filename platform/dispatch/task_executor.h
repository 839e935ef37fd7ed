#pragma once

#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

namespace fenwright {

template <class T = void>
using Task = asio::awaitable<T>;

// The shared executor on which unstructured tasks run (stream start and
// stop, filter swaps, watcher queries). Never one of the serial queues.
asio::thread_pool& sharedTaskPool();

// Starts a task that nobody awaits. `makeTask` is a callable returning a
// Task<>; it is kept alive until the task ends. Exceptions end the task.
template <class MakeTask>
void launchTask(MakeTask&& makeTask) {
  asio::co_spawn(sharedTaskPool(), std::forward<MakeTask>(makeTask),
                 [](std::exception_ptr) {});
}

}  // namespace fenwright
