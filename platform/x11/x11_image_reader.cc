#include "platform/x11/x11_image_reader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/log/logger.h"
#include "platform/unique_fd.h"

namespace fenwright::x11 {
namespace {

std::size_t roundToPages(std::size_t bytes) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

X11ImageReader::X11ImageReader(X11Connection& connection)
    : connection_(connection), useShm_(connection.capabilities().sharesMemory()) {}

X11ImageReader::Result X11ImageReader::failure() const {
  return {connection_.hasError() ? Status::lost : Status::failed};
}

bool X11ImageReader::reserveSegment(std::size_t bytes) {
  if (mapping_ && mapping_->size() >= bytes) return true;
  const std::size_t size = roundToPages(bytes);
  UniqueFd fd(memfd_create("fenwright-x11-image", MFD_CLOEXEC));
  if (!fd) return false;
  // Memory running short is no reason to give up sharing it for good.
  if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) throw std::bad_alloc();
  auto mapping = MappedMemory::map(fd, size, MappedMemory::Access::readWrite);
  if (!mapping) throw std::bad_alloc();
  auto id = connection_.generateId();
  if (!id) return false;
  xcb_connection_t* c = connection_.get();
  // xcb closes the descriptor once it has been sent.
  if (XcbError error = xcbCheck(c, xcb_shm_attach_fd_checked(c, *id, fd.release(), 0))) {
    log::helperLogger().error(
        "x11: MIT-SHM attach on {} failed (X error {}) → reading pixels through the socket",
        connection_.displayName(), static_cast<int>(error->error_code));
    return false;
  }
  // The previous segment is not in use: reads happen only between frames.
  segment_ = XcbShmSegment(c, *id);
  mapping_ = std::move(mapping);
  return true;
}

X11ImageReader::Result X11ImageReader::read(xcb_drawable_t drawable, int x, int y, int width,
                                            int height) {
  const std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
  xcb_connection_t* c = connection_.get();
  if (useShm_ && !reserveSegment(bytes)) {
    if (connection_.hasError()) return {Status::lost};
    useShm_ = false;
    segment_.reset();
    mapping_.reset();
  }
  if (useShm_) {
    auto answer = xcbAnswer(
        c, xcb_shm_get_image_reply,
        xcb_shm_get_image(c, drawable, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height),
                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_.get(), 0));
    if (!answer || answer->size < bytes) return failure();
    return {Status::ok, mapping_->data(), width, height};
  }
  auto answer =
      xcbAnswer(c, xcb_get_image_reply,
                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x),
                              static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                              static_cast<std::uint16_t>(height), ~0u));
  if (!answer || static_cast<std::size_t>(xcb_get_image_data_length(answer.reply.get())) < bytes)
    return failure();
  copy_.resize(bytes);
  std::memcpy(copy_.data(), xcb_get_image_data(answer.reply.get()), bytes);
  return {Status::ok, copy_.data(), width, height};
}

}  // namespace fenwright::x11
