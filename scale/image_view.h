#pragma once

#include <cstdint>

namespace fenwright {

// A view of BGRA pixels owned by someone else; valid only for the call it
// is handed to. Row 0 is the top of the picture.
struct ImageView {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  const std::uint8_t* data = nullptr;

  const std::uint8_t* row(int y) const { return data + static_cast<long>(y) * bytesPerRow; }
};

}  // namespace fenwright
