#include "platform/dispatch/queue_executor.h"

namespace fenwright {

const QueueIdentity*& CurrentQueue::slot() {
  thread_local const QueueIdentity* running = nullptr;
  return running;
}

}  // namespace fenwright
