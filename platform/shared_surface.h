#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/expected.h"
#include "platform/mapped_memory.h"
#include "platform/pixel_format.h"
#include "platform/unique_fd.h"

namespace fenwright {

// The header of the surface's control page, shared with every client.
// `seed` is a sequence lock: odd while a render is writing the pixels, and
// advanced by two for every finished render. A reader copies the pixels
// between two loads of an even, unchanged seed. It is also a shared futex:
// every finished render wakes whoever sleeps on it, in any process.
struct SurfaceControl {
  static constexpr std::uint32_t kMagic = 0x46575343;  // "FWSC"
  std::atomic<std::uint32_t> seed;
  std::uint32_t magic;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t bytesPerRow;
  std::uint32_t pixelFormat;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// A shared BGRA surface: a sealed memfd of pixels and a sealed one-page memfd
// of SurfaceControl, both mapped here read-write. Its id is the pixel memfd's
// inode number, unique system-wide while the surface lives.
class SharedSurface {
 public:
  static constexpr std::size_t kControlSize = 4096;

  // Its pixels read as zeros (a new memfd) until drawn. The error names the
  // system call that failed and what errno said.
  static Expected<SharedSurface> create(std::uint32_t width, std::uint32_t height);

  SharedSurface(SharedSurface&&) noexcept = default;
  SharedSurface& operator=(SharedSurface&&) noexcept = default;

  std::uint32_t id() const { return id_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint32_t bytesPerRow() const { return width_ * 4; }
  std::size_t allocationSize() const { return pixels_.size(); }
  std::uint8_t* baseAddress() const { return pixels_.data(); }
  // Makes the pixels' pages now rather than at the first render's writes.
  void populate() const;

  // Begin and end one write; the seed tells readers a write is under way,
  // and unlock() wakes readers sleeping on it.
  void lock();
  void unlock();
  std::uint32_t seed() const;

  // Descriptors a client may map read-only: new descriptors of one
  // read-only open of each memfd, which the seals keep from being resized.
  std::optional<UniqueFd> openPixelsReadOnly() const;
  std::optional<UniqueFd> openControlReadOnly() const;

 private:
  SharedSurface(MappedMemory pixels, MappedMemory control, UniqueFd pixelsReadOnly,
                UniqueFd controlReadOnly, std::uint32_t id, std::uint32_t width,
                std::uint32_t height);
  SurfaceControl& control() const;

  MappedMemory pixels_;
  MappedMemory control_;
  UniqueFd pixelsReadOnly_;
  UniqueFd controlReadOnly_;
  std::uint32_t id_;
  std::uint32_t width_;
  std::uint32_t height_;
};

}  // namespace fenwright
