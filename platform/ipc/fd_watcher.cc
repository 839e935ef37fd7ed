#include "platform/ipc/fd_watcher.h"

#include <utility>

namespace fenwright {

FdWatcher::FdWatcher(const SerialQueueExecutor& executor, const UniqueFd& fd)
    : descriptor_(executor) {
  descriptor_.assign(fd.get(), error_);
}

FdWatcher::~FdWatcher() {
  std::error_code ignored;
  descriptor_.cancel(ignored);
  // Hands the descriptor back without closing it: its UniqueFd does that.
  if (descriptor_.is_open()) descriptor_.release();
}

void FdWatcher::asyncWaitReadable(std::function<void(std::error_code)> handler) {
  descriptor_.async_wait(QueueDescriptor::wait_read,
                         [handler = std::move(handler)](const std::error_code& error) {
                           handler(error);
                         });
}

void FdWatcher::asyncWaitWritable(std::function<void(std::error_code)> handler) {
  descriptor_.async_wait(QueueDescriptor::wait_write,
                         [handler = std::move(handler)](const std::error_code& error) {
                           handler(error);
                         });
}

void FdWatcher::cancel() {
  std::error_code ignored;
  descriptor_.cancel(ignored);
}

}  // namespace fenwright
