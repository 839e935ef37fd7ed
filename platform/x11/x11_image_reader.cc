#include "platform/x11/x11_image_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "platform/log/logger.h"
#include "platform/populate_pages.h"

namespace fenwright::x11 {
namespace {

// Fewer rows than this a band are not worth a request of their own.
constexpr int kLeastBandRows = 160;

std::size_t roundToPages(std::size_t bytes) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

X11ImageReader::X11ImageReader(X11Connection& connection)
    : connection_(connection), useShm_(connection.capabilities().sharesMemory()) {}

X11ImageReader::Result X11ImageReader::failure() {
  slot().held = {};
  return {connection_.hasError() ? Status::lost : Status::failed};
}

std::optional<X11ImageReader::Reservation> X11ImageReader::reserveSegment(std::size_t bytes) {
  Slot& slot = this->slot();
  if (slot.mapping && slot.mapping->size() >= bytes) return Reservation{};
  // Not a memfd: a descriptor sent to the server counts against this
  // user's descriptors in flight, and past that limit the server waits for
  // one that never comes, and so does every request after it.
  auto memory = SysVSharedMemory::create(roundToPages(bytes));
  if (!memory) {
    // Memory running short is no reason to give up sharing it for good.
    if (errno == ENOMEM) throw std::bad_alloc();
    log::helperLogger().error(
        "x11: no shared memory segment of {} bytes ({}) → reading pixels through the socket",
        bytes, std::strerror(errno));
    return std::nullopt;
  }
  auto id = connection_.generateId();
  if (!id) return std::nullopt;
  xcb_connection_t* c = connection_.get();
  // Answered after the first read into it is asked for: one round trip.
  const xcb_void_cookie_t attach = xcb_shm_attach_checked(c, *id, memory->id(), 0);
  // The previous segment is not in use: reads happen only between frames.
  slot.segment = XcbShmSegment(c, *id);
  slot.mapping = std::move(memory);
  return Reservation{attach};
}

bool X11ImageReader::attached(xcb_void_cookie_t attach) {
  XcbError error = xcbCheck(connection_.get(), attach);
  // Attached or refused, the id has served: the segment now goes with the
  // last process that holds it, even if we crash.
  slot().mapping->releaseId();
  if (!error) return true;
  slot().segment.abandon();
  if (!connection_.hasError())
    log::helperLogger().error(
        "x11: MIT-SHM attach on {} failed (X error {}) → reading pixels through the socket",
        connection_.displayName(), static_cast<int>(error->error_code));
  return false;
}

const std::uint8_t* X11ImageReader::held(int index, int width, int height) const {
  const Slot& slot = slots_[index == 0 ? 0 : 1];
  if (slot.held.drawable == XCB_NONE || slot.held.width != width || slot.held.height != height)
    return nullptr;
  return useShm_ ? slot.mapping->data() : slot.copy.data();
}

X11ImageReader::Result X11ImageReader::read(xcb_drawable_t drawable, int x, int y, int width,
                                            int height) {
  return fetch(drawable, x, y, width, height, 0, height);
}

X11ImageReader::Result X11ImageReader::update(xcb_drawable_t drawable, int x, int y, int width,
                                              int height, int top, int rows, bool mayArrive) {
  top = std::clamp(top, 0, height);
  rows = std::clamp(rows, 0, height - top);
  Slot& slot = this->slot();
  if (!(slot.held == Held{drawable, x, y, width, height}))
    return read(drawable, x, y, width, height);
  if (rows == 0) {
    std::uint8_t* pixels = useShm_ ? slot.mapping->data() : slot.copy.data();
    return {Status::ok, pixels, width, height, 0, 0};
  }
  return fetch(drawable, x, y, width, height, top, rows, mayArrive);
}

X11ImageReader::Status X11ImageReader::settle() {
  if (arrivingRead_.drawable == XCB_NONE) return Status::ok;
  const Held read = std::exchange(arrivingRead_, Held{});
  const bool whole = arriving_.settle();
  slots_[arrivingSlot_].held = whole ? read : Held{};
  if (whole) return Status::ok;
  return connection_.hasError() ? Status::lost : Status::failed;
}

bool X11ImageReader::askInBands(const Held& read, int top, int rows) {
  const int bands = std::min(ArrivingImage::kMaxBands, rows / kLeastBandRows);
  if (bands < 2) return false;
  xcb_connection_t* c = connection_.get();
  arriving_.begin(c, read.height);
  for (int band = 0, first = top; band < bands; ++band) {
    const int end = top + rows * (band + 1) / bands;
    const std::size_t bytes = static_cast<std::size_t>(read.width) * (end - first) * 4;
    arriving_.add(xcb_shm_get_image(c, read.drawable, static_cast<std::int16_t>(read.x),
                                    static_cast<std::int16_t>(read.y + first),
                                    static_cast<std::uint16_t>(read.width),
                                    static_cast<std::uint16_t>(end - first), ~0u,
                                    XCB_IMAGE_FORMAT_Z_PIXMAP, slot().segment.get(),
                                    static_cast<std::uint32_t>(
                                        static_cast<std::size_t>(read.width) * first * 4)),
                  end, bytes);
    first = end;
  }
  xcb_flush(c);
  // Until it is settled, the memory holds no known picture.
  slot().held = {};
  arrivingRead_ = read;
  arrivingSlot_ = active_;
  return true;
}

X11ImageReader::Result X11ImageReader::fetch(xcb_drawable_t drawable, int x, int y, int width,
                                             int height, int top, int rows, bool mayArrive) {
  // A read never overtakes one still arriving.
  if (arrivingRead_.drawable != XCB_NONE) settle();
  const std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
  const std::size_t offset = static_cast<std::size_t>(width) * top * 4;
  const std::size_t fetched = static_cast<std::size_t>(width) * rows * 4;
  xcb_connection_t* c = connection_.get();
  Slot& slot = this->slot();
  if (useShm_) {
    if (auto reservation = reserveSegment(bytes)) {
      // A new segment's attach is still to be confirmed by its first read.
      if (mayArrive && !reservation->attach &&
          askInBands({drawable, x, y, width, height}, top, rows)) {
        Result result{Status::ok, slot.mapping->data(), width, height, top, rows};
        result.arriving = &arriving_;
        return result;
      }
      const auto cookie = xcb_shm_get_image(
          c, drawable, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y + top),
          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(rows), ~0u,
          XCB_IMAGE_FORMAT_Z_PIXMAP, slot.segment.get(), static_cast<std::uint32_t>(offset));
      bool usable = true;
      if (reservation->attach) {
        // A new segment's pages would be faulted in one by one, by the
        // server as it writes and by us as we read: milliseconds of a first
        // frame. Made here in one call, while the server is already at
        // work, they cost about half of that.
        xcb_flush(c);
        populatePages(slot.mapping->data(), slot.mapping->size(), PageUse::read);
        usable = attached(*reservation->attach);
        if (!usable) xcb_discard_reply(c, cookie.sequence);
      }
      if (usable) {
        auto answer = xcbAnswer(c, xcb_shm_get_image_reply, cookie);
        if (!answer || answer->size < fetched) return failure();
        slot.held = {drawable, x, y, width, height};
        return {Status::ok, slot.mapping->data(), width, height, top, rows};
      }
    }
    if (connection_.hasError()) return failure();
    useShm_ = false;
    for (Slot& each : slots_) {
      each.segment.reset();
      each.mapping.reset();
      each.held = {};
    }
    if (top != 0 || rows != height) return fetch(drawable, x, y, width, height, 0, height);
  }
  auto answer = xcbAnswer(
      c, xcb_get_image_reply,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y + top), static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(rows), ~0u));
  if (!answer ||
      static_cast<std::size_t>(xcb_get_image_data_length(answer.reply.get())) < fetched)
    return failure();
  slot.copy.resize(bytes);
  std::memcpy(slot.copy.data() + offset, xcb_get_image_data(answer.reply.get()), fetched);
  slot.held = {drawable, x, y, width, height};
  return {Status::ok, slot.copy.data(), width, height, top, rows};
}

}  // namespace fenwright::x11
