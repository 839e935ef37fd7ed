#pragma once

#include <memory>

#include "platform/capture/screen_capture.h"
#include "platform/wayland/wayland_stream_core.h"

namespace fenwright::wayland {

// The stream object callers hold. Every call is handed to the Wayland
// queue, where the stream's state lives; completions run there too.
// Dropping the last reference ends the stream and its portal session.
class WaylandCaptureStream final : public CaptureStream,
                                   public std::enable_shared_from_this<WaylandCaptureStream> {
 public:
  WaylandCaptureStream(PickResolver resolver, const ContentFilter& filter,
                       const StreamConfiguration& configuration,
                       std::weak_ptr<StreamDelegate> delegate);
  ~WaylandCaptureStream() override;
  WaylandCaptureStream(const WaylandCaptureStream&) = delete;
  WaylandCaptureStream& operator=(const WaylandCaptureStream&) = delete;

  std::optional<CaptureError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                              StreamOutputType type,
                                              SerialQueue& sampleHandlerQueue) override;
  void startCapture(Completion<Done> completion) override;
  void updateContentFilter(const ContentFilter& filter, Completion<Done> completion) override;
  void stopCapture(Completion<Done> completion) override;
  void deliverCurrentFrame() override;

 private:
  std::shared_ptr<StreamCore> core_;
};

}  // namespace fenwright::wayland
