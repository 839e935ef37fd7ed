#include "platform/dispatch/serial_queue.h"

namespace fenwright {

SerialQueue::SerialQueue(std::string label) : SerialQueue(std::move(label), sharedContext()) {}

SerialQueue::SerialQueue(std::string label, asio::io_context& context)
    : label_(std::move(label)),
      identity_(std::make_shared<QueueIdentity>(this, label_)),
      executor_(asio::make_strand(context), identity_) {}

SerialQueue::SerialQueue(std::string label, const SerialQueue& target)
    : label_(std::move(label)),
      identity_(std::make_shared<QueueIdentity>(this, label_)),
      executor_(target.executor_.inner(), identity_) {}

SerialQueue::~SerialQueue() {
  identity_->open.store(false);
  if (isCurrent()) return;
  // A block of ours may be running on another thread right now; its owner
  // expects it done once we are gone. It is running, so waiting for it
  // needs no free thread.
  for (int n = identity_->running.load(); n != 0; n = identity_->running.load())
    identity_->running.wait(n);
}

bool SerialQueue::isCurrent() const { return CurrentQueue::get() == identity_.get(); }

const SerialQueue* SerialQueue::current() {
  const QueueIdentity* running = CurrentQueue::get();
  return running ? running->queue : nullptr;
}

}  // namespace fenwright
