#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace fenwright {

// A System V shared memory segment, attached here, that another process
// attaches by its id alone: nothing crosses a socket, so no descriptor
// is spent and no per-user limit on descriptors in flight applies. Once
// the other side holds it, releaseId() lets the segment go with its last
// user; until then the destructor removes it.
class SysVSharedMemory {
 public:
  // Nothing, with errno set, when the segment cannot be made or attached.
  static std::optional<SysVSharedMemory> create(std::size_t size);

  SysVSharedMemory(const SysVSharedMemory&) = delete;
  SysVSharedMemory& operator=(const SysVSharedMemory&) = delete;
  SysVSharedMemory(SysVSharedMemory&& other) noexcept;
  SysVSharedMemory& operator=(SysVSharedMemory&& other) noexcept;
  ~SysVSharedMemory();

  int id() const { return id_; }
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(address_); }
  std::size_t size() const { return size_; }
  void releaseId();

 private:
  SysVSharedMemory(int id, void* address, std::size_t size)
      : id_(id), address_(address), size_(size) {}
  void reset();

  int id_ = -1;  // -1 once released
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace fenwright
