#pragma once

// A standard header first: asio picks its allocator from what the standard
// library says of itself, and every file must see the same choice.
#include <cstddef>

#include <asio/io_context.hpp>

namespace fenwright {

// The one executor every queue and task of the process runs on: a small
// fixed pool of threads over one io_context. Started on first use, never
// stopped: queues may still hold work when the process ends.
asio::io_context& sharedContext();

// True on one of the pool's threads. Blocking there for a queue can starve
// the pool, so waiting is left to threads outside it.
bool onSharedExecutorThread();

}  // namespace fenwright
