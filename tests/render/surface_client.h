#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/mapped_memory.h"
#include "platform/shared_surface.h"

namespace fenwright::testing {

// Reads a shared surface the way a client does: its own read-only mappings
// of the two memfds, and the seed to tell finished frames from torn ones.
class SurfaceClient {
 public:
  explicit SurfaceClient(const SharedSurface& surface);

  bool mapped() const { return pixels_.has_value() && control_.has_value(); }
  std::uint32_t seed() const;
  const std::uint8_t* pixels() const { return pixels_->data(); }
  std::size_t size() const { return pixels_->size(); }

  // Copies the pixels; true when no render began or ended during the copy.
  bool copy(std::vector<std::uint8_t>& out) const;

 private:
  std::optional<MappedMemory> pixels_;
  std::optional<MappedMemory> control_;
};

}  // namespace fenwright::testing
