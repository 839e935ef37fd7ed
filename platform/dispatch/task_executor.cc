#include "platform/dispatch/task_executor.h"

namespace fenwright {

asio::thread_pool& sharedTaskPool() {
  // Never destroyed: tasks may still be parked in it when the process ends.
  static auto* pool = new asio::thread_pool(2);
  return *pool;
}

}  // namespace fenwright
