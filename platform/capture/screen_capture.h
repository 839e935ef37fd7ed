#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/capture/capture_error.h"
#include "platform/capture/content_filter.h"
#include "platform/capture/sample_buffer.h"
#include "platform/capture/shareable_content.h"
#include "platform/capture/stream_configuration.h"

namespace fenwright {

class SerialQueue;
class CaptureStream;

template <class T>
using Completion = std::function<void(CaptureResult<T>)>;

// Receives a stream's samples, one at a time, on the queue it was
// registered with.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample,
                                           StreamOutputType type) = 0;
  // Whether its samples may carry rows still arriving (SampleBuffer::arriving).
  virtual bool takesArrivingRows() const { return false; }
};

// Told, on any thread and at most once, when a stream stops by itself.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStopWithError(CaptureStream& stream, const CaptureError& error) = 0;
};

// A capture stream: made idle, then started, retargeted and stopped.
// Completions may run on any thread, exactly once each.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  // Registers the output for one output type; samples then arrive on
  // `sampleHandlerQueue`. Returns the error when registration fails.
  virtual std::optional<CaptureError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                      StreamOutputType type,
                                                      SerialQueue& sampleHandlerQueue) = 0;
  virtual void startCapture(Completion<Done> completion) = 0;
  // Later frames show the new content; configuration and outputs unchanged.
  virtual void updateContentFilter(const ContentFilter& filter, Completion<Done> completion) = 0;
  // Completes once no further sample will be delivered.
  virtual void stopCapture(Completion<Done> completion) = 0;
  // Delivers what the content shows now, once, changed or not, as soon as
  // the frame interval allows. Streams deliver only changes, so an output
  // that dropped some (while paused) would otherwise show the past until the
  // content next changes. Nothing when not running or nothing is shown.
  virtual void deliverCurrentFrame() = 0;
};

// The platform's screen capture service.
class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;

  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   Completion<ShareableContent> completion) = 0;
  // The main display's identifier (0 when there is none).
  virtual std::uint32_t mainDisplayID() = 0;
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace fenwright
