#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"

namespace fenwright {

// The stream object callers hold, for a backend whose stream state (the
// core) lives on one serial queue: every call is handed to that queue, and
// completions run there too. Dropping the last reference lets the core go
// on its queue, which ends the stream quietly.
template <class Core>
class QueuedCaptureStream final : public CaptureStream,
                                  public std::enable_shared_from_this<QueuedCaptureStream<Core>> {
 public:
  QueuedCaptureStream(SerialQueue& queue, std::shared_ptr<Core> core)
      : queue_(queue), core_(std::move(core)) {}
  ~QueuedCaptureStream() override {
    queue_.async([core = std::move(core_)] { core->abandon(); });
  }
  QueuedCaptureStream(const QueuedCaptureStream&) = delete;
  QueuedCaptureStream& operator=(const QueuedCaptureStream&) = delete;

  std::optional<CaptureError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                              StreamOutputType type,
                                              SerialQueue& sampleHandlerQueue) override {
    if (type != StreamOutputType::screen)
      return CaptureError{"this stream delivers screen frames only, no audio"};
    // Not waited for: the caller may be on the executor. A stream that has
    // stopped meanwhile just never uses the output.
    queue_.async([core = core_, output = std::move(output), queue = &sampleHandlerQueue] {
      core->addOutput(output, *queue);
    });
    return std::nullopt;
  }

  void startCapture(Completion<Done> completion) override {
    queue_.async([core = core_, owner = std::weak_ptr<CaptureStream>(this->weak_from_this()),
                  completion = std::move(completion)]() mutable {
      core->start(std::move(owner), std::move(completion));
    });
  }

  void updateContentFilter(const ContentFilter& filter, Completion<Done> completion) override {
    queue_.async([core = core_, filter, completion = std::move(completion)]() mutable {
      core->updateFilter(filter, std::move(completion));
    });
  }

  void stopCapture(Completion<Done> completion) override {
    queue_.async([core = core_, completion = std::move(completion)]() mutable {
      core->stop(std::move(completion));
    });
  }

  void deliverCurrentFrame() override {
    queue_.async([core = core_] { core->deliverCurrentFrame(); });
  }

 private:
  SerialQueue& queue_;
  std::shared_ptr<Core> core_;
};

}  // namespace fenwright
