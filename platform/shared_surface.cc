#include "platform/shared_surface.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include <fmt/format.h>

#include "platform/error_text.h"
#include "platform/futex.h"
#include "platform/populate_pages.h"

namespace fenwright {
namespace {

// The failed call and what errno said, read at once.
Unexpected<std::string> failed(const char* call, const char* name) {
  return unexpected(fmt::format("{} ({}): {}", call, name, errorText(errno)));
}

Expected<UniqueFd> makeSealedMemfd(const char* name, std::size_t size) {
  UniqueFd fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return failed("memfd_create", name);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return failed("ftruncate", name);
  // Nobody, us included, can resize it from now on; a client that maps it
  // can never be handed a SIGBUS by a shrink.
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0)
    return failed("fcntl F_ADD_SEALS", name);
  return fd;
}

Expected<MappedMemory> mapWritable(const UniqueFd& fd, std::size_t size, const char* name) {
  auto mapped = MappedMemory::map(fd, size, MappedMemory::Access::readWrite);
  if (!mapped) return failed("mmap", name);
  // Once our own writable mapping exists, nobody gets another one: a client
  // that reopens its descriptor through /proc for writing still cannot write.
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0)
    return failed("fcntl F_ADD_SEALS", name);
  return std::move(*mapped);
}

Expected<UniqueFd> reopenReadOnly(const UniqueFd& fd, const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());
  UniqueFd readOnly(::open(path, O_RDONLY | O_CLOEXEC));
  if (!readOnly) return failed("open read-only", name);
  return readOnly;
}

// A path open through /proc costs about 6 us, a dup half a microsecond:
// every fetch gets a duplicate of the one read-only open. Clients share
// its offset and flags, which a mapping never uses.
std::optional<UniqueFd> duplicate(const UniqueFd& fd) {
  UniqueFd copy(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!copy) return std::nullopt;
  return copy;
}

}  // namespace

Expected<SharedSurface> SharedSurface::create(std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0)
    return unexpected(fmt::format("a surface of {}×{} has no pixels", width, height));
  std::size_t size = std::size_t{width} * 4 * height;
  constexpr const char* kPixelsName = "fenwright-surface";
  constexpr const char* kControlName = "fenwright-surface-control";
  auto pixelsFd = makeSealedMemfd(kPixelsName, size);
  if (!pixelsFd) return unexpected(pixelsFd.error());
  auto controlFd = makeSealedMemfd(kControlName, kControlSize);
  if (!controlFd) return unexpected(controlFd.error());
  auto pixels = mapWritable(*pixelsFd, size, kPixelsName);
  if (!pixels) return unexpected(pixels.error());
  auto control = mapWritable(*controlFd, kControlSize, kControlName);
  if (!control) return unexpected(control.error());
  auto pixelsReadOnly = reopenReadOnly(*pixelsFd, kPixelsName);
  if (!pixelsReadOnly) return unexpected(pixelsReadOnly.error());
  auto controlReadOnly = reopenReadOnly(*controlFd, kControlName);
  if (!controlReadOnly) return unexpected(controlReadOnly.error());
  struct stat info {};
  if (::fstat(pixelsFd->get(), &info) != 0) return failed("fstat", kPixelsName);

  auto* header = new (control->data()) SurfaceControl{};
  header->seed.store(0, std::memory_order_relaxed);
  header->magic = SurfaceControl::kMagic;
  header->width = width;
  header->height = height;
  header->bytesPerRow = width * 4;
  header->pixelFormat = kPixelFormatBGRA;
  // The writable descriptors close here: the mappings keep the memory, and
  // only the read-only opens are handed out.
  return SharedSurface(std::move(*pixels), std::move(*control), std::move(*pixelsReadOnly),
                       std::move(*controlReadOnly), static_cast<std::uint32_t>(info.st_ino),
                       width, height);
}

SharedSurface::SharedSurface(MappedMemory pixels, MappedMemory control, UniqueFd pixelsReadOnly,
                             UniqueFd controlReadOnly, std::uint32_t id, std::uint32_t width,
                             std::uint32_t height)
    : pixels_(std::move(pixels)),
      control_(std::move(control)),
      pixelsReadOnly_(std::move(pixelsReadOnly)),
      controlReadOnly_(std::move(controlReadOnly)),
      id_(id),
      width_(width),
      height_(height) {}

SurfaceControl& SharedSurface::control() const {
  return *std::launder(reinterpret_cast<SurfaceControl*>(control_.data()));
}

void SharedSurface::populate() const { populatePages(pixels_.data(), pixels_.size()); }

void SharedSurface::lock() {
  // Acquire keeps the pixel writes that follow from moving above the odd seed.
  control().seed.fetch_add(1, std::memory_order_acq_rel);
}

void SharedSurface::unlock() {
  std::atomic<std::uint32_t>& seed = control().seed;
  seed.fetch_add(1, std::memory_order_release);
  // Clients map the page read-only, so they cannot say whether they sleep;
  // waking nobody costs about a microsecond, under 1 % of a render
  // (bench/ipc).
  futex::wakeAll(seed);
}

std::uint32_t SharedSurface::seed() const {
  return control().seed.load(std::memory_order_acquire);
}

std::optional<UniqueFd> SharedSurface::openPixelsReadOnly() const {
  return duplicate(pixelsReadOnly_);
}

std::optional<UniqueFd> SharedSurface::openControlReadOnly() const {
  return duplicate(controlReadOnly_);
}

}  // namespace fenwright
