#include "platform/dispatch/serial_queue.h"

#include <pthread.h>

namespace fenwright {
namespace {
thread_local const SerialQueue* currentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), io_(1), work_(asio::make_work_guard(io_)) {
  thread_ = std::thread([this] {
    currentQueue = this;
    // Thread names are capped at 15 characters; keep the role at the end.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    io_.run();
  });
}

SerialQueue::~SerialQueue() {
  work_.reset();
  io_.stop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    // The last owner went away inside one of our own blocks.
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

const SerialQueue* SerialQueue::current() { return currentQueue; }

}  // namespace fenwright
