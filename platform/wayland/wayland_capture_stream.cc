#include "platform/wayland/wayland_capture_stream.h"

#include "platform/wayland/wayland_queue.h"

namespace fenwright::wayland {

WaylandCaptureStream::WaylandCaptureStream(PickResolver resolver, const ContentFilter& filter,
                                           const StreamConfiguration& configuration,
                                           std::weak_ptr<StreamDelegate> delegate)
    : core_(std::make_shared<StreamCore>(std::move(resolver), filter, configuration,
                                         std::move(delegate))) {}

WaylandCaptureStream::~WaylandCaptureStream() {
  waylandQueue().async([core = std::move(core_)] { core->abandon(); });
}

std::optional<CaptureError> WaylandCaptureStream::addStreamOutput(
    std::weak_ptr<StreamOutput> output, StreamOutputType type, SerialQueue& sampleHandlerQueue) {
  if (type != StreamOutputType::screen)
    return CaptureError{"this stream delivers screen frames only, no audio"};
  waylandQueue().async([core = core_, output = std::move(output), queue = &sampleHandlerQueue] {
    core->addOutput(output, *queue);
  });
  return std::nullopt;
}

void WaylandCaptureStream::startCapture(Completion<Done> completion) {
  waylandQueue().async([core = core_, owner = std::weak_ptr<CaptureStream>(weak_from_this()),
                        completion = std::move(completion)]() mutable {
    core->start(std::move(owner), std::move(completion));
  });
}

void WaylandCaptureStream::updateContentFilter(const ContentFilter& filter,
                                               Completion<Done> completion) {
  waylandQueue().async([core = core_, filter, completion = std::move(completion)]() mutable {
    core->updateFilter(filter, std::move(completion));
  });
}

void WaylandCaptureStream::stopCapture(Completion<Done> completion) {
  waylandQueue().async([core = core_, completion = std::move(completion)]() mutable {
    core->stop(std::move(completion));
  });
}

void WaylandCaptureStream::deliverCurrentFrame() {
  waylandQueue().async([core = core_] { core->deliverCurrentFrame(); });
}

}  // namespace fenwright::wayland
