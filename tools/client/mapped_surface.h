#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/expected.h"
#include "platform/mapped_memory.h"
#include "platform/unique_fd.h"
#include "protocol/wire_protocol.h"

namespace fenwright::client {

// The helper's surface, mapped read-only into this process. Frames appear in
// it in place; waitForFrame() sleeps until the next, copyFrame() takes one
// whole. Move-only.
class MappedSurface {
 public:
  // Checks the descriptors against `description` (regular files, large
  // enough, sealed against shrinking, control header matching) and maps
  // them. The descriptors are closed once mapped.
  static Expected<MappedSurface> map(const wire::SurfaceDescription& description, UniqueFd pixels,
                                   UniqueFd control);

  MappedSurface(MappedSurface&&) noexcept = default;
  MappedSurface& operator=(MappedSurface&&) noexcept = default;

  std::uint32_t id() const { return description_.surfaceId; }
  std::uint32_t width() const { return description_.width; }
  std::uint32_t height() const { return description_.height; }
  std::uint32_t bytesPerRow() const { return description_.bytesPerRow; }
  std::size_t allocationSize() const { return pixels_.size(); }
  std::uint32_t pixelFormat() const { return description_.pixelFormat; }

  // The live pixels: a frame may be half written while you look.
  std::span<const std::uint8_t> pixels() const { return {pixels_.data(), pixels_.size()}; }
  // Odd while a frame is being written; +2 for every finished frame.
  std::uint32_t seed() const;

  // Copies one finished frame into `buffer` (allocationSize() bytes or
  // more): retries until the seed is even and unchanged across the copy.
  // Gives the copied frame's seed, or an error when `buffer` is too small or
  // no quiet moment came within `timeout`.
  Expected<std::uint32_t> copyFrame(std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(1)) const;

  // Sleeps until a frame newer than the one it last announced is finished,
  // and gives its seed; nothing once `timeout` passes without one. The
  // frame on the surface when it was mapped counts as new. copyFrame() then
  // copies that frame, or a newer one. One thread at a time.
  std::optional<std::uint32_t> waitForFrame(std::chrono::milliseconds timeout);

 private:
  MappedSurface(const wire::SurfaceDescription& description, MappedMemory pixels,
                MappedMemory control)
      : description_(description), pixels_(std::move(pixels)), control_(std::move(control)) {}

  wire::SurfaceDescription description_;
  MappedMemory pixels_;
  MappedMemory control_;
  std::optional<std::uint32_t> announcedSeed_;
};

}  // namespace fenwright::client
