#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace fenwright::testing {

// Polls `done` every `every` until it holds; false once `timeout` has
// passed without it. For events that leave no trace to wait on.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5),
                       std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(every);
  }
}

}  // namespace fenwright::testing
