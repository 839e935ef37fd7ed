#pragma once

#include <cstddef>

namespace fenwright::testing {

// Counts operator new calls made by this thread while it lives; the test
// binary replaces the global allocation functions to feed it.
class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::size_t count() const;

 private:
  std::size_t start_;
};

}  // namespace fenwright::testing
