#include "platform/x11/arriving_image.h"

#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

void ArrivingImage::begin(xcb_connection_t* connection, int height) {
  connection_ = connection;
  height_ = height;
  count_ = next_ = 0;
  whole_ = true;
}

void ArrivingImage::add(xcb_shm_get_image_cookie_t cookie, int endRow, std::size_t bytes) {
  sequence_[count_] = cookie.sequence;
  end_[count_] = endRow;
  bytes_[count_] = bytes;
  ++count_;
}

int ArrivingImage::awaitMoreRows() {
  if (next_ >= count_) return height_;
  auto answer = xcbAnswer(connection_, xcb_shm_get_image_reply,
                          xcb_shm_get_image_cookie_t{sequence_[next_]});
  if (!answer || answer->size < bytes_[next_]) {
    // The window went, or the server: what follows is not waited for.
    whole_ = false;
    while (++next_ < count_) xcb_discard_reply(connection_, sequence_[next_]);
    return height_;
  }
  const int end = end_[next_++];
  return next_ == count_ ? height_ : end;
}

bool ArrivingImage::settle() {
  while (pending()) awaitMoreRows();
  return whole_;
}

}  // namespace fenwright::x11
