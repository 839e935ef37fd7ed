#pragma once

#include <cstddef>

namespace fenwright::testing {

// Counts operator new calls made by this thread while it lives; the test
// binary replaces the global allocation functions to feed it.
struct AllocationCounter {
  AllocationCounter();
  ~AllocationCounter();
  std::size_t count() const;
  const std::size_t start;
};

}  // namespace fenwright::testing
