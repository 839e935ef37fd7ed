#include "platform/mapped_memory.h"

#include <sys/mman.h>

#include <utility>

namespace fenwright {

std::optional<MappedMemory> MappedMemory::map(const UniqueFd& fd, std::size_t size,
                                              Access access) {
  if (!fd.valid() || size == 0) return std::nullopt;
  int protection = access == Access::readWrite ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, size, protection, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return std::nullopt;
  return MappedMemory(address, size);
}

MappedMemory::MappedMemory(MappedMemory&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedMemory& MappedMemory::operator=(MappedMemory&& other) noexcept {
  if (this != &other) {
    reset();
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedMemory::~MappedMemory() { reset(); }

void MappedMemory::reset() {
  if (address_) ::munmap(address_, size_);
  address_ = nullptr;
  size_ = 0;
}

}  // namespace fenwright
