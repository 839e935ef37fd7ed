#pragma once

#include <stdexcept>
#include <utility>

#include "platform/pixel_format.h"
#include "platform/shared_surface.h"
#include "tools/client/mapped_surface.h"

namespace fenwright::testing {

// The surface as a client maps it: its own read-only mappings of the two
// memfds, checked the way the client library checks a reply.
inline client::MappedSurface mapAsClient(const SharedSurface& surface) {
  auto mapped = client::MappedSurface::map(
      {surface.id(), surface.width(), surface.height(), surface.bytesPerRow(),
       surface.allocationSize(), kPixelFormatBGRA, SharedSurface::kControlSize},
      std::move(*surface.openPixelsReadOnly()), std::move(*surface.openControlReadOnly()));
  if (!mapped) throw std::runtime_error(mapped.error());
  return std::move(*mapped);
}

}  // namespace fenwright::testing
