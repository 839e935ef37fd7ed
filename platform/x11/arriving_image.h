#pragma once

#include <cstddef>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "platform/capture/arriving_rows.h"

namespace fenwright::x11 {

// One shared-memory read asked for in a few bands at once: while the
// first bands are drawn, the server is copying the next.
class ArrivingImage final : public ArrivingRows {
 public:
  static constexpr int kMaxBands = 4;

  // Rows of a picture `height` tall; those outside the bands added next are
  // in place already.
  void begin(xcb_connection_t* connection, int height);
  void add(xcb_shm_get_image_cookie_t cookie, int endRow, std::size_t bytes);
  bool pending() const { return next_ < count_; }

  int awaitMoreRows() override;
  // Waits for what is still to come: whether every band came whole.
  bool settle();

 private:
  xcb_connection_t* connection_ = nullptr;
  unsigned int sequence_[kMaxBands] = {};
  int end_[kMaxBands] = {};
  std::size_t bytes_[kMaxBands] = {};
  int count_ = 0;
  int next_ = 0;
  int height_ = 0;
  bool whole_ = true;
};

}  // namespace fenwright::x11
