#pragma once

#include <cstdlib>
#include <memory>
#include <type_traits>

namespace fenwright {

// Frees a C handle with its library's own function, at no cost in size:
// std::unique_ptr<pixman_image_t, CDeleter<&pixman_image_unref>>.
template <auto F>
using CDeleter = std::integral_constant<decltype(F), F>;

inline void freeMemory(void* memory) { std::free(memory); }

// Memory a C library malloc'd and handed over.
template <class T>
using MallocPtr = std::unique_ptr<T, CDeleter<&freeMemory>>;

}  // namespace fenwright
