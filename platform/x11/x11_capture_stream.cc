#include "platform/x11/x11_capture_stream.h"

#include "platform/x11/x11_queue.h"
#include "platform/x11/x11_stream_core.h"

namespace fenwright::x11 {

X11CaptureStream::X11CaptureStream(std::string displayName, const ContentFilter& filter,
                                   const StreamConfiguration& configuration,
                                   std::weak_ptr<StreamDelegate> delegate)
    : core_(std::make_shared<StreamCore>(std::move(displayName), filter, configuration,
                                         std::move(delegate))) {}

X11CaptureStream::~X11CaptureStream() {
  // The core is let go on the X queue, where its state lives.
  x11Queue().async([core = std::move(core_)] { core->abandon(); });
}

std::optional<CaptureError> X11CaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                              StreamOutputType type,
                                                              SerialQueue& sampleHandlerQueue) {
  if (type != StreamOutputType::screen)
    return CaptureError{"this stream delivers screen frames only, no audio"};
  // Not waited for: the caller may be on the executor. A stream that has
  // stopped meanwhile just never uses the output.
  x11Queue().async([core = core_, output = std::move(output), queue = &sampleHandlerQueue] {
    core->addOutput(output, *queue);
  });
  return std::nullopt;
}

void X11CaptureStream::startCapture(Completion<Done> completion) {
  x11Queue().async([core = core_, owner = std::weak_ptr<CaptureStream>(weak_from_this()),
                    completion = std::move(completion)]() mutable {
    core->start(std::move(owner), std::move(completion));
  });
}

void X11CaptureStream::updateContentFilter(const ContentFilter& filter,
                                           Completion<Done> completion) {
  x11Queue().async([core = core_, filter, completion = std::move(completion)]() mutable {
    core->updateFilter(filter, std::move(completion));
  });
}

void X11CaptureStream::stopCapture(Completion<Done> completion) {
  x11Queue().async([core = core_, completion = std::move(completion)]() mutable {
    core->stop(std::move(completion));
  });
}

void X11CaptureStream::deliverCurrentFrame() {
  x11Queue().async([core = core_] { core->deliverCurrentFrame(); });
}

}  // namespace fenwright::x11
