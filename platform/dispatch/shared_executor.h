#pragma once

// A standard header first: asio picks its allocator from what the standard
// library says of itself, and every file must see the same choice.
#include <cstddef>

#include <asio/io_context.hpp>

namespace fenwright {

// The one executor every queue and task of the process runs on: one
// thread over one io_context, and one standing by (see StallGuard).
// Started on first use, never stopped: queues may still hold work when the
// process ends.
asio::io_context& sharedContext();

// Held around a call that may wait long on another process: while one is
// held on the executor's thread, the standby thread serves the queues in
// its stead. Elsewhere it does nothing.
class StallGuard {
 public:
  StallGuard();
  ~StallGuard();
  StallGuard(const StallGuard&) = delete;
  StallGuard& operator=(const StallGuard&) = delete;

 private:
  bool active_;
};

// One thread of its own for the queue that answers clients. A readiness is
// handled on the thread that saw it: on the pool every one would wake the
// other thread to watch in its stead, a hand-off that cost a fetch more
// than its own work. And an edge cannot come while a handler runs, so a
// wait armed after reading to the end misses none.
asio::io_context& answeringContext();

// Called by main() before anything is made, when its thread will park in
// runMainLoopForever(): that thread then runs the answering context, and
// none is started for it.
void answerOnMainThread();
// For runMainLoopForever(): runs the answering context here, if asked to.
void runAnsweringContextOnMainThread();

// True on one of the pool's threads, or the answering one. Blocking there
// for a queue can starve it, so waiting is left to threads outside them.
bool onSharedExecutorThread();

}  // namespace fenwright
