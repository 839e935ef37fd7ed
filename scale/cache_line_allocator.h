#pragma once

#include <cstddef>
#include <new>

namespace fenwright {

// Storage that starts on a cache line: a kernel's 64-byte loads from it
// then never straddle two lines, each of which would cost a second access.
template <typename T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kLine{64};

  CacheLineAllocator() = default;
  template <typename U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kLine)); }
  void deallocate(T* p, std::size_t n) { ::operator delete(p, n * sizeof(T), kLine); }
  friend bool operator==(const CacheLineAllocator&, const CacheLineAllocator&) { return true; }
};

}  // namespace fenwright
