#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace fenwright::futex {

// Sleeping on a 32-bit word that other processes map too. These are the
// shared futex operations: std::atomic::wait and notify use private ones,
// which only reach threads of the same process.

enum class WaitResult {
  awoken,       // woken, interrupted, or the word no longer held the value
  timedOut,
  unavailable,  // the kernel refused (no futex, a word it cannot reach): poll
};

// Sleeps while `word` holds `value`, for at most `timeout`. May return
// early for no reason: look at the word again.
WaitResult waitWhileEqual(const std::atomic<std::uint32_t>& word, std::uint32_t value,
                          std::chrono::nanoseconds timeout);

// Wakes everyone sleeping on `word`, in any process. Allocation-free; costs
// one system call even when nobody sleeps.
void wakeAll(std::atomic<std::uint32_t>& word);

}  // namespace fenwright::futex
