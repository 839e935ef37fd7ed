#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "scale/image_view.h"
#include "platform/sysv_shared_memory.h"
#include "platform/x11/arriving_image.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// Reads rectangles of 32-bit drawables into memory we own: an MIT-SHM
// segment (System V, named to the server by its id) into which the server
// copies the pixels directly, or, on servers without it, the payload of a
// plain GetImage. Storage grows when a larger picture is read and is reused
// otherwise, so reading a stream of same-sized pictures allocates nothing
// of ours. Two memories can be read into in turn. Memory that cannot be
// had throws std::bad_alloc; the reader stays usable.
class X11ImageReader {
 public:
  enum class Status {
    ok,
    failed,  // the drawable is gone, not viewable, or smaller than asked
    lost,    // the connection broke
  };
  struct Result {
    Status status = Status::failed;
    // Tightly packed BGRA; valid until the next read or the reader's end.
    // The memory is ours to change (alpha, cursor) before it is shown.
    std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    // The rows this read brought anew; the others are as an earlier read
    // left them.
    int changedTop = 0;
    int changedRows = 0;
    // Set when those rows are still arriving: until settle(), they are read
    // only through this, and nothing else is read.
    ArrivingRows* arriving = nullptr;

    ImageView image() const { return {width, height, width * 4, pixels}; }
  };

  explicit X11ImageReader(X11Connection& connection);
  X11ImageReader(const X11ImageReader&) = delete;
  X11ImageReader& operator=(const X11ImageReader&) = delete;

  Result read(xcb_drawable_t drawable, int x, int y, int width, int height);
  // The same rectangle again, of which only rows [top, top + rows) changed
  // since the last read: when the memory still holds that last read, only
  // those rows are fetched, into their place; otherwise all of it. With
  // `mayArrive`, many rows come in bands, as Result::arriving says.
  Result update(xcb_drawable_t drawable, int x, int y, int width, int height, int top, int rows,
                bool mayArrive = false);
  // After a read whose rows were arriving: waits for those still to come,
  // and says whether all of them came.
  Status settle();
  // What the memory holds is no longer the drawable's picture (its storage
  // was replaced): the next update reads all of it.
  void forget() { slot().held = {}; }
  // Reads go to memory `index` (0 or 1) from now on; the other keeps what
  // it holds, for a picture read before.
  void use(int index) { active_ = index == 0 ? 0 : 1; }
  // Memory `index` as an earlier read left it, when that was a picture of
  // width x height; null otherwise.
  const std::uint8_t* held(int index, int width, int height) const;
  bool usesSharedMemory() const { return useShm_; }

 private:
  struct Held {
    xcb_drawable_t drawable = XCB_NONE;
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Held&) const = default;
  };

  struct Reservation {
    // Set when the segment is new: the attach still to be confirmed.
    std::optional<xcb_void_cookie_t> attach;
  };
  // Nullopt when no segment can be had.
  std::optional<Reservation> reserveSegment(std::size_t bytes);
  bool attached(xcb_void_cookie_t attach);
  Result failure();
  Result fetch(xcb_drawable_t drawable, int x, int y, int width, int height, int top, int rows,
               bool mayArrive = false);
  // Asks for rows [top, top + rows) in bands; false when they are too few.
  bool askInBands(const Held& read, int top, int rows);

  struct Slot {
    std::optional<SysVSharedMemory> mapping;
    XcbShmSegment segment;
    std::vector<std::uint8_t> copy;
    Held held;
  };
  Slot& slot() { return slots_[active_]; }

  X11Connection& connection_;
  bool useShm_;
  Slot slots_[2];
  int active_ = 0;
  ArrivingImage arriving_;
  Held arrivingRead_;  // none unless rows are arriving
  int arrivingSlot_ = 0;
};

}  // namespace fenwright::x11
