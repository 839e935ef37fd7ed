#include "platform/dispatch/shared_executor.h"

#include <pthread.h>

#include <atomic>
#include <thread>

#include <asio/executor_work_guard.hpp>

namespace fenwright {
namespace {

// Two: one frame can be composed while the X queue grabs the next.
constexpr int kPoolThreads = 2;

thread_local bool poolThread = false;
std::atomic<bool> answeringOnMain{false};

struct Pool {
  asio::io_context context;
  // Never released, so run() never returns for want of work.
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};

  // With one thread the context takes no turns at waking another.
  Pool(int threads, int started, const char* name) : context(threads) {
    for (int i = 0; i < started; ++i) {
      std::thread([this, name] {
        poolThread = true;
        pthread_setname_np(pthread_self(), name);
        context.run();
      }).detach();
    }
  }
};

}  // namespace

asio::io_context& sharedContext() {
  static Pool* pool = new Pool(kPoolThreads, kPoolThreads, "fenwright-exec");
  return pool->context;
}

asio::io_context& answeringContext() {
  static Pool* pool = new Pool(1, answeringOnMain.load() ? 0 : 1, "fenwright-ipc");
  return pool->context;
}

void answerOnMainThread() { answeringOnMain.store(true); }

void runAnsweringContextOnMainThread() {
  if (!answeringOnMain.load()) return;
  poolThread = true;
  answeringContext().run();
}

bool onSharedExecutorThread() { return poolThread; }

}  // namespace fenwright
