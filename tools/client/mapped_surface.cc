#include "tools/client/mapped_surface.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

#include <fmt/format.h>

#include "platform/futex.h"
#include "platform/ipc/shared_file_info.h"
#include "platform/shared_surface.h"

namespace fenwright::client {
namespace {

// Whether `fd` can back a read-only mapping of `size` bytes that can never
// fault: a mapped file that shrinks turns reads past its end into SIGBUS.
std::string checkBacking(const UniqueFd& fd, std::uint64_t size, const char* what) {
  auto info = inspectSharedFile(fd);
  if (!info) return fmt::format("the {} descriptor cannot be inspected", what);
  if (!info->regularFile) return fmt::format("the {} descriptor is not shared memory", what);
  if (info->size < size) {
    return fmt::format("the {} memory is {} bytes, the reply announced {}", what, info->size,
                       size);
  }
  if (!info->sealedAgainstShrinking)
    return fmt::format("the {} memory is not sealed against shrinking", what);
  return {};
}

const SurfaceControl& controlOf(const MappedMemory& control) {
  return *std::launder(reinterpret_cast<const SurfaceControl*>(control.data()));
}

}  // namespace

Expected<MappedSurface> MappedSurface::map(const wire::SurfaceDescription& description,
                                         UniqueFd pixels, UniqueFd control) {
  if (description.controlSize < sizeof(SurfaceControl))
    return unexpected("the control memory is too small for its header");
  if (auto problem = checkBacking(pixels, description.allocationSize, "pixel"); !problem.empty())
    return unexpected(problem);
  if (auto problem = checkBacking(control, description.controlSize, "control");
      !problem.empty())
    return unexpected(problem);

  auto pixelMemory = MappedMemory::map(pixels, description.allocationSize,
                                       MappedMemory::Access::readOnly);
  auto controlMemory =
      MappedMemory::map(control, description.controlSize, MappedMemory::Access::readOnly);
  if (!pixelMemory || !controlMemory) return unexpected("mapping the surface failed");

  // Plain fields: written once, before the surface was handed out.
  auto field = [&](std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, controlMemory->data() + offset, sizeof value);
    return value;
  };
  if (field(offsetof(SurfaceControl, magic)) != SurfaceControl::kMagic)
    return unexpected("the control memory has no header");
  if (field(offsetof(SurfaceControl, width)) != description.width ||
      field(offsetof(SurfaceControl, height)) != description.height ||
      field(offsetof(SurfaceControl, bytesPerRow)) != description.bytesPerRow ||
      field(offsetof(SurfaceControl, pixelFormat)) != description.pixelFormat) {
    return unexpected("the control header does not match the reply");
  }
  return MappedSurface(description, std::move(*pixelMemory), std::move(*controlMemory));
}

std::uint32_t MappedSurface::seed() const {
  return controlOf(control_).seed.load(std::memory_order_acquire);
}

Expected<std::uint32_t> MappedSurface::copyFrame(std::span<std::uint8_t> buffer,
                                               std::chrono::milliseconds timeout) const {
  if (buffer.size() < pixels_.size()) {
    return unexpected(
        fmt::format("the buffer holds {} bytes, a frame needs {}", buffer.size(), pixels_.size()));
  }
  const SurfaceControl& control = controlOf(control_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int attempt = 0;; ++attempt) {
    std::uint32_t before = control.seed.load(std::memory_order_acquire);
    if ((before & 1) == 0) {
      std::memcpy(buffer.data(), pixels_.data(), pixels_.size());
      // Orders the copy before the second look at the seed.
      std::atomic_thread_fence(std::memory_order_acquire);
      if (control.seed.load(std::memory_order_relaxed) == before) return before;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return unexpected(fmt::format("no finished frame to copy within {} ms: the surface is "
                                    "being written all the time",
                                    timeout.count()));
    }
    // A render takes about a millisecond; spin briefly, then sleep.
    if (attempt < 8) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
}

std::optional<std::uint32_t> MappedSurface::waitForFrame(std::chrono::milliseconds timeout) {
  const std::atomic<std::uint32_t>& word = controlOf(control_).seed;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::uint32_t seed = word.load(std::memory_order_acquire);
    if ((seed & 1) == 0 && seed != announcedSeed_) {
      announcedSeed_ = seed;
      return seed;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= decltype(left)::zero()) return std::nullopt;
    // An odd seed is slept on too: the end of its render wakes us.
    if (futex::waitWhileEqual(word, seed, left) == futex::WaitResult::unavailable) {
      // Poll at the helper's top rate, as clients without futexes do.
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(5)));
    }
  }
}

}  // namespace fenwright::client
