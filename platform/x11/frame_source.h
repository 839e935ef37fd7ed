#pragma once

#include <optional>
#include <string>

#include <xcb/xcb.h>

#include "scale/image_view.h"
#include "platform/x11/frame_fitter.h"
#include "platform/x11/x11_image_reader.h"

namespace fenwright::x11 {

// What one stream captures (one window, or one rectangle of the screen), on
// the stream's own connection. Lives on the X queue.
class FrameSource {
 public:
  enum class Change {
    none,     // nothing to show anew
    content,  // the picture changed: a frame is due
    // A change made before the last grab began that it did not read: the
    // frame it is in is incomplete.
    missed,
    // The server made the picture anew (mapped, resized): a frame is due,
    // read whole; what the server could not keep comes with the client's
    // repaint, as a change of its own.
    rebuilt,
    gone,  // the source vanished: the stream ends (see endReason)
  };

  struct Grab {
    X11ImageReader::Status status = X11ImageReader::Status::failed;
    // The frame, BGRA with defined alpha, in the reader's memory or the
    // fitter's; with a geometry when it is the picture a frame stands for.
    ImageView frame;
    std::optional<FrameGeometry> geometry;
    // Every pixel is opaque, whatever its alpha byte says.
    bool opaque = false;
    // Set when the frame's rows are still arriving (the reader's).
    ArrivingRows* arriving = nullptr;
  };

  virtual ~FrameSource() = default;

  // One event of the stream's connection (never an error).
  virtual Change handleEvent(const xcb_generic_event_t& event) = 0;

  // Sources whose changes have no event are asked once per frame interval.
  virtual bool needsPolling() const = 0;
  virtual Change poll() = 0;

  // Reads the picture now and fits it into a frame, band by band when it is
  // shrunk. `failed` means there is nothing to show at the moment (an
  // unmapped window); events will say when there is again. With
  // `rowsMayArrive`, a frame may be handed on before all its rows are read.
  virtual Grab grab(X11ImageReader& reader, FrameFitter& fitter, bool rowsMayArrive) = 0;
  // The rows of the last grab did not all come: what it read is not kept.
  virtual void grabFailed() {}

  // Called once the events that came with a grab's reply were handled:
  // whether what it read may be handed on. When not, it is grabbed again.
  virtual bool keep() { return true; }

  // A change already reported is waiting for its frame: make sure the next
  // one is reported too, so the frame can follow it at once.
  virtual void listen() = 0;

  // Whether the filter that made this source names the same thing.
  virtual bool captures(std::uint32_t windowID) const = 0;

  // Why the source is gone, after handleEvent said so.
  virtual std::string endReason() const = 0;
};

}  // namespace fenwright::x11
