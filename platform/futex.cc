#include "platform/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace fenwright::futex {
namespace {

// The kernel reads the word as a plain aligned u32.
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 && alignof(std::atomic<std::uint32_t>) == 4);

long futexCall(const std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
               const timespec* timeout) {
  return ::syscall(SYS_futex, const_cast<std::atomic<std::uint32_t>*>(&word), operation, value,
                   timeout, nullptr, 0);
}

}  // namespace

WaitResult waitWhileEqual(const std::atomic<std::uint32_t>& word, std::uint32_t value,
                          std::chrono::nanoseconds timeout) {
  if (timeout <= std::chrono::nanoseconds::zero()) return WaitResult::timedOut;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec relative{static_cast<time_t>(seconds.count()),
                    static_cast<long>((timeout - seconds).count())};
  if (futexCall(word, FUTEX_WAIT, value, &relative) == 0) return WaitResult::awoken;
  switch (errno) {
    case EAGAIN:
    case EINTR:
      return WaitResult::awoken;
    case ETIMEDOUT:
      return WaitResult::timedOut;
    default:
      return WaitResult::unavailable;
  }
}

void wakeAll(std::atomic<std::uint32_t>& word) {
  // Nothing to do about a failure: a waiter that cannot be woken polls.
  futexCall(word, FUTEX_WAKE, INT_MAX, nullptr);
}

}  // namespace fenwright::futex
