#include "platform/sysv_shared_memory.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <utility>

namespace fenwright {

std::optional<SysVSharedMemory> SysVSharedMemory::create(std::size_t size) {
  if (size == 0) {
    errno = EINVAL;
    return std::nullopt;
  }
  const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) return std::nullopt;
  void* address = ::shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    ::shmctl(id, IPC_RMID, nullptr);
    errno = error;
    return std::nullopt;
  }
  return SysVSharedMemory(id, address, size);
}

SysVSharedMemory::SysVSharedMemory(SysVSharedMemory&& other) noexcept
    : id_(std::exchange(other.id_, -1)),
      address_(std::exchange(other.address_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

SysVSharedMemory& SysVSharedMemory::operator=(SysVSharedMemory&& other) noexcept {
  if (this != &other) {
    reset();
    id_ = std::exchange(other.id_, -1);
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

SysVSharedMemory::~SysVSharedMemory() { reset(); }

void SysVSharedMemory::releaseId() {
  if (id_ >= 0) ::shmctl(id_, IPC_RMID, nullptr);
  id_ = -1;
}

void SysVSharedMemory::reset() {
  releaseId();
  if (address_) ::shmdt(address_);
  address_ = nullptr;
  size_ = 0;
}

}  // namespace fenwright
