#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture/capture_error.h"
#include "scale/image_view.h"

namespace fenwright {

// The per-frame work of a window stream (name the window's pixmap, read it
// through shared memory, make alpha defined, fit it into the frame), done on
// demand on the calling thread with a connection of its own, without pacing
// or delivery. For measuring that work in isolation.
class X11GrabProbe {
 public:
  static CaptureResult<std::unique_ptr<X11GrabProbe>> forWindow(const std::string& displayName,
                                                                std::uint32_t windowID,
                                                                int frameWidth, int frameHeight);
  ~X11GrabProbe();
  X11GrabProbe(const X11GrabProbe&) = delete;
  X11GrabProbe& operator=(const X11GrabProbe&) = delete;

  // The frame, valid until the next call.
  CaptureResult<ImageView> grabFrame();
  bool usesSharedMemory() const;

 private:
  struct State;
  explicit X11GrabProbe(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fenwright
