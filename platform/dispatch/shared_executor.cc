#include "platform/dispatch/shared_executor.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

namespace fenwright {
namespace {

thread_local bool poolThread = false;
std::atomic<bool> answeringOnMain{false};

template <class Body>
void startThread(const char* name, Body body) {
  std::thread([name, body] {
    poolThread = true;
    pthread_setname_np(pthread_self(), name);
    body();
  }).detach();
}

// One thread runs every queue: events, grabs and draws take turns on it
// with no hand-offs, where two threads woke each other at every event
// (about twice the context switches and a fifth more CPU at 1080p). A
// second thread stands by for the calls that may wait on another process
// for long (a display server that stopped answering, a portal's dialog):
// while one lasts, it serves the queues in the first one's stead.
class Pool {
 public:
  Pool() : context(1) {
    startThread("fenwright-exec", [this] { context.run(); });
    startThread("fenwright-standby", [this] { standBy(); });
  }

  asio::io_context context;
  std::atomic<int> stalls{0};

 private:
  void standBy() {
    for (;;) {
      stalls.wait(0);
      while (stalls.load() > 0) context.run_one_for(std::chrono::milliseconds(10));
      // Handed back: the first thread may be asleep while this one held
      // the watch on descriptors and timers.
      asio::post(context, [] {});
    }
  }

  // Never released, so run() never returns for want of work.
  asio::executor_work_guard<asio::io_context::executor_type> work_{context.get_executor()};
};

Pool& pool() {
  static Pool* shared = new Pool;
  return *shared;
}

}  // namespace

asio::io_context& sharedContext() { return pool().context; }

StallGuard::StallGuard() : active_(poolThread) {
  if (active_ && pool().stalls.fetch_add(1) == 0) pool().stalls.notify_one();
}

StallGuard::~StallGuard() {
  if (active_) pool().stalls.fetch_sub(1);
}

asio::io_context& answeringContext() {
  struct Answering {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  };
  static Answering* answering = [] {
    auto* made = new Answering;
    if (!answeringOnMain.load()) startThread("fenwright-ipc", [made] { made->context.run(); });
    return made;
  }();
  return answering->context;
}

void answerOnMainThread() { answeringOnMain.store(true); }

void runAnsweringContextOnMainThread() {
  if (!answeringOnMain.load()) return;
  poolThread = true;
  answeringContext().run();
}

bool onSharedExecutorThread() { return poolThread; }

}  // namespace fenwright
