#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/unique_fd.h"

namespace fenwright {

// One shared mapping of a file descriptor; unmapped on destruction.
class MappedMemory {
 public:
  enum class Access { readOnly, readWrite };

  static std::optional<MappedMemory> map(const UniqueFd& fd, std::size_t size, Access access);

  MappedMemory(const MappedMemory&) = delete;
  MappedMemory& operator=(const MappedMemory&) = delete;
  MappedMemory(MappedMemory&& other) noexcept;
  MappedMemory& operator=(MappedMemory&& other) noexcept;
  ~MappedMemory();

  std::uint8_t* data() const { return static_cast<std::uint8_t*>(address_); }
  std::size_t size() const { return size_; }

 private:
  MappedMemory(void* address, std::size_t size) : address_(address), size_(size) {}
  void reset();
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace fenwright
