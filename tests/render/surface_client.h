#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/mapped_memory.h"
#include "platform/shared_surface.h"

namespace fenwright::testing {

// Reads a shared surface the way a client does: its own read-only mappings
// of the two memfds, and the seed to tell finished frames from torn ones.
class SurfaceClient {
 public:
  explicit SurfaceClient(const SharedSurface& surface) {
    if (auto fd = surface.openPixelsReadOnly())
      pixels_ = MappedMemory::map(*fd, surface.allocationSize(), MappedMemory::Access::readOnly);
    if (auto fd = surface.openControlReadOnly())
      control_ = MappedMemory::map(*fd, SharedSurface::kControlSize, MappedMemory::Access::readOnly);
  }

  bool mapped() const { return pixels_.has_value() && control_.has_value(); }
  const std::uint8_t* pixels() const { return pixels_->data(); }
  std::size_t size() const { return pixels_->size(); }
  std::uint32_t seed() const {
    auto* seed = reinterpret_cast<std::uint32_t*>(control_->data() + offsetof(SurfaceControl, seed));
    return std::atomic_ref<std::uint32_t>(*seed).load(std::memory_order_acquire);
  }

  // Copies the pixels; true when no render began or ended during the copy.
  bool copy(std::vector<std::uint8_t>& out) const {
    out.resize(pixels_->size());
    const std::uint32_t before = seed();
    // Acquire loads keep every pixel read ahead of the second seed load,
    // without a fence (thread sanitizer does not model fences).
    auto* words = reinterpret_cast<std::uint64_t*>(pixels_->data());
    for (std::size_t i = 0; i < out.size() / 8; ++i) {
      std::uint64_t word = std::atomic_ref<std::uint64_t>(words[i]).load(std::memory_order_acquire);
      std::memcpy(out.data() + 8 * i, &word, 8);
    }
    return before % 2 == 0 && before == seed();
  }

 private:
  std::optional<MappedMemory> pixels_;
  std::optional<MappedMemory> control_;
};

}  // namespace fenwright::testing
