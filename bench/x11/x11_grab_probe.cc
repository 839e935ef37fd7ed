#include "x11_grab_probe.h"

#include "platform/x11/frame_fitter.h"
#include "platform/x11/window_frame_source.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_image_reader.h"

namespace fenwright {

struct X11GrabProbe::State {
  std::unique_ptr<x11::X11Connection> connection;
  std::unique_ptr<x11::X11ImageReader> reader;
  std::unique_ptr<x11::FrameSource> source;
  x11::FrameFitter fitter;
};

X11GrabProbe::X11GrabProbe(std::unique_ptr<State> state) : state_(std::move(state)) {}
X11GrabProbe::~X11GrabProbe() {
  if (state_) {
    state_->source.reset();
    state_->reader.reset();
  }
}

CaptureResult<std::unique_ptr<X11GrabProbe>> X11GrabProbe::forWindow(const std::string& displayName,
                                                                     std::uint32_t windowID,
                                                                     int frameWidth,
                                                                     int frameHeight) {
  auto state = std::make_unique<State>();
  auto connection = x11::X11Connection::open(displayName);
  if (!connection) return connection.error();
  state->connection = std::move(connection.value());
  auto source = x11::WindowFrameSource::create(*state->connection, windowID);
  if (!source) return source.error();
  state->source = std::move(source.value());
  state->reader = std::make_unique<x11::X11ImageReader>(*state->connection);
  state->fitter = x11::FrameFitter(frameWidth, frameHeight);
  return std::unique_ptr<X11GrabProbe>(new X11GrabProbe(std::move(state)));
}

CaptureResult<ImageView> X11GrabProbe::grabFrame() {
  // Damage and configure events pile up unread otherwise.
  while (x11::XcbEvent event{xcb_poll_for_queued_event(state_->connection->get())}) {
  }
  // The whole window each time, as after a repaint of all of it.
  state_->reader->forget();
  auto grab = state_->source->grab(*state_->reader, state_->fitter, false);
  if (grab.status == x11::X11ImageReader::Status::lost) return CaptureError{x11::kConnectionLost};
  if (grab.status == x11::X11ImageReader::Status::failed)
    return CaptureError{"the window has no picture now"};
  return grab.frame;
}

bool X11GrabProbe::usesSharedMemory() const { return state_->reader->usesSharedMemory(); }

}  // namespace fenwright
