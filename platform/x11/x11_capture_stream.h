#pragma once

#include <memory>
#include <string>

#include "platform/capture/screen_capture.h"

namespace fenwright::x11 {

class StreamCore;

// The stream object callers hold. Every call is handed to the X queue,
// where the stream's state lives; completions run there too. Dropping the
// last reference stops the stream quietly.
class X11CaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string displayName, const ContentFilter& filter,
                   const StreamConfiguration& configuration,
                   std::weak_ptr<StreamDelegate> delegate);
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  // One output at a time, of the screen type; a later one replaces it.
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

}  // namespace fenwright::x11
