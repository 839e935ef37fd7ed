#include "tests/render/surface_client.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace fenwright::testing {

SurfaceClient::SurfaceClient(const SharedSurface& surface) {
  if (auto fd = surface.openPixelsReadOnly())
    pixels_ = MappedMemory::map(*fd, surface.allocationSize(), MappedMemory::Access::readOnly);
  if (auto fd = surface.openControlReadOnly())
    control_ = MappedMemory::map(*fd, SharedSurface::kControlSize, MappedMemory::Access::readOnly);
}

std::uint32_t SurfaceClient::seed() const {
  auto* seed = reinterpret_cast<std::uint32_t*>(control_->data() + offsetof(SurfaceControl, seed));
  return std::atomic_ref<std::uint32_t>(*seed).load(std::memory_order_acquire);
}

bool SurfaceClient::copy(std::vector<std::uint8_t>& out) const {
  out.resize(pixels_->size());
  const std::uint32_t before = seed();
  // Acquire loads keep every pixel read ahead of the second seed load,
  // without a fence (thread sanitizer does not model fences).
  auto* words = reinterpret_cast<std::uint64_t*>(pixels_->data());
  for (std::size_t i = 0; i < out.size() / 8; ++i) {
    std::uint64_t word = std::atomic_ref<std::uint64_t>(words[i]).load(std::memory_order_acquire);
    std::memcpy(out.data() + 8 * i, &word, 8);
  }
  const std::uint32_t after = seed();
  return before % 2 == 0 && before == after;
}

}  // namespace fenwright::testing
