#pragma once

#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/dispatch/shared_executor.h"

namespace fenwright {

template <class T = void>
using Task = asio::awaitable<T>;

// Starts a task that nobody awaits, on the shared executor but on none of
// the queues. `makeTask` is a callable returning a Task<>; it is kept alive
// until the task ends. Exceptions end the task.
template <class MakeTask>
void launchTask(MakeTask&& makeTask) {
  asio::co_spawn(sharedContext(), std::forward<MakeTask>(makeTask), [](std::exception_ptr) {});
}

}  // namespace fenwright
